// kestrane-cli as a user runs it: the built program against the stand-in
// server, its exit status, its output and the files it leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/MergeStep.h"
#include "client/Messages.h"
#include "server/PubServer.h"
#include "tests/support/CliProcess.h"
#include "tests/support/RecordingFrontEnd.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace kestrane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using pubserver::Fault;
using pubserver::FaultKind;
using pubserver::Stage;
using test::CliProcess;
using test::LogRecord;
using Outcome = test::CliOutcome;
using test::ReadFile;
using test::WriteFile;

constexpr const char* kDe1 = pubserver::kSeveralPages;
constexpr const char* kDe2 = pubserver::kSelectionNumber;
constexpr const char* kUnknown = "DE000000000A1";

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class CliTest : public ::testing::Test {
  protected:
    Outcome Run(const std::vector<std::string>& args, const std::string& stdinFile = "/dev/null") {
        CliProcess cli(fixture.server.BaseUrl(), args, save.str(), stdinFile);
        EXPECT_TRUE(cli.Started());
        return cli.Wait();
    }
    std::vector<LogRecord> Log() const { return test::ParseLog(ReadFile(save.str() + "/dl.log")); }

    test::ServerFixture fixture;
    test::TempDir save;
};

TEST_F(CliTest, SavesEveryNumberAndExitsZero) {
    // Numbers from the arguments and from a file; the save folder defaults to
    // the current folder.
    test::TempDir lists;
    WriteFile(lists.str() + "/numbers.txt", std::string(kDe2) + "\r\n\r\n");
    const Outcome o = Run({kDe1, "-i", lists.str() + "/numbers.txt"});
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(Log(), (std::vector<LogRecord>{{kDe1, "Success"}, {kDe2, "Success"}}));
    EXPECT_EQ(test::PdfPageCount(save.str() + "/" + kDe1 + ".pdf"), pubserver::kSeveralPagesCount);
    EXPECT_TRUE(fs::exists(save.path() / (std::string(pubserver::kSelectionDocB) + ".pdf")));
    EXPECT_FALSE(fs::exists(save.path() / "temp"));
    // Each outcome as a line of its own, and the end of the run.
    EXPECT_TRUE(Has(o.out, std::string(kDe1) + " Success\n")) << o.out;
    EXPECT_TRUE(Has(o.out, std::string(kDe2) + " Success\n")) << o.out;
    EXPECT_TRUE(Has(o.out, "Downloading finished.\n")) << o.out;

    // Numbers on standard input, into a folder given with -o.
    test::TempDir other;
    WriteFile(lists.str() + "/stdin.txt", std::string(kDe1) + "\n");
    const Outcome piped = Run({"-o", other.str(), "-i", "-"}, lists.str() + "/stdin.txt");
    EXPECT_EQ(piped.status, 0) << piped.out << piped.err;
    EXPECT_TRUE(fs::exists(other.path() / (std::string(kDe1) + ".pdf")));
    EXPECT_EQ(test::ParseLog(ReadFile(other.str() + "/dl.log")),
              (std::vector<LogRecord>{{kDe1, "Success"}}));
}

TEST_F(CliTest, FailedItemOrSessionExitsOne) {
    const Outcome o = Run({"-o", save.str(), kUnknown, kDe1});
    EXPECT_EQ(o.status, 1) << o.out << o.err;
    EXPECT_TRUE(Has(o.err, msg::kNoSuchPatent)) << o.err;
    EXPECT_EQ(Log(), (std::vector<LogRecord>{{kUnknown, "Failed"}, {kDe1, "Success"}}));

    const std::string base = fixture.server.BaseUrl();
    fixture.server.Stop();
    test::TempDir empty;
    CliProcess cli(base, {"-o", empty.str(), kDe1}, empty.str());
    const Outcome refused = cli.Wait();
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    EXPECT_TRUE(Has(refused.err, msg::kConnectFailed)) << refused.err;
    EXPECT_EQ(ReadFile(empty.str() + "/dl.log"), "");
}

TEST_F(CliTest, RefusedInputExitsTwoWithTheWindowsTexts) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "Please input patents."},
        {{"-o", save.str() + "/missing", kDe1}, "The path doesn't exist."},
        {{"--proxy", "10.0.0.1", kDe1}, "Please input server IP and server port."},
        {{"--proxy", ":3128", kDe1}, "Please input server IP and server port."},
        {{"--proxy", "10.0.0.1:", kDe1}, "Please input server IP and server port."},
        {{"-i", save.str() + "/no-such-list"}, "no-such-list"},
        {{"--watchdog", "0", kDe1}, ""},
        {{"--watchdog", "1e300", kDe1}, ""},
        {{"--watchdog", "nan", kDe1}, ""},
        {{"--no-such-option", kDe1}, ""},
    };
    for (const auto& [args, text] : cases) {
        const Outcome o = Run(args);
        EXPECT_EQ(o.status, 2) << text << o.out << o.err;
        EXPECT_TRUE(Has(o.err, text)) << o.err;
    }
    test::TempDir lists;
    std::string many;
    for (int i = 0; i < 21; ++i) many += "DE" + std::to_string(i) + "\n";
    WriteFile(lists.str() + "/many.txt", many);
    const Outcome tooMany = Run({"-i", "-"}, lists.str() + "/many.txt");
    EXPECT_EQ(tooMany.status, 2);
    EXPECT_TRUE(Has(tooMany.err, "Max tasks is 20!")) << tooMany.err;

    EXPECT_FALSE(fs::exists(save.path() / "dl.log"));
    EXPECT_TRUE(fixture.server.RequestLog().empty()) << "nothing was asked of the server";
}

