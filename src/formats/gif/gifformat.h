#pragma once

#include "formats/format.h"

namespace GifFormat {

// GIF's writer: stills and animations. GIF files are read by the toolkit's entry.
const Formats::Entry &entry();

} // namespace GifFormat
