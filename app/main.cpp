// kestrane: the desktop front end.
#include <QApplication>

#include "app/Startup.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(KESTRANE_VERSION));
    return kestrane::app::RunKestrane();
}
