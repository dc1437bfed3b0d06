// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/TerminationSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace kestrane::app {

namespace {

// The write end is all the handler touches: writing to a pipe is async-signal-safe.
int gWakeFds[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    const int saved = errno;
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(gWakeFds[1], &byte, 1);
    errno = saved;
}

void SetHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (::pipe2(gWakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier_ = std::make_unique<QSocketNotifier>(gWakeFds[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        char drained[64];
        while (::read(gWakeFds[0], drained, sizeof drained) > 0) {
        }
        emit Received();
    });
    SetHandler(OnSignal);
}

TerminationSignals::~TerminationSignals() {
    if (!notifier_)
        return;
    SetHandler(SIG_DFL);
    notifier_.reset();
    for (int& fd : gWakeFds) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace kestrane::app
