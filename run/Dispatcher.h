// SPDX-License-Identifier: GPL-3.0-or-later
// What a front end hands the run: a way onto its own thread, and one
// restartable timer (the watchdog). The run owns the thread crossing: every
// worker-side event is posted through here and checked on arrival, so no
// front end queues, guards or locks anything itself.
#pragma once

#include <chrono>
#include <functional>

namespace kestrane {

class Dispatcher {
  public:
    virtual ~Dispatcher() = default;

    // Any thread; never blocks. Runs call on the front-end thread, after every
    // call posted before it. Calls still queued when the front end goes away
    // may be dropped.
    virtual void Post(std::function<void()> call) = 0;

    // Front-end thread. (Re)starts the periodic timer; each expiry calls tick
    // on the front-end thread.
    virtual void StartTimer(std::chrono::milliseconds period, std::function<void()> tick) = 0;
    virtual void StopTimer() = 0;

    // True on the front-end thread (asserted by the run in debug builds).
    [[nodiscard]] virtual bool OnOwnThread() const = 0;
};

}  // namespace kestrane
