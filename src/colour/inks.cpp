#include "colour/inks.h"

#include <QRgb>

#include <lcms2.h>

namespace Inks {

namespace {

float clamp01(float value)
{
    return value < 0 ? 0 : value > 1 ? 1 : value;
}

} // namespace

void adobeToRgb(uchar *row, int width)
{
    for (int x = 0; x < width; ++x) {
        uchar *p = row + 4 * x;
        const int k = p[3];
        reinterpret_cast<QRgb *>(p)[0] = qRgb(k * p[0] / 255, k * p[1] / 255, k * p[2] / 255);
    }
}

void toRgb(const float *samples, int stride, int count, float *rgb)
{
    for (int x = 0; x < count; ++x) {
        const float *p = samples + qint64(x) * stride;
        const float white = 1.0f - clamp01(p[3]);
        for (int i = 0; i < 3; ++i)
            rgb[qint64(x) * 3 + i] = (1.0f - clamp01(p[i])) * white;
    }
}

FloatConverter::FloatConverter(From from, const QByteArray &profile)
{
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE source = nullptr;
    if (from == From::Lab)
        source = cmsCreateLab4Profile(nullptr);
    else if (!profile.isEmpty())
        source = cmsOpenProfileFromMem(profile.constData(), cmsUInt32Number(profile.size()));
    if (source && (from == From::Lab || cmsGetColorSpace(source) == cmsSigCmykData))
        m_transform = cmsCreateTransform(source, from == From::Lab ? TYPE_Lab_FLT : TYPE_CMYK_FLT,
                                         srgb, TYPE_RGB_FLT, INTENT_RELATIVE_COLORIMETRIC,
                                         cmsFLAGS_BLACKPOINTCOMPENSATION);
    if (source)
        cmsCloseProfile(source);
    cmsCloseProfile(srgb);
}

FloatConverter::~FloatConverter()
{
    if (m_transform)
        cmsDeleteTransform(m_transform);
}

void FloatConverter::convert(float *pixels, int count) const
{
    cmsDoTransform(m_transform, pixels, pixels, cmsUInt32Number(count));
}

} // namespace Inks
