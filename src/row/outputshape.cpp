#include "row/outputshape.h"

#include "resample/framing.h"
#include "row/outputoptions.h"

#include <cmath>

namespace OutputShape {

namespace {

// The bounded side's length: `box`, or the photo's own where it must not be enlarged.
int lengthFor(const Geometry &geometry, const QSize &shown, int box)
{
    const int own = sideLength(shown, geometry.side);
    return !geometry.enlarge && own > 0 && own <= box ? own : box;
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

Plan planFor(const Geometry &geometry, const QSize &upright, int box)
{
    const Resampling resampling = geometry.resampling;
    const QSize ratio = Framing::ratio(geometry.frame, upright);
    if (!upright.isValid() || !ratio.isValid()) {
        const int length = upright.isValid() ? lengthFor(geometry, upright, box) : box;
        return {Target(length, resampling, QRectF(0, 0, 1, 1), geometry.side), QSize()};
    }
    const QRectF part = Framing::centredPart(upright, ratio);
    const QSize pixels = Framing::partPixels(part, upright);
    const int length = lengthFor(geometry, pixels, box);
    const QSize frame = scaledToSide(ratio, length, geometry.side);
    if (!geometry.subject)
        return {Target(length, resampling, part, geometry.side).withSize(frame), QSize()};
    const Target whole(length, resampling, QRectF(0, 0, 1, 1), geometry.side);
    return {whole.withSize(filling(upright, pixels, frame)), frame};
}

} // namespace OutputShape
