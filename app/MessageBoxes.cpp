// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/MessageBoxes.h"

#include <QCoreApplication>

namespace kestrane::app {

int RunModal(QDialog& dialog, const ModalHook& hook) {
    if (hook) {
        if (std::optional<int> answer = hook(dialog))
            return *answer;
    }
    return dialog.exec();
}

std::unique_ptr<QMessageBox> MakeBox(BoxStyle style, const QString& text, QWidget* parent) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    switch (style) {
        case BoxStyle::Notice:
            box->setWindowTitle(QStringLiteral("Info"));
            box->setIcon(QMessageBox::NoIcon);
            box->setStandardButtons(QMessageBox::Ok);
            break;
        case BoxStyle::Question:
            box->setWindowTitle(QStringLiteral("Info"));
            box->setIcon(QMessageBox::NoIcon);
            box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            box->setDefaultButton(QMessageBox::Ok);
            box->setEscapeButton(QMessageBox::Cancel);
            break;
        case BoxStyle::AppWarning:
            box->setWindowTitle(ApplicationName());
            box->setIcon(QMessageBox::Warning);
            box->setStandardButtons(QMessageBox::Ok);
            break;
    }
    return box;
}

QString ApplicationName() {
    // Never set by the program, so Qt reports the executable's name.
    return QCoreApplication::applicationName();
}

}  // namespace kestrane::app
