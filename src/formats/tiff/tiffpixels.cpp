#include "formats/tiff/tiffpixels.h"

#include <QRgba64>

#include <algorithm>
#include <climits>
#include <cstring>

namespace TiffPixels {

namespace {

bool grey(const Layout &l)
{
    return l.photometric == PHOTOMETRIC_MINISBLACK || l.photometric == PHOTOMETRIC_MINISWHITE;
}

bool lab(const Layout &l)
{
    return l.photometric == PHOTOMETRIC_CIELAB || l.photometric == PHOTOMETRIC_ICCLAB;
}

bool cmyk(const Layout &l)
{
    return l.photometric == PHOTOMETRIC_SEPARATED;
}

int colourCount(TIFF *tiff, int photometric)
{
    quint16 inks = INKSET_CMYK;
    switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_PALETTE:
        return 1;
    case PHOTOMETRIC_RGB:
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
        return 3;
    case PHOTOMETRIC_SEPARATED:
        TIFFGetFieldDefaulted(tiff, TIFFTAG_INKSET, &inks);
        return inks == INKSET_CMYK ? 4 : 0;
    default:
        return 0;
    }
}

// The sample layouts read here; libtiff's RGBA conversion takes the others it knows.
bool ownSamples(const Layout &l)
{
    if (l.colours == 0 || l.samples < l.colours)
        return false;
    if (l.photometric == PHOTOMETRIC_PALETTE)
        return l.format == SAMPLEFORMAT_UINT && l.bits <= 8;
    if (lab(l))
        return l.format == SAMPLEFORMAT_UINT && (l.bits == 8 || l.bits == 16);
    switch (l.format) {
    case SAMPLEFORMAT_UINT:
        return l.bits >= 1 && l.bits <= 32;
    case SAMPLEFORMAT_INT:
        return l.bits == 8 || l.bits == 16 || l.bits == 32;
    case SAMPLEFORMAT_IEEEFP:
        return l.bits == 32 || l.bits == 64;
    default:
        return false;
    }
}

// The first extra sample, where it is alpha; four RGB samples without the tag are taken as
// libtiff takes them, the fourth associated alpha.
void readAlpha(TIFF *tiff, Layout *l)
{
    quint16 count = 0;
    quint16 *types = nullptr;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &count, &types);
    if (count == 0 && l->samples == 4 && l->photometric == PHOTOMETRIC_RGB) {
        l->alpha = 3;
        l->associated = true;
        return;
    }
    if (count == 0 || !types || count > l->samples)
        return;
    if (types[0] == EXTRASAMPLE_ASSOCALPHA || types[0] == EXTRASAMPLE_UNASSALPHA) {
        l->alpha = l->samples - count;
        l->associated = types[0] == EXTRASAMPLE_ASSOCALPHA;
    }
    if (l->alpha < l->colours)
        l->alpha = -1;
}

// A colour map of 16-bit entries; some writers put 8-bit values in it, which libtiff takes
// as they are.
QVector<QRgb> readPalette(TIFF *tiff, int bits)
{
    quint16 *r = nullptr, *g = nullptr, *b = nullptr;
    if (!TIFFGetField(tiff, TIFFTAG_COLORMAP, &r, &g, &b))
        return {};
    const int count = 1 << bits;
    const bool eightBit = std::all_of(r, r + count, [](quint16 v) { return v < 256; }) &&
                          std::all_of(g, g + count, [](quint16 v) { return v < 256; }) &&
                          std::all_of(b, b + count, [](quint16 v) { return v < 256; });
    const int shift = eightBit ? 0 : 8;
    QVector<QRgb> table(count);
    for (int i = 0; i < count; ++i)
        table[i] = qRgb(r[i] >> shift, g[i] >> shift, b[i] >> shift);
    return table;
}

float clamp01(float v)
{
    return v < 0.0f ? 0.0f : v > 1.0f ? 1.0f : v;
}

// Signed samples are offset by half their range: the lowest is black, the highest white.
template <typename T>
void unpack(const uchar *from, int count, float scale, float *to, int stride, float offset = 0)
{
    const T *p = reinterpret_cast<const T *>(from);
    for (int i = 0; i < count; ++i)
        to[qint64(i) * stride] = (float(p[i]) + offset) * scale;
}

