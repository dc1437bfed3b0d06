// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the window tests under a QApplication, on the offscreen platform unless
// told otherwise, with a runtime folder of their own (the single-instance
// marker lives there).
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtime;
    if (runtime.isValid()) {
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        // Nobody's own settings file decides which source the tests use.
        qputenv("XDG_CONFIG_HOME", (runtime.path() + QStringLiteral("/config")).toLocal8Bit());
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
