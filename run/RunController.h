// One download run: the job, the run flags, the worker threads, the watchdog
// and the run completion. Front-end independent.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/Source.h"
#include "run/DownloadJob.h"
#include "run/FrontEnd.h"

namespace kestrane {

struct RunOptions {
    std::string ServerBase;      // empty: DefaultServerBase()
    std::string Pdftk = "pdftk"; // merge program name or path
    // The source of a worker, called once per worker on its own thread (a
    // successor after a watchdog stop gets a fresh one while the old one may
    // still unwind). Empty, or a null result: the publication server's chain.
    std::function<std::unique_ptr<Source>()> MakeSource;
};

// What the Download command fills into a new job.
struct JobInput {
    std::vector<std::string> PatentNumbers;
    std::string SaveFolder;  // save folder + "/"
    std::string TempFolder;  // save folder + "/temp/"
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
    DownloadJob Job;          // meaningful when HasJob
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

    RunSnapshot Snapshot() const;
    // Worker threads of this controller that have not yet ended, stopped ones
    // included (tests wait for a stopped worker to unwind).
    int LiveWorkerCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrane
