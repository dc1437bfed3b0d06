// SPDX-License-Identifier: GPL-3.0-or-later
// Dropping onto the patent list: a text file (or several) or a piece of text
// adds its lines to the end of the list, one number per line, as if typed.
#pragma once

#include <QObject>
#include <QStringList>

class QMimeData;
class QTextEdit;

namespace kestrane::app {

// The most of one dropped file that is read; a list of numbers is far smaller,
// and anything larger is not a list.
inline constexpr qint64 kMaxDroppedFileBytes = 1 << 20;

// The non-blank lines, trimmed, that a drop carries: those of the dropped
// local files when it carries files (a file that is too large, unreadable or
// not UTF-8 text gives none), else those of its text.
QStringList DroppedLines(const QMimeData& data);

// Watches the list's viewport for drags and drops; owned by the list.
class PatentListDrop : public QObject {
    Q_OBJECT

  public:
    explicit PatentListDrop(QTextEdit* list);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Append(const QStringList& lines);

    QTextEdit* list_;
};

}  // namespace kestrane::app
