#pragma once

#include "formats/format.h"

#include <QRgb>
#include <QSize>

// WebP images through libwebp. A lossy still is decoded to its planes, of which only the pixels
// the output needs are converted to RGB; a lossless one is decoded whole. The EXIF orientation
// turns the image upright, as for JPEG.
namespace WebPStream {

using Status = Formats::Status;

Status decodeScaled(const QString &path, QImageIOHandler::Transformations transform, int box,
                    Resampling resampling, QImage *out, QString *error);

// The whole file, the decoder's planes or pixels at full size, and the output.
qint64 memoryEstimate(const QString &path, int box, Resampling resampling);

// The size after the EXIF orientation, invalid where the header cannot be read.
QSize uprightSize(const QString &path);

// What the EXIF orientation asks for.
QImageIOHandler::Transformations transformation(const QString &path);

// The number of frames: 1 for a still, 0 where the file cannot be read.
int imageCount(const QString &path);

// True where every frame is coded losslessly.
bool isLossless(const QString &path);

using Animation = Formats::Animation;
using FrameSink = Formats::FrameSink;

// Decodes an animation one frame at a time; `*endMs` is when the last frame ends.
Status decodeFrames(const QString &path, QImageIOHandler::Transformations transform, int box,
                    Resampling resampling, Animation *animation, const FrameSink &sink, int *endMs,
                    QString *error);

} // namespace WebPStream
