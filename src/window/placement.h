#pragma once

#include <QPoint>
#include <QSize>

// Top-left corner that centres a window of `window` size on a desktop of `desktop` size.
// Signed integer division, so a window wider than the desktop gets a negative x.
QPoint centredPosition(const QSize &desktop, const QSize &window);

// Size of the whole desktop: the bounding box of every screen, as windows are placed on it.
QSize desktopSize();
