// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/PictureWindow.h"

#include <QPainter>
#include <QRegion>
#include <cmath>

namespace kestrane::app {

namespace {

// The logical pixels (of picture size width x height) that hold at least one
// device pixel not of the key colour, gathered row by row in runs. At a ratio
// of 1 these are exactly the pixels that are not of the key colour.
QRegion ShapeOf(const QImage& image, qreal ratio, QRgb key, int width, int height) {
    auto drawnAt = [&](int x, int y) {
        const int x0 = static_cast<int>(std::floor(x * ratio));
        const int y0 = static_cast<int>(std::floor(y * ratio));
        const int x1 = std::min(image.width(), static_cast<int>(std::ceil((x + 1) * ratio)));
        const int y1 = std::min(image.height(), static_cast<int>(std::ceil((y + 1) * ratio)));
        for (int dy = y0; dy < y1; ++dy) {
            const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(dy));
            for (int dx = x0; dx < x1; ++dx)
                if (row[dx] != key)
                    return true;
        }
        return false;
    };
    QRegion shape;
    for (int y = 0; y < height; ++y) {
        int x = 0;
        while (x < width) {
            while (x < width && !drawnAt(x, y)) ++x;
            const int start = x;
            while (x < width && drawnAt(x, y)) ++x;
            if (x > start)
                shape += QRect(start, y, x - start, 1);
        }
    }
    return shape;
}

// The picture with every key-colour pixel fully transparent: where the shape
// takes in part of a logical pixel at a fractional ratio, the parent shows
// through the rest instead of the key colour.
QImage WithKeyCut(const QImage& rgb, QRgb key) {
    QImage out = rgb.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QRgb opaqueKey = key | 0xFF000000u;
    for (int y = 0; y < out.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x)
            if ((row[x] | 0xFF000000u) == opaqueKey)
                row[x] = 0;
    }
    return out;
}

}  // namespace

PictureWindow::PictureWindow(QWidget* parent) : QLabel(parent) {
    setFrameShape(QFrame::NoFrame);
    setContentsMargins(0, 0, 0, 0);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void PictureWindow::Show(Drawing draw, QRgb key, QPoint pos) {
    draw_ = std::move(draw);
    key_ = key;
    const QImage once = draw_(1.0);
    setGeometry(QRect(pos, once.size()));
    Render(devicePixelRatioF());
    show();
}

void PictureWindow::Render(qreal ratio) {
    const QImage rgb = draw_(ratio).convertToFormat(QImage::Format_RGB32);
    ratio_ = ratio;
    pixmap_ = QPixmap::fromImage(WithKeyCut(rgb, key_));
    pixmap_.setDevicePixelRatio(ratio);
    setMask(ShapeOf(rgb, ratio, key_ | 0xFF000000u, width(), height()));
}

void PictureWindow::paintEvent(QPaintEvent*) {
    if (!draw_)
        return;
    // The window moved to a screen of another ratio.
    if (devicePixelRatioF() != ratio_)
        Render(devicePixelRatioF());
    QPainter painter(this);
    painter.drawPixmap(0, 0, pixmap_);
}

}  // namespace kestrane::app
