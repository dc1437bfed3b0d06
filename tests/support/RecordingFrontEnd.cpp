// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/RecordingFrontEnd.h"

#include <algorithm>
#include <sstream>

#include "run/InputCheck.h"

namespace kestrane::test {

const char* KindName(FrontEndCall::Kind kind) {
    switch (kind) {
        case FrontEndCall::SessionOpened:
            return "SessionOpened";
        case FrontEndCall::ItemStarted:
            return "ItemStarted";
        case FrontEndCall::ItemStep:
            return "ItemStep";
        case FrontEndCall::ListDone:
            return "ListDone";
        case FrontEndCall::OnRunFinished:
            return "OnRunFinished";
        case FrontEndCall::ArmWatchdog:
            return "ArmWatchdog";
        case FrontEndCall::AskToAcknowledge:
            return "AskToAcknowledge";
        case FrontEndCall::StopWatchdog:
            return "StopWatchdog";
        case FrontEndCall::WithdrawQuestion:
            return "WithdrawQuestion";
        case FrontEndCall::OnIdle:
            return "OnIdle";
        case FrontEndCall::OnSaveFolderReady:
            return "OnSaveFolderReady";
        case FrontEndCall::OnRunMessage:
            return "OnRunMessage";
        case FrontEndCall::WatchdogTick:
            return "WatchdogTick";
    }
    return "?";
}

RecordingFrontEnd::RecordingFrontEnd(EventLoop& loop, std::chrono::milliseconds watchdogPeriod)
    : loop_(loop), period_(watchdogPeriod) {}

void RecordingFrontEnd::Tick() {
    Record(FrontEndCall::WatchdogTick);
    if (controller_ != nullptr)
        controller_->OnWatchdogTick();
}

std::vector<FrontEndCall> RecordingFrontEnd::CallsOf(FrontEndCall::Kind kind) const {
    std::vector<FrontEndCall> out;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(out),
                 [kind](const FrontEndCall& c) { return c.kind == kind; });
    return out;
}

std::vector<FrontEndCall> RecordingFrontEnd::ListNotes() const {
    std::vector<FrontEndCall> out;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(out), [](const FrontEndCall& c) {
        return c.kind == FrontEndCall::ItemStarted || c.kind == FrontEndCall::ListDone;
    });
    return out;
}

int RecordingFrontEnd::Count(FrontEndCall::Kind kind) const {
    return static_cast<int>(std::count_if(
        calls_.begin(), calls_.end(), [kind](const FrontEndCall& c) { return c.kind == kind; }));
}

int RecordingFrontEnd::Find(FrontEndCall::Kind kind, int from) const {
    for (int i = std::max(from, 0); i < static_cast<int>(calls_.size()); ++i) {
        if (calls_[static_cast<std::size_t>(i)].kind == kind)
            return i;
    }
    return -1;
}

std::string RecordingFrontEnd::Describe() const {
    std::ostringstream out;
    for (const FrontEndCall& c : calls_) {
        out << KindName(c.kind);
        if (c.kind == FrontEndCall::ItemStarted || c.kind == FrontEndCall::ListDone) {
            out << "(" << c.note.ProgressIndex << "," << c.note.ItemSucceeded << ","
                << c.note.PreviousNumber << "," << c.note.Count << ")";
        } else if (c.kind == FrontEndCall::ItemStep) {
            out << "(" << c.value << ")";
        } else if (!c.text.empty()) {
            out << "(" << c.text << ")";
        }
        out << "\n";
    }
    return out.str();
}

bool RecordingFrontEnd::Drain(std::chrono::milliseconds timeout) {
    auto reached = std::make_shared<bool>(false);
    loop_.Post([reached] { *reached = true; });
    return loop_.RunUntil([reached] { return *reached; }, timeout);
}

void RecordingFrontEnd::Post(std::function<void()> call) {
    ++workerCalls_;
    loop_.Post(std::move(call));
}

void RecordingFrontEnd::StartTimer(std::chrono::milliseconds, std::function<void()>) {
    Record(FrontEndCall::ArmWatchdog);
    if (period_.count() > 0)
        loop_.StartTimer(period_, [this] { Tick(); });
}

void RecordingFrontEnd::StopTimer() {
    Record(FrontEndCall::StopWatchdog);
    loop_.StopTimer();
}

