// SPDX-License-Identifier: GPL-3.0-or-later
// A front end for tests: its dispatcher is an EventLoop on the test's thread,
// as a window's is its GUI thread, and it records every event and timer call
// in the order it arrived.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "run/Dispatcher.h"
#include "run/EventLoop.h"
#include "run/FrontEnd.h"
#include "run/RunController.h"
#include "tests/support/TestSupport.h"

namespace kestrane::test {

struct FrontEndCall {
    enum Kind {
        SessionOpened,
        ItemStarted,  // note, and the activity line as text
        ItemStep,     // value: the percent
        ListDone,     // note
        OnRunFinished,
        ArmWatchdog,  // the run (re)started the dispatcher's timer
        AskToAcknowledge,
        StopWatchdog,  // the run stopped it
        WithdrawQuestion,
        OnIdle,
        OnSaveFolderReady,
        OnRunMessage,
        WatchdogTick,  // a tick of the loop's timer, just before OnWatchdogTick()
    };
    Kind kind;
    std::string text;   // activity line, question, folder, closing message
    int value = 0;      // step percent
    ProgressNote note;  // ItemStarted, ListDone
};

const char* KindName(FrontEndCall::Kind kind);

class RecordingFrontEnd : public FrontEnd, public Dispatcher {
  public:
    // watchdogPeriod 0: the timer only records; the test calls Tick() itself.
    explicit RecordingFrontEnd(
        EventLoop& loop, std::chrono::milliseconds watchdogPeriod = std::chrono::milliseconds(0));

    // The controller whose OnWatchdogTick() Tick() calls and whose state
    // AtFinish() keeps.
    void Attach(RunController& controller) { controller_ = &controller; }

    // Failure boxes are closed as soon as they are shown unless this is off;
    // boxes left open stay in OpenBoxes() until dismissed or closed by the test.
    void SetAutoCloseBoxes(bool on) { autoClose_ = on; }
    std::vector<std::shared_ptr<FailureNotice>>& OpenBoxes() { return openBoxes_; }

    // Called (on the loop) when an ItemStarted or ListDone arrives, before it is recorded.
    std::function<void(const ProgressNote&)> onProgress;
    // Called (on the loop) when the run completion shows its message.
    std::function<void(const std::string&)> onFinishMessage;

    // One watchdog expiry, as the timer would deliver it.
    void Tick();

    // Everything here on the loop's thread (the test's thread).
    const std::vector<FrontEndCall>& Calls() const { return calls_; }
    // The items' outcomes, in the order they arrived (not among Calls()).
    const std::vector<ItemFinished>& Items() const { return items_; }
    // Items() as run log records read back.
    std::vector<struct LogRecord> ItemRecords() const;
    std::vector<FrontEndCall> CallsOf(FrontEndCall::Kind kind) const;
    int Count(FrontEndCall::Kind kind) const;
    // The calls that say where the list stands (ItemStarted and ListDone), in order.
    std::vector<FrontEndCall> ListNotes() const;
    // Index of the first call of this kind at or after from; -1 when none.
    int Find(FrontEndCall::Kind kind, int from = 0) const;
    bool Finished() const { return Count(FrontEndCall::OnIdle) > 0; }
    // The run's state as it was when OnRunFinished was carried out, before the
    // run completion emptied it.
    const RunSnapshot& AtFinish() const { return atFinish_; }
    // What the latest OnRunFinished said.
    const RunEnd& LastEnd() const { return lastEnd_; }
    std::string Describe() const;

