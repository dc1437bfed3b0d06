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
#include <string>
#include <vector>

#include "client/Failure.h"
#include "client/SavedNames.h"

namespace kestrane {

class HttpShare;

// The designed publication server; a front end may name another (a mirror,
// the stand-in server) through the run options.
inline constexpr const char* kDefaultServerBase = "http://depatisnet.dpma.de";
// The access type that names a proxy for the http scheme (INTERNET_OPEN_TYPE_PROXY).
inline constexpr int kProxyAccessType = 3;
// How long a blocking wait (an exchange, the merge program) may last before
// the cancel and abort flags are looked at again.
inline constexpr std::chrono::milliseconds kPollSlice{100};

// The progress bar's designed positions (range 1..100).
namespace progress {
inline constexpr int kItemStart = 0;  // an item begins (the bar shows empty)
inline constexpr int kSearched = 30;  // after the search, whatever its outcome
inline constexpr int kLookedUp = 60;  // the hit page or selection is read
inline constexpr int kPerPage = 10;   // each saved page adds this, up to kFull
inline constexpr int kFull = 100;     // session open; a document merged
}  // namespace progress

struct ClientContext {
    // Base address of the publication server, scheme and host without a
    // trailing slash ("http://depatisnet.dpma.de"); see NormalServerBase().
    std::string ServerBase = kDefaultServerBase;
    // The number in work, exactly as typed (leading blanks kept).
    std::string CurrentNumber;
    // The save folder followed by "/", and the save folder followed by "/temp/".
    std::string SaveFolder;
    std::string TempFolder;
    // Empty, or "HTTP=HTTP://" + ip + ":" + port; kProxyAccessType with a proxy, else 0.
    std::string Proxy;
    int AccessType = 0;
    // The merge engine: "" (or "qpdf") merges in-process with qpdf; anything
    // else names an outside program that follows pdftk's command line, looked
    // up beside our executable, then in PATH (client/MergeStep.h).
    std::string MergeProgram;
    // Cookies (the server session), DNS and open connections of the run; every
    // exchange of every worker of one run uses the same. Null: each exchange
    // stands alone (no session, no keep-alive).
    std::shared_ptr<HttpShare> Share;
    // Sees every request address just before it is sent (the front ends echo it). May be empty.
    std::function<void(const std::string& url)> OnRequest;

    // The first failure of the item in work; the worker clears it when an item starts.
    Failure failure;
    // The merged files saved for the number in work (file names, in the order
    // they were saved); the worker clears it when an item starts.
    std::vector<std::string> SavedFiles;

    // The merged files saved so far by any worker of the run. May be null.
    SavedNames* SavedInRun = nullptr;

    // Set by the front-end thread when the user confirmed a cancel. May be null.
    const std::atomic<bool>* CancelRequested = nullptr;
    // Set when the worker owning this context has been stopped (watchdog, close).
    // An exchange or merge in flight ends within about two poll slices once it is set. May be null.
    const std::atomic<bool>* Abort = nullptr;
    // Counts the exchange's signs of life (each piece of a body received), so
    // that the watchdog abandons only an item that stands still. May be null.
    std::atomic<unsigned long long>* Activity = nullptr;
    // Moves the progress bar (range 1..100). May be empty.
    std::function<void(int)> SetProgress;

    bool cancelRequested() const {
        return CancelRequested != nullptr && CancelRequested->load(std::memory_order_acquire);
    }
    bool aborted() const { return Abort != nullptr && Abort->load(std::memory_order_acquire); }
    void moved() const {
        if (Activity != nullptr)
            Activity->fetch_add(1, std::memory_order_relaxed);
    }
    void progress(int position) const {
        if (SetProgress)
            SetProgress(position);
    }
    // Notes a failure unless one is noted already; 0, for `return ctx.Fail(...)`.
    int Fail(FailureKind kind, std::string detail = {}) {
        if (!failure)
            failure = Failure{kind, std::move(detail)};
        return 0;
    }
    // The step that failed was a whole document: whatever went wrong inside
    // it, the user reads the document's failure, and a confirmed cancel reads
    // as the cancel. 0, for `return ctx.FailDocument(...)`.
    int FailDocument(FailureKind kind = FailureKind::DownloadFailed);
    // The designed text of the failure noted, for the number in work.
    std::string FailureMessage() const { return FailureText(failure, CurrentNumber); }
};

// A server base as the client wants it: without trailing "/"; empty gives the default.
std::string NormalServerBase(std::string base);

// The files of a run, from the designed folder strings (a trailing "/" or
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
