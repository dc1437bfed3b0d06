// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/gui/GuiHarness.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>

namespace kestrane::test {

app::ModalHook BoxAnswers::Hook() {
    return [this](QDialog& dialog) -> std::optional<int> {
        ShownBox shown;
        shown.Title = dialog.windowTitle();
        if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
            shown.IsMessageBox = true;
            shown.Text = box->text();
            shown.Icon = box->icon();
            shown.Buttons = box->standardButtons();
        }
        shown.Answer = QMessageBox::Ok;
        if (!answers_.empty()) {
            shown.Answer = answers_.front();
            answers_.erase(answers_.begin());
        }
        shown_.push_back(shown);
        if (OnShow)
            OnShow(shown);
        return shown.Answer;
    };
}

QStringList BoxAnswers::Texts() const {
    QStringList texts;
    for (const ShownBox& box : shown_) texts << box.Text;
    return texts;
}

app::MainDialogOptions TestOptions(BoxAnswers& boxes, Desktop& desktop) {
    app::MainDialogOptions options;
    options.Modal = boxes.Hook();
    options.OpenUrl = [&desktop](const QUrl& url) {
        desktop.Opened.push_back(url);
        return !desktop.NoBrowser;
    };
    options.ChooseFolder = [&desktop](QWidget*, const QString& title) {
        desktop.PickerTitles.push_back(title);
        return desktop.NextFolder;
    };
    return options;
}

std::string LineColour(QTextEdit& list, int line) {
    const QTextBlock block = list.document()->findBlockByNumber(line);
    if (!block.isValid())
        return "missing";
    if (block.length() <= 1)
        return "";
    std::string colour;
    // Every character of the line, up to the end of its text.
    for (int pos = block.position(); pos < block.position() + block.length() - 1; ++pos) {
        QTextCursor cursor(list.document());
        cursor.setPosition(pos + 1);  // the format of the character before the cursor
        const QBrush brush = cursor.charFormat().foreground();
        std::string here;
        if (brush.style() == Qt::NoBrush) {
            here = "none";
        } else if (brush.color() == QColor(255, 0, 0)) {
            here = "red";
        } else if (brush.color() == QColor(0, 255, 0)) {
            here = "green";
        } else {
            here = brush.color().name().toStdString();
        }
        if (colour.empty()) {
            colour = here;
        } else if (colour != here) {
            return "mixed";
        }
    }
    return colour;
}

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
    return QTest::qWaitFor(pred, timeoutMs);
}

std::vector<QMessageBox*> FailureBoxes(QWidget& window) {
    std::vector<QMessageBox*> boxes;
    for (QMessageBox* box : window.findChildren<QMessageBox*>(QStringLiteral("failureBox"))) {
        if (box->isVisible())
            boxes.push_back(box);
    }
    return boxes;
}

}  // namespace kestrane::test