TEST_F(CliTest, MergeProgramComesFromTheOptionOrTheEnvironmentElseQpdfInProcess) {
    // A pdftk-contract program that notes each call and merges with the stand-in.
    test::TempDir tools;
    const std::string calls = tools.str() + "/calls";
    const std::string program = tools.str() + "/noting merge";
    WriteFile(program, "#!/bin/sh\necho called >> '" + calls + "'\nexec '" + test::MergeStandin() +
                           "' \"$@\"\n");
    fs::permissions(program, fs::perms::owner_all);
    const auto run = [&](const std::vector<std::string>& args,
                         const std::vector<std::string>& env) {
        fs::remove(calls);
        test::TempDir out;
        std::vector<std::string> all = {"-o", out.str()};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back(kDe1);
        CliProcess cli(fixture.server.BaseUrl(), all, out.str(), "/dev/null", env);
        const Outcome o = cli.Wait();
        EXPECT_EQ(o.status, 0) << o.out << o.err;
        EXPECT_EQ(test::PdfPageCount(out.str() + "/" + kDe1 + ".pdf"),
                  pubserver::kSeveralPagesCount);
        return fs::exists(calls);
    };
    const std::string fromEnv = std::string(kMergeProgramVariable) + "=" + program;

    EXPECT_FALSE(run({}, {})) << "in-process by default";
    EXPECT_TRUE(run({"--merge-program", program}, {}));
    EXPECT_TRUE(run({}, {fromEnv}));
    EXPECT_FALSE(run({"--merge-program", "qpdf"}, {fromEnv})) << "the option wins";
}

TEST_F(CliTest, AMergeProgramThatIsNowhereRefusesTheRun) {
    const Outcome option = Run({"--merge-program", "/nowhere/pdftk", kDe1});
    EXPECT_EQ(option.status, 2) << option.out << option.err;
    EXPECT_TRUE(Has(option.err, "--merge-program: merge program /nowhere/pdftk not found"))
        << option.err;

    CliProcess cli(fixture.server.BaseUrl(), {kDe1}, save.str(), "/dev/null",
                   {std::string(kMergeProgramVariable) + "=kestrane-no-such-pdftk"});
    const Outcome env = cli.Wait();
    EXPECT_EQ(env.status, 2) << env.out << env.err;
    EXPECT_TRUE(Has(env.err, std::string(kMergeProgramVariable) +
                                 ": merge program kestrane-no-such-pdftk not found"))
        << env.err;

    EXPECT_FALSE(fs::exists(save.path() / "dl.log"));
    EXPECT_TRUE(fixture.server.RequestLog().empty()) << "nothing was asked of the server";
}

TEST_F(CliTest, CtrlCCancelsTheRunAndExitsWith130) {
    std::mutex mutex;
    std::condition_variable searched;
    bool stuck = false;
    fixture.server.AddFault(kDe2, Fault{Stage::Search, FaultKind::Stall});
    fixture.server.SetRequestObserver([&](const pubserver::RequestLogEntry& entry) {
        if (entry.queryNumber != kDe2)
            return;
        std::lock_guard<std::mutex> lock(mutex);
        stuck = true;
        searched.notify_all();
    });
    CliProcess cli(fixture.server.BaseUrl(), {"-o", save.str(), kDe1, kDe2, kUnknown}, save.str());
    ASSERT_TRUE(cli.Started());
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(searched.wait_for(lock, 120s, [&] { return stuck; }));
    }
    cli.Interrupt();
    const Outcome o = cli.Wait();
    fixture.server.SetRequestObserver(nullptr);
    EXPECT_EQ(o.status, 130) << o.out << o.err;
    EXPECT_TRUE(Has(o.err, msg::kCancelled)) << o.err;
    EXPECT_EQ(Log(), (std::vector<LogRecord>{{kDe1, "Success"}, {kDe2, "Cancelled"}}));
    EXPECT_FALSE(fs::exists(save.path() / "temp"));
}

TEST_F(CliTest, WatchdogAbandonsAStalledItem) {
    fixture.server.AddFault(kDe1, Fault{Stage::PagePdf, FaultKind::Stall, 2});
    const Outcome o = Run({"-o", save.str(), "--watchdog", "0.2", kDe1});
    EXPECT_EQ(o.status, 1) << o.out << o.err;
    EXPECT_EQ(Log(), (std::vector<LogRecord>{{kDe1, "Failed"}}));
    EXPECT_TRUE(Has(o.out, "Downloading finished.")) << o.out;
    EXPECT_FALSE(fs::exists(save.path() / (std::string(kDe1) + ".pdf")));
}

}  // namespace
}  // namespace kestrane
