// What one step of the patent office client needs from the run that called it.
//
// The client never touches the run's shared job: the worker hands it this
// context, which it owns and uses on its own thread only. The client reports
// failures by its result and leaves the user-facing reason in MessageText; the
// worker copies that text into the job through the run's gate.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace kestrane {

struct ClientContext {
    // Base address of the publication server, scheme and host without a
    // trailing slash ("http://depatisnet.dpma.de"); see ServerBase().
    std::string ServerBase;
    // The number in work, exactly as typed (leading blanks kept).
    std::string CurrentNumber;
    // The save folder followed by "/", and the save folder followed by "/temp/".
    std::string SaveFolder;
    std::string TempFolder;
    // Empty, or "HTTP=HTTP://" + ip + ":" + port; AccessType 3 with a proxy, else 0.
    std::string Proxy;
    int AccessType = 0;
    // Name or path of the merge program; looked up beside our executable, then in PATH.
    std::string Pdftk = "pdftk";

    // Written by the client on every failure and cancel; a success leaves it alone.
    std::string MessageText;
    // The merged files saved for the number in work (file names, in the order
    // they were saved); the worker clears it when an item starts.
    std::vector<std::string> SavedFiles;

    // Set by the front-end thread when the user confirmed a cancel. May be null.
    const std::atomic<bool>* CancelRequested = nullptr;
    // Set when the worker owning this context has been stopped (watchdog, close).
    // An exchange or merge in flight ends within about 0.2 s once it is set. May be null.
    const std::atomic<bool>* Abort = nullptr;
    // Moves the progress bar (range 1..100). May be empty.
    std::function<void(int)> SetProgress;
    // Called every 0.2 s while a source waits as a server asked (the
    // watchdog counts it as progress). May be empty.
    std::function<void()> StillWaiting;

    bool cancelRequested() const {
        return CancelRequested != nullptr && CancelRequested->load(std::memory_order_acquire);
    }
    bool aborted() const { return Abort != nullptr && Abort->load(std::memory_order_acquire); }
    void progress(int position) const {
        if (SetProgress) SetProgress(position);
    }
};

// The publication server's base address: KESTRANE_SERVER_BASE when set (tests,
// demos, a mirror), else "http://depatisnet.dpma.de". A trailing "/" is dropped.
std::string DefaultServerBase();

}  // namespace kestrane
