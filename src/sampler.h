#pragma once

#include <QImage>

// Size of the largest image with the aspect ratio of `source` that fits in a `box` x `box`
// square: one side becomes exactly `box`, so small images are enlarged. No side is ever less
// than one pixel.
QSize fitInSquare(const QSize &source, int box);

// Index of the source pixel that output pixel `x` of `outLength` samples from `inLength`:
// the one under the output pixel's centre.
inline int nearestIndex(int x, int inLength, int outLength)
{
    return int((2 * qint64(x) + 1) * inLength / (2 * qint64(outLength)));
}

// Nearest-pixel, unsmoothed resampling that keeps the source's pixel format, colour table,
// colour space, resolution and text.
QImage sampleNearest(const QImage &source, const QSize &target);
