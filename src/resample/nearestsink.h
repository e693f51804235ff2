#pragma once

#include "resample/rowsink.h"

#include <QImageIOHandler>
#include <QRect>

#include <memory>

// Nearest-pixel sampling: each output pixel is the stored pixel under its centre, copied as
// the rows hold it (a colour table kept), so that the output is exactly what sampling a whole
// decode would give.
namespace NearestSink {

// Rows of `rows` pixels, of which `part` is shown, make an upright output of `out` pixels.
std::unique_ptr<RowSink> make(const QSize &rows, const QRect &part,
                              QImageIOHandler::Transformations transform, const QSize &out,
                              const RowLayout &layout);

// The output's format for rows of `layout`.
QImage::Format outputFormat(const RowLayout &layout);

} // namespace NearestSink
