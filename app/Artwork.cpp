// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Artwork.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <cmath>
#include <numbers>

namespace kestrane::app {

namespace {

const QColor kOutline(48, 48, 48);
const QColor kGlass(255, 250, 205);
const QColor kMetal(176, 176, 180);
const QColor kFilament(214, 96, 0);
const QColor kRays(240, 180, 0);

QPointF OnCircle(QPointF centre, double radius, double degrees) {
    const double rad = degrees * std::numbers::pi / 180.0;
    // Qt's y axis points down; angles run counter-clockwise from 3 o'clock.
    return {centre.x() + radius * std::cos(rad), centre.y() - radius * std::sin(rad)};
}

}  // namespace

QImage DrawLampPicture(qreal devicePixelRatio) {
    QImage image(qRound(kLampWidth * devicePixelRatio), qRound(kLampHeight * devicePixelRatio),
                 QImage::Format_RGB32);
    image.fill(kTransparentKey);
    image.setDevicePixelRatio(devicePixelRatio);

    // The painter works in the picture's own pixels: the ratio set above
    // scales every shape, so edges land on device pixels.
    QPainter p(&image);
    // Anti-aliased edges would blend into the magenta and leave a pink fringe
    // once the key colour is cut out.
    p.setRenderHint(QPainter::Antialiasing, false);

    const QPointF centre(59, 60);
    const double radius = 48;

    // Rays of light above the bulb.
    p.setPen(QPen(kRays, 2, Qt::SolidLine, Qt::FlatCap));
    for (double angle : {30.0, 60.0, 90.0, 120.0, 150.0}) {
        p.drawLine(OnCircle(centre, radius + 3, angle), OnCircle(centre, radius + 10, angle));
    }

    // Glass bulb: most of a circle that narrows into the neck of the base.
    QPainterPath bulb;
    bulb.moveTo(39, 128);
    bulb.quadTo(38, 112, OnCircle(centre, radius, 235).x(), OnCircle(centre, radius, 235).y());
    bulb.arcTo(QRectF(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius), 235, -290);
    bulb.quadTo(80, 112, 79, 128);
    bulb.closeSubpath();
    p.setPen(QPen(kOutline, 2));
    p.setBrush(kGlass);
    p.drawPath(bulb);

    // Glass stem carrying the lead wires.
    p.setBrush(QColor(235, 240, 245));
    p.setPen(QPen(kOutline, 1));
    p.drawPolygon(QPolygonF({{52, 128}, {66, 128}, {62, 96}, {56, 96}}));

    // Lead wires and the coiled filament between their tips.
    p.setPen(QPen(kOutline, 1));
    p.drawLine(QPointF(56, 96), QPointF(38, 62));
    p.drawLine(QPointF(62, 96), QPointF(80, 62));
    p.drawLine(QPointF(59, 96), QPointF(59, 70));
    QPolygonF coil;
    for (int i = 0; i <= 12; ++i) {
        const double x = 38 + i * (42.0 / 12.0);
        const double sag = 8 * std::sin(i * std::numbers::pi / 12.0);
        coil << QPointF(x, 62 + sag + ((i % 2) == 0 ? -3 : 3));
    }
    p.setPen(QPen(kFilament, 2));
    p.drawPolyline(coil);

    // Screw base with its thread.
    p.setPen(QPen(kOutline, 2));
    p.setBrush(kMetal);
    p.drawRect(QRectF(39, 128, 40, 48));
    p.setPen(QPen(kOutline, 1));
    for (int y = 134; y < 172; y += 8) {
        p.drawLine(QPointF(40, y), QPointF(78, y + 5));
    }

    // Insulator and the foot contact.
    p.setPen(QPen(kOutline, 2));
    p.setBrush(QColor(70, 70, 70));
    p.drawPolygon(QPolygonF({{42, 177}, {76, 177}, {67, 189}, {51, 189}}));
    p.setBrush(kMetal);
    p.drawRect(QRectF(54, 189, 10, 7));
    return image;
}

QImage DrawAppIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);

    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    // Drawn on a 128-unit grid.
    p.scale(size / 128.0, size / 128.0);

    // The document with a folded corner.
    QPainterPath page;
    page.moveTo(22, 8);
    page.lineTo(84, 8);
    page.lineTo(106, 30);
    page.lineTo(106, 120);
    page.lineTo(22, 120);
    page.closeSubpath();
    p.setPen(QPen(QColor(60, 72, 90), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(250, 250, 247));
    p.drawPath(page);
    QPainterPath fold;
    fold.moveTo(84, 8);
    fold.lineTo(84, 30);
    fold.lineTo(106, 30);
    p.setBrush(QColor(214, 220, 228));
    p.drawPath(fold);

    // Lines of text.
    p.setPen(QPen(QColor(150, 160, 175), 4, Qt::SolidLine, Qt::RoundCap));
    for (int y = 26; y <= 58; y += 10) {
        p.drawLine(QPointF(34, y), QPointF(y == 26 ? 72 : 94, y));
    }

    // The download arrow.
    QPainterPath arrow;
    arrow.moveTo(54, 56);
    arrow.lineTo(74, 56);
    arrow.lineTo(74, 82);
    arrow.lineTo(90, 82);
    arrow.lineTo(64, 112);
    arrow.lineTo(38, 82);
    arrow.lineTo(54, 82);
    arrow.closeSubpath();
    p.setPen(QPen(QColor(20, 70, 150), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(40, 120, 220));
    p.drawPath(arrow);
    return image;
}

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addPixmap(QPixmap::fromImage(DrawAppIcon(size)));
    }
    return icon;
}

}  // namespace kestrane::app
