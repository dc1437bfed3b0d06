// SPDX-License-Identifier: GPL-3.0-or-later
// Stopping a worker: the watchdog, closing during a run, and the controller's
// own end. A stopped worker must never again touch the job, the log text, the
// output files or the front end, wherever it was blocked.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/Messages.h"
#include "client/net/HttpExchange.h"
#include "run/EventLoop.h"
#include "run/InputCheck.h"
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

constexpr const char* kDe1 = pubserver::kSeveralPages;
constexpr const char* kDe2 = pubserver::kSelectionNumber;
constexpr const char* kDe3 = pubserver::kManyPages;
constexpr const char* kUnknown = "DE000000000A1";

class WatchdogTest : public ::testing::Test {
  protected:
    int SessionStarts() const {
        int n = 0;
        for (const auto& entry : fixture.server.RequestLog()) {
            if (entry.path.ends_with("/start.do"))
                ++n;
        }
        return n;
    }
    bool Searched(const std::string& number) const {
        for (const auto& entry : fixture.server.RequestLog()) {
            if (entry.queryNumber == number)
                return true;
        }
        return false;
    }
    // Waits, without carrying out posted calls, until every worker has ended:
    // whatever they posted then waits in the queue.
    static bool WorkersEndedUnserved(const RunController& controller) {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (controller.LiveWorkerCount() > 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }
    static std::vector<FrontEndCall::Kind> KindsFrom(const test::RecordingFrontEnd& front,
                                                     int from) {
        std::vector<FrontEndCall::Kind> kinds;
        for (std::size_t i = static_cast<std::size_t>(from); i < front.Calls().size(); ++i)
            kinds.push_back(front.Calls()[i].kind);
        return kinds;
    }

    test::ServerFixture fixture;
};

// The session step is watched too: a server that never answers the start page
// must not hold the run for ever.
TEST_F(WatchdogTest, AStalledSessionStartEndsTheRunAsAFailedSession) {
    fixture.server.AddFault("*", Fault{Stage::Session, FaultKind::Stall});
    test::RunHarness run(fixture.server.BaseUrl());
    ASSERT_TRUE(run.Start({kDe1, kDe2}));
    ASSERT_TRUE(run.WaitFor([&] { return SessionStarts() == 1; }));
    run.front.Tick();
    EXPECT_TRUE(run.controller.IsDownloading()) << "the first tick only notes the index";
    run.front.Tick();
    ASSERT_TRUE(run.WaitFinished()) << run.front.Describe();

    EXPECT_TRUE(run.LogRecords().empty());
    EXPECT_EQ(run.front.Count(FrontEndCall::OnSaveFolderReady), 0);
    EXPECT_TRUE(run.front.ListNotes().empty());
    EXPECT_EQ(run.front.CallsOf(FrontEndCall::OnRunMessage)[0].text, msg::kConnectFailed);
    EXPECT_FALSE(Searched(kDe1));
    EXPECT_TRUE(run.WaitWorkersEnded());
    EXPECT_FALSE(run.controller.Snapshot().SessionFailed) << "flags are reset at the end";
}

TEST_F(WatchdogTest, StalledSearchIsAbandonedAndTheRunGoesOnWithoutANewSession) {
    fixture.server.AddFault(kDe2, Fault{Stage::Search, FaultKind::Stall});
    test::RunHarness run(fixture.server.BaseUrl());
    ASSERT_TRUE(run.Start({kDe1, kDe2, kDe3}));
    ASSERT_TRUE(run.WaitFor([&] { return Searched(kDe2); })) << run.front.Describe();
    ASSERT_TRUE(run.front.Drain());  // everything said before the stop is carried out

    // The first tick only notes the index in work.
    run.front.Tick();
    EXPECT_EQ(run.front.Count(FrontEndCall::StopWatchdog), 0);
    EXPECT_EQ(run.front.ItemRecords(), (std::vector<LogRecord>{{kDe1, "Success"}}));

    // The second finds it unchanged: Failed, and a successor at the next number.
    run.front.Tick();
    EXPECT_EQ(run.front.Count(FrontEndCall::StopWatchdog), 1);
    const RunSnapshot stopped = run.controller.Snapshot();
    EXPECT_EQ(stopped.Job.CurrentIndex, 2);
    EXPECT_TRUE(stopped.SkipSessionStart);
    EXPECT_EQ(test::ParseLog(stopped.RunLogText),
              (std::vector<LogRecord>{{kDe1, "Success"}, {kDe2, "Failed"}}));
    EXPECT_EQ(run.front.ItemRecords(), test::ParseLog(stopped.RunLogText));
    EXPECT_EQ(run.front.Items().back().Kind, FailureKind::Stalled);

    // After the restart the next tick records the new index and stops nothing.
    ASSERT_TRUE(run.WaitFor([&] { return run.front.ListNotes().size() >= 3; }));
    run.front.Tick();
    EXPECT_EQ(run.front.Count(FrontEndCall::StopWatchdog), 1);

    ASSERT_TRUE(run.WaitFinished()) << run.front.Describe();
    EXPECT_EQ(run.LogRecords(),
              (std::vector<LogRecord>{{kDe1, "Success"}, {kDe2, "Failed"}, {kDe3, "Success"}}));
    EXPECT_EQ(SessionStarts(), 1);
    // Session step, items, and the successor arms it again.
    EXPECT_EQ(run.front.Count(FrontEndCall::ArmWatchdog), 3);
    EXPECT_EQ(run.front.Count(FrontEndCall::AskToAcknowledge), 0);
    const auto notes = run.front.ListNotes();
    ASSERT_EQ(notes.size(), 4u);
    // The stall came during the search, while ItemSucceeded still held the
    // first item's 1: the stalled number must not be reported as saved.
    EXPECT_EQ(notes[2].note.PreviousNumber, kDe2);
    EXPECT_EQ(notes[2].note.ItemSucceeded, 0);
    EXPECT_EQ(run.front.CallsOf(FrontEndCall::OnRunMessage)[0].text, msg::kFinished);
    EXPECT_TRUE(fs::exists(run.Saved(kDe3)));
}

TEST_F(WatchdogTest, LastItemStallingOnATimerKeepsTheUsersEarlierFile) {
    fixture.server.AddFault(kDe1, Fault{Stage::PagePdf, FaultKind::Stall, 2});
    test::RunHarness run(fixture.server.BaseUrl(), 200ms);
    WriteFile(run.Saved(kDe1), "downloaded last week");
    ASSERT_TRUE(run.Start({kDe1}));
    ASSERT_TRUE(run.WaitFinished(60s)) << run.front.Describe();

    EXPECT_EQ(run.LogRecords(), (std::vector<LogRecord>{{kDe1, "Failed"}}));
    EXPECT_EQ(ReadFile(run.Saved(kDe1)), "downloaded last week")
        << "a file the stalled item did not produce stays";
    const auto notes = run.front.ListNotes();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[1].note.ProgressIndex, 1);
    EXPECT_EQ(notes[1].note.ItemSucceeded, 0) << "the stalled last item is not reported saved";
    EXPECT_EQ(run.front.Count(FrontEndCall::ArmWatchdog), 3);
    EXPECT_EQ(run.front.Count(FrontEndCall::OnRunFinished), 1);
    EXPECT_EQ(run.front.CallsOf(FrontEndCall::OnRunMessage)[0].text, msg::kFinished);
    EXPECT_EQ(SessionStarts(), 1);
    EXPECT_FALSE(fs::exists(run.save.path() / "temp"));
}

