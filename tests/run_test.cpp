// SPDX-License-Identifier: GPL-3.0-or-later
// The run: folder clean-up, the log writer, the event loop, and whole runs
// against the stand-in server, merged with the built-in qpdf engine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "client/ClientContext.h"
#include "client/Messages.h"
#include "run/EventLoop.h"
#include "run/Files.h"
#include "server/PubServer.h"
#include "tests/support/RecordingFrontEnd.h"
#include "tests/support/TestSupport.h"

namespace kestrane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using pubserver::Fault;
using pubserver::FaultKind;
using pubserver::Stage;
using test::FrontEndCall;
using test::LogRecord;
using test::ReadFile;
using test::WriteFile;

constexpr const char* kDe1 = pubserver::kSeveralPages;     // 3 pages
constexpr const char* kDe2 = pubserver::kSelectionNumber;  // two documents
constexpr const char* kDe3 = pubserver::kManyPages;        // 12 pages
constexpr const char* kUnknown = "DE000000000A1";

// ---- Files

TEST(DeleteFolderTree, RemovesFilesAndSubfoldersDepthFirst) {
    test::TempDir dir;
    const fs::path temp = dir.path() / "temp";
    fs::create_directories(temp / "sub" / "deeper");
    WriteFile((temp / "page_1.pdf").string(), "1");
    WriteFile((temp / "sub" / "a").string(), "a");
    WriteFile((temp / "sub" / "deeper" / "b").string(), "b");
    WriteFile((dir.path() / "keep.pdf").string(), "k");

    DeleteFolderTree(temp.string() + "/");  // as TempFolder is written, trailing separator
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_TRUE(fs::exists(dir.path() / "keep.pdf"));

    DeleteFolderTree((dir.path() / "missing").string());  // silent
    EXPECT_TRUE(fs::exists(dir.path() / "keep.pdf"));
}

TEST(DeleteFolderTree, NeverFollowsALinkOutOfTheTree) {
    test::TempDir dir;
    const fs::path outside = dir.path() / "outside";
    const fs::path temp = dir.path() / "temp";
    fs::create_directories(outside);
    fs::create_directories(temp);
    WriteFile((outside / "precious.pdf").string(), "mine");
    fs::create_directory_symlink(outside, temp / "link-to-dir");
    fs::create_symlink(outside / "precious.pdf", temp / "link-to-file");

    DeleteFolderTree(temp.string());
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(ReadFile((outside / "precious.pdf").string()), "mine");

    // A link standing in for the folder itself goes; its target stays.
    fs::create_directory_symlink(outside, temp);
    DeleteFolderTree(temp.string() + "/");
    EXPECT_FALSE(fs::exists(fs::symlink_status(temp)));
    EXPECT_EQ(ReadFile((outside / "precious.pdf").string()), "mine");
}

TEST(AppendLogFile, CreatesAppendsUnchangedAndReportsFailures) {
    test::TempDir dir;
    const std::string log = paths::RunLog(dir.str() + "/").string();  // SaveFolder ends in "/"
    EXPECT_EQ(log, dir.str() + "/dl.log");
    EXPECT_EQ(AppendLogFile("", log), 1);
    EXPECT_TRUE(fs::exists(log)) << "a run without records still creates the log";
    EXPECT_EQ(AppendLogFile("a Success\r\n", log), 1);
    EXPECT_EQ(AppendLogFile("b Failed\r\n\n", log), 1);
    EXPECT_EQ(ReadFile(log), "a Success\r\nb Failed\r\n\n");

    EXPECT_EQ(AppendLogFile("x", dir.str() + "/no/such/folder/dl.log"), 0);
    EXPECT_FALSE(fs::exists(dir.path() / "no"));
    // Opened, but the write cannot complete.
    if (fs::exists("/dev/full")) {
        EXPECT_EQ(AppendLogFile("lost\r\n", "/dev/full"), 0);
    }
}

// ---- Event loop

TEST(EventLoop, CarriesOutPostsInOrderFromAnyThread) {
    EventLoop loop;
    std::vector<int> seen;  // loop thread only
    constexpr int kPerThread = 200;
    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t) {
        posters.emplace_back([&loop, &seen, t] {
            for (int i = 0; i < kPerThread; ++i)
                loop.Post([&seen, t, i] { seen.push_back(t * 1000 + i); });
        });
    }
    EXPECT_TRUE(loop.RunUntil([&] { return seen.size() == 3u * kPerThread; }, 10s));
    for (std::thread& p : posters) p.join();
    for (int t = 0; t < 3; ++t) {
        int last = -1;
        for (int v : seen) {
            if (v / 1000 != t)
                continue;
            EXPECT_EQ(v % 1000, last + 1) << "posts of one thread keep their order";
            last = v % 1000;
        }
        EXPECT_EQ(last, kPerThread - 1);
    }
}

