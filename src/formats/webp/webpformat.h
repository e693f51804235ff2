#pragma once

#include "formats/format.h"

namespace WebPFormat {

// Stills and animations through libwebp, read and written.
const Formats::Entry &entry();

} // namespace WebPFormat
