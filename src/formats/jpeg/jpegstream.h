#pragma once

#include "formats/format.h"

namespace JpegStream {

using Status = Formats::Status;

// Decodes the JPEG at `path` one scanline at a time and samples each needed scanline straight
// into `*out`: the upright image (after `transform`) fitted to `box`. The full-size image never
// exists in memory, except for the coefficients of a progressive or multi-scan file.
// Pixels equal those of the toolkit's decode followed by sampleNearest().
Status decodeScaled(const QString &path, QImageIOHandler::Transformations transform, int box,
                    Resampling resampling, QImage *out, QString *error);

// The same, of a JPEG held in memory.
Status decodeScaledData(const QByteArray &jpeg, QImageIOHandler::Transformations transform, int box,
                        Resampling resampling, QImage *out, QString *error);

// The same, but a CMYK file's inks go to sRGB through its own profile, as Little CMS converts
// them, rather than as the toolkit turns them into RGB.
Status decodeScaledSrgb(const QString &path, QImageIOHandler::Transformations transform, int box,
                        Resampling resampling, QImage *out, QString *error);

// The most memory decodeScaled() takes: the output, a few scanlines, and for a progressive or
// multi-scan file the whole coefficient buffer. -1 where the toolkit decodes the file.
qint64 memoryEstimate(const QString &path, int box, Resampling resampling);
qint64 memoryEstimateData(const QByteArray &jpeg, int box, Resampling resampling);

} // namespace JpegStream
