#pragma once

#include "resample/rowsink.h"

#include <QImageIOHandler>
#include <QRect>

#include <memory>

// Lanczos 3 filtering: every stored row of the part shown goes through the filter.
namespace FilterSink {

// Rows of `rows` pixels, of which `part` is shown, make an output of `out` pixels in the stored
// orientation, turned upright at the end.
std::unique_ptr<RowSink> make(const QSize &rows, const QRect &part,
                              QImageIOHandler::Transformations transform, const QSize &out,
                              const RowLayout &layout);

// The output's format for rows of `layout`.
QImage::Format outputFormat(const RowLayout &layout);

} // namespace FilterSink
