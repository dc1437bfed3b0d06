// SPDX-License-Identifier: GPL-3.0-or-later
// kestrane-cli as a script and a long list use it: what goes to standard
// output and error, lists of any length, and the opt-in helpers, against the
// stand-in server.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "client/Messages.h"
#include "server/PubServer.h"
#include "tests/support/CliProcess.h"
#include "tests/support/RecordingFrontEnd.h"
#include "tests/support/TestSupport.h"

namespace kestrane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using pubserver::Fault;
using pubserver::FaultKind;
using pubserver::Stage;
using test::CliOutcome;
using test::CliProcess;
using test::LogRecord;
using test::ReadFile;
using test::WriteFile;

const std::string kDe1 = pubserver::kSeveralPages;
const std::string kDe2 = pubserver::kSelectionNumber;
const std::string kDocA = std::string(pubserver::kSelectionDocA) + ".pdf";
const std::string kDocB = std::string(pubserver::kSelectionDocB) + ".pdf";

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class CliScriptTest : public ::testing::Test {
  protected:
    CliOutcome Run(const std::vector<std::string>& args, const std::string& stdinFile = "/dev/null",
                   const std::vector<std::string>& env = {}) {
        std::vector<std::string> all{"-o", save.str()};
        all.insert(all.end(), args.begin(), args.end());
        CliProcess cli(fixture.server.BaseUrl(), all, save.str(), stdinFile, env);
        EXPECT_TRUE(cli.Started());
        return cli.Wait();
    }
    std::vector<LogRecord> Log() const { return test::ParseLog(ReadFile(save.str() + "/dl.log")); }
    // Search requests the server saw for number.
    int Searches(const std::string& number) const {
        int count = 0;
        for (const auto& entry : fixture.server.RequestLog()) count += entry.queryNumber == number;
        return count;
    }

    test::ServerFixture fixture;
    test::TempDir save;
};

