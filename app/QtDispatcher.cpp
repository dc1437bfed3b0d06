// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/QtDispatcher.h"

#include <QThread>

namespace kestrane::app {

QtDispatcher::QtDispatcher(QObject* context) : context_(context) {
    timer_.setObjectName(QStringLiteral("watchdogTimer"));
    QObject::connect(&timer_, &QTimer::timeout, context_, [this] {
        // The tick may restart or stop the timer; it runs on its own copy.
        const std::function<void()> tick = tick_;
        if (tick)
            tick();
    });
}

void QtDispatcher::Post(std::function<void()> call) {
    QMetaObject::invokeMethod(context_, std::move(call), Qt::QueuedConnection);
}

void QtDispatcher::StartTimer(std::chrono::milliseconds period, std::function<void()> tick) {
    tick_ = std::move(tick);
    timer_.start(period);
}

void QtDispatcher::StopTimer() {
    timer_.stop();
    tick_ = nullptr;
}

bool QtDispatcher::OnOwnThread() const {
    return QThread::currentThread() == context_->thread();
}

}  // namespace kestrane::app