    // Carries out everything posted so far (a marker goes through the queue).
    bool Drain(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // How many events were posted so far (counted as they are posted, not as
    // they arrive). Any thread.
    int WorkerCallsMade() const { return workerCalls_.load(); }

    // Dispatcher.
    void Post(std::function<void()> call) override;
    void StartTimer(std::chrono::milliseconds period, std::function<void()> tick) override;
    void StopTimer() override;
    bool OnOwnThread() const override { return loop_.OnOwnThread(); }

    // FrontEnd: every call is recorded as it arrives.
    void OnSessionOpened() override { Record(FrontEndCall::SessionOpened); }
    void OnItemStarted(const ItemStarted& item) override;
    void OnItemStep(const ItemStep& step) override {
        Record(FrontEndCall::ItemStep, "", step.Percent);
    }
    void OnListDone(const ProgressNote& note) override;
    void OnRunFinished(const RunEnd& end) override;
    void OnItemFinished(const ItemFinished& item) override { items_.push_back(item); }
    void AskToAcknowledge(std::shared_ptr<FailureNotice> box) override;
    void WithdrawQuestion(const std::shared_ptr<FailureNotice>& box) override;
    void OnIdle() override { Record(FrontEndCall::OnIdle); }
    void OnSaveFolderReady(const std::string& saveFolder) override {
        Record(FrontEndCall::OnSaveFolderReady, saveFolder);
    }
    void OnRunMessage(const std::string& text) override;

  private:
    void Record(FrontEndCall::Kind kind, std::string text = {}, int value = 0,
                ProgressNote note = {}) {
        calls_.push_back(FrontEndCall{kind, std::move(text), value, std::move(note)});
    }

    EventLoop& loop_;
    const std::chrono::milliseconds period_;
    RunController* controller_ = nullptr;
    // Loop thread only.
    bool autoClose_ = true;
    std::vector<std::shared_ptr<FailureNotice>> openBoxes_;
    std::vector<FrontEndCall> calls_;
    std::vector<ItemFinished> items_;
    RunSnapshot atFinish_;
    RunEnd lastEnd_;
    std::atomic<int> workerCalls_{0};
};

// One run log record read back: the number and the outcome word.
struct LogRecord {
    std::string number;
    std::string outcome;
    bool operator==(const LogRecord&) const = default;
};
void PrintTo(const LogRecord& record, std::ostream* out);
// Splits run log text into records; a malformed line yields {line, "?"}.
std::vector<LogRecord> ParseLog(const std::string& text);

// Run options against serverBase with the given merge program ("": the built-in
// qpdf engine); requests are not echoed.
RunOptions TestRunOptions(const std::string& serverBase, const std::string& mergeProgram = "");

// A save folder, an event loop, a recording front end and a controller wired
// together, as a front end would set them up.
class RunHarness {
  public:
    RunHarness(const std::string& serverBase,
               std::chrono::milliseconds watchdogPeriod = std::chrono::milliseconds(0),
               const std::string& mergeProgram = "",  // "": the built-in qpdf engine
               std::function<std::unique_ptr<Source>()> makeSource = {},
               // Changes the options before the controller takes them (given the save folder).
               const std::function<void(RunOptions&, const std::string&)>& tune = {});

    // Runs the numbers through the input checks and starts the run.
    bool Start(const std::vector<std::string>& numbers);
    // Runs the loop until the run completion of the latest Start() has reset the front end.
    bool WaitFinished(std::chrono::milliseconds timeout = std::chrono::seconds(120));
    bool WaitFor(const std::function<bool()>& pred,
                 std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        return loop.RunUntil(pred, timeout);
    }
    // Runs the loop until every worker (stopped ones too) has ended.
    bool WaitWorkersEnded(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    std::string SaveFolder() const { return save.str() + "/"; }
    std::string Saved(const std::string& name) const { return save.str() + "/" + name + ".pdf"; }
    std::string LogText() const;  // dl.log as it stands
    std::vector<LogRecord> LogRecords() const { return ParseLog(LogText()); }

    TempDir save;  // first in, last out: the controller may still write into it
    EventLoop loop;
    RecordingFrontEnd front;
    RunController controller;

  private:
    int finishesBefore_ = 0;  // run completions seen before the latest Start()
};

}  // namespace kestrane::test
