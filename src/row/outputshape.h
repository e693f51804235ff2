#pragma once

#include "resample/target.h"

#include <QSize>

struct Geometry;

// How one output of a row is cut and sized from the upright photo.
namespace OutputShape {

struct Plan
{
    Target target;
    // Where the subject decides the frame: the frame's size, cut from the target's output once
    // decoded; invalid otherwise.
    QSize subjectFrame;

    // The size of the output written.
    QSize output(const QSize &upright) const
    {
        return subjectFrame.isValid() ? subjectFrame : target.outputFor(upright);
    }
};

// The output at `box` for a photo whose upright size is `upright` (invalid where its header
// could not tell).
Plan planFor(const Geometry &geometry, const QSize &upright, int box);

} // namespace OutputShape
