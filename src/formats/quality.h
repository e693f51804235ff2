#pragma once

#include <QByteArray>

// How hard the lossy encoders compress. Each level looks about the same in every format; the
// settings behind it were chosen by measurement (see the README's table).
enum class Quality
{
    Maximum,
    High,
    Normal, // the encoders' settings before the choice existed
    Compact,
};

namespace EncoderQuality {

// The setting that gives `quality` in the writer of `format` (a lower-case suffix): the
// toolkit's JPEG quality (-1 for its default), libwebp's lossy quality, or libheif's for x265
// (HEIC) and aom (AVIF); -1 for the formats without one.
int setting(const QByteArray &format, Quality quality);

} // namespace EncoderQuality
