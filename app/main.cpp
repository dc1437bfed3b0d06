// kestrane: the desktop front end.
#include <QApplication>

#include "app/CommandLine.h"
#include "app/Startup.h"

int main(int argc, char** argv) {
    if (const auto status = kestrane::app::AnswerCommandLine(argc, argv))
        return *status;
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(KESTRANE_VERSION));
    return kestrane::app::RunKestrane();
}
