// SPDX-License-Identifier: GPL-3.0-or-later
// The shaped lamp picture on screens of any scale: ctest runs this suite at
// QT_SCALE_FACTOR 1, 1.5 and 2 (Qt reads the scale once, when it starts).
#include <gtest/gtest.h>

#include <QLabel>
#include <QPixmap>
#include <QTest>

#include "tests/gui/GuiHarness.h"

namespace kestrane::test {
namespace {

// Magenta, or a blend of it with anything the window draws: red and blue both
// well above green. No colour of the window or the lamp is like that.
bool KeyTinted(QRgb c) {
    return qRed(c) - qGreen(c) > 40 && qBlue(c) - qGreen(c) > 40;
}

TEST(PictureAtScale, ShowsNoKeyColourAndKeepsTheLampsShape) {
    BoxAnswers boxes;
    Desktop desktop;
    app::MainDialog dialog(TestOptions(boxes, desktop));
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));

    const qreal scale = qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1")).toDouble();
    const QPixmap shot = dialog.grab();
    // The scale is in force: the grab has a device pixel per screen pixel.
    ASSERT_DOUBLE_EQ(shot.devicePixelRatio(), scale);
    const QImage screen = shot.toImage().convertToFormat(QImage::Format_RGB32);

    int tinted = 0;
    for (int y = 0; y < screen.height(); ++y)
        for (int x = 0; x < screen.width(); ++x) tinted += KeyTinted(screen.pixel(x, y)) ? 1 : 0;
    EXPECT_EQ(tinted, 0) << "key-coloured pixels at scale " << scale;

    // Still the lamp, in its place: glass inside the bulb, and what lies
    // beneath the picture where the magenta was cut out.
    auto* picture = Control<QLabel>(dialog, "picture134");
    ASSERT_NE(picture, nullptr);
    picture->hide();
    const QImage behind = dialog.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const auto at = [&](const QImage& image, int x, int y) {
        const QPoint p = picture->mapTo(&dialog, QPoint(x, y));
        return QColor(image.pixel(qRound(p.x() * scale), qRound(p.y() * scale)));
    };
    EXPECT_EQ(at(screen, 59, 30), QColor(255, 250, 205));
    EXPECT_EQ(at(screen, 59, 150), QColor(176, 176, 180));
    for (const QPoint corner : {QPoint(2, 2), QPoint(115, 2), QPoint(2, 199), QPoint(115, 199)}) {
        EXPECT_EQ(at(screen, corner.x(), corner.y()), at(behind, corner.x(), corner.y()))
            << corner.x() << "," << corner.y();
    }
}

}  // namespace
}  // namespace kestrane::test
