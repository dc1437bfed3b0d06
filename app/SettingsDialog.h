// SPDX-License-Identifier: GPL-3.0-or-later
// Settings...: which source a run uses and every source's keys (one row per
// key of the source registry), saved to the settings file; "Test connection"
// checks the chosen source's keys against its service and says how it went. The same dialog, as a
// list of every source with what it needs, is the chooser a first Download opens when no source was
// ever chosen.
#pragma once

#include <QDialog>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "client/Source.h"
#include "run/RunController.h"

class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;

namespace kestrane::app {

class DownloadOptionsBox;

class SettingsDialog : public QDialog {
    Q_OBJECT

  public:
    enum class Mode {
        Settings,  // the context menu's Settings...
        Chooser,   // the first Download: every source with what it needs
    };
    // path: the settings file (SettingsPath() in the program). openUrl opens
    // a source's registration page (default: the desktop's browser).
    explicit SettingsDialog(std::string path, QWidget* parent = nullptr, Mode mode = Mode::Settings,
                            std::function<void(const QUrl&)> openUrl = {});
    ~SettingsDialog() override;

    // Saves, and closes only when the file was written (the chooser also
    // wants a source and the fields it cannot do without).
    void accept() override;

  signals:
    // The test connection's outcome is on screen.
    void ConnectionTested(const QString& result);

  private:
    void BuildCombo(QWidget* into);
    void BuildChoices(QWidget* into);
    QWidget* BuildFields();
    void Load();
    void Select(int index);
    void OnTestConnection();
    // The selected source's fields that are empty and have no variable set.
    QString MissingFields() const;

    const std::string path_;
    const Mode mode_;
    std::function<void(const QUrl&)> openUrl_;
    int selected_ = -1;                         // in sources::All(); -1: none yet
    QComboBox* source_ = nullptr;               // Settings
    QButtonGroup* choices_ = nullptr;           // Chooser
    QLabel* needs_ = nullptr;                   // Settings: what the selected source needs
    QStackedWidget* pages_ = nullptr;           // one page of fields per source
    std::map<std::string, QLineEdit*> fields_;  // by settings key
    QPushButton* test_ = nullptr;
    QLabel* result_ = nullptr;
    DownloadOptionsBox* downloads_ = nullptr;
    QPushButton* save_ = nullptr;
    // The connection test runs off the GUI thread; closing the dialog aborts it.
    std::shared_ptr<std::atomic<bool>> abort_;
    std::thread tester_;
};

// MakeSource for the next run as the settings file says, or empty with the
// reason in error (a refused file, a source without its keys).
std::function<std::unique_ptr<Source>()> SourceFromSettings(std::chrono::milliseconds maxWait,
                                                            std::string& error);

// The next run's download options as the settings file says (all off when it
// has none or is refused), or error set when its name format is unusable.
DownloadChoices ChoicesFromSettings(std::string& error);

}  // namespace kestrane::app
