// SPDX-License-Identifier: GPL-3.0-or-later
// Dialog templates give positions in dialog units: a quarter of the dialog
// font's average character width across and an eighth of its height down.
#pragma once

#include <QFont>
#include <QPoint>
#include <QRect>
#include <QSize>

namespace kestrane::app {

// The templates' font is 9 point; the desktop's own sans-serif family stands in
// for "MS Sans Serif".
QFont DialogFont();

// The base units of the font the templates were drawn with (MS Sans Serif on
// a 96-dpi screen); pixel positions in the templates refer to them.
inline constexpr int kDesignBaseX = 6;
inline constexpr int kDesignBaseY = 13;

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);

    // Pixels for a template rectangle (x, y, width, height in dialog units).
    QRect Rect(int x, int y, int width, int height) const;
    QSize Size(int width, int height) const;
    // A position given in pixels of the design font, moved so that it keeps its
    // place among the controls under this font.
    QPoint DesignPixels(int x, int y) const;

    int BaseX() const { return cx_; }
    int BaseY() const { return cy_; }

  private:
    int cx_;  // average character width in pixels
    int cy_;  // character height in pixels
};

}  // namespace kestrane::app
