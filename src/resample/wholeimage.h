#pragma once

#include "resample/target.h"

#include <QImage>

// Whole decoded images resampled as a decoder's rows are: the same sinks, fed every row.

// `source` resampled to exactly `size`, keeping its resolution, colour space and texts; by
// nearest pixels its pixel format and colour table too.
QImage resampled(const QImage &source, const QSize &size, Resampling resampling);

QImage sampleNearest(const QImage &source, const QSize &size);
QImage sampleSmooth(const QImage &source, const QSize &size);
