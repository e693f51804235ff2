#pragma once

#include "formats/decoder.h"

struct heif_image_handle;

// Apple's HDR gain map, stored as an auxiliary image of a HEIF's primary image.
namespace HeifGainMap {

// The gain map as an iPhone's JPEG export carries it: a grey JPEG after the primary, its XMP
// naming Apple's auxiliary type; the headroom stays in the maker notes.
GainMap apple(const QSize &size);

// The map of the primary image `primary` as a decoder of its own, its rows upright as the
// picture's; null where it has none. Lives no longer than `primary`.
std::unique_ptr<Formats::Decoder> open(const heif_image_handle *primary);

} // namespace HeifGainMap
