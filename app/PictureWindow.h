// SPDX-License-Identifier: GPL-3.0-or-later
// A borderless child that shows one picture and takes its shape: pixels of the
// key colour are cut out, so the parent shows through them.
#pragma once

#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPoint>
#include <QRgb>
#include <functional>

class QPaintEvent;

namespace kestrane::app {

class PictureWindow : public QLabel {
    Q_OBJECT

  public:
    // Draws the picture for a device pixel ratio: an image of the picture's
    // size times the ratio, with that ratio set, on a background of the key colour.
    using Drawing = std::function<QImage(qreal devicePixelRatio)>;

    explicit PictureWindow(QWidget* parent);

    // Shows the picture at pos (parent's client pixels), shaped by the key colour.
    void Show(Drawing draw, QRgb key, QPoint pos);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    // Draws the picture anew for the screen's ratio, so that no scaling blends
    // the key colour into the edges, and cuts the shape to match.
    void Render(qreal ratio);

    Drawing draw_;
    QRgb key_ = 0;
    qreal ratio_ = 0;  // of pixmap_
    QPixmap pixmap_;   // the key colour made transparent
};

}  // namespace kestrane::app
