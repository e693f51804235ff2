#include "colour/srgb.h"

#include "colour/matrixshaper.h"

#include <QColorSpace>

#include <lcms2.h>

namespace Srgb {

namespace {

// The intent exporters use for photos: colours in both gamuts stay exactly as they were, the
// rest are clipped, with black mapped to black.
constexpr cmsUInt32Number Intent = INTENT_RELATIVE_COLORIMETRIC;
constexpr cmsUInt32Number Flags = cmsFLAGS_BLACKPOINTCOMPENSATION | cmsFLAGS_COPY_ALPHA;

struct Profiles
{
    cmsHPROFILE source = nullptr;
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    explicit Profiles(const QByteArray &bytes)
        : source(cmsOpenProfileFromMem(bytes.constData(), cmsUInt32Number(bytes.size())))
    {}
    ~Profiles()
    {
        if (source)
            cmsCloseProfile(source);
        cmsCloseProfile(srgb);
    }
    Profiles(const Profiles &) = delete;
    Profiles &operator=(const Profiles &) = delete;
};

QString description(cmsHPROFILE profile)
{
    wchar_t text[256] = {};
    cmsGetProfileInfo(profile, cmsInfoDescription, "en", "US", text, 256);
    return QString::fromWCharArray(text);
}

bool transformRows(QImage *pixels, cmsHPROFILE source, cmsHPROFILE srgb)
{
    MatrixShaper shaper;
    if (pixels->depth() == 32 && shaper.load(source, srgb)) {
        for (int y = 0; y < pixels->height(); ++y)
            shaper.convertRow(reinterpret_cast<QRgb *>(pixels->scanLine(y)), pixels->width());
        return true;
    }
    const cmsUInt32Number type = pixels->depth() == 64 ? TYPE_RGBA_16 : TYPE_BGRA_8;
    cmsHTRANSFORM transform = cmsCreateTransform(source, type, srgb, type, Intent, Flags);
    if (!transform)
        return false;
    for (int y = 0; y < pixels->height(); ++y)
        cmsDoTransform(transform, pixels->constScanLine(y), pixels->scanLine(y),
                       cmsUInt32Number(pixels->width()));
    cmsDeleteTransform(transform);
    return true;
}

bool convertWith(QImage *image, cmsHPROFILE source, cmsHPROFILE srgb)
{
    const bool deep = image->depth() == 64;
    const QImage::Format working =
        deep ? (image->hasAlphaChannel() ? QImage::Format_RGBA64 : QImage::Format_RGBX64)
             : (image->hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    // Converted in place where it can be: a second copy of the reduced image would be the row's
    // largest buffer.
    QImage pixels =
        image->format() == working ? std::move(*image) : image->convertToFormat(working);
    if (pixels.isNull())
        return false;
    const bool converted = transformRows(&pixels, source, srgb);
    if (converted)
        pixels.setColorSpace(QColorSpace(QColorSpace::SRgb));
    *image = pixels;
    return converted;
}

} // namespace

bool isSrgb(const QByteArray &profile)
{
    if (QColorSpace::fromIccProfile(profile) == QColorSpace(QColorSpace::SRgb))
        return true;
    Profiles profiles(profile);
    return profiles.source && description(profiles.source).startsWith(QLatin1String("sRGB"));
}

Result convert(QImage *image, const QByteArray &profile)
{
    if (profile.isEmpty() || image->isGrayscale() || isSrgb(profile))
        return Result::Unchanged;
    Profiles profiles(profile);
    if (!profiles.source)
        return Result::Failed;
    if (cmsGetColorSpace(profiles.source) != cmsSigRgbData)
        return Result::Unchanged;
    return convertWith(image, profiles.source, profiles.srgb) ? Result::Converted : Result::Failed;
}

InkConverter::InkConverter(const QByteArray &cmykProfile)
{
    Profiles profiles(cmykProfile);
    if (profiles.source && cmsGetColorSpace(profiles.source) == cmsSigCmykData)
        m_transform = cmsCreateTransform(profiles.source, TYPE_CMYK_8_REV, profiles.srgb,
                                         TYPE_BGRA_8, Intent, cmsFLAGS_BLACKPOINTCOMPENSATION);
}

InkConverter::~InkConverter()
{
    if (m_transform)
        cmsDeleteTransform(m_transform);
}

void InkConverter::convertRow(uchar *row, int width) const
{
    // The output's fourth byte is left alone: set it opaque first.
    cmsDoTransform(m_transform, row, row, cmsUInt32Number(width));
    for (int x = 0; x < width; ++x)
        row[4 * x + 3] = 0xff;
}

Result convertPhoto(QImage *image, const QByteArray &containerProfile,
                    const QByteArray &storedProfile, bool hdr)
{
    if (hdr)
        return Result::HdrKept;
    const QByteArray profile = !containerProfile.isEmpty()     ? containerProfile
                               : image->colorSpace().isValid() ? image->colorSpace().iccProfile()
                                                               : storedProfile;
    return convert(image, profile);
}

void dropForeignProfile(QImage *image)
{
    const QByteArray model = image->colorSpace().iccProfile().mid(16, 4);
    const bool grey = image->format() == QImage::Format_Grayscale8 ||
                      image->format() == QImage::Format_Grayscale16;
    if (!model.isEmpty() && model != (grey ? "GRAY" : "RGB "))
        image->setColorSpace(QColorSpace());
}

} // namespace Srgb
