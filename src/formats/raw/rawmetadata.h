#pragma once

#include "metadata/photometadata.h"

class SourceFile;

// A raw's EXIF as the camera wrote it, read by Exiv2 from the raw's own TIFF directories and
// made into an EXIF block of its own: make, model, dates, exposure, lens, GPS and maker notes,
// without the directories that describe the raw's mosaic, previews and thumbnails.
namespace RawMetadata {

PhotoMetadata read(const SourceFile &source);

// Sets up Exiv2 for the program's life.
void initialise();

} // namespace RawMetadata
