#pragma once

#include <QImageIOHandler>
#include <QRect>
#include <QRectF>
#include <QSize>

// Which side of an output its size bounds.
enum class Side
{
    Longest,
    Width,
    Height,
};

// The length of `size`'s `side`: its longest side, its width or its height.
int sideLength(const QSize &size, Side side);

// `source` scaled in proportion so that its `side` is `length`; no side less than one pixel, nor
// more than MaxSide.
QSize scaledToSide(const QSize &source, int length, Side side);
constexpr int MaxSide = 32767;

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