TEST_F(CliScriptTest, StandardOutputCarriesOneLinePerOutcomeAndErrorsTheCauses) {
    const CliOutcome o = Run({kDe1, kDe2, "DE1NOMATCH"});
    EXPECT_EQ(o.status, 1) << o.err;
    // Nothing but the outcomes: no request addresses, no progress, no summary.
    EXPECT_EQ(o.out, kDe1 + " Success -> " + kDe1 + ".pdf\n" + kDe2 + " Success -> " + kDocA +
                         ", " + kDocB + "\nDE1NOMATCH Failed\n");
    EXPECT_TRUE(
        Has(o.err, std::string("DE1NOMATCH: no match on the server\n") + msg::kNoSuchPatent + "\n"))
        << o.err;
    EXPECT_FALSE(Has(o.err, "http://")) << o.err;
    EXPECT_FALSE(Has(o.err, "\r")) << "no progress line off a terminal";
    EXPECT_TRUE(Has(o.err, "Downloading finished.")) << o.err;

    // Quiet: errors only. Verbose: every request's address on stderr.
    const CliOutcome quiet = Run({"-q", kDe1, "DE1NOMATCH"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err,
              std::string("DE1NOMATCH: no match on the server\n") + msg::kNoSuchPatent + "\n");
    const CliOutcome verbose = Run({"-v", kDe1});
    EXPECT_EQ(verbose.out, kDe1 + " Success -> " + kDe1 + ".pdf\n");
    EXPECT_TRUE(Has(verbose.err, fixture.server.BaseUrl() + "/DPMApublikationen/start.do\n"))
        << verbose.err;

    // A failure's detail from the client: the merge program that went away
    // while the pages came in.
    test::TempDir tools;
    const std::string program = tools.str() + "/pdftk";
    WriteFile(program, "#!/bin/sh\nexec '" + test::MergeStandin() + "' \"$@\"\n");
    fs::permissions(program, fs::perms::owner_all);
    fixture.server.SetRequestObserver([&](const pubserver::RequestLogEntry& entry) {
        if (entry.queryNumber == kDe1)
            fs::remove(program);
    });
    const CliOutcome noMerge = Run({"--merge-program", program, kDe1});
    fixture.server.SetRequestObserver(nullptr);
    EXPECT_EQ(noMerge.status, 1);
    EXPECT_TRUE(Has(noMerge.err, kDe1 + ": merge program not found: " + program + "\n" + kDe1 +
                                     msg::kDownloadFailed + "\n"))
        << noMerge.err;
    EXPECT_EQ(Log().back(), (LogRecord{kDe1, "Failed"}));
}

TEST_F(CliScriptTest, ATerminalGetsAProgressLineRedrawnAtMostTenTimesASecond) {
    // Slow enough that the line has something to show between its redraws.
    pubserver::ServerOptions slow;
    slow.latency = 120ms;
    test::ServerFixture slowServer(slow);
    // script(1) gives the program a terminal and copies what it shows.
    const std::string command = "KESTRANE_SERVER_BASE=" + slowServer.server.BaseUrl() +
                                " script -qec '" + test::BinDir() + "/cli/kestrane-cli -o " +
                                save.str() + " " + pubserver::kManyPages + "' /dev/null";
    std::string screen;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(test::RunCommand(command, &screen), 0) << screen;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string head = std::string("\r\033[K[1/1] ") + pubserver::kManyPages;
    // The number once, its page, the bytes and the time.
    EXPECT_TRUE(Has(screen, head + "  page 11  ")) << screen;
    int draws = 0;
    for (std::size_t at = screen.find(head); at != std::string::npos;
         at = screen.find(head, at + 1))
        ++draws;
    EXPECT_LE(draws, 2 + static_cast<int>(seconds * 10)) << screen;
    // The line is taken away before the outcome is written.
    EXPECT_TRUE(Has(screen, std::string("\r\033[K") + pubserver::kManyPages + " Success -> "))
        << screen;
}

TEST_F(CliScriptTest, BatchRunsAnyLengthInRunsOfTwentyAndCtrlCStopsIt) {
    test::TempDir lists;
    std::string many = kDe1 + "\n";
    std::vector<LogRecord> expected{{kDe1, "Success"}};
    for (int i = 0; i < 44; ++i) {
        many += "DE" + std::to_string(1000 + i) + "X\n";
        expected.push_back({"DE" + std::to_string(1000 + i) + "X", "Failed"});
    }
    WriteFile(lists.str() + "/many.txt", many);
    const CliOutcome refused = Run({"-i", lists.str() + "/many.txt"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(Has(refused.err, "Max tasks is 20!"));

    const CliOutcome o = Run({"--batch", "-q", "-i", lists.str() + "/many.txt"});
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(Log(), expected);
    int sessions = 0;
    for (const auto& entry : fixture.server.RequestLog())
        sessions += entry.path == "/DPMApublikationen/start.do";
    EXPECT_EQ(sessions, 3) << "runs of 20, 20 and 5";
    EXPECT_FALSE(fs::exists(save.path() / "temp"));

    // Ctrl-C in the second run: it is cancelled and no third run starts.
    fs::remove(save.path() / "dl.log");
    std::mutex mutex;
    std::condition_variable cv;
    bool stuck = false;
    fixture.server.AddFault("DE1025X", Fault{Stage::Search, FaultKind::Stall});
    fixture.server.SetRequestObserver([&](const pubserver::RequestLogEntry& entry) {
        std::lock_guard<std::mutex> lock(mutex);
        stuck = stuck || entry.queryNumber == "DE1025X";
        cv.notify_all();
    });
    CliProcess cli(fixture.server.BaseUrl(), {"-o", save.str(), "--batch", "-i", "-"}, save.str(),
                   lists.str() + "/many.txt");
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, 120s, [&] { return stuck; }));
    }
    cli.Interrupt();
    const CliOutcome cancelled = cli.Wait();
    fixture.server.SetRequestObserver(nullptr);
    EXPECT_EQ(cancelled.status, 130) << cancelled.err;
    expected.resize(27);
    expected.back().outcome = "Cancelled";
    EXPECT_EQ(Log(), expected);
}

