#pragma once

#include "metadata/photometadata.h"

class SourceFile;

// The EXIF, XMP (extended too) and IPTC segments of JPEG files.
namespace JpegMetadata {

// The segments before the image data of the JPEG; empty for other files.
PhotoMetadata read(const SourceFile &source);

// The gain map an MPF index lists, as its own JPEG, and the primary's EXIF block, whose
// orientation turns the map as it turns the picture; empty where there is none.
struct GainMapSource
{
    QByteArray coded;
    QByteArray exif;
};
GainMapSource gainMapSource(const SourceFile &source);

// Inserts `metadata` into the JPEG bytes `jpeg`, corrected for an upright image of `size`
// without a thumbnail. What cannot be carried safely is left out, and `leftOut` says what;
// returns false when something was. A non-empty `gainMap` (a whole JPEG) follows the primary,
// which an MPF index and, for Ultra HDR, the XMP container directory point it out in.
bool insertInto(QByteArray *jpeg, const PhotoMetadata &metadata, const QSize &size,
                LeftOuts *leftOut, const QByteArray &gainMap = QByteArray());

// `jpeg` with `segments` after its JFIF segment.
QByteArray withSegments(const QByteArray &jpeg, const QList<GainMap::Segment> &segments);

} // namespace JpegMetadata
