#pragma once

#include "formats/format.h"

namespace PngStream {

using Status = Formats::Status;

// Decodes the PNG at `path` one row at a time and samples each needed row straight into
// `*out`: the image (after `transform`) fitted to `box`, with the pixels, pixel format, colour
// table, colour space, resolution and text of the toolkit's decode followed by
// sampleNearest(). Interlaced files are decoded whole before they are sampled; those of fewer
// than 8 bits a sample are left to the toolkit.
Status decodeScaled(const QString &path, QImageIOHandler::Transformations transform, int box,
                    Resampling resampling, QImage *out, QString *error);

// The most memory decodeScaled() takes: the output and a few rows, or the whole image where
// it is interlaced. -1 where the toolkit decodes the file.
qint64 memoryEstimate(const QString &path, int box, Resampling resampling);

// The frames of an animated PNG, which the toolkit shows as its default image alone; 1 for a
// still.
int imageCount(const QString &path);

// Damaged where a chunk before the image data does not fit in the file: the toolkit allocates
// what a chunk declares before reading it, so 57 bytes can ask for a gigabyte.
Status refuse(const QString &path, QString *detail);

} // namespace PngStream
