// SPDX-License-Identifier: GPL-3.0-or-later
#include "run/EventLoop.h"

#include <algorithm>

namespace kestrane {

namespace {
// RunUntil also looks at its predicate this often, so a test can wait for a
// condition outside the loop (a file, a server's request log) without sleeping.
constexpr std::chrono::milliseconds kPredicatePoll{20};
}  // namespace

void EventLoop::Post(std::function<void()> call) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(call));
    }
    cv_.notify_one();
}

void EventLoop::Quit() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    cv_.notify_one();
}

void EventLoop::StartTimer(std::chrono::milliseconds period, std::function<void()> tick) {
    timerPeriod_ = std::max(period, std::chrono::milliseconds(1));
    timerTick_ = std::move(tick);
    timerDue_ = Clock::now() + timerPeriod_;
}

void EventLoop::StopTimer() {
    timerDue_.reset();
    timerTick_ = nullptr;
}

void EventLoop::Run() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (quit_) {
                // A later Run() starts afresh.
                quit_ = false;
                return;
            }
        }
        RunOnce(Clock::time_point::max());
    }
}

bool EventLoop::RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        if (pred())
            return true;
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            return false;
        bool quit = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            std::swap(quit, quit_);
        }
        if (quit)
            return pred();
        RunOnce(std::min(deadline, now + kPredicatePoll));
    }
}

// Waits until a posted call, a timer tick or the deadline, and dispatches at
// most one call or tick. A due tick goes first so that a busy queue cannot
// starve the watchdog. True when something was dispatched.
bool EventLoop::RunOnce(Clock::time_point deadline) {
    std::function<void()> call;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const Clock::time_point wakeAt = timerDue_ ? std::min(deadline, *timerDue_) : deadline;
        const auto ready = [this] { return !queue_.empty() || quit_; };
        if (wakeAt == Clock::time_point::max()) {
            cv_.wait(lock, ready);
        } else {
            cv_.wait_until(lock, wakeAt, ready);
        }
        const bool tickDue = timerDue_ && Clock::now() >= *timerDue_;
        if (!tickDue) {
            if (queue_.empty())
                return false;
            call = std::move(queue_.front());
            queue_.pop_front();
        }
    }
    if (!call) {
        // The tick may stop or restart the timer; it works on its own copy.
        timerDue_ = Clock::now() + timerPeriod_;
        std::function<void()> tick = timerTick_;
        if (tick)
            tick();
        return true;
    }
    call();
    return true;
}

}  // namespace kestrane
