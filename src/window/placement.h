#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// Top-left corner that centres a window of `window` size on a desktop of `desktop` size.
// Signed integer division, so a window wider than the desktop gets a negative x.
QPoint centredPosition(const QSize &desktop, const QSize &window);

// Size of the whole desktop: the bounding box of every screen, as windows are placed on it.
QSize desktopSize();

// Top-left corner of a window of `window` size beside `main` on `screen`: to its right where it
// fits, else to its left, else against the screen's right edge; never above or left of the
// screen.
QPoint besidePosition(const QRect &screen, const QRect &main, const QSize &window);

// `window` narrowed, down to 600 pixels wide, to fit beside `main` on `screen` where it does not.
QSize besideSize(const QRect &screen, const QRect &main, const QSize &window);
