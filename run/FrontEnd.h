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

// Where the list stands, carried with an event so the front end never reads
// the job unlocked.
struct ProgressNote {
    int ProgressIndex = 0;       // item just started; Count once the list is done
    int ItemSucceeded = 0;       // 1 when the item before ProgressIndex was saved
    std::string PreviousNumber;  // number of the item before; "" when none
    int Count = 0;               // number of items in the run
};

// An item starts: the list marks it in work (and the one before it saved,
// when it was), its step is back at the start.
struct ItemStarted {
    ProgressNote Note;
    std::string Number;    // as typed
    std::string Activity;  // the line that says what is in work
};

// The item in work has passed a step of its fetch.
struct ItemStep {
    int Index = 0;    // position in the list
    int Percent = 0;  // 0..100: searched, looked up, pages saved, merged
};

// The question a failed item asks: its message, which the user acknowledges
// before the worker goes on. The worker waits in Wait() until the front end
// calls Close(), or until the worker is stopped (the run calls Close() and
// FrontEnd::WithdrawQuestion()). Any thread.
class FailureNotice {
  public:
    explicit FailureNotice(std::string text) : text_(std::move(text)) {}
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

    // The source's session is open (or taken over by a worker the watchdog
    // started); items follow.
    virtual void OnSessionOpened() {}
    virtual void OnItemStarted(const ItemStarted&) = 0;
    virtual void OnItemStep(const ItemStep&) {}
    virtual void OnItemProgress(const ItemProgress&) {}
    virtual void OnItemFinished(const ItemFinished&) {}
    // Every item of the list has had its turn (not after a cancel or an end
    // the run's failure brought about).
    virtual void OnListDone(const ProgressNote&) {}
    // A failed item's question: show notice->Text() without blocking, and
    // call notice->Close() once the user has acknowledged it.
    virtual void AskToAcknowledge(std::shared_ptr<FailureNotice> notice) = 0;
    // The question of a stopped worker is void: take it down.
    virtual void WithdrawQuestion(const std::shared_ptr<FailureNotice>&) {}
    // The worker finished: the run completion (the calls below) follows at once.
    virtual void OnRunFinished(const RunEnd&) {}

    // The run completion, in this order.
    // No run is active any more: the front end is ready for the next one.
    virtual void OnIdle() = 0;
    // After a normal end: the run's files are in saveFolder.
    virtual void OnSaveFolderReady(const std::string& saveFolder) = 0;
    // The run's closing message; returns once the user has acknowledged it.
    // No new run may start before it returns.
    virtual void OnRunMessage(const std::string& text) = 0;
    // After the message: dl.log could not take some of the run's records;
    // text names the path, the reason and how many are missing.
    virtual void OnLogIncomplete(const std::string& text) { (void)text; }
};

}  // namespace kestrane
