// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/TerminationSignals.h"

#include <QSocketNotifier>

#include "util/Platform.h"

namespace kestrane::app {

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    const int fd = platform::CatchTerminationRequests();
    if (fd < 0)
        return;
    notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this, fd] {
        platform::DrainTerminationRequests(fd);
        emit Received();
    });
}

TerminationSignals::~TerminationSignals() {
    if (!notifier_)
        return;
    // The notifier goes before the descriptor it watches.
    notifier_.reset();
    platform::ReleaseTerminationRequests();
}

}  // namespace kestrane::app
