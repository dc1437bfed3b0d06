// SPDX-License-Identifier: GPL-3.0-or-later
// The program's only working window: the patent list, the save folder, the
// proxy, the Download/Cancel button, the status line and the progress bar. It
// is the Qt front end of a run (kestrane::FrontEnd).
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/MessageBoxes.h"
#include "app/QtDispatcher.h"
#include "run/FrontEnd.h"
#include "run/RunController.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QTextEdit;

namespace kestrane::app {

class PictureWindow;

// A control's place in the window's template, in dialog units. A static text
// may grow wider than its place when this font needs more room.
struct TemplatePlace {
    const char* Name;  // the control's object name
    int X, Y, Width, Height;
    bool Text = false;
};
inline constexpr int kTemplateWidth = 287;
inline constexpr int kTemplateHeight = 247;
inline constexpr TemplatePlace kTemplatePlaces[] = {
    {"inputPatents", 5, 12, 279, 195},       {"idOk", 219, 28, 50, 14},
    {"close1005", 219, 48, 50, 14},          {"patentsLabel", 13, 32, 29, 10, true},
    {"saveToLabel", 13, 137, 29, 8, true},   {"saveFolder1000", 49, 135, 105, 14},
    {"browse1001", 159, 135, 40, 15},        {"useProxy1002", 13, 159, 65, 11},
    {"serverIpLabel", 13, 178, 37, 8, true}, {"proxyIp1003", 57, 176, 52, 14},
    {"portLabel", 116, 179, 19, 9, true},    {"proxyPort1004", 135, 176, 27, 14},
    {"status1006", 5, 227, 279, 12},         {"progress1008", 5, 209, 279, 14},
    {"patentList1009", 49, 30, 79, 98},      {"example1011", 131, 31, 68, 33, true},
    {"help1012", 215, 6, 24, 8, true},
};
// Beyond the template: the link naming the source in use, in the free strip
// left of Help, so that no control of the template moves.
inline constexpr TemplatePlace kSourceLinkPlace = {"sourceLink", 60, 6, 151, 8};

struct MainDialogOptions {
    // Server base, merge program, request echo, source and watchdog period of every run.
    RunOptions Run = FrontEndRunOptions();
    // Folder picker; an empty result means cancelled. Default: QFileDialog.
    std::function<QString(QWidget* parent, const QString& title)> ChooseFolder;
    // Opens a folder in the file browser or the user guide (app/HelpPage.h) in the web browser;
    // false when nothing could open it. Default: QDesktopServices::openUrl.
    std::function<bool(const QUrl& url)> OpenUrl;
    // Sees every modal box and dialog before it runs (see ModalHook).
    ModalHook Modal;
};

class MainDialog : public QDialog, public FrontEnd {
    Q_OBJECT

  public:
    explicit MainDialog(MainDialogOptions options = {}, QWidget* parent = nullptr);
    ~MainDialog() override;

    // Restores the window if minimised and brings it to the front (a second
    // copy of the program asked for it).
    void BringToFront();

    // Fills the list and the save folder and presses Download, as a user would;
    // the demo and screenshot hook (KESTRANE_AUTORUN).
    void TypeAndDownload(const QStringList& numbers, const QString& saveFolder);

    const RunController& Run() const { return *run_; }

    // A termination signal: a run in progress is cancelled at once (the item
    // in work recorded, its merge killed) and the window closes without
    // asking and without boxes.
    void EndForSignal();

    // The run's events; everything here runs on the GUI thread.
    void OnSessionOpened() override;
    void OnItemStarted(const ItemStarted& item) override;
    void OnItemStep(const ItemStep& step) override;
    void OnListDone(const ProgressNote& note) override;
    void AskToAcknowledge(std::shared_ptr<FailureNotice> box) override;
    void WithdrawQuestion(const std::shared_ptr<FailureNotice>& box) override;
    void OnRunFinished(const RunEnd& end) override;
    void OnIdle() override;
    void OnSaveFolderReady(const std::string& saveFolder) override;
    void OnRunMessage(const std::string& text) override;
    void OnLogIncomplete(const std::string& text) override;

  signals:
    // The list has been recoloured for a progress notification.
    void ProgressShown(int progressIndex);

  protected:
    // Every way of closing (title bar, Close button, Alt+F4 and Escape, which
    // Qt all routes here) goes through the close question.
    void reject() override;
    // The Help link's click, and Enter or Space while it has the focus.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    void BuildButtons();
    void BuildFolderAndProxy();
    void BuildListAndHelp();
    void BuildProgress();
    void BuildSourceLink();
    // Names the source of the next run on the source link.
    void ShowSource();
    void SetTabOrder();
    // Names a control and puts it at its template place.
    template <typename W>
    W* Placed(W* widget, const char* name);
    void OnDownload();
    void OnBrowse();
    void OnProxyToggled(bool on);
    void OnAbout();
    void OnSettings();
    // The Help link: the user guide in the web browser, or where it is when no browser opens it.
    void OnHelp();
    // The source of the next run from the settings file; false (and a box) when it cannot be had.
    bool ReadRunSource();
    // No source was ever chosen and nothing else decides: the chooser. False
    // when it was cancelled.
    bool ChooseFirstSource();
    void ColourLine(int line, const QColor& colour);
    // Marks the list where it stands: the item before saved, the one in work.
    void ShowListAt(const ProgressNote& note);
    void SetProgressPos(int position);
    std::vector<std::string> PatentLines() const;
    // Shows a modal box owned by the window; returns the answer.
    int Box(BoxStyle style, const QString& text);

    MainDialogOptions options_;

    QPushButton* ok_ = nullptr;         // 1: Download / Cancel
    QPushButton* close_ = nullptr;      // 1005
    QLineEdit* saveFolder_ = nullptr;   // 1000
    QPushButton* browse_ = nullptr;     // 1001
    QCheckBox* useProxy_ = nullptr;     // 1002
    QLineEdit* proxyIp_ = nullptr;      // 1003
    QLineEdit* proxyPort_ = nullptr;    // 1004
    QLabel* status_ = nullptr;          // 1006
    QProgressBar* progress_ = nullptr;  // 1008
    QTextEdit* patentList_ = nullptr;   // 1009
    QLabel* help_ = nullptr;            // 1012
    QPushButton* sourceLink_ = nullptr;
    PictureWindow* picture_ = nullptr;  // bitmap 134

    // Failure boxes on screen, by the worker's handle of each (the box's
    // finished connection keeps the handle alive while it stands).
    std::map<const FailureNotice*, QMessageBox*> failureBoxes_;
    // A termination signal arrived: no boxes and no file browser from here on.
    bool endingForSignal_ = false;

    bool asking_ = false;         // a close question is open
    bool interfaceGone_ = false;  // the run ending now asked a source whose interface is gone
    // The cancel or close question while it is open: the end of the run answers it "no".
    QPointer<QMessageBox> question_;
    QtDispatcher dispatcher_{this};  // outlives run_
    std::unique_ptr<RunController> run_;

    // The source of the run in progress, as the settings file said when it
    // started: written on the GUI thread before a run starts, read by its workers.
    struct RunSource {
        std::mutex Lock;
        std::function<std::unique_ptr<Source>()> Make;  // Lock; empty: the publication server
    };
    std::string quotaText_;  // the finished run's use of its source's allowance, or ""
    std::shared_ptr<RunSource> runSource_;  // null when the embedder chose the source
};

}  // namespace kestrane::app
