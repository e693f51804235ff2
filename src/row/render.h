#pragma once

#include "row/outputoptions.h"
#include "row/outputshape.h"
#include "row/rowoutcome.h"

#include <QImage>
#include <QVector>

class Photo;

// The first stage of a row: the photo made into each output's upright pixels, from one decode.
namespace Render {

// One output's shape: how it is cut and sized, and its size.
struct Shape
{
    OutputShape::Plan plan;
    QSize size; // the upright output's
};

// The shape of an output at each of `sizes` for the photo.
QVector<Shape> shapes(const Photo &photo, const Geometry &geometry, const QVector<int> &sizes);

struct Pixels
{
    RowOutcome failed;      // Pending where the photo decoded
    QVector<QImage> images; // null where not needed
    QImage gainMap;         // for the largest, where the metadata names one that decodes
    QRectF part;            // what of the upright photo the largest shows
    bool lossless = false;  // the photo was coded without loss
};

// The largest of the outputs marked `needed` decoded, the others resampled from it; with
// `gainMap`, the photo's gain map decoded in proportion to it. With `srgb`, a CMYK photo's inks
// go to sRGB through its own profile.
Pixels pixels(Photo &photo, const Geometry &geometry, const QVector<Shape> &shapes,
              const QVector<bool> &needed, bool srgb, bool gainMap);

// One output of `geometry`'s size, neither cut by a frame's subject nor converted to sRGB.
Pixels single(Photo &photo, const Geometry &geometry);

} // namespace Render
