// SPDX-License-Identifier: GPL-3.0-or-later
// kestrane-cli as a user runs it: the built program against the stand-in
// server, its exit status, its output and the files it leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/Messages.h"
#include "client/pdf/MergeStep.h"
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
    EXPECT_TRUE(Has(o.out, std::string(kDe1) + " Success -> ")) << o.out;
    EXPECT_TRUE(Has(o.out, std::string(kDe2) + " Success -> ")) << o.out;
    EXPECT_TRUE(Has(o.err, "Downloading finished.\n")) << o.err;

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

// The publication server no longer serves the classic interface at its
// built-in address: a failed session there says so and how to choose another
// source; at any other address the texts stay as they were. The built-in
// address is reached through a proxy on a closed loopback port, so nothing
// leaves this machine.
TEST_F(CliTest, FailedSessionAtTheBuiltInAddressSaysTheInterfaceIsGone) {
    test::ClosedPort closed;
    const std::string proxy = "127.0.0.1:" + std::to_string(closed.Port());
    const std::vector<std::string> env = {"no_proxy=", "NO_PROXY="};
    const std::vector<std::string> args = {"--source", "classic", "--proxy", proxy, kDe1};
    test::TempDir builtIn;
    const Outcome gone = CliProcess("", args, builtIn.str(), "/dev/null", env).Wait();
    test::TempDir standIn;
    const Outcome other = CliProcess("http://127.0.0.1:" + std::to_string(closed.Port()), args,
                                     standIn.str(), "/dev/null", env)
                              .Wait();
    EXPECT_EQ(gone.status, 1) << gone.err;
    EXPECT_EQ(other.status, 1) << other.err;
    EXPECT_TRUE(Has(other.err, msg::kConnectFailed)) << other.err;
    EXPECT_EQ(gone.err, other.err + msg::kInterfaceGoneCli + "\n");
    EXPECT_EQ(gone.out, other.out);
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
        {{kDe1, "DE2\r\n2009-12-14 09:30:05 DE3 Success"}, "holds a control character"},
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

// A refusal first names what was refused, then gives the window's text; a
// missing save folder can be made instead, and a proxy that cannot be reached is named.
TEST_F(CliTest, RefusalsNameWhatWasRefusedAndTheFolderCanBeMade) {
    std::vector<std::string> many;
    for (int i = 0; i < 25; ++i) many.push_back("DE" + std::to_string(i));
    const std::string missing = save.str() + "/new/folder";
    const std::string file = save.str() + "/list.txt";
    WriteFile(file, kDe1);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {many,
         "25 numbers given, at most 20 per run; --batch takes longer lists\nMax tasks is 20!"},
        {{}, "(see kestrane-cli --help)\nPlease input patents."},
        {{"-o", missing, kDe1},
         missing + " does not exist (--create-folder makes it)\nThe path doesn't exist."},
        {{"-o", file, kDe1}, file + " is a file, not a folder\nThe path doesn't exist."},
        {{"--create-folder", "-o", file, kDe1},
         file + " is a file, not a folder\nThe path doesn't exist."},
    };
    for (const auto& [args, text] : cases) {
        const Outcome o = Run(args);
        EXPECT_EQ(o.status, 2) << o.err;
        EXPECT_TRUE(Has(o.err, text + "\n")) << o.err;
    }
    EXPECT_FALSE(fs::exists(missing));

    const Outcome made = Run({"--create-folder", "-o", missing, kDe1});
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_TRUE(fs::is_regular_file(fs::path(missing) / (std::string(kDe1) + ".pdf")));

    test::ServerFixture gone;
    const std::string proxy = "127.0.0.1:" + std::to_string(gone.server.Port());
    gone.server.Stop();
    const Outcome unreachable = Run({"--proxy", proxy, "-o", save.str(), kDe1});
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_TRUE(Has(unreachable.err,
                    "Could not connect through the proxy " + proxy + "\n" + msg::kConnectFailed))
        << unreachable.err;
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

// An -i input is read only as far as it could still pass the checks, so
// endless or binary input is refused at once; a byte-order mark is no part of
// the first number.
TEST_F(CliTest, InputIsReadOnlyAsFarAsItCanPass) {
    for (const char* device : {"/dev/zero", "/dev/urandom"}) {
        CliProcess cli(fixture.server.BaseUrl(), {"-i", device}, save.str());
        const Outcome o = cli.Wait(30s);
        EXPECT_EQ(o.status, 2) << device << o.err;
        EXPECT_TRUE(Has(o.err, "holds a control character") || Has(o.err, "Max tasks is 20!"))
            << device << o.err;
    }

    // yes DE1 | kestrane-cli -i -
    const std::string fifo = save.str() + "/numbers.fifo";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    std::signal(SIGPIPE, SIG_IGN);
    std::thread yes([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        const std::string lines = [] {
            std::string text;
            for (int i = 0; i < 1000; ++i) text += "DE1\n";
            return text;
        }();
        while (fd >= 0 && ::write(fd, lines.data(), lines.size()) > 0) {
        }
        if (fd >= 0)
            ::close(fd);
    });
    const Outcome endless = Run({"-i", "-"}, fifo);
    yes.join();
    EXPECT_EQ(endless.status, 2) << endless.err;
    EXPECT_TRUE(Has(endless.err, "Max tasks is 20!")) << endless.err;
    fs::remove(fifo);

    test::TempDir lists;
    WriteFile(lists.str() + "/bom.txt", "\xEF\xBB\xBF" + std::string(kDe1) + "\r\n");
    const Outcome bom = Run({"-o", save.str(), "-i", lists.str() + "/bom.txt"});
    EXPECT_EQ(bom.status, 0) << bom.err;
    EXPECT_EQ(Log(), (std::vector<LogRecord>{{kDe1, "Success"}}));
}

// Two runs into one folder each keep to a temporary folder of their own, so
// neither removes the other's pages.
TEST_F(CliTest, TwoRunsIntoOneFolderKeepApart) {
    pubserver::ServerOptions slow;
    slow.latency = 30ms;
    test::ServerFixture server(slow);
    CliProcess first(server.server.BaseUrl(), {"-o", save.str(), pubserver::kManyPages},
                     save.str());
    for (int i = 0; i < 3000 && !fs::exists(save.path() / "temp"); ++i)
        std::this_thread::sleep_for(5ms);
    CliProcess second(server.server.BaseUrl(), {"-o", save.str(), kDe1, kDe2}, save.str());
    const Outcome b = second.Wait();
    const Outcome a = first.Wait();
    EXPECT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(test::PdfPageCount(save.str() + "/" + pubserver::kManyPages + ".pdf"),
              pubserver::kManyPagesCount);
    EXPECT_EQ(test::PdfPageCount(save.str() + "/" + kDe1 + ".pdf"), pubserver::kSeveralPagesCount);
    EXPECT_EQ(Log().size(), 3u);
    for (const auto& entry : fs::directory_iterator(save.path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with("temp")) << entry.path();
}

// A closed standard output (kestrane-cli ... | head -1) or error must not end
// the run: everything is saved and recorded.
TEST_F(CliTest, AClosedOutputLosesNothing) {
    CliProcess cli(fixture.server.BaseUrl(), {"-o", save.str(), kDe1, kUnknown, kDe2}, save.str(),
                   "/dev/null", {}, true);
    ASSERT_TRUE(cli.Started());
    const Outcome o = cli.Wait();
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(Log(),
              (std::vector<LogRecord>{{kDe1, "Success"}, {kUnknown, "Failed"}, {kDe2, "Success"}}));
    EXPECT_EQ(test::PdfPageCount(save.str() + "/" + kDe1 + ".pdf"), pubserver::kSeveralPagesCount);
    EXPECT_TRUE(fs::exists(save.path() / (std::string(pubserver::kSelectionDocB) + ".pdf")));
    EXPECT_FALSE(fs::exists(save.path() / "temp"));
}

// SIGTERM cancels like Ctrl-C; a second signal cancels at once. Either way the
// item in work is recorded and the merge dies with every process it started.
TEST_F(CliTest, TerminationSignalsCancelAndTakeTheMergeDown) {
    test::TempDir tools;
    const std::string child = tools.str() + "/child";
    WriteFile(tools.str() + "/pdftk", "#!/bin/sh\nsleep 300 &\necho $! > '" + child +
                                          ".tmp'\nmv '" + child + ".tmp' '" + child + "'\nwait\n");
    fs::permissions(tools.path() / "pdftk", fs::perms::owner_all);
    CliProcess cli(fixture.server.BaseUrl(),
                   {"-o", save.str(), "--merge-program", tools.str() + "/pdftk", kDe1, kDe2},
                   save.str());
    ASSERT_TRUE(cli.Started());
    for (int i = 0; i < 3000 && !fs::exists(child); ++i) std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(fs::exists(child)) << "the merge never started";
    const pid_t sleeper = std::stoi(ReadFile(child));
    cli.Signal(SIGTERM);
    cli.Signal(SIGHUP);
    const Outcome o = cli.Wait(60s);
    EXPECT_EQ(o.status, 130) << o.out << o.err;
    EXPECT_EQ(Log(), (std::vector<LogRecord>{{kDe1, "Cancelled"}}));
    EXPECT_TRUE(Has(o.err, msg::kCancelled)) << o.err;
    bool gone = false;
    for (int i = 0; i < 250 && !gone; ++i) {
        const std::string stat = ReadFile("/proc/" + std::to_string(sleeper) + "/stat");
        gone = stat.empty() || stat.find(") Z") != std::string::npos;
        if (!gone)
            std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(gone) << "the merge's child outlived the run";
    EXPECT_FALSE(fs::exists(save.path() / "temp"));
    EXPECT_FALSE(fs::exists(save.path() / (std::string(kDe1) + ".pdf")));
}

TEST_F(CliTest, WatchdogAbandonsAStalledItem) {
    fixture.server.AddFault(kDe1, Fault{Stage::PagePdf, FaultKind::Stall, 2});
    const Outcome o = Run({"-o", save.str(), "--watchdog", "0.2", kDe1});
    EXPECT_EQ(o.status, 1) << o.out << o.err;
    EXPECT_EQ(Log(), (std::vector<LogRecord>{{kDe1, "Failed"}}));
    EXPECT_TRUE(Has(o.err, "Downloading finished.")) << o.err;
    EXPECT_FALSE(fs::exists(save.path() / (std::string(kDe1) + ".pdf")));
}

}  // namespace
}  // namespace kestrane
