// One download run: the job, the run flags, the worker threads, the watchdog
// and the run completion. Front-end independent.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "run/DownloadJob.h"
#include "run/FrontEnd.h"

namespace kestrane {

struct RunOptions {
    std::string ServerBase;       // empty: DefaultServerBase()
    std::string Pdftk = "pdftk";  // merge program name or path
};

// What the Download command fills into a new job.
struct JobInput {
    std::vector<std::string> PatentNumbers;
    std::string SaveFolder;  // save folder + "/"
    // A folder the run made and removes at its end ("" when none could be made).
    std::string TempFolder;
    std::string Proxy;
    int AccessType = 0;
};

// A copy of the run state, for front ends and tests.
struct RunSnapshot {
    bool IsDownloading = false;
    bool CancelRequested = false;
    bool SessionFailed = false;
    bool SkipSessionStart = false;
    bool HasJob = false;
    DownloadJob Job;  // meaningful when HasJob
    std::string RunLogText;
};

class RunController {
  public:
    explicit RunController(FrontEnd& frontEnd, RunOptions options = {});
    // A run still going is stopped as on close; the workers are joined.
    ~RunController();
    RunController(const RunController&) = delete;
    RunController& operator=(const RunController&) = delete;

    // Everything below runs on the front-end thread, and never from inside a
    // worker-side FrontEnd call: those are made under the run lock.

    bool IsDownloading() const;
    // Creates the job, sets IsDownloading and starts the first worker. False
    // (and nothing changed) while a run is active or its completion is under way.
    bool StartRun(JobInput input);
    // A confirmed cancel.
    void RequestCancel();
    // One expiry of the watchdog period (JobWatchdog).
    void OnWatchdogTick();
    // WM_JOB_FINISHED: run completion. Ignored when no run is active.
    void OnJobFinished();
    // Closing the front end during a run: stop the worker, then run completion.
    void StopForClose();
    // A cancel that cannot wait for the worker (a second interrupt, a
    // termination signal): the item in work is recorded as cancelled, the
    // worker is stopped (its exchange and merge end with it) and the run
    // completes at once, as after a confirmed cancel.
    void CancelNow();

    RunSnapshot Snapshot() const;
    // Worker threads of this controller that have not yet ended, stopped ones
    // included (tests wait for a stopped worker to unwind).
    int LiveWorkerCount() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrane
