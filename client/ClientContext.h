// SPDX-License-Identifier: GPL-3.0-or-later
// What one step of the patent office client needs from the run that called it.
//
// The client never touches the run's shared job, the environment or any
// process-wide state: the worker hands it this context, which it owns and
// uses on its own thread only. A step reports failure by its 1/0 result and
// the kind in `failure`; the first failure of an item is the one that stays.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/Biblio.h"
#include "client/Failure.h"
#include "client/NameFormat.h"
#include "client/Quota.h"
#include "client/SavedNames.h"

namespace kestrane {

class HttpShare;

// The publication server's own address; a front end may name another (a mirror,
// the stand-in server) through the run options.
inline constexpr const char* kDefaultServerBase = "http://depatisnet.dpma.de";
// The access type that names a proxy for the http scheme (0: the system's proxy settings).
inline constexpr int kProxyAccessType = 3;
// How long a blocking wait (an exchange, the merge program) may last before
// the cancel and abort flags are looked at again.
inline constexpr std::chrono::milliseconds kPollSlice{100};

// How far an item has come, in percent, step by step (an item starts at 0).
namespace progress {
inline constexpr int kSearched = 30;  // after the search, whatever its outcome
inline constexpr int kLookedUp = 60;  // the hit page or selection is read
inline constexpr int kPerPage = 10;   // each saved page adds this, up to kFull
inline constexpr int kFull = 100;     // a document merged
}  // namespace progress

// RequestPolicy::Retries when the run names no number: each source keeps its own.
inline constexpr int kSourceRetries = -1;

// The run's pacing and retries (--wait, --retries). Every source's requests
// go through the one engine that honours it (client/net/Retry.h).
struct RequestPolicy {
    // Quiet time between the end of one request and the start of the next.
    std::chrono::milliseconds Gap{0};
    // Further tries of a request that failed transiently (no connection, a
    // 5xx answer, a body cut short); never for an answer such as "no match".
    // kSourceRetries: each source's own number (none for the publication server).
    int Retries = kSourceRetries;
    // The wait before the first retry; each further retry waits twice as
    // long, up to kMaxRetryWait.
    std::chrono::milliseconds RetryWait{1000};
};
inline constexpr std::chrono::milliseconds kMaxRetryWait{30000};

using SteadyClock = std::chrono::steady_clock;

// The clock and the sleep every wait goes through; tests make both fake.
struct Timing {
    std::function<SteadyClock::time_point()> Now;
    // Sleeps for about the given time (never more than a poll slice is asked).
    std::function<void(SteadyClock::duration)> Sleep;
    static Timing Real();
};

// When the run's last request to the server ended; shared by the run's
// workers so a successor keeps the gap too. Any thread.
class RequestClock {
  public:
    using Clock = std::chrono::steady_clock;
    void Mark() {
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = Clock::now();
    }
    // The earliest start of the next request under gap.
    Clock::time_point NextStart(std::chrono::milliseconds gap) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_ ? *last_ + gap : Clock::time_point{};
    }

  private:
    mutable std::mutex mutex_;
    std::optional<Clock::time_point> last_;  // guarded by mutex_
};

// Where the item in work stands in bytes and pages, beside its steps.
struct TransferProgress {
    std::string Document;  // the document whose pages are coming in; "" before the first page
    long Page = 0;         // its page in work (1-based); 0 before the first page
    long Pages = 0;        // the document's page count when the source knows it, else 0
    long PagesSeen = 0;    // pages of the item asked for so far, all its documents
    long long Bytes = 0;   // bytes received for the item so far, every exchange
    long Requests = 0;     // requests sent for the item so far
};

