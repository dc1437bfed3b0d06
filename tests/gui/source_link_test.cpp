// SPDX-License-Identifier: GPL-3.0-or-later
// The window leads to a working source: the link naming the source in use,
// the chooser of a first Download, and the line after a failed session of
// the classic source at its built-in address.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>

#include "app/DialogUnits.h"
#include "app/SettingsDialog.h"
#include "client/Messages.h"
#include "client/Settings.h"
#include "client/sources/Registry.h"
#include "tests/gui/GuiHarness.h"
#include "tests/support/TestSupport.h"

namespace kestrane::test {
namespace {

namespace fs = std::filesystem;

QString LabelOf(const char* id) {
    return QString::fromStdString(std::string(sources::Find(id)->Label));
}

// A settings folder of the test's own, and no server chosen by the environment.
struct FreshMachine {
    TempDir config;
    ScopedEnv home{"XDG_CONFIG_HOME", config.str().c_str()};
    ScopedEnv base{"KESTRANE_SERVER_BASE", nullptr};
    std::string SettingsFile() const { return config.str() + "/kestrane/kestrane.conf"; }
    void Choose(const std::string& source) const {
        Settings settings;
        settings.Set("run.source", source);
        ASSERT_EQ(SaveSettings(SettingsFile(), settings), "");
    }
};

// What the chooser shows and refuses, then EPO OPS chosen with working keys.
int ChooseOps(app::SettingsDialog& chooser, Desktop& desktop) {
    for (const sources::SourceEntry& source : sources::All()) {
        const std::string id(source.Id);
        EXPECT_NE(chooser.findChild<QRadioButton*>(QString::fromStdString("choose-" + id)),
                  nullptr);
        auto* needs = chooser.findChild<QLabel*>(QString::fromStdString("needs-" + id));
        EXPECT_TRUE(needs != nullptr && !needs->text().isEmpty()) << id;
    }
    auto* save = Control<QPushButton>(chooser, "save");
    EXPECT_FALSE(save->isEnabled());  // nothing chosen yet
    auto* needs = Control<QLabel>(chooser, "needs-ops");
    EXPECT_TRUE(needs->text().contains("developers.epo.org")) << needs->text().toStdString();
    emit needs->linkActivated(QStringLiteral("https://developers.epo.org/"));
    EXPECT_EQ(desktop.Opened.back(), QUrl("https://developers.epo.org/"));

    Control<QRadioButton>(chooser, "choose-ops")->click();
    Control<QLineEdit>(chooser, "opsKey")->setText(QStringLiteral("demo-key"));
    save->click();  // the secret is missing: refused, and said why
    EXPECT_EQ(chooser.result(), QDialog::Rejected);
    EXPECT_TRUE(Control<QLabel>(chooser, "testResult")->text().contains("secret"));

    Control<QLineEdit>(chooser, "opsSecret")->setText(QStringLiteral("demo-secret"));
    QSignalSpy tested(&chooser, &app::SettingsDialog::ConnectionTested);
    Control<QPushButton>(chooser, "testConnection")->click();
    EXPECT_TRUE(tested.wait(20000));
    EXPECT_TRUE(Control<QLabel>(chooser, "testResult")->text().startsWith("Connected"));
    save->click();
    return chooser.result();
}

TEST(FirstDownload, AsksForASourceOnceAndGoesOnWithTheChosenOne) {
    pubserver::ServerOptions opsOptions;
    opsOptions.opsThrottling = "idle (images=green:60000, retrieval=green:60000)";
    ServerFixture server(opsOptions);
    FreshMachine machine;
    ScopedEnv opsBase("KESTRANE_OPS_BASE", (server.server.BaseUrl() + "/3.2").c_str());
    TempDir save;
    BoxAnswers boxes;
    Desktop desktop;
    app::MainDialogOptions options = TestOptions(boxes, desktop);
    int choosers = 0;
    options.Modal = [&, answer = options.Modal](QDialog& dialog) -> std::optional<int> {
        auto* chooser = qobject_cast<app::SettingsDialog*>(&dialog);
        if (chooser == nullptr || dialog.objectName() != "sourceChooser")
            return answer(dialog);
        // The first time the user closes it.
        return ++choosers == 1 ? QDialog::Rejected : ChooseOps(*chooser, desktop);
    };
    app::MainDialog window(options);
    window.show();
    auto* link = Control<QPushButton>(window, "sourceLink");
    EXPECT_EQ(link->text(), "&Source: not chosen yet");

    const QString folder = QString::fromStdString(save.str());
    window.TypeAndDownload({QStringLiteral("DE19758096C2")}, folder);
    EXPECT_EQ(choosers, 1);
    EXPECT_FALSE(window.Run().IsDownloading());
    EXPECT_TRUE(fs::is_empty(save.path()));  // not even the temp folder stays
    EXPECT_FALSE(fs::exists(machine.SettingsFile()));

    for (int run = 0; run < 2; ++run) {
        window.TypeAndDownload({QStringLiteral("DE19758096C2")}, folder);
        ASSERT_TRUE(WaitFor([&] { return !window.Run().IsDownloading(); }));
    }
    EXPECT_EQ(choosers, 2);  // chosen once, asked no more
    EXPECT_EQ(PdfPageCount(save.str() + "/DE19758096C2.pdf"), 3);
    for (const auto& e : server.server.RequestLog())
        EXPECT_TRUE(e.path.starts_with("/3.2/")) << e.path;
    struct stat st {};
    ASSERT_EQ(::stat(machine.SettingsFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(LoadSettings(machine.SettingsFile()).Values.Source(), "ops");
    EXPECT_EQ(link->text(), "&Source: " + LabelOf("ops"));
}

TEST(SourceLink, NamesTheSourceInUseAndOpensSettings) {
    FreshMachine machine;
    machine.Choose("ops");
    BoxAnswers boxes;
    Desktop desktop;
    app::MainDialogOptions options = TestOptions(boxes, desktop);
    int settingsShown = 0;
    options.Modal = [&](QDialog& dialog) -> std::optional<int> {
        EXPECT_EQ(dialog.objectName(), "settingsDialog");
        ++settingsShown;
        auto* source = Control<QComboBox>(dialog, "source");
        source->setCurrentIndex(source->findData(QStringLiteral("classic")));
        dialog.accept();
        return dialog.result();
    };
    app::MainDialog window(options);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    auto* link = Control<QPushButton>(window, "sourceLink");
    EXPECT_EQ(link->text(), "&Source: " + LabelOf("ops"));

    // In the free strip beside Help: over no control of the template.
    const app::DialogUnits du(window.font());
    const auto& p = app::kSourceLinkPlace;
    EXPECT_EQ(link->geometry(), du.Rect(p.X, p.Y, p.Width, p.Height));
    for (const app::TemplatePlace& place : app::kTemplatePlaces) {
        if (std::string_view(place.Name) == "inputPatents")
            continue;
        EXPECT_FALSE(link->geometry().intersects(Control<QWidget>(window, place.Name)->geometry()))
            << place.Name;
    }
    EXPECT_FALSE(link->geometry().intersects(Control<QWidget>(window, "picture134")->geometry()));

    QTest::mouseClick(link, Qt::LeftButton);
    EXPECT_EQ(settingsShown, 1);
    EXPECT_EQ(link->text(), "&Source: " + LabelOf("classic"));
    // From the keyboard: the shortcut of Settings... and the link's access key.
    QTest::keyClick(&window, Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(settingsShown, 2);
    QTest::keyClick(&window, Qt::Key_S, Qt::AltModifier);  // a click a moment later
    EXPECT_TRUE(WaitFor([&] { return settingsShown == 3; }, 5000)) << settingsShown;
    EXPECT_EQ(window.findChild<QAction*>("settingsAction")->shortcut(), QKeySequence("Ctrl+,"));
}

// Through a proxy on a closed loopback port, so nothing leaves this machine.
TEST(ClassicSession, FailsAtTheBuiltInAddressWithAWayToAnotherSource) {
    FreshMachine machine;
    machine.Choose("classic");
    ClosedPort closed;
    ScopedEnv noProxy("no_proxy", nullptr);
    ScopedEnv noProxyCaps("NO_PROXY", nullptr);
    TempDir save;
    for (const bool builtIn : {true, false}) {
        BoxAnswers boxes;
        Desktop desktop;
        app::MainDialogOptions options = TestOptions(boxes, desktop);
        if (!builtIn)
            options.Run.ServerBase = "http://127.0.0.1:" + std::to_string(closed.Port());
        app::MainDialog window(options);
        window.show();
        Control<QCheckBox>(window, "useProxy1002")->setChecked(true);
        Control<QLineEdit>(window, "proxyIp1003")->setText(QStringLiteral("127.0.0.1"));
        Control<QLineEdit>(window, "proxyPort1004")->setText(QString::number(closed.Port()));
        window.TypeAndDownload({QStringLiteral("DE19758096C2")},
                               QString::fromStdString(save.str()));
        ASSERT_TRUE(WaitFor([&] { return !window.Run().IsDownloading(); }));
        QString expected = QString::fromLatin1(msg::kConnectFailed);
        if (builtIn)
            expected += QLatin1Char('\n') + QString::fromLatin1(msg::kInterfaceGoneWindow);
        EXPECT_EQ(boxes.Texts(), QStringList{expected}) << builtIn;
    }
}

}  // namespace
}  // namespace kestrane::test