void RecordingFrontEnd::OnItemStarted(const ItemStarted& item) {
    if (onProgress)
        onProgress(item.Note);
    Record(FrontEndCall::ItemStarted, item.Activity, 0, item.Note);
}

void RecordingFrontEnd::OnListDone(const ProgressNote& note) {
    if (onProgress)
        onProgress(note);
    Record(FrontEndCall::ListDone, "", 0, note);
}

void RecordingFrontEnd::OnRunFinished(const RunEnd& end) {
    Record(FrontEndCall::OnRunFinished);
    lastEnd_ = end;
    if (controller_ != nullptr)
        atFinish_ = controller_->Snapshot();
}

void RecordingFrontEnd::AskToAcknowledge(std::shared_ptr<FailureNotice> box) {
    Record(FrontEndCall::AskToAcknowledge, box->Text());
    if (autoClose_) {
        box->Close();
    } else {
        openBoxes_.push_back(box);
    }
}

void RecordingFrontEnd::WithdrawQuestion(const std::shared_ptr<FailureNotice>& box) {
    Record(FrontEndCall::WithdrawQuestion, box->Text());
    openBoxes_.erase(std::remove(openBoxes_.begin(), openBoxes_.end(), box), openBoxes_.end());
}

void RecordingFrontEnd::OnRunMessage(const std::string& text) {
    Record(FrontEndCall::OnRunMessage, text);
    if (onFinishMessage)
        onFinishMessage(text);
}

std::vector<LogRecord> RecordingFrontEnd::ItemRecords() const {
    std::vector<LogRecord> records;
    for (const ItemFinished& item : items_) {
        const std::string record = MakeRecord("", item.Number, item.Result);
        records.push_back({item.Number, record.substr(record.rfind(' ') + 1)});
    }
    return records;
}

void PrintTo(const LogRecord& record, std::ostream* out) {
    *out << "{\"" << record.number << "\" " << record.outcome << "}";
}

std::vector<LogRecord> ParseLog(const std::string& text) {
    std::vector<LogRecord> records;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = text.substr(start, end - start);
        // "YYYY-MM-DD HH:MM:SS " is 20 characters; the outcome is the last word.
        const std::size_t blank = line.rfind(' ');
        if (line.size() < 22 || blank == std::string::npos || blank < 20) {
            records.push_back({line, "?"});
            continue;
        }
        records.push_back({line.substr(20, blank - 20), line.substr(blank + 1)});
    }
    if (start != text.size())
        records.push_back({text.substr(start), "?"});
    return records;
}

RunOptions TestRunOptions(const std::string& serverBase, const std::string& mergeProgram) {
    RunOptions options;
    options.ServerBase = serverBase;
    options.MergeProgram = mergeProgram;
    return options;
}

RunHarness::RunHarness(const std::string& serverBase, std::chrono::milliseconds watchdogPeriod,
                       const std::string& mergeProgram,
                       std::function<std::unique_ptr<Source>()> makeSource,
                       const std::function<void(RunOptions&, const std::string&)>& tune)
    : front(loop, watchdogPeriod), controller(front, front, [&] {
          RunOptions options = TestRunOptions(serverBase, mergeProgram);
          options.MakeSource = std::move(makeSource);
          if (tune)
              tune(options, save.str() + "/");
          return options;
      }()) {
    front.Attach(controller);
}

bool RunHarness::Start(const std::vector<std::string>& numbers) {
    DownloadRequest request;
    request.Lines = numbers;
    request.SaveFolder = save.str();
    const InputCheck check = CheckDownloadInput(request);
    if (!check.Ok)
        return false;
    finishesBefore_ = front.Count(FrontEndCall::OnIdle);
    return controller.StartRun(check.Job);
}

bool RunHarness::WaitFinished(std::chrono::milliseconds timeout) {
    return loop.RunUntil([this] { return front.Count(FrontEndCall::OnIdle) > finishesBefore_; },
                         timeout);
}

bool RunHarness::WaitWorkersEnded(std::chrono::milliseconds timeout) {
    return loop.RunUntil([this] { return controller.LiveWorkerCount() == 0; }, timeout);
}

std::string RunHarness::LogText() const {
    return ReadFile(save.str() + "/dl.log");
}

}  // namespace kestrane::test
