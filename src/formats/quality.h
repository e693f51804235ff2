#pragma once

// How hard the lossy encoders compress. Each level looks about the same in every format; the
// values behind it were chosen by measurement (see the README's table).
enum class Quality
{
    Maximum,
    High,
    Normal, // the encoders' settings before the choice existed
    Compact,
};

namespace EncoderQuality {

// The toolkit's JPEG quality, -1 for its default.
int jpeg(Quality quality);
// libwebp's lossy quality, 0 to 100.
float webp(Quality quality);
// libheif's lossy quality for x265 (HEIC) and aom (AVIF).
int hevc(Quality quality);
int av1(Quality quality);

} // namespace EncoderQuality
