#pragma once

#include "formats/decoder.h"

// HEIF images (HEIC, AVIF, and the HEIF of cameras) through libheif: the primary image, turned
// upright by the file's own transformations, decoded to the file's own planes, whose rows go to
// the sink. Its EXIF orientation is not the authority: the file's irot and imir are.
namespace HeifDecoder {

std::unique_ptr<Formats::Decoder> open(const SourceFile &source);

} // namespace HeifDecoder
