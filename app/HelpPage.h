// SPDX-License-Identifier: GPL-3.0-or-later
// The user guide that ships with Kestrane, opened by the Help link.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

namespace kestrane::app {

// Where the guide's index.html is looked for, in order: beside the program
// (programDir/../share/doc/kestrane, as installed under any prefix and as laid
// out in the build tree), the installed prefix, the build tree.
QStringList HelpPageCandidates(const QString& programDir);

// The first candidate that exists, as a file URL; the installed place when
// none does, so the browser names the missing file.
QUrl HelpPageUrl(const QString& programDir);

// HelpPageUrl for the running program.
QUrl HelpPageUrl();

}  // namespace kestrane::app
