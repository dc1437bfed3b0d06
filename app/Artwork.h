// SPDX-License-Identifier: GPL-3.0-or-later
// The program's pictures, drawn in code so no binary resource has to be kept
// in step with the sources: the application icon and the shaped lamp picture
// of the main window.
#pragma once

#include <QIcon>
#include <QImage>
#include <QRgb>

namespace kestrane::app {

// The lamp picture's size and the colour that is cut out of its shape.
inline constexpr int kLampWidth = 118;
inline constexpr int kLampHeight = 202;
inline constexpr QRgb kTransparentKey = 0xFFFF00FF;  // magenta

// A line drawing of an incandescent lamp on a magenta background, without
// anti-aliasing, so every background pixel is exactly kTransparentKey. Drawn
// for a screen's device pixel ratio, it is that many times larger (rounded)
// and carries the ratio, so the screen shows it without scaling.
QImage DrawLampPicture(qreal devicePixelRatio = 1.0);

// The application icon (a patent document with a download arrow) at size x size
// pixels, with an alpha channel.
QImage DrawAppIcon(int size);

// The application icon in the sizes a desktop asks for.
QIcon AppIcon();

}  // namespace kestrane::app
