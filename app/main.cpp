// SPDX-License-Identifier: GPL-3.0-or-later
// kestrane: the desktop front end.
#include <QApplication>
#include <csignal>

#include "app/CommandLine.h"
#include "app/Startup.h"

int main(int argc, char** argv) {
    // Request addresses are echoed to standard output; a closed one must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    if (const auto status = kestrane::app::AnswerCommandLine(argc, argv))
        return *status;
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(KESTRANE_VERSION));
    return kestrane::app::RunKestrane();
}
