#pragma once

#include <QImage>
#include <QImageIOHandler>

namespace JpegStream {

enum class Status
{
    Decoded,
    NotHandled, // a colour space left to the toolkit (CMYK, YCCK, RGB-coded, ...)
    Failed,     // libjpeg gave up on the data
    Damaged,    // the data is corrupt or ends early: part of the image would be made up
};

// Decodes the JPEG at `path` one scanline at a time and samples each needed scanline straight
// into `*out`: the upright image (after `transform`) fitted to `box`. The full-size image never
// exists in memory. Pixels equal those of the toolkit's decode followed by sampleNearest().
Status decodeScaled(const QString &path, QImageIOHandler::Transformations transform, int box,
                    QImage *out, QString *error);

} // namespace JpegStream
