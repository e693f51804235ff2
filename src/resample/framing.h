#pragma once

#include "resample/geometry.h"

#include <QRectF>
#include <QSize>

// The shape an output is cut to.
enum class Frame
{
    Whole, // the photo's own
    Square,
    Ratio4x5,
    Ratio3x2,
    Ratio16x9,
};

namespace Framing {

// The frame's width and height for a photo of `upright` pixels: wide for a landscape photo,
// tall for a portrait one; invalid for the whole photo.
QSize ratio(Frame frame, const QSize &upright);

// The largest centred part of `upright` with `ratio`, as fractions of its sides.
QRectF centredPart(const QSize &upright, const QSize &ratio);

// The part's pixels in an image of `upright` pixels.
QSize partPixels(const QRectF &part, const QSize &upright);

// `rect` of an image of `size` pixels as fractions of its sides.
QRectF fractions(const QRect &rect, const QSize &size);

} // namespace Framing