// Samples of any width up to 32 bits, packed from the high bits as libtiff hands them out.
void unpackBits(const uchar *from, int count, int bits, float *to, int stride)
{
    const float scale = float(1.0 / double((quint64(1) << bits) - 1));
    qint64 bit = 0;
    for (int i = 0; i < count; ++i, bit += bits) {
        quint64 value = 0;
        for (int b = 0; b < bits; ++b) {
            const qint64 at = bit + b;
            value = value << 1 | ((from[at >> 3] >> (7 - (at & 7))) & 1);
        }
        to[qint64(i) * stride] = float(value) * scale;
    }
}

void unpackSamples(const Layout &l, const uchar *from, int count, float *to, int stride)
{
    switch (l.format * 100 + l.bits) {
    case SAMPLEFORMAT_UINT * 100 + 8:
        return unpack<quint8>(from, count, 1.0f / 255, to, stride);
    case SAMPLEFORMAT_UINT * 100 + 16:
        return unpack<quint16>(from, count, 1.0f / 65535, to, stride);
    case SAMPLEFORMAT_UINT * 100 + 32:
        return unpack<quint32>(from, count, float(1.0 / 4294967295.0), to, stride);
    case SAMPLEFORMAT_INT * 100 + 8:
        return unpack<qint8>(from, count, 1.0f / 255, to, stride, 128.0f);
    case SAMPLEFORMAT_INT * 100 + 16:
        return unpack<qint16>(from, count, 1.0f / 65535, to, stride, 32768.0f);
    case SAMPLEFORMAT_INT * 100 + 32:
        return unpack<qint32>(from, count, float(1.0 / 4294967295.0), to, stride, 2147483648.0f);
    case SAMPLEFORMAT_IEEEFP * 100 + 32:
        return unpack<float>(from, count, 1.0f, to, stride);
    case SAMPLEFORMAT_IEEEFP * 100 + 64:
        return unpack<double>(from, count, 1.0f, to, stride);
    default:
        return unpackBits(from, count, l.bits, to, stride);
    }
}

// The rows that go to the sink as the toolkit's own pixels, converted at no cost.
bool asImage(const Layout &l)
{
    if (l.viaRgba || l.alpha >= 0 || l.format != SAMPLEFORMAT_UINT)
        return false;
    if (l.photometric == PHOTOMETRIC_PALETTE)
        return true;
    if (l.photometric == PHOTOMETRIC_RGB)
        return l.bits == 8 || l.bits == 16;
    return grey(l) && l.bits <= 16 && 16 % l.bits == 0;
}

} // namespace

bool readLayout(TIFF *tiff, Layout *l, QString *words)
{
    quint32 width = 0, height = 0;
    quint16 samples = 1, bits = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
    quint16 photometric = 0, compression = COMPRESSION_NONE;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric))
        photometric = samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    if (photometric == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG &&
        planar == PLANARCONFIG_CONTIG) {
        // The JPEG codec turns its YCbCr into RGB itself.
        TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        photometric = PHOTOMETRIC_RGB;
    }
    if (width == 0 || height == 0 || width > INT_MAX || height > INT_MAX) {
        *words = QStringLiteral("TIFF without a size");
        return false;
    }
    l->width = int(width);
    l->height = int(height);
    l->samples = samples;
    l->bits = bits;
    l->format = format == SAMPLEFORMAT_VOID ? SAMPLEFORMAT_UINT : format;
    l->photometric = photometric;
    l->separate = planar == PLANARCONFIG_SEPARATE && samples > 1;
    l->tiled = TIFFIsTiled(tiff);
    l->colours = colourCount(tiff, photometric);
    readAlpha(tiff, l);
    if (l->photometric == PHOTOMETRIC_PALETTE) {
        l->palette = readPalette(tiff, bits);
        l->alpha = -1; // a colour map's entries are opaque
    }
    if (ownSamples(*l) && (l->photometric != PHOTOMETRIC_PALETTE || !l->palette.isEmpty())) {
        quint32 length = 0;
        const char *profile = nullptr;
        if (cmyk(*l) && TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &length, &profile) && profile)
            l->inkProfile = QByteArray(profile, int(qMin(length, quint32(1) << 30)));
        return true;
    }
    char why[1024] = {};
    l->viaRgba = TIFFRGBAImageOK(tiff, why);
    l->separate = false;
    if (!l->viaRgba)
        *words = QString::fromLocal8Bit(why);
    return l->viaRgba;
}

