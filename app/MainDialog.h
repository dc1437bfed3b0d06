// The program's only working window: the patent list, the save folder, the
// proxy, the Download/Cancel button, the status line and the progress bar. It
// is the Qt front end of a run (kestrane::FrontEnd).
#pragma once

#include <QDialog>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/MessageBoxes.h"
#include "run/FrontEnd.h"
#include "run/RunController.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QTextEdit;
class QTimer;

namespace kestrane::app {

class PictureWindow;

inline constexpr std::chrono::milliseconds kWatchdogPeriod{120000};

struct MainDialogOptions {
    RunOptions Run;  // server base and merge program of every run
    std::chrono::milliseconds WatchdogPeriod = kWatchdogPeriod;  // period of the job watchdog
    // Folder picker; an empty result means cancelled. Default: QFileDialog.
    std::function<QString(QWidget* parent, const QString& title)> ChooseFolder;
    // Opens a folder in the file browser or the user guide (app/HelpPage.h) in the web browser.
    // Default: QDesktopServices::openUrl.
    std::function<void(const QUrl& url)> OpenUrl;
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

    // Threads: the worker calls the FrontEnd functions marked "worker thread"
    // in run/FrontEnd.h on its own thread; each only queues a call to this
    // dialog, and the GUI thread carries them out in the order they were made.
    // Everything else here runs on the GUI thread.
    void JobProgress(const ProgressNote& note) override;
    void JobFinished() override;
    void SetStatusText(const std::string& text) override;
    void SetProgressPos(int position) override;
    void ArmWatchdog() override;
    void ShowFailureBox(std::shared_ptr<FailureBox> box) override;
    void StopWatchdog() override;
    void DismissFailureBox(const std::shared_ptr<FailureBox>& box) override;
    void ResetIdle() override;
    void OpenSaveFolder(const std::string& saveFolder) override;
    void ShowFinishMessage(const std::string& text) override;

  signals:
    // The list has been recoloured for a progress notification.
    void ProgressShown(int progressIndex);

  protected:
    // Every way of closing (title bar, Close button, Alt+F4 and Escape, which
    // Qt all routes here) goes through the close question.
    void reject() override;
    // The Help link's click.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    void OnDownload();
    void OnBrowse();
    void OnProxyToggled(bool on);
    void OnAbout();
    void ApplyProgress(const ProgressNote& note);
    void ColourLine(int line, const QColor& colour);
    void ApplyProgressPos(int position);
    std::vector<std::string> PatentLines() const;
    // Shows a modal box owned by the window; returns the answer.
    int Box(BoxStyle style, const QString& text);
    // Runs a call on the GUI thread after every call queued before it.
    void Queue(std::function<void()> call);

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
    PictureWindow* picture_ = nullptr;  // bitmap 134
    QTimer* watchdog_ = nullptr;

    // Failure boxes on screen, with the worker's handle of each.
    struct ShownFailure {
        std::shared_ptr<FailureBox> Handle;
        QMessageBox* Box;
    };
    std::vector<ShownFailure> failureBoxes_;

    bool asking_ = false;      // a close question is open
    bool destroying_ = false;  // no boxes and no file browser from here on
    std::unique_ptr<RunController> run_;
};

}  // namespace kestrane::app
