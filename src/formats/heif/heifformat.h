#pragma once

#include "formats/format.h"

namespace HeifFormat {

// HEIC, AVIF and the other HEIF codings through libheif, read and written.
const Formats::Entry &entry();

} // namespace HeifFormat
