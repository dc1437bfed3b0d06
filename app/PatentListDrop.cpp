// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/PatentListDrop.h"

#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QStringDecoder>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <QUrl>

namespace kestrane::app {

namespace {

QStringList LinesOf(const QString& text) {
    QStringList lines;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (!trimmed.isEmpty())
            lines << trimmed;
    }
    return lines;
}

// A file's text; empty when it is not a small UTF-8 text file. A leading
// byte-order mark, as Windows editors write it, is dropped by the decoder.
QString TextOfFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxDroppedFileBytes)
        return {};
    const QByteArray bytes = file.read(kMaxDroppedFileBytes);
    if (bytes.contains('\0'))
        return {};
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return {};
    return text;
}

bool CarriesLocalFiles(const QMimeData& data) {
    if (!data.hasUrls() || data.urls().isEmpty())
        return false;
    for (const QUrl& url : data.urls())
        if (!url.isLocalFile())
            return false;
    return true;
}

}  // namespace

QStringList DroppedLines(const QMimeData& data) {
    if (CarriesLocalFiles(data)) {
        QStringList lines;
        for (const QUrl& url : data.urls()) lines << LinesOf(TextOfFile(url.toLocalFile()));
        return lines;
    }
    if (data.hasText())
        return LinesOf(data.text());
    return {};
}

PatentListDrop::PatentListDrop(QTextEdit* list) : QObject(list), list_(list) {
    list_->setAcceptDrops(true);
    list_->viewport()->installEventFilter(this);
}

bool PatentListDrop::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            const QMimeData* data = drag->mimeData();
            if (data != nullptr && (CarriesLocalFiles(*data) || data->hasText()))
                drag->acceptProposedAction();
            else
                drag->ignore();
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            const QStringList lines =
                drop->mimeData() != nullptr ? DroppedLines(*drop->mimeData()) : QStringList();
            if (lines.isEmpty()) {
                drop->ignore();
            } else {
                Append(lines);
                drop->acceptProposedAction();
            }
            return true;
        }
        default:
            return QObject::eventFilter(watched, event);
    }
}

// At the end, below what is there, so the lines a run is colouring keep
// their places; in the plain format, not the colour of the last line.
void PatentListDrop::Append(const QStringList& lines) {
    const QString text = list_->toPlainText();
    QString added = lines.join(QLatin1Char('\n'));
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')))
        added.prepend(QLatin1Char('\n'));
    QTextCursor cursor(list_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(added, QTextCharFormat());
    list_->setTextCursor(cursor);
    list_->setFocus(Qt::OtherFocusReason);
}

}  // namespace kestrane::app
