// A borderless child that shows one picture and takes its shape: pixels of the
// key colour are cut out, so the parent shows through them.
#pragma once

#include <QImage>
#include <QLabel>
#include <QPoint>
#include <QRgb>

namespace kestrane::app {

class PictureWindow : public QLabel {
    Q_OBJECT

  public:
    explicit PictureWindow(QWidget* parent);

    // Shows image at pos (parent's client pixels), shaped by the key colour.
    void Show(const QImage& image, QRgb key, QPoint pos);
};

}  // namespace kestrane::app
