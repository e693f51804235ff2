#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <memory>

// Inks and Lab made into RGB: the only place, beside sRGB's own, where colours change model.
namespace Inks {

// As the toolkit turns a JPEG's (Adobe, inverted) CMYK into RGB, in place: four bytes a pixel
// become a QRgb.
void adobeToRgb(uchar *row, int width);

// Without a profile, as libtiff and the toolkit turn inks into RGB: `count` pixels of
// `stride` samples from 0 to 1, CMYK first, into three floats a pixel from 0 to 1.
void toRgb(const float *samples, int stride, int count, float *rgb);

// CIE Lab (L from 0 to 100, a and b as they are) or CMYK inks (from 0 to 100) through their
// own profile, to RGB from 0 to 1 in sRGB, in place.
class FloatConverter
{
public:
    enum class From
    {
        Lab,
        Cmyk,
    };
    // For CMYK, `profile` is the inks' own; invalid without one.
    explicit FloatConverter(From from, const QByteArray &profile = QByteArray());
    ~FloatConverter();
    FloatConverter(const FloatConverter &) = delete;
    FloatConverter &operator=(const FloatConverter &) = delete;

    bool isValid() const { return m_transform != nullptr; }
    // `count` pixels: three floats each for Lab, four for CMYK, three out.
    void convert(float *pixels, int count) const;

private:
    void *m_transform = nullptr;
};

} // namespace Inks
