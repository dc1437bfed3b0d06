// SPDX-License-Identifier: GPL-3.0-or-later
// What the window tests share: answering the window's modal boxes as a user
// would, finding controls by name, and reading the list's colours back.
#pragma once

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/MainDialog.h"

class QTextEdit;

// Readable Qt strings in test failures.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& texts, std::ostream* out) {
    *out << "[\"" << texts.join(QStringLiteral("\", \"")).toStdString() << "\"]";
}

namespace kestrane::test {

// One modal box or dialog as the window built it.
struct ShownBox {
    QString Title;
    QString Text;
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons Buttons;
    bool IsMessageBox = false;
    int Answer = 0;
};

// Answers the window's modal boxes in turn, without showing them, and keeps
// what each looked like. A box with no answer queued is answered OK.
class BoxAnswers {
  public:
    void Queue(QMessageBox::StandardButton answer) { answers_.push_back(answer); }
    // Runs when a box comes up, before it is answered (e.g. to look at files).
    std::function<void(const ShownBox&)> OnShow;

    app::ModalHook Hook();
    const std::vector<ShownBox>& Shown() const { return shown_; }
    // The texts of every box so far, in order.
    QStringList Texts() const;

  private:
    std::vector<int> answers_;
    std::vector<ShownBox> shown_;
};

// Stand-ins for the desktop: URLs that would have been opened, folders the
// picker returns.
struct Desktop {
    std::vector<QUrl> Opened;
    QString NextFolder;      // what the folder picker returns
    bool NoBrowser = false;  // nothing can open a URL
    std::vector<QString> PickerTitles;
};

app::MainDialogOptions TestOptions(BoxAnswers& boxes, Desktop& desktop);

// A control of the window by its object name; fails the test when missing.
template <typename W>
W* Control(QWidget& window, const char* name) {
    W* widget = window.findChild<W*>(QString::fromLatin1(name));
    if (widget == nullptr)
        ADD_FAILURE() << "no control " << name;
    return widget;
}

// The colour of line k of the list: "red", "green", "none" (never coloured),
// "mixed" (part of it only), or the colour's name; "" for a blank line and
// "missing" for a line that does not exist.
std::string LineColour(QTextEdit& list, int line);

// Processes events until pred holds or timeoutMs pass.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 60000);

// The visible non-modal failure boxes of the window.
std::vector<QMessageBox*> FailureBoxes(QWidget& window);

}  // namespace kestrane::test
