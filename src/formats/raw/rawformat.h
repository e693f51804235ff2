#pragma once

#include "formats/format.h"

namespace RawFormat {

// Camera raw files, read through libraw; no raw can be written: they become JPEGs.
const Formats::Entry &entry();

} // namespace RawFormat
