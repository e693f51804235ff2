#pragma once

#include <QImage>
#include <QRect>
#include <QSize>

// Where to cut a frame of another shape out of a photo: around what draws the eye (fine detail,
// vivid colour, skin) rather than always in the middle.
namespace Subject {

// The `crop`-sized rectangle of `image` around its most interesting part: always inside the
// image, `crop` clamped to it; the centred one where nothing stands out.
QRect frame(const QImage &image, const QSize &crop);

} // namespace Subject
