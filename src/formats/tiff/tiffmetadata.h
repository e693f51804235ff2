#pragma once

#include "metadata/leftout.h"

class SourceFile;

// The metadata of a TIFF lives in its own directories, beside the image's tags: no other
// container takes it as it is, and it is not rebuilt.
namespace TiffMetadata {

// What a TIFF holds of EXIF, GPS, XMP and IPTC; empty for other files.
LeftOuts present(const SourceFile &source);

} // namespace TiffMetadata
