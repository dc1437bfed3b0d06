// SPDX-License-Identifier: GPL-3.0-or-later
// Settings...: which source a run uses and every source's keys (one row per
// key of the source registry), saved to the settings file. "Test connection"
// checks the chosen source's keys against its service and says how it went.
#pragma once

#include <QDialog>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/Source.h"
#include "run/RunController.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kestrane::app {

class DownloadOptionsBox;

class SettingsDialog : public QDialog {
    Q_OBJECT

  public:
    // path: the settings file (SettingsPath() in the program).
    explicit SettingsDialog(std::string path, QWidget* parent = nullptr);
    ~SettingsDialog() override;

    // Saves, and closes only when the file was written.
    void accept() override;

  signals:
    // The test connection's outcome is on screen.
    void ConnectionTested(const QString& result);

  private:
    void OnTestConnection();
    void OnSourceChosen();

    // One row of the form: a key of a source's registry entry.
    struct KeyField {
        std::string setting;  // "<id>.<key>" in the settings file
        std::string key;      // "key"
        std::string source;   // the entry's id
        QLineEdit* edit = nullptr;
    };

    const std::string path_;
    QComboBox* source_ = nullptr;
    std::vector<KeyField> fields_;
    QPushButton* test_ = nullptr;
    QLabel* result_ = nullptr;
    DownloadOptionsBox* downloads_ = nullptr;
    // The token request runs off the GUI thread; closing the dialog aborts it.
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
