// SPDX-License-Identifier: GPL-3.0-or-later
// The window's message boxes and the hook through which tests answer them.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QWidget;

namespace kestrane::app {

// Sees every modal box and dialog of the window fully built, just before it
// would run. A result answers it without showing it (tests pre-answer boxes
// this way, as a user would click); std::nullopt lets it run as usual.
using ModalHook = std::function<std::optional<int>(QDialog&)>;

// Runs a modal dialog, through the hook when one is set; returns its result.
int RunModal(QDialog& dialog, const ModalHook& hook);

enum class BoxStyle {
    Notice,      // caption "Info", OK, no icon
    Question,    // caption "Info", OK and Cancel, no icon; Cancel means no
    AppWarning,  // caption = the application's name, OK, warning icon
};

std::unique_ptr<QMessageBox> MakeBox(BoxStyle style, const QString& text, QWidget* parent);

// The application's name as the framework takes it: the executable's base name.
QString ApplicationName();

}  // namespace kestrane::app
