#pragma once

#include "metadata/photometadata.h"

#include <QByteArray>
#include <QImage>

// TIFF files written by libtiff: 8 or 16 bits a sample as the image has them, alpha kept,
// LZW where the source was so compressed and deflate otherwise, both with the horizontal
// predictor; the colour description, EXIF and GPS directories, XMP and IPTC carried.
namespace TiffWriter {

qint64 memoryEstimate(const QSize &size);

bool encode(const QImage &image, const PhotoMetadata &metadata, QByteArray *bytes,
            LeftOuts *leftOut, QString *error);

} // namespace TiffWriter