TEST(EventLoop, TimerRepeatsRestartsAndStops) {
    EventLoop loop;
    int ticks = 0;
    loop.StartTimer(5ms, [&] { ++ticks; });
    EXPECT_TRUE(loop.RunUntil([&] { return ticks >= 3; }, 10s));

    // Restarted from inside its own tick with a new action, then stopped from inside it.
    int second = 0;
    loop.StartTimer(5ms, [&] {
        loop.StartTimer(5ms, [&] {
            ++second;
            if (second == 2)
                loop.StopTimer();
        });
    });
    EXPECT_TRUE(loop.RunUntil([&] { return second == 2; }, 10s));
    const int ticksBefore = ticks;
    EXPECT_FALSE(loop.RunUntil([&] { return second > 2; }, 100ms));
    EXPECT_EQ(ticks, ticksBefore);

    // Run() ends at Quit(), also one posted from another thread.
    std::thread quitter([&] { loop.Post([&] { loop.Quit(); }); });
    loop.Run();
    quitter.join();
}

// ---- Whole runs

class RunTest : public ::testing::Test {
  protected:
    int SessionStarts() const {
        int n = 0;
        for (const auto& entry : fixture.server.RequestLog()) {
            if (entry.path.ends_with("/start.do"))
                ++n;
        }
        return n;
    }

    static std::vector<int> ProgressIndices(const test::RecordingFrontEnd& front) {
        std::vector<int> out;
        for (const FrontEndCall& c : front.ListNotes()) out.push_back(c.note.ProgressIndex);
        return out;
    }

    test::ServerFixture fixture;
};

TEST_F(RunTest, ThreeNumbersAllSaved) {
    test::RunHarness run(fixture.server.BaseUrl());
    ASSERT_TRUE(run.Start({kDe1, kDe2, kDe3}));
    EXPECT_TRUE(run.controller.IsDownloading());
    EXPECT_FALSE(
        run.controller.StartRun({{kDe1}, run.SaveFolder(), run.SaveFolder() + "temp/", "", 0, {}}))
        << "one run at a time";
    ASSERT_TRUE(run.WaitFinished()) << run.front.Describe();
    const test::RecordingFrontEnd& front = run.front;

    EXPECT_EQ(run.LogRecords(),
              (std::vector<LogRecord>{{kDe1, "Success"}, {kDe2, "Success"}, {kDe3, "Success"}}));
    EXPECT_EQ(test::PdfPageCount(run.Saved(kDe1)), pubserver::kSeveralPagesCount);
    EXPECT_EQ(test::PdfPageCount(run.Saved(pubserver::kSelectionDocA)),
              pubserver::kSelectionDocAPages);
    EXPECT_EQ(test::PdfPageCount(run.Saved(pubserver::kSelectionDocB)),
              pubserver::kSelectionDocBPages);
    EXPECT_EQ(test::PdfPageCount(run.Saved(kDe3)), pubserver::kManyPagesCount);
    EXPECT_FALSE(fs::exists(run.save.path() / "temp"));
    EXPECT_EQ(SessionStarts(), 1);
    // Each record's event, in the log's order, with the files it saved.
    EXPECT_EQ(front.ItemRecords(), run.LogRecords());
    ASSERT_EQ(front.Items().size(), 3u);
    EXPECT_EQ(front.Items()[1].SavedFiles,
              (std::vector<std::string>{std::string(pubserver::kSelectionDocA) + ".pdf",
                                        std::string(pubserver::kSelectionDocB) + ".pdf"}));
    EXPECT_EQ(front.Items()[2].Index, 2);
    EXPECT_EQ(front.Items()[2].Kind, FailureKind::None);

    // Four progress reports: each item as it starts, then the end of the list.
    const auto notes = front.ListNotes();
    ASSERT_EQ(notes.size(), 4u) << front.Describe();
    EXPECT_EQ(notes[3].kind, FrontEndCall::ListDone);
    const std::string previous[] = {"", kDe1, kDe2, kDe3};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(notes[i].note.ProgressIndex, i);
        EXPECT_EQ(notes[i].note.Count, 3);
        EXPECT_EQ(notes[i].note.PreviousNumber, previous[i]);
        EXPECT_EQ(notes[i].note.ItemSucceeded, i == 0 ? 0 : 1);
    }
    EXPECT_EQ(front.Count(FrontEndCall::OnRunFinished), 1);
    // Once to watch the session step, once more when the items begin.
    EXPECT_EQ(front.Count(FrontEndCall::ArmWatchdog), 2);
    EXPECT_EQ(front.Find(FrontEndCall::ArmWatchdog), 0);
    EXPECT_EQ(front.Count(FrontEndCall::AskToAcknowledge), 0);

    // Per item: its start with the activity line, then 30 after the search.
    const auto& calls = front.Calls();
    const int arm = front.Find(FrontEndCall::ArmWatchdog, 1);
    ASSERT_GT(arm, 0);
    EXPECT_EQ(calls[arm - 1].kind, FrontEndCall::SessionOpened);
    int at = arm;
    for (const char* number : {kDe1, kDe2, kDe3}) {
        at = front.Find(FrontEndCall::ItemStarted, at + 1);
        ASSERT_GT(at, 1);
        EXPECT_EQ(calls[at].text, std::string("Downloading ") + number + " PDF document ......");
        EXPECT_EQ(calls[at + 1].kind, FrontEndCall::ItemStep);
        EXPECT_EQ(calls[at + 1].value, 30);
    }

    // The run completion, in its order.
    const int finished = front.Find(FrontEndCall::OnRunFinished);
    ASSERT_GE(finished, 0);
    std::vector<FrontEndCall::Kind> tail;
    for (std::size_t i = finished + 1; i < calls.size(); ++i) tail.push_back(calls[i].kind);
    EXPECT_EQ(tail, (std::vector<FrontEndCall::Kind>{
                        FrontEndCall::StopWatchdog, FrontEndCall::OnIdle,
                        FrontEndCall::OnSaveFolderReady, FrontEndCall::OnRunMessage}));
    EXPECT_EQ(front.CallsOf(FrontEndCall::OnSaveFolderReady)[0].text, run.SaveFolder());
    EXPECT_EQ(front.CallsOf(FrontEndCall::OnRunMessage)[0].text, msg::kFinished);

    const RunSnapshot after = run.controller.Snapshot();
    EXPECT_FALSE(after.IsDownloading);
    EXPECT_FALSE(after.HasJob);
    EXPECT_EQ(after.RunLogText, "");
}

