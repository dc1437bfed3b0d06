// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/HelpPage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace kestrane::app {

QStringList HelpPageCandidates(const QString& programDir) {
    QStringList places;
    if (!programDir.isEmpty()) {
        places << QDir::cleanPath(programDir + QStringLiteral("/../share/doc/kestrane/index.html"));
    }
    places << QStringLiteral(KESTRANE_INSTALLED_GUIDE) << QStringLiteral(KESTRANE_BUILD_GUIDE);
    // The zip and the installer for Windows keep the guide in doc/ beside the program.
    if (!programDir.isEmpty())
        places << QDir::cleanPath(programDir + QStringLiteral("/doc/index.html"));
    places.removeDuplicates();
    return places;
}

QUrl HelpPageUrl(const QString& programDir) {
    for (const QString& place : HelpPageCandidates(programDir)) {
        if (QFileInfo(place).isFile())
            return QUrl::fromLocalFile(place);
    }
    return QUrl::fromLocalFile(QStringLiteral(KESTRANE_INSTALLED_GUIDE));
}

QUrl HelpPageUrl() {
    return HelpPageUrl(QCoreApplication::applicationDirPath());
}

}  // namespace kestrane::app
