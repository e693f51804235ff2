#pragma once

#include "row/plannedrow.h"

class Photo;

// The most memory a row takes, read from its photo's header: the decode of its largest output,
// what each output's encoder and size limit hold, and its other sizes kept until the photo is
// closed.
namespace RowMemory {

// On one core, and alone on `cores`, where a decoder's helpers hold rows of their own.
struct Costs
{
    qint64 oneCore = 0;
    qint64 alone = 0;
};

Costs costs(Photo &photo, const PlannedRow &row, int cores);

} // namespace RowMemory
