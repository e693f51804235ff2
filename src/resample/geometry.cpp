#include "resample/geometry.h"

#include <QRect>

#include <cmath>
#include <tuple>
#include <utility>

QSize fitInSquare(const QSize &source, int box)
{
    // A very thin image would round to no pixels at all; it keeps one.
    return source.scaled(box, box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

int sideLength(const QSize &size, Side side)
{
    switch (side) {
    case Side::Width:
        return size.width();
    case Side::Height:
        return size.height();
    case Side::Longest:
        break;
    }
    return qMax(size.width(), size.height());
}

QSize scaledToSide(const QSize &source, int length, Side side)
{
    if (side == Side::Longest || source.isEmpty())
        return fitInSquare(source.isEmpty() ? QSize(1, 1) : source, length);
    // A very thin image bounded on its short side would be enormous: its long side is capped.
    const bool width = side == Side::Width;
    const double scale = double(length) / (width ? source.width() : source.height());
    const int other =
        qBound(1, int(std::lround((width ? source.height() : source.width()) * scale)), MaxSide);
    return width ? QSize(length, other) : QSize(other, length);
}

QSize turned(const QSize &size, QImageIOHandler::Transformations transform)
{
    return transform.testFlag(QImageIOHandler::TransformationRotate90) ? size.transposed() : size;
}

namespace {

// [from, to) of `length` pixels for the fractions [start, end), at least one pixel wide.
std::pair<int, int> span(double start, double end, int length)
{
    const int from = qBound(0, int(std::lround(start * length)), length - 1);
    const int to = qBound(from + 1, int(std::lround(end * length)), length);
    return {from, to};
}

} // namespace

// The toolkit mirrors and flips the stored image, then turns it a quarter clockwise: upright
// column x is then stored row (height - 1 - x) before the flip, upright row y stored column y.
QRect storedPart(const QRectF &part, const QSize &stored,
                 QImageIOHandler::Transformations transform)
{
    const QSize upright = turned(stored, transform);
    auto [left, right] = span(part.left(), part.right(), upright.width());
    auto [top, bottom] = span(part.top(), part.bottom(), upright.height());
    if (transform.testFlag(QImageIOHandler::TransformationRotate90)) {
        const int width = stored.height(); // the flipped image's height, turned
        std::tie(left, right, top, bottom) =
            std::make_tuple(top, bottom, width - right, width - left);
    }
    if (transform.testFlag(QImageIOHandler::TransformationMirror))
        std::tie(left, right) = std::make_pair(stored.width() - right, stored.width() - left);
    if (transform.testFlag(QImageIOHandler::TransformationFlip))
        std::tie(top, bottom) = std::make_pair(stored.height() - bottom, stored.height() - top);
    return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
}