TEST_F(WatchdogTest, WorkerStoppedInTheMergeLeavesEverythingAlone) {
    // A merge that never ends, after it has already put a file in place.
    test::TempDir tools;
    const std::string marker = tools.str() + "/merging";
    const std::string script = tools.str() + "/pdftk";
    auto run = std::make_unique<test::RunHarness>(fixture.server.BaseUrl(), 0ms, script);
    WriteFile(script, "#!/bin/sh\nprintf 'half' > '" + run->Saved(kDe1) + "'\ntouch '" + marker +
                          "'\nexec sleep 120\n");
    fs::permissions(script, fs::perms::owner_all);

    ASSERT_TRUE(run->Start({kDe1}));
    ASSERT_TRUE(run->WaitFor([&] { return fs::exists(marker); })) << run->front.Describe();
    ASSERT_TRUE(run->front.Drain());  // everything said before the stop is carried out
    run->front.Tick();
    run->front.Tick();
    const int stop = run->front.Find(FrontEndCall::StopWatchdog);
    ASSERT_GE(stop, 0);

    ASSERT_TRUE(run->WaitFinished()) << run->front.Describe();
    ASSERT_TRUE(run->WaitWorkersEnded()) << "the merge is killed, the worker unwinds";
    ASSERT_TRUE(run->front.Drain());

    // Only the successor (at the end of the list) and the run completion speak.
    EXPECT_EQ(KindsFrom(run->front, stop + 1),
              (std::vector<FrontEndCall::Kind>{
                  FrontEndCall::SessionOpened, FrontEndCall::ArmWatchdog, FrontEndCall::ListDone,
                  FrontEndCall::OnRunFinished, FrontEndCall::StopWatchdog, FrontEndCall::OnIdle,
                  FrontEndCall::OnSaveFolderReady, FrontEndCall::OnRunMessage}))
        << run->front.Describe();
    EXPECT_EQ(test::ParseLog(run->front.AtFinish().RunLogText),
              (std::vector<LogRecord>{{kDe1, "Failed"}}));
    EXPECT_EQ(run->front.CallsOf(FrontEndCall::OnRunMessage)[0].text, msg::kFinished);
    EXPECT_FALSE(fs::exists(run->Saved(kDe1))) << "the item's own output goes";
    EXPECT_EQ(run->LogRecords(), (std::vector<LogRecord>{{kDe1, "Failed"}}));
}

