// SPDX-License-Identifier: GPL-3.0-or-later
// A small event loop for front ends without a toolkit (the CLI, tests): posted
// calls run on the loop's thread in posting order, plus one restartable
// periodic timer for the watchdog. The loop's thread is the one that made it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "run/Dispatcher.h"

namespace kestrane {

class EventLoop : public Dispatcher {
  public:
    using Clock = std::chrono::steady_clock;

    // Any thread.
    void Post(std::function<void()> call) override;
    void Quit();

    // Loop thread.
    void StartTimer(std::chrono::milliseconds period, std::function<void()> tick) override;
    void StopTimer() override;
    bool OnOwnThread() const override { return std::this_thread::get_id() == owner_; }
    // Runs until Quit().
    void Run();
    // Runs until pred() holds after a dispatched call, or timeout; true when pred held.
    // pred is also looked at every few milliseconds, so it may watch things
    // outside the loop (files, another process).
    bool RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

  private:
    bool RunOnce(Clock::time_point deadline);

    const std::thread::id owner_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;  // guarded by mutex_
    bool quit_ = false;                        // guarded by mutex_
    // Loop thread only.
    std::optional<Clock::time_point> timerDue_;
    std::chrono::milliseconds timerPeriod_{0};
    std::function<void()> timerTick_;
};

}  // namespace kestrane