RowLayout rowLayout(const Layout &l)
{
    if (l.viaRgba)
        return RowLayout::image(l.alpha >= 0 ? QImage::Format_RGBA8888_Premultiplied
                                             : QImage::Format_RGBX8888,
                                l.alpha >= 0);
    if (asImage(l)) {
        if (l.photometric == PHOTOMETRIC_PALETTE)
            return RowLayout::image(QImage::Format_Indexed8, false, l.palette);
        if (l.photometric == PHOTOMETRIC_RGB)
            return RowLayout::image(l.bits == 16 ? QImage::Format_RGBX64 : QImage::Format_RGB32);
        return RowLayout::image(l.bits == 16 ? QImage::Format_Grayscale16
                                             : QImage::Format_Grayscale8);
    }
    const bool deep = l.deep();
    if (grey(l) && l.alpha < 0)
        return RowLayout::floats(deep ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8,
                                 false);
    if (l.alpha >= 0)
        return RowLayout::floats(deep ? QImage::Format_RGBA64 : QImage::Format_ARGB32, true);
    return RowLayout::floats(deep ? QImage::Format_RGBX64 : QImage::Format_RGB32, false);
}

QColorSpace colourSpace(const Layout &l, const QByteArray &icc, const QVector<float> &whitePoint,
                        const QVector<float> &primaries)
{
    if (lab(l) || (cmyk(l) && !l.inkProfile.isEmpty()))
        return QColorSpace::SRgb; // converted by Little CMS
    if (cmyk(l))
        return QColorSpace();
    if (!icc.isEmpty())
        return QColorSpace::fromIccProfile(icc);
    if (whitePoint.size() != 2 || primaries.size() != 6 || grey(l))
        return QColorSpace();
    const auto point = [](float x, float y) { return QPointF(x, y); };
    const QColorSpace space(point(whitePoint[0], whitePoint[1]), point(primaries[0], primaries[1]),
                            point(primaries[2], primaries[3]), point(primaries[4], primaries[5]),
                            QColorSpace::TransferFunction::SRgb);
    return space.isValid() ? space : QColorSpace();
}

Converter::Converter(const Layout &layout) : m_layout(layout), m_rows(rowLayout(layout))
{
    const qint64 width = layout.width;
    const int bytesPerPixel = QImage::toPixelFormat(m_rows.format).bitsPerPixel() / 8;
    if (m_rows.kind == RowLayout::Kind::Image) {
        m_bytes = QByteArray(int(width * bytesPerPixel), '\0');
        return;
    }
    m_samples.resize(int(width * layout.samples));
    m_floats.resize(int(width * 4));
    if (!cmyk(layout) && !lab(layout))
        return;
    m_colour.resize(int(width * 4));
    if (lab(layout))
        m_inks = std::make_unique<Inks::FloatConverter>(Inks::FloatConverter::From::Lab);
    else if (!layout.inkProfile.isEmpty())
        m_inks = std::make_unique<Inks::FloatConverter>(Inks::FloatConverter::From::Cmyk,
                                                        layout.inkProfile);
    if (m_inks && !m_inks->isValid())
        m_inks.reset();
}

Converter::~Converter() = default;

bool Converter::isValid() const
{
    return !lab(m_layout) || m_inks;
}

const void *Converter::convert(const uchar *const *planes, const QVector<int> &columns)
{
    if (m_rows.kind == RowLayout::Kind::Image) {
        toImage(planes, columns);
        return m_bytes.constData();
    }
    toSamples(planes);
    if (cmyk(m_layout) || lab(m_layout))
        inksAndLab();
    toFloats(columns);
    return m_floats.constData();
}

void Converter::toSamples(const uchar *const *planes)
{
    const Layout &l = m_layout;
    if (!l.separate) {
        unpackSamples(l, planes[0], l.width * l.samples, m_samples.data(), 1);
        return;
    }
    for (int p = 0; p < l.samples; ++p)
        if (l.used(p))
            unpackSamples(l, planes[p], l.width, m_samples.data() + p, l.samples);
}

// Inks and Lab to RGB from 0 to 1, three a pixel, in m_colour.
void Converter::inksAndLab()
{
    const Layout &l = m_layout;
    const float *s = m_samples.constData();
    float *c = m_colour.data();
    const int n = l.samples;
    if (lab(l)) {
        const float max = float((1 << l.bits) - 1);
        const float unit = l.bits == 16 ? 256.0f : 1.0f;
        const float half = float(1 << (l.bits - 1));
        for (int x = 0; x < l.width; ++x) {
            const float *p = s + qint64(x) * n;
            float *to = c + qint64(x) * 3;
            to[0] = p[0] * 100.0f;
            for (int i = 1; i < 3; ++i) {
                const float raw = p[i] * max;
                const float value = l.photometric == PHOTOMETRIC_CIELAB
                                        ? (raw >= half ? raw - max - 1 : raw)
                                        : raw - half;
                to[i] = value / unit;
            }
        }
    } else if (m_inks) {
        for (int x = 0; x < l.width; ++x)
            for (int i = 0; i < 4; ++i)
                c[qint64(x) * 4 + i] = clamp01(s[qint64(x) * n + i]) * 100.0f;
    } else {
        Inks::toRgb(s, n, l.width, c);
        return;
    }
    m_inks->convert(c, l.width);
}

