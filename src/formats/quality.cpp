#include "formats/quality.h"

namespace EncoderQuality {

namespace {

int pick(Quality quality, int maximum, int high, int normal, int compact)
{
    switch (quality) {
    case Quality::Maximum:
        return maximum;
    case Quality::High:
        return high;
    case Quality::Compact:
        return compact;
    case Quality::Normal:
        break;
    }
    return normal;
}

} // namespace

// Chosen by bench/parvimage_levels on photos reduced to 1024: about SSIM 0.993 at Maximum,
// 0.986 at High and 0.94 at Compact in every format; Normal keeps the settings that came before
// the choice.
int setting(const QByteArray &format, Quality quality)
{
    if (format == "jpg" || format == "jpeg")
        return pick(quality, 95, 90, -1, 55);
    if (format == "webp")
        return pick(quality, 95, 88, 75, 42);
    if (format == "avif")
        return pick(quality, 90, 78, 70, 48);
    if (format == "heic" || format == "heif" || format == "hif")
        return pick(quality, 62, 50, 45, 31);
    return -1;
}

} // namespace EncoderQuality
