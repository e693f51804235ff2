#pragma once

#include "formats/format.h"

namespace TiffFormat {

// Read and written through libtiff, without the toolkit's plug-in.
const Formats::Entry &entry();

} // namespace TiffFormat
