#pragma once

#include "metadata/photometadata.h"

#include <tiffio.h>

class SourceFile;

// The metadata of a TIFF lives in its own directories beside the image's tags: the EXIF and
// GPS directories, the XMP packet, the IPTC record and the ICC profile, each in a tag of its own.
namespace TiffMetadata {

// What the current directory of `tiff`, read from `source`, holds; without the EXIF directories
// where only the colour description is wanted.
PhotoMetadata read(const SourceFile &source, TIFF *tiff, bool colourOnly = false);

// A TIFF's IPTC records as the Photoshop resource other containers carry, and back.
QByteArray iptcResource(const QByteArray &records);
QByteArray iimOf(const QByteArray &resource);

// The first directory's descriptive tags and the EXIF and GPS directories of `exif` (a TIFF
// block) added to the TIFF file in `bytes`, which keeps its own image tags. False, `bytes`
// as they were, where Exiv2 could not.
bool insertExif(QByteArray *bytes, const QByteArray &exif);

} // namespace TiffMetadata
