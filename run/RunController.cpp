// SPDX-License-Identifier: GPL-3.0-or-later
#include "run/RunController.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "client/ClientContext.h"
#include "client/Messages.h"
#include "client/SaveDocument.h"
#include "client/Settings.h"
#include "client/net/HttpExchange.h"
#include "client/pdf/MergeStep.h"
#include "run/Files.h"
#include "run/Worker.h"
#include "util/Platform.h"

namespace kestrane {

namespace {

struct WorkerThread {
    std::shared_ptr<detail::WorkerToken> token;
    std::thread thread;  // not joinable when it could not be started

    bool Ended() const { return !thread.joinable() || token->ended.load(); }
    void Join() {
        if (thread.joinable())
            thread.join();
    }
};

}  // namespace

struct RunController::Impl {
    Impl(RunController& self, FrontEnd& frontEnd, Dispatcher& events, RunOptions options)
        : run(frontEnd, events, std::move(options)) {
        run.ArmWatchdog = [this, &self] {
            run.Events.StartTimer(run.Options.WatchdogPeriod, [&self] { self.OnWatchdogTick(); });
        };
        run.WorkerFinished = [this](const std::shared_ptr<detail::WorkerToken>& token) {
            // Only the finish of the run's own worker counts; one left over from
            // a run that was ended on close has been revoked and never arrives.
            if (current && current->token == token)
                FinishRun();
        };
    }

    // The run lock, the flags and RunLogText live here; the workers share it.
    detail::RunShared run;

    // Front-end thread only. Workers hold their own reference to the job, so
    // releasing it here never pulls it from under a worker that unwinds.
    std::shared_ptr<DownloadJob> CurrentJob;
    // Front-end thread only: the worker of the run, if one was started.
    std::optional<WorkerThread> current;
    // Front-end thread only: stopped or finished workers, joined once they
    // have ended (the front-end thread never waits for a running worker).
    std::vector<WorkerThread> retired;
    // Front-end thread only: temporary folders removed while a stopped worker
    // might still have been unwinding into them; removed again at the end.
    std::vector<std::string> lateCleanup;
    // Front-end thread only: the run completion is under way. Its finish
    // message may run a nested event loop; no new run starts inside it.
    bool completing = false;
    // Front-end thread only: false once the controller is going; calls the
    // controller posts for itself look at it on arrival.
    const std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    FrontEnd& Front() { return run.Front; }

    void ReapRetired() {
        for (auto it = retired.begin(); it != retired.end();) {
            if (it->Ended()) {
                it->Join();
                it = retired.erase(it);
            } else {
                ++it;
            }
        }
    }

    void RetireCurrent() {
        if (current) {
            retired.push_back(std::move(*current));
            current.reset();
        }
    }

    // A worker that posted its finish writes nothing more; a stopped one may
    // still be on its way out of a page download.
    bool AnyStoppedWorkerRunning() const {
        std::lock_guard<std::mutex> lock(run.Lock);
        for (const WorkerThread& w : retired) {
            if (w.token->revoked.load() && !w.Ended())
                return true;
        }
        return false;
    }

    // Starts a worker on the current job. When no thread can be had, the run
    // is ended through the usual finish path instead of hanging.
    void StartWorker() {
        WorkerThread worker;
        worker.token = std::make_shared<detail::WorkerToken>();
        try {
            worker.thread = std::thread([&shared = run, job = CurrentJob, token = worker.token] {
                detail::DownloadWorker(shared, job, token);
                token->ended.store(true);
            });
        } catch (const std::system_error&) {
            {
                std::lock_guard<std::mutex> lock(run.Lock);
                worker.token->finishPosted = true;
            }
            PostFinish();
        }
        current = std::move(worker);
    }

    // The finish event posted by the front-end thread itself: it ends the
    // current run unless that has ended (or another begun) by the time it arrives.
    void PostFinish() {
        run.Events.Post([this, alive = alive, job = CurrentJob] {
            if (*alive && CurrentJob == job)
                FinishRun();
        });
    }

