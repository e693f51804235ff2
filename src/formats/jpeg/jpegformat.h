#pragma once

#include "formats/format.h"

namespace JpegFormat {

// Streamed by scanline through libjpeg-turbo, written by the toolkit's plug-in with the source's
// segments inserted.
const Formats::Entry &entry();

} // namespace JpegFormat
