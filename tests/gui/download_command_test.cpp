// SPDX-License-Identifier: GPL-3.0-or-later
// The Download command's input checks as the window shows them, and the job
// that an accepted input starts.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <filesystem>

#include "app/MessageBoxes.h"
#include "tests/gui/GuiHarness.h"
#include "tests/support/TestSupport.h"

namespace kestrane::test {
namespace {

namespace fs = std::filesystem;

class DownloadCommandTest : public ::testing::Test {
  protected:
    DownloadCommandTest() {
        app::MainDialogOptions options = TestOptions(boxes, desktop);
        // Runs that do start go to the stand-in server; most are stopped at once.
        options.Run.ServerBase = server.server.BaseUrl();
        dialog = std::make_unique<app::MainDialog>(options);
        dialog->show();
    }

    void Type(const QString& list, const QString& folder) {
        Control<QTextEdit>(*dialog, "patentList1009")->setPlainText(list);
        Control<QLineEdit>(*dialog, "saveFolder1000")->setText(folder);
    }
    void PressDownload() { Control<QPushButton>(*dialog, "idOk")->click(); }

    // After a refused input: one box, and the window as it was.
    void ExpectRefused(const QString& text) {
        ASSERT_EQ(boxes.Shown().size(), 1u);
        const ShownBox& box = boxes.Shown()[0];
        EXPECT_EQ(box.Text, text);
        EXPECT_EQ(box.Title, "Info");
        EXPECT_EQ(box.Icon, QMessageBox::NoIcon);
        EXPECT_EQ(box.Buttons, QMessageBox::Ok);
        EXPECT_FALSE(dialog->Run().IsDownloading());
        EXPECT_FALSE(dialog->Run().Snapshot().HasJob);
        EXPECT_EQ(Control<QPushButton>(*dialog, "idOk")->text(), "Download");
        EXPECT_TRUE(Control<QLabel>(*dialog, "status1006")->text().isEmpty());
    }

    ServerFixture server;
    TempDir folder;
    BoxAnswers boxes;
    Desktop desktop;
    std::unique_ptr<app::MainDialog> dialog;
};

QString Numbered(int count) {
    QStringList lines;
    for (int i = 0; i < count; ++i) lines << QStringLiteral("DE%1").arg(10000000 + i);
    return lines.join('\n');
}

TEST_F(DownloadCommandTest, TwentyOneNumbersAreTooMany) {
    Type(Numbered(21), QString::fromStdString(folder.str()));
    PressDownload();
    ExpectRefused("Max tasks is 20!");
}

TEST_F(DownloadCommandTest, AnEmptyListIsReportedBeforeAnEmptyFolder) {
    Type(" \t\n\n   ", "");
    PressDownload();
    ExpectRefused("Please input patents.");
}

TEST_F(DownloadCommandTest, AnEmptyFolderIsRefused) {
    Type("DE19758096C2", "");
    PressDownload();
    ExpectRefused("Please choose a path to keep documents.");
}

TEST_F(DownloadCommandTest, AFolderThatIsMissingOrAFileIsRefused) {
    Type("DE19758096C2", QString::fromStdString(folder.str() + "/missing"));
    PressDownload();
    WriteFile(folder.str() + "/file", "x");
    Type("DE19758096C2", QString::fromStdString(folder.str() + "/file"));
    PressDownload();
    EXPECT_EQ(boxes.Texts(), QStringList({"The path doesn't exist.", "The path doesn't exist."}));
    EXPECT_FALSE(dialog->Run().IsDownloading());
}

TEST_F(DownloadCommandTest, AFolderWithAnAccentIsRefusedInTheApplicationsOwnBox) {
    const fs::path accented = folder.path() / "Patente-Gebühren";
    fs::create_directory(accented);
    Type("DE19758096C2", QString::fromStdString(accented.string()));
    PressDownload();
    ASSERT_EQ(boxes.Shown().size(), 1u);
    const ShownBox& box = boxes.Shown()[0];
    EXPECT_EQ(box.Text, "Please make sure the path uses only alphanumeric character!");
    EXPECT_EQ(box.Title, app::ApplicationName());
    EXPECT_EQ(box.Title, QCoreApplication::applicationFilePath().section('/', -1));
    EXPECT_EQ(box.Icon, QMessageBox::Warning);
    EXPECT_EQ(box.Buttons, QMessageBox::Ok);
    EXPECT_FALSE(dialog->Run().IsDownloading());
    EXPECT_FALSE(fs::exists(accented / "temp"));
}

TEST_F(DownloadCommandTest, ATickedProxyNeedsIpAndPortAndTempIsAlreadyMade) {
    Type("DE19758096C2", QString::fromStdString(folder.str()));
    Control<QCheckBox>(*dialog, "useProxy1002")->setChecked(true);
    Control<QLineEdit>(*dialog, "proxyIp1003")->setText("127.0.0.1");
    PressDownload();
    ExpectRefused("Please input server IP and server port.");
    EXPECT_TRUE(fs::is_directory(folder.path() / "temp"));
}

TEST_F(DownloadCommandTest, TwentyNumbersAmongBlankLinesStartARun) {
    // Leading blanks stay, trailing ones go; blank and white lines are skipped.
    QStringList lines{"  DE10000000  ", "", " \t"};
    for (int i = 1; i <= 18; ++i) {
        lines << QStringLiteral("DE%1").arg(10000000 + i);
        if (i == 1)
            lines << "   ";
    }
    lines << "DE10000019\t"
          << ""
          << "";
    const QString list = lines.join('\n');
    Type(list, QString::fromStdString(folder.str()));
    PressDownload();

    EXPECT_TRUE(boxes.Shown().empty()) << boxes.Texts().join('|').toStdString();
    ASSERT_TRUE(dialog->Run().IsDownloading());
    const RunSnapshot run = dialog->Run().Snapshot();
    ASSERT_EQ(run.Job.PatentNumbers.size(), 20u);
    EXPECT_EQ(run.Job.PatentNumbers[0], "  DE10000000");
    EXPECT_EQ(run.Job.PatentNumbers[19], "DE10000019");
    EXPECT_EQ(run.Job.SaveFolder, folder.str() + "/");
    EXPECT_EQ(run.Job.TempFolder, folder.str() + "/temp/");
    EXPECT_EQ(run.Job.Proxy, "");
    EXPECT_EQ(run.Job.AccessType, 0);

    // The window is in the downloading state at once.
    EXPECT_EQ(Control<QPushButton>(*dialog, "idOk")->text(), "Cancel");
    EXPECT_EQ(Control<QLabel>(*dialog, "status1006")->text(), "Downloading......");
    auto* progress = Control<QProgressBar>(*dialog, "progress1008");
    EXPECT_EQ(progress->minimum(), 1);
    EXPECT_EQ(progress->maximum(), 100);
    EXPECT_EQ(progress->value(), 0);
}

TEST_F(DownloadCommandTest, AProxyIsUsedOnlyWhenTicked) {
    Type("DE19758096C2", QString::fromStdString(folder.str()));
    Control<QLineEdit>(*dialog, "proxyIp1003")->setText("10.1.2.3");
    Control<QLineEdit>(*dialog, "proxyPort1004")->setText("8080");
    PressDownload();
    ASSERT_TRUE(dialog->Run().IsDownloading());
    EXPECT_EQ(dialog->Run().Snapshot().Job.Proxy, "");
    EXPECT_EQ(dialog->Run().Snapshot().Job.AccessType, 0);
    dialog.reset();  // stops the run

    // At the stand-in as well: nothing asks for a source first.
    app::MainDialogOptions options = TestOptions(boxes, desktop);
    options.Run.ServerBase = server.server.BaseUrl();
    app::MainDialog ticked(options);
    Control<QTextEdit>(ticked, "patentList1009")->setPlainText("DE19758096C2");
    Control<QLineEdit>(ticked, "saveFolder1000")->setText(QString::fromStdString(folder.str()));
    Control<QCheckBox>(ticked, "useProxy1002")->setChecked(true);
    Control<QLineEdit>(ticked, "proxyIp1003")->setText("127.0.0.1");
    Control<QLineEdit>(ticked, "proxyPort1004")->setText("9");
    Control<QPushButton>(ticked, "idOk")->click();
    ASSERT_TRUE(ticked.Run().IsDownloading());
    EXPECT_EQ(ticked.Run().Snapshot().Job.Proxy, "HTTP=HTTP://127.0.0.1:9");
    EXPECT_EQ(ticked.Run().Snapshot().Job.AccessType, 3);
}

TEST_F(DownloadCommandTest, LongLinesArriveCutTo1023Characters) {
    const QString longLine = "DE" + QString(1100, '7');
    Type(longLine, QString::fromStdString(folder.str()));
    PressDownload();
    ASSERT_TRUE(dialog->Run().IsDownloading());
    const RunSnapshot run = dialog->Run().Snapshot();
    ASSERT_EQ(run.Job.PatentNumbers.size(), 1u);
    EXPECT_EQ(run.Job.PatentNumbers[0], longLine.left(1023).toStdString());
}

}  // namespace
}  // namespace kestrane::test
