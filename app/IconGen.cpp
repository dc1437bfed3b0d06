// SPDX-License-Identifier: GPL-3.0-or-later
// Build-time tool: writes the application icon as PNG files for installation,
// from the same drawing code the program uses.
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QString>
#include <cstdio>
#include <cstdlib>

#include "app/Artwork.h"

int main(int argc, char** argv) {
    if (argc < 3 || (argc % 2) == 0) {
        std::fprintf(stderr, "usage: %s SIZE FILE.png [SIZE FILE.png ...]\n", argv[0]);
        return 2;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        const int size = std::atoi(argv[i]);
        if (size < 8 || size > 1024) {
            std::fprintf(stderr, "bad icon size: %s\n", argv[i]);
            return 2;
        }
        const QString file = QString::fromLocal8Bit(argv[i + 1]);
        QDir().mkpath(QFileInfo(file).path());
        if (!kestrane::app::DrawAppIcon(size).save(file, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", argv[i + 1]);
            return 1;
        }
    }
    return 0;
}
