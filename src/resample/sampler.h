#pragma once

#include <QImage>
#include <QImageIOHandler>
#include <QVector>

#include <algorithm>
#include <functional>
#include <utility>

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

// The resolution, colour space and texts of `source`, given to `target`.
void copyImageMetadata(const QImage &source, QImage *target);

// `source` with only the texts whose key `keep` accepts, its pixels shared.
QImage withTexts(const QImage &source, const std::function<bool(const QString &)> &keep);

// Nearest-pixel, unsmoothed resampling that keeps the source's pixel format, colour table,
// colour space, resolution and text.
QImage sampleNearest(const QImage &source, const QSize &target);

// Which stored row and column each output pixel of an upright, scaled image reads. With a
// quarter turn an output column reads one stored row; otherwise an output row does.
struct SamplePlan
{
    bool quarterTurn = false;
    QVector<int> storedRow;    // per output row, or per output column with a quarter turn
    QVector<int> storedColumn; // per output column, or per output row with a quarter turn
};

// The output a streamed decoder fills: the image stored as `stored`, turned upright by
// `transform` and fitted to `box`. Null where it cannot be allocated.
QImage uprightOutput(const QSize &stored, QImageIOHandler::Transformations transform, int box,
                     QImage::Format format);

// The toolkit mirrors and flips the stored image first, then turns it a quarter clockwise.
SamplePlan samplePlan(QImageIOHandler::Transformations transform, const QSize &stored,
                      const QSize &out);

// Fills output row (or column, with a quarter turn) `target` from one stored row, where
// fetch(column) gives the stored pixel at that column in the output's pixel type.
template <typename Pixel, typename Fetch>
void sampleStoredRow(int target, const SamplePlan &plan, QImage *out, Fetch fetch)
{
    const QVector<int> &columns = plan.storedColumn;
    if (!plan.quarterTurn) {
        auto *line = reinterpret_cast<Pixel *>(out->scanLine(target));
        for (int x = 0; x < columns.size(); ++x)
            line[x] = fetch(columns.at(x));
        return;
    }
    for (int y = 0; y < columns.size(); ++y)
        reinterpret_cast<Pixel *>(out->scanLine(y))[target] = fetch(columns.at(y));
}

// Walks the stored rows a streamed decoder hands out in order: skip(count) passes over rows no
// output pixel needs, read() decodes the next one, and sample(target) fills each output row
// or column that reads it. Stops with false as soon as one of them fails.
template <typename Skip, typename Read, typename Sample>
bool walkStoredRows(const SamplePlan &plan, Skip skip, Read read, Sample sample)
{
    QVector<std::pair<int, int>> order; // (stored row, output row or column)
    order.reserve(plan.storedRow.size());
    for (int i = 0; i < plan.storedRow.size(); ++i)
        order.append({plan.storedRow.at(i), i});
    std::sort(order.begin(), order.end());

    int next = 0; // the next stored row the decoder will hand out
    for (const auto &[wanted, target] : order) {
        if (wanted > next && !skip(wanted - next))
            return false;
        if (wanted >= next) {
            if (!read())
                return false;
            next = wanted + 1;
        }
        sample(target);
    }
    return true;
}