    // The finish event as it arrives: the run completion of an active run.
    void FinishRun() {
        if (!run.IsDownloading.load() || !CurrentJob || completing)
            return;
        const bool sessionFailed = run.SessionFailed.load();
        RunEnd end;
        end.Cancelled = run.CancelRequested.load();
        end.SessionFailed = sessionFailed;
        end.InterfaceGone = sessionFailed && run.InterfaceGone.load();
        {
            std::lock_guard<std::mutex> lock(run.Lock);
            end.SessionFailure = CurrentJob->SessionFailure;
        }
        end.Quota = run.Quota->Snapshot();
        Front().OnRunFinished(end);
        Complete();
    }

    // Stops the current worker: after this it touches nothing shared and
    // nothing it posted arrives. With ui, its failed item's question is withdrawn and
    // the watchdog stopped as well.
    void StopCurrent(bool ui) {
        if (!current)
            return;
        detail::WorkerToken& token = *current->token;
        std::shared_ptr<FailureNotice> question;
        {
            std::lock_guard<std::mutex> lock(run.Lock);
            token.revoked.store(true);
            question = std::move(token.question);
        }
        token.abort.store(true);
        if (question) {
            question->Close();
            if (ui)
                Front().WithdrawQuestion(question);
        }
        if (ui)
            run.Events.StopTimer();
    }

    // The run completion once the worker is done with the run.
    void Complete() {
        completing = true;
        FrontEnd& front = Front();
        const std::shared_ptr<DownloadJob> job = CurrentJob;
        run.Events.StopTimer();
        run.IsDownloading.store(false);
        front.OnIdle();

        DeleteFolderTree(job->TempFolder);
        RetireCurrent();
        if (AnyStoppedWorkerRunning() && std::find(lateCleanup.begin(), lateCleanup.end(),
                                                   job->TempFolder) == lateCleanup.end()) {
            lateCleanup.push_back(job->TempFolder);
        }

        if (!run.CancelRequested.load() && !run.SessionFailed.load()) {
            front.OnSaveFolderReady(job->SaveFolder);
        }
        std::string message;
        {
            std::lock_guard<std::mutex> lock(run.Lock);
            message = job->MessageText;
        }
        // Blocks until acknowledged. The steps below still belong to this run,
        // so StartRun() refuses until they are done.
        if (!message.empty())
            front.OnRunMessage(message);

        const std::string logFailure = EndRunLog();
        if (!logFailure.empty())
            front.OnLogIncomplete(logFailure);
        run.CancelRequested.store(false);
        run.SessionFailed.store(false);
        run.InterfaceGone.store(false);
        run.SkipSessionStart.store(false);
        CurrentJob.reset();
        completing = false;
    }

    // Every record is on disk already; what is left is to forget them and
    // to say whether dl.log could not take some of them.
    std::string EndRunLog() {
        std::lock_guard<std::mutex> lock(run.Lock);
        run.RunLogText.clear();
        // As ever, a run ends with dl.log in place, also when it has no record.
        if (run.Log)
            run.Log->Append("");
        std::string failure = run.Log ? run.Log->FailureText() : "";
        if (run.Report && run.Report->Failed())
            failure += (failure.empty() ? "" : "\n") + run.Report->FailureText();
        run.Log.reset();
        run.Report.reset();
        return failure;
    }

    // ---- The watchdog's steps, front-end thread only.

    // True when the item in work stood still for a whole period (no new
    // item, no bytes) and its worker may be stopped; else notes where it stands.
    bool StoodStill() {
        DownloadJob& job = *CurrentJob;
        detail::WorkerToken& token = *current->token;
        std::lock_guard<std::mutex> lock(run.Lock);
        const unsigned long long activity = token.activity.load(std::memory_order_relaxed);
        if (job.WatchdogIndex != job.CurrentIndex || job.WatchdogActivity != activity) {
            job.WatchdogIndex = job.CurrentIndex;
            job.WatchdogActivity = activity;
            return false;
        }
        // A worker that has posted its finish is never stopped or replaced:
        // the run completion is on its way and ends the run.
        return !token.finishPosted && !current->Ended();
    }

    // A stall before any item started: nothing to record or skip, so the
    // run ends as a session start that failed, through the usual finish.
    bool EndStalledSession() {
        DownloadJob& job = *CurrentJob;
        detail::WorkerToken& token = *current->token;
        {
            std::lock_guard<std::mutex> lock(run.Lock);
            if (token.sessionPassed)
                return false;
            job.MessageText = FailureText(FailureKind::Connect, job.CurrentNumber);
            job.SessionFailure = FailureKind::Connect;
            token.finishPosted = true;
        }
        run.SessionFailed.store(true);
        PostFinish();
        return true;
    }