TEST_F(RunTest, UnknownNumberIsRecordedAndTheNextOneRuns) {
    test::RunHarness run(fixture.server.BaseUrl());
    ASSERT_TRUE(run.Start({kUnknown, kDe1}));
    ASSERT_TRUE(run.WaitFinished()) << run.front.Describe();

    EXPECT_EQ(run.LogRecords(), (std::vector<LogRecord>{{kUnknown, "Failed"}, {kDe1, "Success"}}));
    EXPECT_EQ(run.front.ItemRecords(), run.LogRecords());
    EXPECT_EQ(run.front.Items()[0].Kind, FailureKind::NoSuchPatent) << "the kind travels";
    const auto boxes = run.front.CallsOf(FrontEndCall::AskToAcknowledge);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, msg::kNoSuchPatent);
    const auto notes = run.front.ListNotes();
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_EQ(notes[1].note.PreviousNumber, kUnknown);
    EXPECT_EQ(notes[1].note.ItemSucceeded, 0) << "the failed number is not painted as saved";
    EXPECT_EQ(notes[2].note.ItemSucceeded, 1);
    EXPECT_EQ(run.front.CallsOf(FrontEndCall::OnRunMessage)[0].text, msg::kFinished);
    EXPECT_EQ(run.front.Count(FrontEndCall::OnSaveFolderReady), 1);
    EXPECT_TRUE(fs::exists(run.Saved(kDe1)));
    EXPECT_FALSE(fs::exists(run.Saved(kUnknown)));
}

TEST_F(RunTest, CancelDuringTheSecondOfThree) {
    // The second number's search hangs until the cancel ends it.
    fixture.server.AddFault(kDe2, Fault{Stage::Search, FaultKind::Stall});
    test::RunHarness run(fixture.server.BaseUrl());
    run.front.onProgress = [&run](const ProgressNote& note) {
        if (note.ProgressIndex == 1)
            run.controller.RequestCancel();
    };
    ASSERT_TRUE(run.Start({kDe1, kDe2, kDe3}));
    ASSERT_TRUE(run.WaitFinished(60s)) << run.front.Describe();

    EXPECT_EQ(run.LogRecords(), (std::vector<LogRecord>{{kDe1, "Success"}, {kDe2, "Cancelled"}}));
    EXPECT_TRUE(run.front.AtFinish().CancelRequested);
    EXPECT_EQ(run.front.ListNotes().size(), 2u);
    EXPECT_EQ(run.front.Count(FrontEndCall::OnRunFinished), 1);
    EXPECT_EQ(run.front.Count(FrontEndCall::AskToAcknowledge), 0);
    EXPECT_EQ(run.front.Count(FrontEndCall::OnSaveFolderReady), 0);
    EXPECT_EQ(run.front.CallsOf(FrontEndCall::OnRunMessage)[0].text, msg::kCancelled);
    EXPECT_FALSE(fs::exists(run.Saved(kDe3)));
    EXPECT_FALSE(run.controller.Snapshot().CancelRequested) << "flags reset for the next run";
}

