// SPDX-License-Identifier: GPL-3.0-or-later
// The typed events through which a run reaches its front end (the Qt window,
// the CLI, or a test's recorder).
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/ClientContext.h"
#include "client/Failure.h"
#include "client/Quota.h"
#include "run/DownloadJob.h"

namespace kestrane {

// What an item's start reports, carried with the notification so the front
// end never reads the job unlocked.
struct ProgressNote {
    int ProgressIndex = 0;       // item just started; Count once the list is done
    int ItemSucceeded = 0;       // 1 when the item before ProgressIndex was saved
    std::string PreviousNumber;  // number of the item before; "" when none
    int Count = 0;               // number of items in the run
};

// A worker's failure message box. The worker waits in Wait() until the user
// closes the box (front end calls Close()) or the worker is stopped (the run
// calls Close() and FrontEnd::DismissFailureBox()). Any thread.
class FailureBox {
  public:
    explicit FailureBox(std::string text) : text_(std::move(text)) {}
    const std::string& Text() const { return text_; }
    void Close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        cv_.notify_all();
    }
    bool IsClosed() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return closed_;
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return closed_; });
    }

  private:
    const std::string text_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool closed_ = false;  // guarded by mutex_
};

// An item's outcome, sent as its record is written (by the worker, or by the
// watchdog for an item it abandons).
struct ItemFinished {
    int Index = 0;       // position in the list
    std::string Number;  // as typed
    Outcome Result = Outcome::Success;
    FailureKind Kind = FailureKind::None;   // why, when not Success
    std::vector<std::string> SavedFiles;    // merged files saved for it, in order
    std::string Stamp;                      // the record's time stamp (the item's start)
    std::string Detail;                     // the failure's detail (a path, a program), or ""
    std::vector<std::string> AlreadySaved;  // of SavedFiles, those found saved and not fetched
};

// Where the item in work stands, a few times a second at most.
struct ItemProgress {
    int Index = 0;       // position in the list
    std::string Number;  // as typed
    TransferProgress Transfer;
};

// How a run ended, sent when its worker has finished (not on a close).
struct RunEnd {
    bool Cancelled = false;      // a confirmed cancel ended it
    bool SessionFailed = false;  // no session could be had; nothing was recorded
    // With SessionFailed: the source's interface is no longer served where it
    // asked (the classic source at its built-in address); front ends say how
    // to choose another source after the message.
    bool InterfaceGone = false;
    FailureKind SessionFailure = FailureKind::None;  // why not, when SessionFailed
    QuotaUse Quota;  // how much of a source's allowance the run used, when it said
};

// A front end as the run sees it. Every call is made on the front-end thread
// (the Dispatcher's), never under the run lock, and none comes from a worker
// that has been stopped.
class FrontEnd {
  public:
    virtual ~FrontEnd() = default;

    // An item starts (and, with ProgressIndex == Count, the list is done).
    virtual void JobProgress(const ProgressNote& note) = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void SetProgressPos(int position) = 0;
    virtual void OnItemFinished(const ItemFinished&) {}
    virtual void OnItemProgress(const ItemProgress&) {}
    // Show box->Text() ("Info", OK) without blocking; call box->Close() when
    // the user closes it.
    virtual void ShowFailureBox(std::shared_ptr<FailureBox> box) = 0;
    // Take down a failure box of a stopped worker.
    virtual void DismissFailureBox(const std::shared_ptr<FailureBox>&) {}
    // The worker finished: the run completion (the calls below) follows at once.
    virtual void JobFinished(const RunEnd&) {}

    // The run completion.
    // Button "Download", progress 0, status "".
    virtual void ResetIdle() = 0;
    // Show the save folder in the file browser after a normal end.
    virtual void OpenSaveFolder(const std::string& saveFolder) = 0;
    // The end-of-run box ("Info", OK); returns once the user has acknowledged it.
    // No new run may start before it returns.
    virtual void ShowFinishMessage(const std::string& text) = 0;
    // After the finish message: dl.log could not take some of the run's
    // records; text names the path, the reason and how many are missing.
    virtual void ShowLogFailure(const std::string& text) { (void)text; }
};

}  // namespace kestrane
