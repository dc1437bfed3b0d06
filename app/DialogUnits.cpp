// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/DialogUnits.h"

#include <QApplication>
#include <QFontMetrics>
#include <QString>
#include <algorithm>

namespace kestrane::app {

namespace {

// a * b / c rounded to the nearest integer, as the dialog manager does it.
int MulDiv(int a, int b, int c) {
    return (a * b + c / 2) / c;
}

}  // namespace

QFont DialogFont() {
    QFont font = QApplication::font();
    font.setPointSize(9);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"));
    cx_ = std::max(1, (width + 26) / 52);
    cy_ = std::max(1, metrics.height());
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    return {MulDiv(x, cx_, 4), MulDiv(y, cy_, 8), MulDiv(width, cx_, 4), MulDiv(height, cy_, 8)};
}

QSize DialogUnits::Size(int width, int height) const {
    return {MulDiv(width, cx_, 4), MulDiv(height, cy_, 8)};
}

QPoint DialogUnits::DesignPixels(int x, int y) const {
    return {MulDiv(x, cx_, kDesignBaseX), MulDiv(y, cy_, kDesignBaseY)};
}

}  // namespace kestrane::app
