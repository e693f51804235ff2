#pragma once

#include <QByteArray>
#include <QImage>

#include <memory>

// Colours converted to sRGB through Little CMS, which reads every ICC version, LUT-based and
// CMYK profiles alike.
namespace Srgb {

// Whether `profile` describes sRGB itself, so that nothing needs converting.
bool isSrgb(const QByteArray &profile);

enum class Result
{
    Unchanged, // already sRGB, or pixels the profile does not describe
    Converted,
    Failed,  // a profile Little CMS cannot use
    HdrKept, // PQ or HLG, which no conversion to sRGB can take
};

// Converts the RGB pixels of `image`, described by `profile`, to sRGB in their own precision
// (8 or 16 bits), and tags them sRGB. Alpha is kept as it was.
Result convert(QImage *image, const QByteArray &profile);

// A photo's pixels converted through the best description it has: its container's profile
// bytes, else the pixels' own profile, else the profile bytes stored beside the data (a JPEG's
// the toolkit could not read); HDR pixels are kept as they are.
Result convertPhoto(QImage *image, const QByteArray &containerProfile,
                    const QByteArray &storedProfile, bool hdr);

// A profile of another colour model than the pixels' (a CMYK source's on RGB pixels, say)
// makes colour-managed programs reject or misread the output: it is taken off.
void dropForeignProfile(QImage *image);

// Turns rows of CMYK inks (4 bytes a pixel, inverted as Adobe's JPEGs store them) into sRGB
// QRgb values in place, through the file's own CMYK profile.
class InkConverter
{
public:
    explicit InkConverter(const QByteArray &cmykProfile);
    ~InkConverter();
    InkConverter(const InkConverter &) = delete;
    InkConverter &operator=(const InkConverter &) = delete;

    bool isValid() const { return m_transform != nullptr; }
    void convertRow(uchar *row, int width) const;

private:
    void *m_transform = nullptr;
};

} // namespace Srgb
