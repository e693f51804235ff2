#pragma once

#include "formats/decoder.h"

// WebP images through libwebp. A lossy still is decoded to its planes, whose rows go to the
// sink as luma and chroma; a lossless one is decoded whole; an animation a frame at a time. The
// EXIF orientation turns the image upright, as for JPEG.
namespace WebPDecoder {

std::unique_ptr<Formats::Decoder> open(const SourceFile &source);

} // namespace WebPDecoder
