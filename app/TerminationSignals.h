// SPDX-License-Identifier: GPL-3.0-or-later
// SIGTERM and SIGHUP (a logout, a kill) as an event of the GUI thread, so the
// window can end its run as a cancel instead of dying with a merge running.
#pragma once

#include <QObject>
#include <memory>

class QSocketNotifier;

namespace kestrane::app {

// One at a time. While it exists, the two signals only wake the GUI thread;
// on destruction their default action returns.
class TerminationSignals : public QObject {
    Q_OBJECT

  public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

  signals:
    void Received();

  private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace kestrane::app
