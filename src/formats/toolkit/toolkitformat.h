#pragma once

#include "formats/format.h"

namespace ToolkitFormat {

// Every other format the toolkit's plug-ins read or write, decoded whole; a GIF animation a
// frame at a time.
const Formats::Entry &entry();

} // namespace ToolkitFormat
