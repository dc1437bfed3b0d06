// SPDX-License-Identifier: GPL-3.0-or-later
// The About box: the application icon, the product name with its version, OK.
#pragma once

#include <QDialog>

namespace kestrane::app {

inline constexpr const char* kProductName = "Kestrane";

// "V1.5" for the project version 1.0.0.5: the major and the last component.
QString ShortVersion();

class AboutDialog : public QDialog {
    Q_OBJECT

  public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace kestrane::app