TEST_F(RunTest, SessionStartFailing) {
    const std::string base = fixture.server.BaseUrl();
    fixture.server.Stop();  // connection refused
    test::RunHarness run(base);
    WriteFile(run.save.str() + "/dl.log", "earlier\r\n");
    ASSERT_TRUE(run.Start({kDe1, kDe2}));
    ASSERT_TRUE(run.WaitFinished(60s)) << run.front.Describe();

    EXPECT_TRUE(run.front.AtFinish().SessionFailed);
    EXPECT_EQ(run.front.Count(FrontEndCall::OnRunFinished), 1);
    // Armed only to watch the session step, and stopped by the run completion.
    EXPECT_EQ(run.front.Count(FrontEndCall::ArmWatchdog), 1);
    EXPECT_GT(run.front.Find(FrontEndCall::StopWatchdog),
              run.front.Find(FrontEndCall::ArmWatchdog));
    for (auto kind : {FrontEndCall::SessionOpened, FrontEndCall::ItemStarted,
                      FrontEndCall::ItemStep, FrontEndCall::ListDone,
                      FrontEndCall::OnSaveFolderReady, FrontEndCall::AskToAcknowledge}) {
        EXPECT_EQ(run.front.Count(kind), 0) << test::KindName(kind);
    }
    EXPECT_EQ(run.front.CallsOf(FrontEndCall::OnRunMessage)[0].text, msg::kConnectFailed);
    EXPECT_EQ(run.LogText(), "earlier\r\n") << "no record for a run without a session";
    EXPECT_FALSE(fs::exists(run.save.path() / "temp"));
    EXPECT_FALSE(run.controller.Snapshot().SessionFailed);
}

TEST_F(RunTest, TwoRunsAppendToOneLogAndCleanTheirTempFolder) {
    test::RunHarness run(fixture.server.BaseUrl());
    // The finish message belongs to the run that ended: no run starts inside it.
    int refusedInside = 0;
    run.front.onFinishMessage = [&](const std::string&) {
        const JobInput again{{kDe1}, run.SaveFolder(), run.SaveFolder() + "temp/", "", 0, {}};
        if (!run.controller.StartRun(again))
            ++refusedInside;
    };
    ASSERT_TRUE(run.Start({kDe1}));
    // Left-overs in the temporary folder go with it, subfolders too.
    fs::create_directories(run.save.path() / "temp" / "old" / "older");
    WriteFile(run.save.str() + "/temp/stray.pdf", "x");
    WriteFile(run.save.str() + "/temp/old/older/stray.pdf", "y");
    ASSERT_TRUE(run.WaitFinished()) << run.front.Describe();
    EXPECT_FALSE(fs::exists(run.save.path() / "temp"));
    const std::string first = run.LogText();

    const std::string blanks = "  " + std::string(kUnknown);
    ASSERT_TRUE(run.Start({blanks, kDe1}));
    ASSERT_TRUE(run.WaitFinished()) << run.front.Describe();
    const std::string both = run.LogText();
    ASSERT_TRUE(both.starts_with(first));
    EXPECT_EQ(run.LogRecords(),
              (std::vector<LogRecord>{{kDe1, "Success"}, {blanks, "Failed"}, {kDe1, "Success"}}));
    EXPECT_EQ(run.front.Count(FrontEndCall::OnRunFinished), 2);
    EXPECT_EQ(refusedInside, 2);
    EXPECT_FALSE(fs::exists(run.save.path() / "temp"));
    // The number with leading blanks was searched exactly as typed.
    bool searchedAsTyped = false;
    for (const auto& entry : fixture.server.RequestLog()) {
        if (entry.queryNumber == blanks)
            searchedAsTyped = true;
    }
    EXPECT_TRUE(searchedAsTyped);
}

}  // namespace
}  // namespace kestrane
