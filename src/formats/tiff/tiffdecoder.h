#pragma once

#include "formats/decoder.h"

// TIFF files through libtiff, a strip or a row of tiles at a time: every sample layout libtiff
// reads, grey, RGB, colour-mapped, CMYK and Lab (through Little CMS), deep rows pushed deep.
// libtiff's own RGBA conversion reads the rest (subsampled YCbCr, LogLuv, old-style JPEG).
namespace TiffDecoder {

std::unique_ptr<Formats::Decoder> open(const SourceFile &source);

} // namespace TiffDecoder
