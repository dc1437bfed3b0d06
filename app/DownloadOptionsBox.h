// SPDX-License-Identifier: GPL-3.0-or-later
// The Settings dialog's "Downloads" group: resume unfinished documents, write
// report.csv beside dl.log, read bibliographic data, and the file name
// format. All off (and the format empty) is the window as it always was.
#pragma once

#include <QGroupBox>

#include "run/DownloadSettings.h"

class QCheckBox;
class QLineEdit;

namespace kestrane::app {

class DownloadOptionsBox : public QGroupBox {
    Q_OBJECT

  public:
    explicit DownloadOptionsBox(QWidget* parent = nullptr);

    void Load(const DownloadSettings& settings);
    DownloadSettings Values() const;
    // "" when the name format is usable (or empty), else why not.
    QString Problem() const;

  private:
    QCheckBox* resume_ = nullptr;
    QCheckBox* report_ = nullptr;
    QCheckBox* biblio_ = nullptr;
    QLineEdit* nameFormat_ = nullptr;
};

}  // namespace kestrane::app
