// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Startup.h"

#include <QRegularExpression>
#include <QTimer>

#include "app/MainDialog.h"
#include "app/SingleInstance.h"
#include "app/TerminationSignals.h"

namespace kestrane::app {

int RunKestrane() {
    SingleInstance instance(InstanceName());
    if (!instance.Claim()) {
        // Whether or not the first copy answers, this one ends without a window.
        instance.AskFirstToRaise();
        return 0;
    }

    MainDialog dialog;
    QObject::connect(&instance, &SingleInstance::RaiseRequested, &dialog,
                     &MainDialog::BringToFront);
    TerminationSignals terminations;
    QObject::connect(&terminations, &TerminationSignals::Received, &dialog,
                     &MainDialog::EndForSignal);

    const QString autorun = qEnvironmentVariable("KESTRANE_AUTORUN");
    if (!autorun.trimmed().isEmpty()) {
        const QStringList numbers =
            autorun.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        const QString folder = qEnvironmentVariable("KESTRANE_AUTORUN_FOLDER");
        QTimer::singleShot(0, &dialog,
                           [&dialog, numbers, folder] { dialog.TypeAndDownload(numbers, folder); });
    }

    // The window runs modally; the program ends when it closes.
    dialog.exec();
    return 0;
}

}  // namespace kestrane::app
