#pragma once

#include "metadata/photometadata.h"
#include <QByteArray>
#include <QImage>
#include <QList>

#include <QStringList>

class PhotoMetadata;

// Writes HEIC (HEVC) and AVIF (AV1) files through libheif.
namespace HeifWriter {

// What the encoder holds for an image of `size`: measured at 18 to 28 bytes a pixel with x265
// and aom at the settings used, beside their fixed cost.
qint64 memoryEstimate(const QSize &size);

// Encodes the upright `image` as `format` at libheif's `quality` (0 to 100) into `*bytes`, with the
// source's colour description as it was and its EXIF and XMP corrected for the new size. What could
// not be carried is added to `leftOut`. False, with the encoder's words in `error`, where nothing
// was encoded.
bool encode(const QImage &image, const QByteArray &format, int quality,
            const PhotoMetadata &metadata, QByteArray *bytes, LeftOuts *leftOut, QString *error);

} // namespace HeifWriter