// Fixed for the whole run: where the documents go and how the server is reached.
struct RunSettings {
    // Base address of the publication server, scheme and host without a
    // trailing slash ("http://depatisnet.dpma.de"); see NormalServerBase().
    std::string ServerBase = kDefaultServerBase;
    // The save folder followed by "/", and the save folder followed by "/temp/".
    std::string SaveFolder;
    std::string TempFolder;
    // Empty, or "HTTP=HTTP://" + ip + ":" + port; kProxyAccessType with a proxy, else 0.
    std::string Proxy;
    int AccessType = 0;
    // The merge engine: "" (or "qpdf") merges in-process with qpdf; anything
    // else names an outside program that follows pdftk's command line, looked
    // up beside our executable, then in PATH (client/pdf/MergeStep.h).
    std::string MergeProgram;
    // Sees every request address just before it is sent (the front ends echo it). May be empty.
    std::function<void(const std::string& url)> OnRequest;
    // Pacing and retries (--wait, --retries).
    RequestPolicy Requests;
    // A document whose merged file already stands in the save folder and
    // reads as a PDF with pages is not fetched again (its name still goes to
    // SavedFiles, and to AlreadySaved).
    bool SkipExisting = false;
    // Keep the pages of a document that does not finish under
    // SaveFolder/.kestrane/partial/ and take up what is kept (client/PartialStore.h).
    bool Resume = false;
    // Read the number's bibliographic data where the source can (into biblio).
    bool WantBiblio = false;
    // The names merged files are saved under; the default keeps today's.
    NameFormat Names;
};

// What every worker of the run shares; each handle guards itself.
struct RunHandles {
    // Cookies (the server session), DNS and open connections of the run; every
    // exchange of every worker of one run uses the same. Null: each exchange
    // stands alone (no session, no keep-alive).
    std::shared_ptr<HttpShare> Share;
    // When the run's last request ended. Null: no gap is kept.
    std::shared_ptr<RequestClock> LastRequest;
    // The merged files saved so far by any worker of the run. May be null.
    SavedNames* SavedInRun = nullptr;
    // The run's reading of the source's allowance. May be null.
    std::shared_ptr<QuotaMeter> Quota;
};

// The item in work; the worker starts every item with a fresh one.
struct ItemState {
    // The number in work as searched (typed, or compact under --normalize).
    std::string CurrentNumber;
    // The merged files saved for the number (file names, in the order they were saved).
    std::vector<std::string> SavedFiles;
    // Of SavedFiles, those already saved and not fetched again.
    std::vector<std::string> AlreadySaved;
    // Where the item stands.
    TransferProgress transfer;
    // The number's bibliographic data once read.
    std::optional<Biblio> biblio;
};

// How the run steers and watches a step, from the worker's thread.
struct StepControl {
    // Set by the front-end thread when the user confirmed a cancel. May be null.
    const std::atomic<bool>* CancelRequested = nullptr;
    // Set when the worker owning this context has been stopped (watchdog, close).
    // An exchange or merge in flight ends within about two poll slices once it is set. May be null.
    const std::atomic<bool>* Abort = nullptr;
    // Counts the signs of life (each piece of a body received, each slice of
    // a wait), so that the watchdog abandons only an item that stands still. May be null.
    std::atomic<unsigned long long>* Activity = nullptr;
    // Hears of each step the item passes (percent, see progress::). May be empty.
    std::function<void(int)> SetProgress;
    // Sees the item's transfer after each change (every body chunk). May be empty.
    std::function<void(const TransferProgress&)> OnTransfer;

    bool cancelRequested() const {
        return CancelRequested != nullptr && CancelRequested->load(std::memory_order_acquire);
    }
    bool aborted() const { return Abort != nullptr && Abort->load(std::memory_order_acquire); }
    void moved() const {
        if (Activity != nullptr)
            Activity->fetch_add(1, std::memory_order_relaxed);
    }
    void progress(int percent) const {
        if (SetProgress)
            SetProgress(percent);
    }
};

// What one step of the client gets from the run, by lifetime; a step that
// needs less takes just the part it uses.
struct ClientContext : RunSettings, RunHandles, ItemState, StepControl {
    void noteTransfer() const {
        if (OnTransfer)
            OnTransfer(transfer);
    }
};

// A server base as the client wants it: without trailing "/"; empty gives the default.
std::string NormalServerBase(std::string base);

// The files of a run, from the run's folder strings (a trailing "/" or
// none, both join with exactly one separator).
namespace paths {
// SaveFolder + name + ".pdf": a number's (or a selection document's) merged file.
std::filesystem::path MergedFile(const std::string& saveFolder, const std::string& name);
// TempFolder + name + "_" + page + ".pdf": one saved page.
std::filesystem::path PageFile(const std::string& tempFolder, const std::string& name, long page);
// TempFolder + name + ".merge.pdf": where the merge writes before it replaces MergedFile.
std::filesystem::path PartialMerge(const std::string& tempFolder, const std::string& name);
// SaveFolder + "dl.log": the run log.
std::filesystem::path RunLog(const std::string& saveFolder);
}  // namespace paths

}  // namespace kestrane
