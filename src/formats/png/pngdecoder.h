#pragma once

#include "formats/decoder.h"

// PNG files through libspng, one row at a time, with the pixels, pixel format, colour table,
// colour space, resolution and text of the toolkit's decode. Interlaced files are decoded
// whole before their rows are pushed; those of fewer than 8 bits a sample are left to the
// toolkit, as are files whose chunks libspng refuses before any pixel.
namespace PngDecoder {

std::unique_ptr<Formats::Decoder> open(const SourceFile &source);

} // namespace PngDecoder
