#include "row/outputshape.h"

#include "resample/framing.h"
#include "row/plannedrow.h"

#include <cmath>

namespace OutputShape {

namespace {

// The bounded side's length: `box`, or the photo's own where it must not be enlarged.
int lengthFor(const PlannedRow &row, const QSize &shown, int box)
{
    const int own = sideLength(shown, row.side);
    return !row.enlarge && own > 0 && own <= box ? own : box;
}

// The whole photo scaled so that `frame` fits in it, for the subject to be looked for.
QSize filling(const QSize &upright, const QSize &part, const QSize &frame)
{
    const double scale =
        qMax(double(frame.width()) / part.width(), double(frame.height()) / part.height());
    const QSize fill(int(std::lround(upright.width() * scale)),
                     int(std::lround(upright.height() * scale)));
    return fill.expandedTo(frame).boundedTo(QSize(MaxSide, MaxSide));
}

} // namespace

Plan planFor(const PlannedRow &row, const QSize &upright, int box)
{
    const QSize ratio = Framing::ratio(row.frame, upright);
    if (!upright.isValid() || !ratio.isValid()) {
        const int length = upright.isValid() ? lengthFor(row, upright, box) : box;
        return {Target(length, row.resampling, QRectF(0, 0, 1, 1), row.side), QSize()};
    }
    const QRectF part = Framing::centredPart(upright, ratio);
    const QSize pixels = Framing::partPixels(part, upright);
    const int length = lengthFor(row, pixels, box);
    const QSize frame = scaledToSide(ratio, length, row.side);
    if (!row.subject)
        return {Target(length, row.resampling, part, row.side).withSize(frame), QSize()};
    const Target whole(length, row.resampling, QRectF(0, 0, 1, 1), row.side);
    return {whole.withSize(filling(upright, pixels, frame)), frame};
}

} // namespace OutputShape
