// SPDX-License-Identifier: GPL-3.0-or-later
// One copy per session: a second `kestrane` asks the first to come to the
// front and ends without a window.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <atomic>

#include "app/SingleInstance.h"
#include "tests/gui/GuiHarness.h"

namespace kestrane::test {
namespace {

// A name no other test, and no copy the user runs, is using.
QString UniqueName() {
    static std::atomic<int> counter{0};
    return QStringLiteral("kestrane-test-%1-%2")
        .arg(QCoreApplication::applicationPid())
        .arg(counter.fetch_add(1));
}

QProcessEnvironment ProgramEnvironment(const QString& name) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KESTRANE_INSTANCE_NAME", name);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // The same runtime folder as this process, where the marker lives.
    env.insert("XDG_RUNTIME_DIR",
               QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation));
    env.insert("QT_LOGGING_RULES", "kestrane.instance.info=true");
    return env;
}

// Starts the built program.
void StartProgram(QProcess& process, const QString& name) {
    process.setProcessEnvironment(ProgramEnvironment(name));
    process.setProgram(QStringLiteral(KESTRANE_APP_BINARY));
    process.start();
    ASSERT_TRUE(process.waitForStarted(10000)) << process.errorString().toStdString();
}

bool WaitExited(QProcess& process, int timeoutMs = 10000) {
    return WaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
}

TEST(SingleInstance, ASecondStartRaisesTheFirstWindowAndEndsAtOnce) {
    const QString name = UniqueName();
    app::SingleInstance first(name);
    ASSERT_TRUE(first.Claim());

    BoxAnswers boxes;
    Desktop desktop;
    app::MainDialog dialog(TestOptions(boxes, desktop));
    QObject::connect(&first, &app::SingleInstance::RaiseRequested, &dialog,
                     &app::MainDialog::BringToFront);
    dialog.showMinimized();
    ASSERT_TRUE(dialog.isMinimized());

    QProcess second;
    QElapsedTimer clock;
    clock.start();
    StartProgram(second, name);
    ASSERT_TRUE(WaitExited(second));
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);

    EXPECT_EQ(first.RaiseRequests(), 1);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(dialog.isMinimized());
}

TEST(SingleInstance, TwoProgramsOfTheSameSessionMeetOnlyOnce) {
    const QString name = UniqueName();
    QProcess first;
    first.setProcessChannelMode(QProcess::SeparateChannels);
    StartProgram(first, name);
    QByteArray firstLog;
    auto logged = [&](const char* text) {
        return WaitFor([&] {
            firstLog += first.readAllStandardError();
            return firstLog.contains(text);
        });
    };
    ASSERT_TRUE(logged("listening on")) << firstLog.toStdString();

    QProcess second;
    StartProgram(second, name);
    ASSERT_TRUE(WaitExited(second));
    EXPECT_EQ(second.exitCode(), 0);
    // The second copy asked, and the first one got it and is still running.
    EXPECT_TRUE(logged("raise request 1")) << firstLog.toStdString();
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_FALSE(second.readAllStandardError().contains("listening on"));

    // A copy started under another name is a first copy of its own.
    QProcess other;
    StartProgram(other, UniqueName());
    EXPECT_FALSE(WaitExited(other, 1500));

    other.kill();
    first.kill();
    WaitExited(other);
    WaitExited(first);
}

TEST(SingleInstance, ACopyThatDiedLeavesNoMarkerBehind) {
    const QString name = UniqueName();
    QProcess crashed;
    StartProgram(crashed, name);
    QByteArray log;
    ASSERT_TRUE(WaitFor([&] {
        log += crashed.readAllStandardError();
        return log.contains("listening on");
    }));
    crashed.kill();  // no chance to clean up its lock file or socket
    ASSERT_TRUE(WaitExited(crashed));

    app::SingleInstance next(name);
    EXPECT_TRUE(next.Claim());

    // And it answers the copy after it.
    QProcess third;
    StartProgram(third, name);
    ASSERT_TRUE(WaitExited(third));
    EXPECT_EQ(third.exitCode(), 0);
    EXPECT_EQ(next.RaiseRequests(), 1);
}

TEST(SingleInstance, NameFromTheEnvironmentStaysInsideTheRuntimeFolder) {
    qputenv("KESTRANE_INSTANCE_NAME", "../../etc/x y");
    const QString name = app::InstanceName();
    qunsetenv("KESTRANE_INSTANCE_NAME");
    EXPECT_FALSE(name.contains('/'));
    EXPECT_FALSE(name.startsWith('.'));
    EXPECT_EQ(app::InstanceName(), app::kInstanceName);

    app::SingleInstance instance(name);
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    EXPECT_EQ(instance.SocketPath(), runtime + "/" + name + ".socket");
}

}  // namespace
}  // namespace kestrane::test
