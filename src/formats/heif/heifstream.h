#pragma once

#include "formats/format.h"

#include <QSize>

// HEIF images (HEIC, AVIF, and the HEIF of cameras) through libheif: the primary image, turned
// upright by the file's own transformations, decoded to the file's own planes, of which only
// the pixels the output needs are converted to RGB.
namespace HeifStream {

using Status = Formats::Status;

// `transform` is ignored: the file's irot and imir are the authority, not its EXIF.
Status decodeScaled(const QString &path, QImageIOHandler::Transformations transform, int box,
                    Resampling resampling, QImage *out, QString *error);

// The decoder's own buffers, the planes at full size and the output.
qint64 memoryEstimate(const QString &path, int box, Resampling resampling);

// The size of the upright primary image, invalid where the file cannot be read.
QSize uprightSize(const QString &path);

} // namespace HeifStream
