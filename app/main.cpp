// SPDX-License-Identifier: GPL-3.0-or-later
// kestrane: the desktop front end.
#include <QApplication>

#include "app/CommandLine.h"
#include "app/Startup.h"
#include "util/Platform.h"

int main(int argc, char** argv) {
    // Request addresses are echoed to standard output; a closed one must not end the program.
    kestrane::platform::PrepareConsole();
    if (const auto status = kestrane::app::AnswerCommandLine(argc, argv))
        return *status;
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(KESTRANE_VERSION));
    return kestrane::app::RunKestrane();
}
