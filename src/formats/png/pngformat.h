#pragma once

#include "formats/format.h"

namespace PngFormat {

// Streamed by row through libspng, written by the toolkit's plug-in with the EXIF and XMP
// chunks inserted.
const Formats::Entry &entry();

} // namespace PngFormat
