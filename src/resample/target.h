#pragma once

#include "resample/geometry.h"
#include "resample/rowlayout.h"

#include <QImage>
#include <QImageIOHandler>
#include <QRectF>
#include <QSize>
#include <QVector>

#include <memory>

class RowSink;

// How an output's pixels are made from the source's.
enum class Resampling
{
    Nearest, // each output pixel is the source pixel under its centre
    Smooth,  // a Lanczos 3 filter as wide as the reduction
};

// What a decode is asked for: the size of the upright output's bounded side, the part of the
// upright image it shows, and how its pixels are made. Decoders hand it on without looking
// inside.
class Target
{
public:
    Target() = default;
    explicit Target(int box) : m_box(box) {}
    Target(int box, Resampling resampling, const QRectF &part = QRectF(0, 0, 1, 1),
           Side side = Side::Longest)
        : m_box(box), m_resampling(resampling), m_part(part), m_side(side)
    {}

    int box() const { return m_box; }
    Resampling resampling() const { return m_resampling; }
    // The part of the upright image the output shows, as fractions of its sides.
    QRectF part() const { return m_part; }
    Side side() const { return m_side; }
    // The same target with an output of exactly `size` pixels, whatever the image's: a frame.
    Target withSize(const QSize &size) const
    {
        Target sized = *this;
        sized.m_size = size;
        return sized;
    }

    // The upright output's size for an upright image of `upright` pixels.
    QSize outputFor(const QSize &upright) const;
    // How many of `rows` stored rows the sink reads for an output of `output` pixels: every
    // one where it filters them, no more than the output's longer side where it takes the
    // nearest.
    qint64 rowsRead(qint64 rows, const QSize &output) const;

    // Which of the reductions a decoder can take for free to take: each given as the size its
    // rows would then have, most reduced first. -1 for none: the full-size rows.
    int reductionFor(const QVector<QSizeF> &reduced, const QSize &fitted,
                     QImageIOHandler::Transformations transform) const;

    // A sink for rows of `rows` pixels, stored as `transform` turns upright, whose output is
    // fitted from an upright image of `fitted` pixels (the rows' own, or the full-size image's
    // where the decoder reduced them). Never null; invalid where memory ran out.
    std::unique_ptr<RowSink> sink(const QSize &rows, const QSize &fitted,
                                  QImageIOHandler::Transformations transform,
                                  const RowLayout &layout) const;
    // A whole decoded image resampled to exactly `size` as the sink would.
    QImage resample(const QImage &image, const QSize &size) const;
    // A whole decoded upright image made into the output: its part, at the output's size.
    QImage fitted(const QImage &upright) const;
    // What that sink holds, its output included.
    qint64 sinkEstimate(const QSize &rows, const QSize &fitted,
                        QImageIOHandler::Transformations transform, const RowLayout &layout) const;

private:
    int m_box = 1;
    Resampling m_resampling = Resampling::Nearest;
    QRectF m_part{0, 0, 1, 1};
    Side m_side = Side::Longest;
    QSize m_size; // invalid: in proportion to the part
};
