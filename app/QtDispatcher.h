// SPDX-License-Identifier: GPL-3.0-or-later
// The run's way onto the GUI thread: queued calls on a context object and a
// QTimer for the watchdog.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

#include "run/Dispatcher.h"

namespace kestrane::app {

class QtDispatcher : public Dispatcher {
  public:
    // Calls run on context's thread; those still queued when it goes are dropped.
    explicit QtDispatcher(QObject* context);

    void Post(std::function<void()> call) override;
    void StartTimer(std::chrono::milliseconds period, std::function<void()> tick) override;
    void StopTimer() override;
    bool OnOwnThread() const override;

  private:
    QObject* context_;
    QTimer timer_;
    std::function<void()> tick_;  // GUI thread only
};

}  // namespace kestrane::app
