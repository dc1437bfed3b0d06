// SPDX-License-Identifier: GPL-3.0-or-later
// The window's Settings dialog: it tests the connection, saves the settings
// file privately, and the next run takes its documents from EPO OPS.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextEdit>
#include <filesystem>

#include "app/SettingsDialog.h"
#include "client/Settings.h"
#include "client/sources/Registry.h"
#include "tests/gui/GuiHarness.h"
#include "tests/support/TestSupport.h"

namespace kestrane::test {
namespace {

pubserver::ServerOptions OpsOptions() {
    pubserver::ServerOptions options;
    options.opsThrottling = "idle (images=green:60000, retrieval=green:60000)";
    return options;
}

TEST(SettingsDialogTest, SavesTheSourceAndCredentialsAndTheNextRunUsesOps) {
    ServerFixture server(OpsOptions());
    TempDir config;
    TempDir save;
    const QByteArray configHome = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.str()));
    qputenv("KESTRANE_OPS_BASE", QByteArray::fromStdString(server.server.BaseUrl() + "/3.2"));

    BoxAnswers boxes;
    Desktop desktop;
    app::MainDialogOptions options = TestOptions(boxes, desktop);
    QStringList tested;
    const app::ModalHook answerBoxes = options.Modal;
    options.Modal = [&](QDialog& dialog) -> std::optional<int> {
        auto* settings = qobject_cast<app::SettingsDialog*>(&dialog);
        if (settings == nullptr)
            return answerBoxes(dialog);
        auto* source = Control<QComboBox>(dialog, "source");
        auto* secret = Control<QLineEdit>(dialog, "opsSecret");
        EXPECT_EQ(secret->echoMode(), QLineEdit::Password);
        source->setCurrentIndex(source->findData(QStringLiteral("ops")));
        Control<QLineEdit>(dialog, "opsKey")->setText(QStringLiteral("demo-key"));
        QSignalSpy done(settings, &app::SettingsDialog::ConnectionTested);
        for (const char* attempt : {"wrong-secret", "demo-secret"}) {
            secret->setText(QString::fromLatin1(attempt));
            Control<QPushButton>(dialog, "testConnection")->click();
            EXPECT_TRUE(done.wait(20000));
            tested << Control<QLabel>(dialog, "testResult")->text();
        }
        // The download options start off; a name format that cannot name is refused.
        for (const char* box : {"resume", "report", "biblio"}) {
            EXPECT_FALSE(Control<QCheckBox>(dialog, box)->isChecked()) << box;
        }
        Control<QCheckBox>(dialog, "report")->setChecked(true);
        Control<QCheckBox>(dialog, "biblio")->setChecked(true);
        Control<QLineEdit>(dialog, "nameFormat")->setText(QStringLiteral("{title"));
        settings->accept();
        EXPECT_EQ(settings->result(), QDialog::Rejected);
        tested << Control<QLabel>(dialog, "testResult")->text();
        Control<QLineEdit>(dialog, "nameFormat")->clear();
        settings->accept();
        return settings->result();
    };
    app::MainDialog window(options);
    window.show();
    window.findChild<QAction*>("settingsAction")->trigger();

    ASSERT_EQ(tested.size(), 3);
    EXPECT_TRUE(tested[2].contains("never closed")) << tested[2].toStdString();
    EXPECT_TRUE(tested[0].startsWith("Failed: ")) << tested[0].toStdString();
    EXPECT_FALSE(tested[0].contains("wrong-secret"));
    EXPECT_TRUE(tested[1].startsWith("Connected")) << tested[1].toStdString();
    const std::string path = config.str() + "/kestrane/kestrane.conf";
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const SettingsLoad load = LoadSettings(path);
    EXPECT_EQ(load.Values.Source(), "ops");
    EXPECT_EQ(load.Values.Get("ops.secret"), "demo-secret");

    server.server.ClearRequestLog();
    window.TypeAndDownload({QStringLiteral("DE19758096C2")}, QString::fromStdString(save.str()));
    ASSERT_TRUE(WaitFor([&] { return !window.Run().IsDownloading(); }));
    EXPECT_EQ(PdfPageCount(save.str() + "/DE19758096C2.pdf"), 3);
    int opsRequests = 0;
    for (const auto& e : server.server.RequestLog())
        opsRequests += e.path.starts_with("/3.2/") ? 1 : 0;
    EXPECT_EQ(opsRequests, static_cast<int>(server.server.RequestLog().size()));
    EXPECT_GT(opsRequests, 3);
    // Report and biblio as ticked; the status line says what the run used.
    const std::string report = ReadFile(save.str() + "/report.csv");
    EXPECT_NE(report.find("DE19758096C2,ops,saved"), std::string::npos) << report;
    EXPECT_NE(report.find("Bremsanlage"), std::string::npos) << report;
    const QString status = window.findChild<QLabel*>("status1006")->text();
    EXPECT_TRUE(status.startsWith("EPO OPS use: ")) << status.toStdString();
    qputenv("XDG_CONFIG_HOME", configHome);
    qunsetenv("KESTRANE_OPS_BASE");
}

// A source is one registry entry: the dialog offers each one, with a field
// for every key it needs, masked when secret, saved under the entry's name.
TEST(SettingsDialogTest, EverySourceOfTheRegistryHasItsChoiceAndItsFields) {
    TempDir config;
    const std::string path = config.str() + "/kestrane.conf";
    app::SettingsDialog dialog(path);
    auto* source = Control<QComboBox>(dialog, "source");
    ASSERT_EQ(source->count(), static_cast<int>(sources::All().size()));
    for (const sources::SourceEntry& entry : sources::All()) {
        const QString id = QString::fromStdString(std::string(entry.Id));
        ASSERT_GE(source->findData(id), 0) << entry.Id;
        source->setCurrentIndex(source->findData(id));
        for (const sources::SettingKey& key : entry.Keys) {
            QString name = id + QString::fromStdString(std::string(key.Key));
            name[id.size()] = name[id.size()].toUpper();
            auto* field = Control<QLineEdit>(dialog, name.toStdString().c_str());
            EXPECT_EQ(field->echoMode() == QLineEdit::Password, key.Secret) << name.toStdString();
            field->setText(QStringLiteral("value-") + name);
        }
    }
    dialog.accept();
    const SettingsLoad load = LoadSettings(path);
    for (const sources::SourceEntry& entry : sources::All()) {
        for (const sources::SettingKey& key : entry.Keys)
            EXPECT_FALSE(load.Values.Get(sources::SettingName(entry, key)).empty())
                << sources::SettingName(entry, key);
    }
}

}  // namespace
}  // namespace kestrane::test
