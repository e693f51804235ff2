#pragma once

#include "formats/format.h"

namespace TiffFormat {

// Read and written by the toolkit's plug-in, with libtiff listened to underneath.
const Formats::Entry &entry();

} // namespace TiffFormat
