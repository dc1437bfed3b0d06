// SPDX-License-Identifier: GPL-3.0-or-later
// Whole runs driven through the window against the stand-in server, with the
// real merge: list colours, status texts, captions, boxes, the saved files and
// dl.log; cancel, close and the watchdog.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <csignal>
#include <filesystem>

#include "app/TerminationSignals.h"
#include "client/Messages.h"
#include "tests/gui/GuiHarness.h"
#include "tests/support/TestSupport.h"

namespace kestrane::test {
namespace {

namespace fs = std::filesystem;
using pubserver::FaultKind;
using pubserver::Stage;

constexpr const char* kUnknown = "DE404NOTFOUND";

class RunTest : public ::testing::Test {
  protected:
    std::unique_ptr<app::MainDialog> MakeDialog(
        std::chrono::milliseconds watchdog = kWatchdogPeriod) {
        app::MainDialogOptions options = TestOptions(boxes, desktop);
        options.Run.ServerBase = server.server.BaseUrl();
        options.Run.WatchdogPeriod = watchdog;
        auto dialog = std::make_unique<app::MainDialog>(options);
        dialog->show();
        return dialog;
    }

    void Start(app::MainDialog& dialog, const QString& list) {
        Control<QTextEdit>(dialog, "patentList1009")->setPlainText(list);
        Control<QLineEdit>(dialog, "saveFolder1000")->setText(QString::fromStdString(folder.str()));
        Button(dialog)->click();
        ASSERT_TRUE(dialog.Run().IsDownloading()) << boxes.Texts().join('|').toStdString();
    }

    static QPushButton* Button(app::MainDialog& dialog) {
        return Control<QPushButton>(dialog, "idOk");
    }
    static QString Status(app::MainDialog& dialog) {
        return Control<QLabel>(dialog, "status1006")->text();
    }
    static QString Working(const char* number) {
        return QStringLiteral("Downloading %1 PDF document ......").arg(number);
    }
    bool WaitIdle(app::MainDialog& dialog) {
        return WaitFor([&] { return !dialog.Run().IsDownloading(); });
    }