TEST_F(CliScriptTest, NormalizeSkipExistingRetriesAndWaitAreOptIn) {
    // Normalized for the search and the file name; dl.log keeps what was typed.
    const CliOutcome typed = Run({"--normalize", "de-197.580 96/c2", kDe2});
    EXPECT_EQ(typed.status, 0) << typed.err;
    EXPECT_EQ(Log(), (std::vector<LogRecord>{{"de-197.580 96/c2", "Success"}, {kDe2, "Success"}}));
    EXPECT_EQ(test::PdfPageCount(save.str() + "/" + kDe1 + ".pdf"), pubserver::kSeveralPagesCount);

    // An abandoned normalized item takes away only what it made, never a
    // file named as the number was typed.
    fs::remove(save.path() / (kDe1 + ".pdf"));
    WriteFile(save.str() + "/de19758096c2.pdf", "the user's own");
    fixture.server.AddFault(kDe1, Fault{Stage::PagePdf, FaultKind::Stall, 2});
    const CliOutcome stalled = Run({"--normalize", "--watchdog", "0.2", "de19758096c2"});
    fixture.server.ClearFaults();
    EXPECT_EQ(stalled.status, 1);
    EXPECT_EQ(ReadFile(save.str() + "/de19758096c2.pdf"), "the user's own");
    fs::remove(save.path() / "de19758096c2.pdf");

    // Saved documents are not fetched again, a selection's included; a file
    // that does not read as a PDF is.
    const auto savedA = fs::last_write_time(save.path() / kDocA);
    WriteFile(save.str() + "/" + kDe1 + ".pdf", "not a pdf");
    fixture.server.ClearRequestLog();
    const CliOutcome skip = Run({"--skip-existing", kDe1, kDe2});
    EXPECT_EQ(skip.status, 0) << skip.err;
    EXPECT_EQ(skip.out, kDe1 + " Success -> " + kDe1 + ".pdf\n" + kDe2 + " Success -> " + kDocA +
                            ", " + kDocB + " (already saved)\n");
    EXPECT_EQ(test::PdfPageCount(save.str() + "/" + kDe1 + ".pdf"), pubserver::kSeveralPagesCount);
    EXPECT_EQ(fs::last_write_time(save.path() / kDocA), savedA);
    fixture.server.ClearRequestLog();
    const CliOutcome known = Run({"--skip-existing", kDe1});
    EXPECT_EQ(known.out, kDe1 + " Success -> " + kDe1 + ".pdf (already saved)\n");
    EXPECT_EQ(Searches(kDe1), 0) << "a single document is known before the search";
    EXPECT_EQ(Log().back(), (LogRecord{kDe1, "Success"}));

    // Two server errors on the search: the default (no retries) fails,
    // --retries 2 gets through; a no-match answer is never asked again.
    fixture.server.AddFault(kDe1, Fault{Stage::Search, FaultKind::ErrorPage});
    EXPECT_EQ(Run({kDe1}).status, 1);
    int errors = 0;
    fixture.server.SetRequestObserver([&](const pubserver::RequestLogEntry& entry) {
        if (entry.queryNumber == kDe1 && ++errors == 3)
            fixture.server.ClearFaults();
    });
    fixture.server.ClearRequestLog();
    const CliOutcome retried = Run({"--retries", "2", kDe1, "DE1NOMATCH"});
    fixture.server.SetRequestObserver(nullptr);
    EXPECT_EQ(Log().back(), (LogRecord{"DE1NOMATCH", "Failed"}));
    EXPECT_TRUE(Has(retried.out, kDe1 + " Success")) << retried.out << retried.err;
    EXPECT_EQ(Searches(kDe1), 3);
    EXPECT_EQ(Searches("DE1NOMATCH"), 1);

    // The gap between requests: arrivals at least --wait apart.
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> arrivals;
    fixture.server.SetRequestObserver([&](const pubserver::RequestLogEntry&) {
        std::lock_guard<std::mutex> lock(mutex);
        arrivals.push_back(std::chrono::steady_clock::now());
    });
    EXPECT_EQ(Run({"--wait", "0.3", kDe1}).status, 0);
    fixture.server.SetRequestObserver(nullptr);
    ASSERT_GT(arrivals.size(), 5u);
    for (std::size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_GE(arrivals[i] - arrivals[i - 1], 290ms) << "request " << i;
}

TEST_F(CliScriptTest, ListFilesTakeCommentsBlankLinesAndRepeatedNumbers) {
    test::TempDir lists;
    std::string list = "# numbers for the report\n\n" + kDe1 + "   # the first\r\n";
    // Twenty numbers once the comments are gone (one of them a repeat): within the limit.
    for (int i = 0; i < 17; ++i) list += "DE" + std::to_string(2000 + i) + "X\n";
    list += "  # indented comment\n" + kDe1 + "\n" + kDe2 + "\n";
    WriteFile(lists.str() + "/list.txt", list);
    const CliOutcome o = Run({"-i", lists.str() + "/list.txt"});
    EXPECT_EQ(o.status, 1) << o.err;
    const std::vector<LogRecord> log = Log();
    ASSERT_EQ(log.size(), 19u);
    EXPECT_EQ(log.front(), (LogRecord{kDe1, "Success"}));
    EXPECT_EQ(log.back(), (LogRecord{kDe2, "Success"}));
    EXPECT_EQ(Searches(kDe1), 1);
    EXPECT_TRUE(Has(o.err, kDe1 + ": listed twice, fetched once\n")) << o.err;
}

}  // namespace
}  // namespace kestrane
