// SPDX-License-Identifier: GPL-3.0-or-later
// One download run: the job, the run flags, the worker threads, the watchdog
// and the run completion. Front-end independent.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/NameFormat.h"
#include "client/Source.h"
#include "run/Dispatcher.h"
#include "run/DownloadJob.h"
#include "run/FrontEnd.h"

namespace kestrane {

// How long an item may go without progress before the watchdog looks at it
// (it is abandoned at the second look without progress).
inline constexpr std::chrono::milliseconds kWatchdogPeriod{120000};

// What a user may choose per run beyond the usual behaviour (the CLI's
// options, the window's Settings); left at its defaults, a run behaves as usual.
struct DownloadChoices {
    // Keep the pages of a document that does not finish and take them up
    // again in a later run with this option.
    bool Resume = false;
    // Write report.csv beside dl.log in the save folder.
    bool ReportBesideLog = false;
    // Read each number's bibliographic data where the source can, for the
    // report, the file names and the saved PDF's document information.
    bool Biblio = false;
    // The names documents are saved under; the default keeps today's.
    NameFormat Names;
    // The source's id as the report names it ("" reads as "classic").
    std::string SourceId;
};

struct RunOptions {
    // Base address of the publication server; empty: kDefaultServerBase.
    std::string ServerBase;
    // "" or "qpdf": merge in-process with qpdf; else an outside pdftk-contract
    // program's name or path. Front ends fill it with ChooseMergeProgram().
    std::string MergeProgram;
    // Sees every request address just before it is sent; on a worker thread. May be empty.
    std::function<void(const std::string& url)> OnRequest;
    // Where the items come from. Called once per worker, on the worker's
    // thread as it starts (a successor after the watchdog gets a fresh one);
    // empty: the registry's default source.
    std::function<std::unique_ptr<Source>()> MakeSource;
    // The watchdog's period.
    std::chrono::milliseconds WatchdogPeriod = kWatchdogPeriod;
    // Pacing and retries of the requests to the server (every source honours
    // them); the default: one try, no pause.
    RequestPolicy Requests;
    // Search for CompactNumber(number) and name its file so; the record
    // and the texts keep the number as typed.
    bool NormalizeNumbers = false;
    // A number whose documents are already saved (as usable PDFs) is not
    // fetched again; its record is Success.
    bool SkipExisting = false;
    // The per-item report: a path (".csv" or ".jsonl"), or "" for none.
    std::string ReportPath;
    // Every run's choices, unless the run's JobInput brings its own.
    DownloadChoices Choices;
};

// The options a front end runs with unless told otherwise: the server from
// KESTRANE_SERVER_BASE when set (tests, demos, a mirror), every request
// address echoed on stdout, and the merge program from KESTRANE_MERGE_PROGRAM
// (else the built-in engine).
RunOptions FrontEndRunOptions();

// What the Download command fills into a new job.
struct JobInput {
    std::vector<std::string> PatentNumbers;
    std::string SaveFolder;  // save folder + "/"
    // A folder the run made and removes at its end ("" when none could be made).
    std::string TempFolder;
    std::string Proxy;
    int AccessType = 0;
    // This run's choices (the window's Settings as they are now); unset: RunOptions::Choices.
    std::optional<DownloadChoices> Choices;
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
    // The front end and its dispatcher outlive the controller.
    RunController(FrontEnd& frontEnd, Dispatcher& events, RunOptions options = {});
    // A run still going is stopped as on close; the workers are joined.
    ~RunController();
    RunController(const RunController&) = delete;
    RunController& operator=(const RunController&) = delete;

    // Everything below runs on the front-end thread (the dispatcher's).

    bool IsDownloading() const;
    // Creates the job, sets IsDownloading and starts the first worker. False
    // (and nothing changed) while a run is active or its completion is under way.
    [[nodiscard]] bool StartRun(JobInput input);
    // A confirmed cancel.
    void RequestCancel();
    // One expiry of the watchdog period (JobWatchdog); the controller's timer
    // calls it, tests may call it themselves.
    void OnWatchdogTick();
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