    // dl.log as lines "NUMBER Outcome", each checked for its time stamp and CR LF.
    std::vector<std::string> LogRecords() {
        const std::string text = ReadFile(folder.str() + "/dl.log");
        std::vector<std::string> records;
        const QRegularExpression record(QStringLiteral(
            "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d (.+ (Success|Failed|Cancelled))$"));
        for (const QString& line : QString::fromStdString(text).split("\r\n", Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch m = record.match(line);
            if (!m.hasMatch()) {
                ADD_FAILURE() << "not a log record: " << line.toStdString();
                continue;
            }
            records.push_back(m.captured(1).toStdString());
        }
        if (!text.empty() && text.substr(text.size() - 2) != "\r\n")
            ADD_FAILURE() << "no CR LF";
        return records;
    }

    ServerFixture server;
    TempDir folder;
    BoxAnswers boxes;
    Desktop desktop;
};

TEST_F(RunTest, ARunColoursTheListShowsItsProgressAndSavesTheDocuments) {
    auto dialog = MakeDialog();
    auto* list = Control<QTextEdit>(*dialog, "patentList1009");

    // The list's colours at every progress report.
    std::vector<std::vector<std::string>> colours;
    QObject::connect(dialog.get(), &app::MainDialog::ProgressShown, [&](int) {
        colours.push_back({LineColour(*list, 0), LineColour(*list, 1), LineColour(*list, 2)});
    });
    // The window and the files at the moment the finish box comes up.
    QString captionAtFinish, statusAtFinish;
    int progressAtFinish = -1;
    std::vector<std::string> logAtFinish;
    bool tempAtFinish = true;
    boxes.OnShow = [&](const ShownBox&) {
        captionAtFinish = Button(*dialog)->text();
        statusAtFinish = Status(*dialog);
        progressAtFinish = Control<QProgressBar>(*dialog, "progress1008")->value();
        logAtFinish = LogRecords();
        tempAtFinish = fs::exists(folder.path() / "temp");
    };

    Start(*dialog, QStringLiteral("DE19758096C2\n%1\nDE60218500T2").arg(kUnknown));
    EXPECT_EQ(Button(*dialog)->text(), "Cancel");
    EXPECT_EQ(Status(*dialog), "Downloading......");

    // The unknown number fails: the worker waits in its box, which leaves the
    // window usable (it is not modal).
    ASSERT_TRUE(WaitFor([&] { return !FailureBoxes(*dialog).empty(); }));
    QMessageBox* failure = FailureBoxes(*dialog).front();
    EXPECT_EQ(failure->windowTitle(), "Info");
    EXPECT_EQ(failure->icon(), QMessageBox::NoIcon);
    EXPECT_EQ(failure->text(), msg::kNoSuchPatent);
    EXPECT_EQ(failure->windowModality(), Qt::NonModal);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(Status(*dialog), Working(kUnknown));
    EXPECT_EQ(Button(*dialog)->text(), "Cancel");
    EXPECT_EQ(LineColour(*list, 0), "green");
    EXPECT_EQ(LineColour(*list, 1), "red");
    QTest::mouseClick(failure->button(QMessageBox::Ok), Qt::LeftButton);

    ASSERT_TRUE(WaitIdle(*dialog));

    using Row = std::vector<std::string>;
    const std::vector<Row> expected = {
        {"red", "none", "none"},    // item 0 starts
        {"green", "red", "none"},   // item 0 saved, item 1 starts
        {"green", "red", "red"},    // item 1 failed and stays red; item 2 starts
        {"green", "red", "green"},  // list done: the last line, up to the end of the text
    };
    EXPECT_EQ(colours, expected);

    ASSERT_EQ(boxes.Shown().size(), 1u);
    EXPECT_EQ(boxes.Shown()[0].Text, "Downloading finished.");
    EXPECT_EQ(boxes.Shown()[0].Title, "Info");
    EXPECT_EQ(boxes.Shown()[0].Icon, QMessageBox::NoIcon);
    // Idle and cleaned up before the box, and every record is on disk while it is
    // open: a window killed now has lost nothing.
    EXPECT_EQ(captionAtFinish, "Download");
    EXPECT_EQ(statusAtFinish, "");
    EXPECT_EQ(progressAtFinish, 0);
    EXPECT_FALSE(tempAtFinish);
    EXPECT_EQ(logAtFinish,
              (std::vector<std::string>{"DE19758096C2 Success", std::string(kUnknown) + " Failed",
                                        "DE60218500T2 Success"}));

    EXPECT_EQ(LogRecords(),
              (std::vector<std::string>{"DE19758096C2 Success", std::string(kUnknown) + " Failed",
                                        "DE60218500T2 Success"}));
    EXPECT_EQ(ListFiles(folder.path()),
              (std::vector<std::string>{"DE000060218500T2.pdf", "DE19758096C2.pdf",
                                        "EP000001389012B1.pdf", "dl.log"}));
    EXPECT_EQ(PdfPageCount(folder.str() + "/DE19758096C2.pdf"), pubserver::kSeveralPagesCount);
    EXPECT_EQ(PdfPageCount(folder.str() + "/EP000001389012B1.pdf"), pubserver::kSelectionDocBPages);
    ASSERT_EQ(desktop.Opened.size(), 1u);
    EXPECT_EQ(desktop.Opened[0], QUrl::fromLocalFile(QString::fromStdString(folder.str() + "/")));
    EXPECT_EQ(Button(*dialog)->text(), "Download");
    EXPECT_EQ(Status(*dialog), "");

    // A second run into the same folder, with a blank line in the list: item 1
    // stands on line 2, but line 1 is the one taken for it, so line 2 is never
    // coloured. Its records follow the first run's in dl.log.
    list->setPlainText("DE19758096C2\n\nDE60218500T2");
    Button(*dialog)->click();
    ASSERT_TRUE(dialog->Run().IsDownloading());
    ASSERT_TRUE(WaitIdle(*dialog));
    EXPECT_EQ(LineColour(*list, 0), "green");
    EXPECT_EQ(LineColour(*list, 1), "");
    EXPECT_EQ(LineColour(*list, 2), "none");
    EXPECT_EQ(LogRecords(),
              (std::vector<std::string>{"DE19758096C2 Success", std::string(kUnknown) + " Failed",
                                        "DE60218500T2 Success", "DE19758096C2 Success",
                                        "DE60218500T2 Success"}));
    EXPECT_EQ(boxes.Texts(), QStringList({"Downloading finished.", "Downloading finished."}));
}

TEST_F(RunTest, CancelAsksFirstAndStopsTheRunOnlyWhenConfirmed) {
    server.server.AddFault("DE19758096C2", {Stage::Search, FaultKind::Stall});
    auto dialog = MakeDialog();
    Start(*dialog, "DE19758096C2\nDE60218500T2");
    ASSERT_TRUE(WaitFor([&] { return Status(*dialog) == Working("DE19758096C2"); }));

    boxes.Queue(QMessageBox::Cancel);
    Button(*dialog)->click();
    ASSERT_EQ(boxes.Shown().size(), 1u);
    EXPECT_EQ(boxes.Shown()[0].Text, "Confirm to cancel?");
    EXPECT_EQ(boxes.Shown()[0].Title, "Info");
    EXPECT_EQ(boxes.Shown()[0].Icon, QMessageBox::NoIcon);
    EXPECT_EQ(boxes.Shown()[0].Buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_TRUE(dialog->Run().IsDownloading());
    EXPECT_FALSE(dialog->Run().Snapshot().CancelRequested);
    EXPECT_EQ(Button(*dialog)->text(), "Cancel");

    boxes.Queue(QMessageBox::Ok);
    Button(*dialog)->click();
    // Nothing visible changes until the worker has stopped.
    EXPECT_EQ(Button(*dialog)->text(), "Cancel");
    ASSERT_TRUE(WaitIdle(*dialog));

    EXPECT_EQ(boxes.Texts(),
              QStringList({"Confirm to cancel?", "Confirm to cancel?", "Downloading cancelled."}));
    EXPECT_EQ(LogRecords(), std::vector<std::string>{"DE19758096C2 Cancelled"});
    EXPECT_TRUE(desktop.Opened.empty());  // no folder after a cancel
    auto* list = Control<QTextEdit>(*dialog, "patentList1009");
    EXPECT_EQ(LineColour(*list, 0), "red");
    EXPECT_EQ(LineColour(*list, 1), "none");
    EXPECT_EQ(Button(*dialog)->text(), "Download");
    EXPECT_FALSE(dialog->Run().Snapshot().CancelRequested);
}

TEST_F(RunTest, CancelStaysAvailableWhileAFailureBoxIsOpen) {
    auto dialog = MakeDialog();
    Start(*dialog, QStringLiteral("%1\nDE19758096C2").arg(kUnknown));
    ASSERT_TRUE(WaitFor([&] { return !FailureBoxes(*dialog).empty(); }));

    boxes.Queue(QMessageBox::Ok);
    QTest::mouseClick(Button(*dialog), Qt::LeftButton);
    EXPECT_TRUE(dialog->Run().Snapshot().CancelRequested);
    // The worker goes on once its box is closed, and the next item sees the cancel.
    QTest::mouseClick(FailureBoxes(*dialog).front()->button(QMessageBox::Ok), Qt::LeftButton);
    ASSERT_TRUE(WaitIdle(*dialog));
    EXPECT_EQ(LogRecords(), (std::vector<std::string>{std::string(kUnknown) + " Failed",
                                                      "DE19758096C2 Cancelled"}));
    EXPECT_EQ(boxes.Texts().last(), "Downloading cancelled.");
    EXPECT_FALSE(fs::exists(folder.path() / "DE19758096C2.pdf"));
}

// The run ends by itself while "Confirm to cancel?" is open: the question is
// answered "no" before the finish box comes, so it never acts on a run that is over.
TEST_F(RunTest, TheRunsEndAnswersAnOpenCancelQuestionBeforeTheFinishBox) {
    app::MainDialogOptions options = TestOptions(boxes, desktop);
    options.Run.ServerBase = server.server.BaseUrl();
    const app::ModalHook answer = boxes.Hook();
    QPointer<QDialog> question;
    bool questionOpenAtFinish = true;
    options.Modal = [&](QDialog& shown) -> std::optional<int> {
        auto* box = qobject_cast<QMessageBox*>(&shown);
        if (box != nullptr && box->text() == "Confirm to cancel?") {
            // Open for real, as long as a user thinks it over (half a minute at most: then "yes").
            question = &shown;
            QTimer::singleShot(30000, &shown, [&shown] { shown.done(QMessageBox::Ok); });
            return std::nullopt;
        }
        questionOpenAtFinish = question != nullptr && question->isVisible();
        return answer(shown);
    };
    app::MainDialog dialog(options);
    dialog.show();
    Start(dialog, "DE19758096C2");
    Button(dialog)->click();  // returns once the question has been answered

    EXPECT_FALSE(dialog.Run().IsDownloading());
    EXPECT_FALSE(questionOpenAtFinish);
    EXPECT_EQ(boxes.Texts(), QStringList{"Downloading finished."});
    EXPECT_EQ(LogRecords(), std::vector<std::string>{"DE19758096C2 Success"});
    EXPECT_FALSE(dialog.Run().Snapshot().CancelRequested);
}

TEST_F(RunTest, ClosingDuringARunAsksAndEndsTheRunBeforeTheWindowCloses) {
    server.server.AddFault("DE19758096C2", {Stage::Search, FaultKind::Stall});
    auto dialog = MakeDialog();
    Start(*dialog, "DE19758096C2\nDE60218500T2");
    ASSERT_TRUE(WaitFor([&] { return Status(*dialog) == Working("DE19758096C2"); }));

    // Title bar and Escape: both ask, and Cancel keeps the run going.
    boxes.Queue(QMessageBox::Cancel);
    dialog->close();
    boxes.Queue(QMessageBox::Cancel);
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_EQ(boxes.Texts(), QStringList({"Confirm to close?", "Confirm to close?"}));
    EXPECT_EQ(boxes.Shown()[0].Buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(dialog->Run().IsDownloading());

    // OK through the Close button: the run ends first, then the window closes.
    boxes.Queue(QMessageBox::Ok);
    QTest::mouseClick(Control<QPushButton>(*dialog, "close1005"), Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(dialog->Run().IsDownloading());
    EXPECT_EQ(Button(*dialog)->text(), "Download");
    // Nothing was decided and no message was set, so no box; the folder is
    // shown since no cancel had been confirmed.
    EXPECT_EQ(boxes.Shown().size(), 3u);
    EXPECT_EQ(desktop.Opened.size(), 1u);
    EXPECT_TRUE(fs::exists(folder.path() / "dl.log"));
    EXPECT_TRUE(LogRecords().empty());

    dialog.reset();
    EXPECT_FALSE(fs::exists(folder.path() / "temp"));
}

TEST_F(RunTest, TheWatchdogAbandonsAStalledItemAndTheRunGoesOn) {
    server.server.AddFault("DE19758096C2", {Stage::Search, FaultKind::Stall});
    auto dialog = MakeDialog(std::chrono::milliseconds(1000));
    Start(*dialog, "DE19758096C2");
    ASSERT_TRUE(WaitIdle(*dialog));
    EXPECT_EQ(LogRecords(), std::vector<std::string>{"DE19758096C2 Failed"});
    EXPECT_EQ(boxes.Texts(), QStringList{"Downloading finished."});
    EXPECT_EQ(LineColour(*Control<QTextEdit>(*dialog, "patentList1009"), 0), "red");
    EXPECT_EQ(desktop.Opened.size(), 1u);
}

// SIGTERM or SIGHUP (a logout, a kill) ends a run as a cancel: the item in
// work is recorded, and the window closes without asking.
TEST_F(RunTest, ATerminationSignalCancelsTheRunAndClosesTheWindow) {
    server.server.AddFault("DE60218500T2", {Stage::Search, FaultKind::Stall});
    auto dialog = MakeDialog();
    app::TerminationSignals terminations;
    QObject::connect(&terminations, &app::TerminationSignals::Received, dialog.get(),
                     &app::MainDialog::EndForSignal);
    Start(*dialog, "DE19758096C2\nDE60218500T2");
    ASSERT_TRUE(WaitFor([&] { return Status(*dialog) == Working("DE60218500T2"); }));
    ::raise(SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return !dialog->isVisible(); }));
    EXPECT_FALSE(dialog->Run().IsDownloading());
    EXPECT_EQ(LogRecords(),
              (std::vector<std::string>{"DE19758096C2 Success", "DE60218500T2 Cancelled"}));
    EXPECT_TRUE(boxes.Shown().empty()) << boxes.Texts().join('|').toStdString();
    EXPECT_FALSE(fs::exists(folder.path() / "temp"));
}

TEST_F(RunTest, ALogThatCannotBeWrittenIsReportedAfterTheFinishBox) {
    fs::create_directory(folder.path() / "dl.log");
    auto dialog = MakeDialog();
    Start(*dialog, "DE19758096C2");
    ASSERT_TRUE(WaitIdle(*dialog));
    ASSERT_EQ(boxes.Shown().size(), 2u) << boxes.Texts().join('|').toStdString();
    EXPECT_EQ(boxes.Shown()[0].Text, "Downloading finished.");
    EXPECT_EQ(boxes.Shown()[1].Text,
              QString::fromStdString("Could not write the run log " + folder.str() +
                                     "/dl.log (Is a directory): 1 record is missing from it."));
    EXPECT_EQ(boxes.Shown()[1].Icon, QMessageBox::Warning);
    EXPECT_EQ(PdfPageCount(folder.str() + "/DE19758096C2.pdf"), pubserver::kSeveralPagesCount);
}

TEST_F(RunTest, TheWatchdogTakesDownAFailureBoxLeftOpen) {
    auto dialog = MakeDialog(std::chrono::milliseconds(1000));
    Start(*dialog, kUnknown);
    ASSERT_TRUE(WaitFor([&] { return !FailureBoxes(*dialog).empty(); }));
    // Nobody answers the box; two ticks later it is gone and the run is over.
    ASSERT_TRUE(WaitIdle(*dialog));
    EXPECT_TRUE(WaitFor([&] { return FailureBoxes(*dialog).empty(); }, 5000));
    EXPECT_EQ(LogRecords(), (std::vector<std::string>{std::string(kUnknown) + " Failed",
                                                      std::string(kUnknown) + " Failed"}));
    EXPECT_EQ(boxes.Texts(), QStringList{"Downloading finished."});
}

}  // namespace
}  // namespace kestrane::test