TEST_F(WatchdogTest, FailureBoxLeftOpenPastTwoTicksIsTakenDown) {
    test::RunHarness run(fixture.server.BaseUrl());
    run.front.SetAutoCloseBoxes(false);
    ASSERT_TRUE(run.Start({kUnknown, kDe1}));
    ASSERT_TRUE(run.WaitFor([&] { return run.front.OpenBoxes().size() == 1; }))
        << run.front.Describe();
    const std::shared_ptr<FailureNotice> box = run.front.OpenBoxes()[0];
    EXPECT_EQ(box->Text(), msg::kNoSuchPatent);

    run.front.Tick();
    EXPECT_FALSE(box->IsClosed());
    run.front.Tick();
    EXPECT_TRUE(box->IsClosed());
    EXPECT_TRUE(run.front.OpenBoxes().empty());
    EXPECT_EQ(run.front.Count(FrontEndCall::WithdrawQuestion), 1);

    ASSERT_TRUE(run.WaitFinished()) << run.front.Describe();
    ASSERT_TRUE(run.WaitWorkersEnded());
    ASSERT_TRUE(run.front.Drain());
    // The worker's record and the watchdog's, then the next number.
    EXPECT_EQ(
        run.LogRecords(),
        (std::vector<LogRecord>{{kUnknown, "Failed"}, {kUnknown, "Failed"}, {kDe1, "Success"}}));
    EXPECT_EQ(run.front.Count(FrontEndCall::AskToAcknowledge), 1);
    EXPECT_EQ(run.front.ItemRecords(), run.LogRecords());
    const auto notes = run.front.ListNotes();
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_EQ(notes[1].note.PreviousNumber, kUnknown);
    EXPECT_EQ(notes[1].note.ItemSucceeded, 0);
}

TEST_F(WatchdogTest, WorkerThatPostedItsFinishIsNeverReplaced) {
    test::RunHarness run(fixture.server.BaseUrl());
    ASSERT_TRUE(run.Start({kDe1}));
    ASSERT_TRUE(run.WaitFor([&] { return run.front.Count(FrontEndCall::ItemStarted) == 1; }));
    run.front.Tick();  // notes index 0
    // The worker finishes the list while the front end is busy elsewhere; its
    // finish waits in the queue when the next tick finds the index unchanged.
    ASSERT_TRUE(WorkersEndedUnserved(run.controller));
    run.front.Tick();
    EXPECT_EQ(run.front.Count(FrontEndCall::StopWatchdog), 0);
    EXPECT_EQ(run.controller.LiveWorkerCount(), 0);

    ASSERT_TRUE(run.WaitFinished()) << run.front.Describe();
    EXPECT_EQ(run.LogRecords(), (std::vector<LogRecord>{{kDe1, "Success"}}));
    EXPECT_EQ(run.front.Count(FrontEndCall::OnRunFinished), 1);
    EXPECT_TRUE(fs::exists(run.Saved(kDe1)));
}

TEST_F(WatchdogTest, NothingAStoppedWorkerSaidReachesTheFrontEndAfterTheStop) {
    test::RunHarness run(fixture.server.BaseUrl());
    ASSERT_TRUE(run.Start({kDe1}));
    // The worker goes through the whole list while nothing is carried out:
    // everything it said waits in the queue when the window is closed.
    ASSERT_TRUE(WorkersEndedUnserved(run.controller));
    EXPECT_GT(run.front.WorkerCallsMade(), 0);
    run.controller.StopForClose();
    ASSERT_TRUE(run.front.Drain());

    EXPECT_EQ(KindsFrom(run.front, 0),
              (std::vector<FrontEndCall::Kind>{
                  FrontEndCall::StopWatchdog, FrontEndCall::StopWatchdog, FrontEndCall::OnIdle,
                  FrontEndCall::OnSaveFolderReady, FrontEndCall::OnRunMessage}))
        << run.front.Describe();
    EXPECT_TRUE(run.front.Items().empty());
    EXPECT_EQ(run.LogRecords(), (std::vector<LogRecord>{{kDe1, "Success"}})) << "its record stays";
}

TEST_F(WatchdogTest, ClosingDuringAStalledDownloadStopsTheWorkerFirst) {
    fixture.server.AddFault(kDe2, Fault{Stage::Search, FaultKind::Stall});
    test::RunHarness run(fixture.server.BaseUrl());
    ASSERT_TRUE(run.Start({kDe1, kDe2}));
    ASSERT_TRUE(run.WaitFor([&] { return Searched(kDe2); })) << run.front.Describe();

    run.controller.StopForClose();
    const int made = run.front.WorkerCallsMade();
    EXPECT_FALSE(run.controller.IsDownloading());
    EXPECT_FALSE(run.controller.Snapshot().HasJob);
    EXPECT_EQ(run.front.Count(FrontEndCall::OnIdle), 1);
    EXPECT_EQ(run.front.Count(FrontEndCall::OnSaveFolderReady), 1) << "no cancel was confirmed";
    EXPECT_EQ(run.front.Count(FrontEndCall::OnRunMessage), 0) << "no message text yet";
    EXPECT_EQ(run.LogRecords(), (std::vector<LogRecord>{{kDe1, "Success"}}));
    EXPECT_FALSE(fs::exists(run.save.path() / "temp"));

    ASSERT_TRUE(run.WaitWorkersEnded()) << "the exchange in flight is aborted";
    ASSERT_TRUE(run.front.Drain());
    EXPECT_EQ(run.front.WorkerCallsMade(), made) << run.front.Describe();
    EXPECT_EQ(run.front.Count(FrontEndCall::OnRunFinished), 0);
    EXPECT_EQ(run.LogRecords(), (std::vector<LogRecord>{{kDe1, "Success"}}));
    EXPECT_FALSE(fs::exists(run.save.path() / "temp"));
}

TEST_F(WatchdogTest, FinishOfARunEndedOnCloseDoesNotEndTheNextRun) {
    fixture.server.AddFault(kDe2, Fault{Stage::Search, FaultKind::Stall});
    test::RunHarness run(fixture.server.BaseUrl());
    ASSERT_TRUE(run.Start({kDe1}));
    ASSERT_TRUE(WorkersEndedUnserved(run.controller));  // its finish waits in the queue
    run.controller.StopForClose();
    EXPECT_FALSE(run.controller.IsDownloading());

    ASSERT_TRUE(run.Start({kDe2}));
    ASSERT_TRUE(run.front.Drain());  // the old finish was queued before the new run
    EXPECT_EQ(run.front.Count(FrontEndCall::OnRunFinished), 0) << "a stopped worker's finish dies";
    EXPECT_TRUE(run.controller.IsDownloading());
    EXPECT_TRUE(run.controller.Snapshot().HasJob);

    ASSERT_TRUE(run.WaitFor([&] { return Searched(kDe2); }));
    run.controller.StopForClose();
    ASSERT_TRUE(run.WaitWorkersEnded());
    EXPECT_EQ(run.LogRecords(), (std::vector<LogRecord>{{kDe1, "Success"}}));
}

TEST_F(WatchdogTest, ControllerGoingAwayMidRunStopsJoinsAndKeepsTheRecords) {
    fixture.server.AddFault(kDe2, Fault{Stage::Search, FaultKind::Stall});
    test::TempDir save;
    EventLoop loop;
    test::RecordingFrontEnd front(loop);
    auto controller = std::make_unique<RunController>(
        front, front, test::TestRunOptions(fixture.server.BaseUrl()));
    front.Attach(*controller);
    DownloadRequest request;
    request.Lines = {kDe1, kDe2};
    request.SaveFolder = save.str();
    const InputCheck check = CheckDownloadInput(request);
    ASSERT_TRUE(check.Ok);
    ASSERT_TRUE(controller->StartRun(check.Job));
    ASSERT_TRUE(loop.RunUntil([&] { return Searched(kDe2); }, 60s));

    const auto before = std::chrono::steady_clock::now();
    const int made = front.WorkerCallsMade();
    controller.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
    EXPECT_EQ(front.WorkerCallsMade(), made);
    EXPECT_EQ(test::ParseLog(ReadFile(save.str() + "/dl.log")),
              (std::vector<LogRecord>{{kDe1, "Success"}}));
    EXPECT_FALSE(fs::exists(save.path() / "temp"));
}

}  // namespace
}  // namespace kestrane
