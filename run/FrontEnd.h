// The small interface through which a run reaches its front end (the Qt
// window, the CLI, or a test's recorder).
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace kestrane {

// What WM_JOB_PROGRESS reports, carried with the notification so the front
// end never reads the job unlocked.
struct ProgressNote {
    int ProgressIndex = 0;       // item just started; Count once the list is done
    int ItemSucceeded = 0;       // 1 when the item before ProgressIndex was saved
    std::string PreviousNumber;  // number of the item before; "" when none
    int Count = 0;               // number of items in the run
};

// A worker's failure message box. The worker waits in Wait() until the user
// closes the box (front end calls Close()) or the worker is stopped (the run
// calls Close() and FrontEnd::DismissFailureBox()).
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

class FrontEnd {
public:
    virtual ~FrontEnd() = default;

    // ---- Called on a worker thread, always through the run's gate. They must
    // not block: implementations queue the call onto the front-end thread and
    // carry the calls out there in the order they were made.

    // WM_JOB_PROGRESS.
    virtual void JobProgress(const ProgressNote& note) = 0;
    // WM_JOB_FINISHED: the front end must call RunController::OnJobFinished()
    // on its own thread when it gets to it.
    virtual void JobFinished() = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void SetProgressPos(int position) = 0;
    // (Re)start the watchdog period; each expiry calls RunController::OnWatchdogTick().
    virtual void ArmWatchdog() = 0;
    // Show box->Text() ("Info", OK) without blocking the front end; call
    // box->Close() when the user closes it. If the box is already closed when
    // the queued call arrives, show nothing.
    virtual void ShowFailureBox(std::shared_ptr<FailureBox> box) = 0;

    // ---- Called on the front-end thread by RunController.

    virtual void StopWatchdog() = 0;
    // Take down a failure box of a stopped worker (it may not be shown yet).
    virtual void DismissFailureBox(const std::shared_ptr<FailureBox>& box) = 0;
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