    // Records the stalled item as failed, removes the file it produced, and
    // has the next worker go on after it.
    void AbandonItem(std::time_t tickTime) {
        DownloadJob& job = *CurrentJob;
        detail::WorkerToken& token = *current->token;
        std::string staleOutput;
        ItemFinished abandoned;
        abandoned.Result = Outcome::Failed;
        abandoned.Kind = FailureKind::Stalled;
        abandoned.Stamp = FormatTimeStamp(tickTime);
        {
            std::lock_guard<std::mutex> lock(run.Lock);
            job.ItemStamp.clear();
            abandoned.Index = job.CurrentIndex;
            abandoned.Number = job.CurrentNumber;
            run.AddRecord(MakeLogLine(abandoned.Stamp, job.ItemRecordNumber, Outcome::Failed),
                          BasicReportRow(abandoned.Stamp, job.CurrentNumber, run.SourceId(),
                                         Outcome::Failed, FailureKind::Stalled));
            job.CurrentIndex += 1;
            // A stall during the search leaves the previous item's 1 here; the
            // successor's first report would then mark the stalled number (its
            // PreviousNumber) as saved.
            job.ItemSucceeded = 0;
            // Only a file this item produced goes: one that stood there before
            // the item started is the user's earlier download and stays.
            if (!token.outputExisted && IsSafeDocumentName(token.outputName)) {
                staleOutput =
                    platform::Utf8FromPath(paths::MergedFile(job.SaveFolder, token.outputName));
            }
        }
        Front().OnItemFinished(abandoned);
        run.SkipSessionStart.store(true);
        if (!staleOutput.empty()) {
            std::error_code ec;
            std::filesystem::remove(staleOutput, ec);
        }
    }
};

RunOptions FrontEndRunOptions() {
    RunOptions options;
    if (const char* base = std::getenv("KESTRANE_SERVER_BASE"); base != nullptr)
        options.ServerBase = base;
    options.OnRequest = EchoRequestLine;
    // The settings file's [merge] program= is to go in as the second argument.
    options.MergeProgram = ChooseMergeProgram("", MergeProgramSetting());
    return options;
}

RunController::RunController(FrontEnd& frontEnd, Dispatcher& events, RunOptions options)
    : impl_(std::make_unique<Impl>(*this, frontEnd, events, std::move(options))) {}

RunController::~RunController() {
    Impl& d = *impl_;
    assert(d.run.Events.OnOwnThread());
    const bool active = d.run.IsDownloading.load() && d.CurrentJob != nullptr;
    // The front end may be on its way out: stop without calling it.
    if (active)
        d.StopCurrent(false);
    d.run.Events.StopTimer();
    *d.alive = false;
    d.RetireCurrent();
    {
        // Whatever any worker posted and is still queued dies on arrival.
        std::lock_guard<std::mutex> lock(d.run.Lock);
        for (WorkerThread& w : d.retired) w.token->revoked.store(true);
    }
    for (WorkerThread& w : d.retired) w.Join();
    d.retired.clear();
    if (active) {
        // Nothing can write into the run any more: finish its files.
        DeleteFolderTree(d.CurrentJob->TempFolder);
        d.EndRunLog();
        d.run.IsDownloading.store(false);
        d.CurrentJob.reset();
    }
    for (const std::string& folder : d.lateCleanup) DeleteFolderTree(folder);
}

bool RunController::IsDownloading() const {
    return impl_->run.IsDownloading.load();
}

bool RunController::StartRun(JobInput input) {
    Impl& d = *impl_;
    assert(d.run.Events.OnOwnThread());
    if (d.run.IsDownloading.load() || d.completing)
        return false;
    d.ReapRetired();

    auto job = std::make_shared<DownloadJob>();
    job->PatentNumbers = std::move(input.PatentNumbers);
    job->SaveFolder = std::move(input.SaveFolder);
    job->TempFolder = std::move(input.TempFolder);
    job->Proxy = std::move(input.Proxy);
    job->AccessType = input.AccessType;
    job->CurrentIndex = 0;
    {
        std::lock_guard<std::mutex> lock(d.run.Lock);
        d.run.Log.emplace(platform::Utf8FromPath(paths::RunLog(job->SaveFolder)));
        d.run.Report.reset();
        d.run.Quota->Reset();
        d.run.Choices = input.Choices.value_or(d.run.Options.Choices);
        if (!d.run.Options.ReportPath.empty())
            d.run.Report.emplace(
                d.run.Options.ReportPath,
                ReportFormatFor(d.run.Options.ReportPath).value_or(ReportFormat::Csv));
        else if (d.run.Choices.ReportBesideLog)
            d.run.Report.emplace(
                platform::Utf8FromPath(std::filesystem::path(job->SaveFolder) / "report.csv"),
                ReportFormat::Csv);
    }
    d.CurrentJob = std::move(job);

    d.run.IsDownloading.store(true);
    d.StartWorker();
    return true;
}

void RunController::RequestCancel() {
    if (impl_->run.IsDownloading.load())
        impl_->run.CancelRequested.store(true);
}

void RunController::OnWatchdogTick() {
    Impl& d = *impl_;
    assert(d.run.Events.OnOwnThread());
    const std::time_t tickTime = std::time(nullptr);
    d.ReapRetired();
    if (!d.run.IsDownloading.load() || !d.CurrentJob || !d.current || !d.StoodStill())
        return;
    d.StopCurrent(true);
    if (d.EndStalledSession())
        return;
    d.AbandonItem(tickTime);
    d.RetireCurrent();
    d.StartWorker();
}

void RunController::StopForClose() {
    Impl& d = *impl_;
    assert(d.run.Events.OnOwnThread());
    if (!d.run.IsDownloading.load() || !d.CurrentJob || d.completing)
        return;
    d.StopCurrent(true);
    d.Complete();
}

void RunController::CancelNow() {
    Impl& d = *impl_;
    if (!d.run.IsDownloading.load() || !d.CurrentJob || d.completing)
        return;
    {
        // A worker that posted its finish has written its last record; the
        // run completion is on its way.
        std::lock_guard<std::mutex> lock(d.run.Lock);
        if (d.current && d.current->token->finishPosted)
            return;
    }
    assert(d.run.Events.OnOwnThread());
    d.run.CancelRequested.store(true);
    d.StopCurrent(true);
    std::optional<ItemFinished> cancelled;
    {
        std::lock_guard<std::mutex> lock(d.run.Lock);
        DownloadJob& job = *d.CurrentJob;
        if (!job.ItemStamp.empty()) {
            cancelled = ItemFinished{job.CurrentIndex,
                                     job.CurrentNumber,
                                     Outcome::Cancelled,
                                     FailureKind::Cancelled,
                                     {},
                                     job.ItemStamp,
                                     {},
                                     {}};
            d.run.AddRecord(MakeLogLine(job.ItemStamp, job.ItemRecordNumber, Outcome::Cancelled),
                            BasicReportRow(job.ItemStamp, job.CurrentNumber, d.run.SourceId(),
                                           Outcome::Cancelled, FailureKind::Cancelled));
            job.ItemStamp.clear();
        }
        job.MessageText = msg::kCancelled;
    }
    if (cancelled)
        d.Front().OnItemFinished(*cancelled);
    d.Complete();
}

RunSnapshot RunController::Snapshot() const {
    const Impl& d = *impl_;
    RunSnapshot snapshot;
    snapshot.IsDownloading = d.run.IsDownloading.load();
    snapshot.CancelRequested = d.run.CancelRequested.load();
    snapshot.SessionFailed = d.run.SessionFailed.load();
    snapshot.SkipSessionStart = d.run.SkipSessionStart.load();
    std::lock_guard<std::mutex> lock(d.run.Lock);
    if (d.CurrentJob) {
        snapshot.HasJob = true;
        snapshot.Job = *d.CurrentJob;
    }
    snapshot.RunLogText = d.run.RunLogText;
    return snapshot;
}

int RunController::LiveWorkerCount() const {
    const Impl& d = *impl_;
    int live = (d.current && !d.current->Ended()) ? 1 : 0;
    for (const WorkerThread& w : d.retired) {
        if (!w.Ended())
            ++live;
    }
    return live;
}

}  // namespace kestrane
