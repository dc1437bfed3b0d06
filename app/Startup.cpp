#include "app/Startup.h"

#include <QRegularExpression>
#include <QTimer>
#include <utility>

#include "app/MainDialog.h"
#include "app/SingleInstance.h"
#include "client/MergeStep.h"

namespace kestrane::app {

int RunKestrane() {
    SingleInstance instance(InstanceName());
    if (!instance.Claim()) {
        // Whether or not the first copy answers, this one ends without a window.
        instance.AskFirstToRaise();
        return 0;
    }

    MainDialogOptions options;
    // KESTRANE_MERGE_PROGRAM, else the built-in engine. The settings file's
    // [merge] program= goes in as the second argument once that file is read here.
    options.Run.MergeProgram = ChooseMergeProgram("", "");
    MainDialog dialog(std::move(options));
    QObject::connect(&instance, &SingleInstance::RaiseRequested, &dialog,
                     &MainDialog::BringToFront);

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
