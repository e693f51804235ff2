#pragma once

#include <QImageIOHandler>
#include <QRect>
#include <QRectF>
#include <QSize>

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

// `size` as it stands once `transform` has turned it.
QSize turned(const QSize &size, QImageIOHandler::Transformations transform);

// The pixels of an image stored as `stored` that a part of its upright image covers, given as
// fractions of the upright sides; at least one pixel.
QRect storedPart(const QRectF &part, const QSize &stored,
                 QImageIOHandler::Transformations transform);
