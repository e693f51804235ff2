#pragma once

#include "formats/decoder.h"

// JPEG files through libjpeg-turbo, one scanline at a time: the full-size image never exists
// in memory, except for the coefficients of a progressive or multi-scan file. Reduced in the
// DCT where the target lets it; damaged or cut-short data is found, not filled in grey.
namespace JpegDecoder {

// The decoder of a JPEG file, upright by its EXIF orientation as the toolkit reads it; the
// toolkit's own where libjpeg cannot hand out its colour space.
std::unique_ptr<Formats::Decoder> open(const SourceFile &source);

// The decoder of JPEG bytes inside another file, upright by `transform`.
std::unique_ptr<Formats::Decoder> openEmbedded(const SourceFile &source,
                                               QImageIOHandler::Transformations transform);

// Bands decoded on cores of their own since the program started, and those that failed and were
// left to the whole file's decoder.
struct BandCounts
{
    int decoded = 0;
    int left = 0;
};
BandCounts bandCounts();

} // namespace JpegDecoder
