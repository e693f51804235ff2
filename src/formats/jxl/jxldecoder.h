#pragma once

#include "formats/decoder.h"

// JPEG XL images through libjxl. libjxl hands out its pixels a part of a row at a time, group by
// group, from its own threads: each row is put together as its parts come and pushed into the
// sink once whole, in order, so that only the rows of the groups in flight are ever held. The
// codestream's orientation turns the image upright, as EXIF's does for JPEG; an animation is
// decoded a frame at a time.
namespace JxlDecoding {

std::unique_ptr<Formats::Decoder> open(const SourceFile &source);

} // namespace JxlDecoding
