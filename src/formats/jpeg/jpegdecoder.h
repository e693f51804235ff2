#pragma once

#include "formats/decoder.h"

// JPEG files through libjpeg-turbo, one scanline at a time: the full-size image never exists
// in memory, except for the coefficients of a progressive or multi-scan file. Reduced in the
// DCT where the target lets it; damaged or cut-short data is found, not filled in grey.
namespace JpegDecoder {

// Bands decoded on cores of their own, and those that failed and were left to the whole file's
// decoder.
struct BandCounts
{
    int decoded = 0;
    int left = 0;
};

// The decoder of a JPEG file, upright by its EXIF orientation as the toolkit reads it; the
// toolkit's own where libjpeg cannot hand out its colour space. `counts`, where given, counts
// its bands.
std::unique_ptr<Formats::Decoder> open(const SourceFile &source, BandCounts *counts = nullptr);

// The decoder of JPEG bytes inside another file, upright by `transform`.
std::unique_ptr<Formats::Decoder> openEmbedded(const SourceFile &source,
                                               QImageIOHandler::Transformations transform);

} // namespace JpegDecoder
