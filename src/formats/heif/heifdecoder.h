#pragma once

#include "formats/decoder.h"

// HEIF images (HEIC, AVIF, and the HEIF of cameras) through libheif: the primary image, turned
// upright by the file's own transformations, decoded to the file's own planes, whose rows go to
// the sink. Its EXIF orientation is not the authority: the file's irot and imir are.
namespace HeifDecoder {

// How a grid is decoded: tile by tile where the program can, or whole by libheif, as it
// always may.
enum class Grid
{
    ByTiles,
    Whole,
};

std::unique_ptr<Formats::Decoder> open(const SourceFile &source, Grid grid = Grid::ByTiles);

} // namespace HeifDecoder
