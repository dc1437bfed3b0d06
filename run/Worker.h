// SPDX-License-Identifier: GPL-3.0-or-later
// The download worker and what it shares with RunController. Private to run/.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "client/net/HttpExchange.h"
#include "run/Dispatcher.h"
#include "run/DownloadJob.h"
#include "run/FrontEnd.h"
#include "run/Report.h"
#include "run/RunController.h"
#include "run/RunLog.h"

namespace kestrane::detail {

// One per worker thread. The front-end thread revokes it to stop the worker;
// from then on the worker leaves every shared thing alone and just unwinds,
// and whatever it posted before dies on arrival.
struct WorkerToken {
    // Written by the front-end thread under the run lock; read by the worker's
    // gate under the lock and, on the front-end thread, as its events arrive.
    std::atomic<bool> revoked{false};
    // Run lock. Set by the gate that posts the worker's finish: such a worker
    // is never stopped or replaced, the finish is on its way.
    bool finishPosted = false;
    // Run lock. Set once the worker is past its session step (at once for a
    // worker that skips it); a stall before that ends the run as a failed session.
    bool sessionPassed = false;
    // Run lock. The failed item's question while the worker waits for its answer.
    std::shared_ptr<FailureNotice> question;
    // Run lock. Whether the item's merged file already stood in the save
    // folder when the current item started (true until known).
    bool outputExisted = true;
    // Run lock. The name the current item's merged file is saved under (the
    // number as typed, or as normalized for the search).
    std::string outputName;
    // Any thread: the client's count of received pieces (ClientContext::Activity).
    std::atomic<unsigned long long> activity{0};
    // Any thread: the client's abort flag (ClientContext::Abort).
    std::atomic<bool> abort{false};
    // Set by the worker thread as its very last act; read by anyone.
    std::atomic<bool> ended{false};
};

// The run state shared by the front-end thread and the workers.
struct RunShared {
    RunShared(FrontEnd& frontEnd, Dispatcher& events, RunOptions options)
        : Front(frontEnd), Events(events), Options(std::move(options)) {}

    FrontEnd& Front;           // front-end thread only (worker events arrive through Events)
    Dispatcher& Events;        // outlives the controller
    const RunOptions Options;  // fixed
    // The run's cookies and connections, shared by all its workers (a
    // successor carries on in the session its predecessor opened).
    const std::shared_ptr<HttpShare> Http = std::make_shared<HttpShare>();
    // When the run's last request ended, for the gap between requests.
    const std::shared_ptr<RequestClock> LastRequest = std::make_shared<RequestClock>();

    // Front-end thread; set by the controller before any worker starts.
    std::function<void()> ArmWatchdog;  // (re)start the watchdog period
    std::function<void(const std::shared_ptr<WorkerToken>&)>
        WorkerFinished;  // the worker's finish event

    // The run lock: guards every job field marked "run lock", RunLogText and
    // the token fields marked "run lock".
    mutable std::mutex Lock;

    // Written by the front-end thread only.
    std::atomic<bool> IsDownloading{false};
    // Written by the front-end thread (a confirmed cancel, reset at the end);
    // polled by the workers and the client.
    std::atomic<bool> CancelRequested{false};
    // Set by a worker through its gate; reset by the front-end thread.
    std::atomic<bool> SessionFailed{false};
    // The session being asked for is one of a source whose interface is gone
    // where it asks (so a failed session says so). Same rules.
    std::atomic<bool> InterfaceGone{false};
    // Written by the front-end thread (watchdog, end of run); read by a worker as it starts.
    std::atomic<bool> SkipSessionStart{false};

    std::string RunLogText;  // run lock
    // Run lock. dl.log of the current run; records reach it as they are decided.
    std::optional<RunLog> Log;
    // Run lock. The run's report, when one is asked for; rows reach it with the records.
    std::optional<ReportWriter> Report;
    // Any thread (locked inside): what the source said of its allowance.
    const std::shared_ptr<QuotaMeter> Quota = std::make_shared<QuotaMeter>();

    // Fixed while a run is active: set by StartRun before its first worker starts.
    DownloadChoices Choices;

    // The source's id as the report names it.
    std::string SourceId() const {
        return Choices.SourceId.empty() ? std::string("classic") : Choices.SourceId;
    }
    bool Reporting() const { return !Options.ReportPath.empty() || Choices.ReportBesideLog; }

    // Run lock held. Keeps the record in RunLogText and appends it to dl.log,
    // and its row to the report, all in the order the records are decided.
    void AddRecord(const std::string& record, const ReportRow& row) {
        RunLogText += record;
        if (Log)
            Log->Append(record);
        if (Report)
            Report->Append(row);
    }
};

// Any thread: event runs on the front-end thread unless token has been
// revoked by the time it arrives. The one place where a stopped worker's late
// events die.
void PostEvent(RunShared& run, const std::shared_ptr<WorkerToken>& token,
               std::function<void()> event);

// The worker's thread procedure. Catches everything; returns when the run is
// finished for it or the token was revoked.
void DownloadWorker(RunShared& run, std::shared_ptr<DownloadJob> job,
                    std::shared_ptr<WorkerToken> token);

}  // namespace kestrane::detail