void Converter::toFloats(const QVector<int> &columns)
{
    const Layout &l = m_layout;
    const float max = l.deep() ? 65535.0f : 255.0f;
    const float *s = m_samples.constData();
    const int n = l.samples;
    float *out = m_floats.data();
    if (m_rows.format == QImage::Format_Grayscale8 || m_rows.format == QImage::Format_Grayscale16) {
        const bool invert = l.photometric == PHOTOMETRIC_MINISWHITE;
        for (int x : columns) {
            const float v = clamp01(s[qint64(x) * n]);
            out[x] = (invert ? 1.0f - v : v) * max;
        }
        return;
    }
    const bool converted = cmyk(l) || lab(l);
    for (int x : columns) {
        const float *p = s + qint64(x) * n;
        float rgb[3];
        if (converted) {
            for (int i = 0; i < 3; ++i)
                rgb[i] = m_colour[qint64(x) * 3 + i];
        } else if (l.colours == 1) {
            const float v = clamp01(p[0]);
            rgb[0] = rgb[1] = rgb[2] = l.photometric == PHOTOMETRIC_MINISWHITE ? 1.0f - v : v;
        } else {
            for (int i = 0; i < 3; ++i)
                rgb[i] = p[i];
        }
        const float a = l.alpha >= 0 ? clamp01(p[l.alpha]) : 1.0f;
        const float unmultiply = l.associated && a > 0.0f ? 1.0f / a : 1.0f;
        float *to = out + qint64(x) * 4;
        for (int i = 0; i < 3; ++i)
            to[i] = clamp01(rgb[i] * unmultiply) * max;
        to[3] = a * max;
    }
}

void Converter::toImage(const uchar *const *planes, const QVector<int> &columns)
{
    const Layout &l = m_layout;
    const int n = l.separate ? 1 : l.samples;
    const auto at8 = [&](int x, int c) {
        return l.separate ? planes[c][x] : planes[0][qint64(x) * n + c];
    };
    const auto at16 = [&](int x, int c) {
        const auto *p = reinterpret_cast<const quint16 *>(planes[l.separate ? c : 0]);
        return p[qint64(x) * n + (l.separate ? 0 : c)];
    };
    if (m_rows.format == QImage::Format_RGB32) {
        auto *to = reinterpret_cast<QRgb *>(m_bytes.data());
        for (int x : columns)
            to[x] = qRgb(at8(x, 0), at8(x, 1), at8(x, 2));
    } else if (m_rows.format == QImage::Format_RGBX64) {
        auto *to = reinterpret_cast<QRgba64 *>(m_bytes.data());
        for (int x : columns)
            to[x] = QRgba64::fromRgba64(at16(x, 0), at16(x, 1), at16(x, 2), 0xffff);
    } else if (m_rows.format == QImage::Format_Grayscale16) {
        auto *to = reinterpret_cast<quint16 *>(m_bytes.data());
        const bool invert = l.photometric == PHOTOMETRIC_MINISWHITE;
        for (int x : columns)
            to[x] = invert ? quint16(65535 - at16(x, 0)) : at16(x, 0);
    } else {
        // One sample of 8 bits or fewer: a grey level or a palette index.
        auto *to = reinterpret_cast<uchar *>(m_bytes.data());
        const bool palette = l.photometric == PHOTOMETRIC_PALETTE;
        const bool invert = l.photometric == PHOTOMETRIC_MINISWHITE;
        const int max = (1 << l.bits) - 1;
        for (int x : columns) {
            // Packed samples: a row holds width * bits / 8 bytes, not a byte a sample.
            int v = 0;
            if (l.bits < 8) {
                const qint64 bit = qint64(x) * n * l.bits;
                v = planes[0][bit >> 3] >> (8 - l.bits - (bit & 7)) & max;
            } else {
                v = at8(x, 0);
            }
            if (palette)
                to[x] = uchar(v < l.palette.size() ? v : 0);
            else
                to[x] = uchar((invert ? max - v : v) * 255 / max);
        }
    }
}

} // namespace TiffPixels
