// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/RecordingFrontEnd.h"

#include <algorithm>
#include <sstream>

#include "run/InputCheck.h"

namespace kestrane::test {

const char* KindName(FrontEndCall::Kind kind) {
    switch (kind) {
        case FrontEndCall::JobProgress:
            return "JobProgress";
        case FrontEndCall::JobFinished:
            return "JobFinished";
        case FrontEndCall::SetStatusText:
            return "SetStatusText";
        case FrontEndCall::SetProgressPos:
            return "SetProgressPos";
        case FrontEndCall::ArmWatchdog:
            return "ArmWatchdog";
        case FrontEndCall::ShowFailureBox:
            return "ShowFailureBox";
        case FrontEndCall::StopWatchdog:
            return "StopWatchdog";
        case FrontEndCall::DismissFailureBox:
            return "DismissFailureBox";
        case FrontEndCall::ResetIdle:
            return "ResetIdle";
        case FrontEndCall::OpenSaveFolder:
            return "OpenSaveFolder";
        case FrontEndCall::ShowFinishMessage:
            return "ShowFinishMessage";
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
        if (c.kind == FrontEndCall::JobProgress) {
            out << "(" << c.note.ProgressIndex << "," << c.note.ItemSucceeded << ","
                << c.note.PreviousNumber << "," << c.note.Count << ")";
        } else if (c.kind == FrontEndCall::SetProgressPos) {
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

void RecordingFrontEnd::JobProgress(const ProgressNote& note) {
    if (onProgress)
        onProgress(note);
    Record(FrontEndCall::JobProgress, "", 0, note);
}

void RecordingFrontEnd::JobFinished(const RunEnd& end) {
    Record(FrontEndCall::JobFinished);
    lastEnd_ = end;
    if (controller_ != nullptr)
        atFinish_ = controller_->Snapshot();
}

void RecordingFrontEnd::ShowFailureBox(std::shared_ptr<FailureBox> box) {
    Record(FrontEndCall::ShowFailureBox, box->Text());
    if (autoClose_) {
        box->Close();
    } else {
        openBoxes_.push_back(box);
    }
}

void RecordingFrontEnd::DismissFailureBox(const std::shared_ptr<FailureBox>& box) {
    Record(FrontEndCall::DismissFailureBox, box->Text());
    openBoxes_.erase(std::remove(openBoxes_.begin(), openBoxes_.end(), box), openBoxes_.end());
}

void RecordingFrontEnd::ShowFinishMessage(const std::string& text) {
    Record(FrontEndCall::ShowFinishMessage, text);
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
    finishesBefore_ = front.Count(FrontEndCall::ResetIdle);
    return controller.StartRun(check.Job);
}

bool RunHarness::WaitFinished(std::chrono::milliseconds timeout) {
    return loop.RunUntil([this] { return front.Count(FrontEndCall::ResetIdle) > finishesBefore_; },
                         timeout);
}

bool RunHarness::WaitWorkersEnded(std::chrono::milliseconds timeout) {
    return loop.RunUntil([this] { return controller.LiveWorkerCount() == 0; }, timeout);
}

std::string RunHarness::LogText() const {
    return ReadFile(save.str() + "/dl.log");
}

}  // namespace kestrane::test
