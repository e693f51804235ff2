#pragma once

#include "formats/format.h"

namespace JxlFormat {

// JPEG XL stills and animations through libjxl, read and written.
const Formats::Entry &entry();

} // namespace JxlFormat
