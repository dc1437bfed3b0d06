#include "app/PictureWindow.h"

#include <QPixmap>
#include <QRegion>

namespace kestrane::app {

namespace {

// Every pixel but those of the key colour, gathered row by row in runs.
QRegion ShapeOf(const QImage& image, QRgb key) {
    QRegion shape;
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        int x = 0;
        while (x < image.width()) {
            while (x < image.width() && row[x] == key) ++x;
            const int start = x;
            while (x < image.width() && row[x] != key) ++x;
            if (x > start)
                shape += QRect(start, y, x - start, 1);
        }
    }
    return shape;
}

}  // namespace

PictureWindow::PictureWindow(QWidget* parent) : QLabel(parent) {
    setFrameShape(QFrame::NoFrame);
    setContentsMargins(0, 0, 0, 0);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void PictureWindow::Show(const QImage& image, QRgb key, QPoint pos) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    setPixmap(QPixmap::fromImage(rgb));
    setGeometry(QRect(pos, rgb.size()));
    setMask(ShapeOf(rgb, key));
    show();
}

}  // namespace kestrane::app
