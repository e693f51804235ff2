#include "resample/filteredrows.h"

#include "resample/imagecopy.h"
#include "resample/vectorpasses.h"

#include <algorithm>
#include <cstring>
#include <utility>

using VectorPasses::Vec4;

namespace {

float clampRound(float value, float max)
{
    return float(int(std::clamp(value, 0.0f, max) + 0.5f));
}

bool isGrey(QImage::Format format)
{
    return format == QImage::Format_Grayscale8 || format == QImage::Format_Grayscale16;
}

bool isDeep(QImage::Format format)
{
    return format == QImage::Format_Grayscale16 ||
           QImage::toPixelFormat(format).bitsPerPixel() > 32;
}

bool isPremultiplied(QImage::Format format)
{
    return format == QImage::Format_ARGB32_Premultiplied ||
           format == QImage::Format_RGBA64_Premultiplied;
}

} // namespace

QImage::Format FilteredRows::formatFor(QImage::Format format, bool hasAlpha)
{
    switch (format) {
    case QImage::Format_Grayscale8:
    case QImage::Format_Grayscale16:
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
        return format;
    default:
        break;
    }
    if (isDeep(format) || format == QImage::Format_A2RGB30_Premultiplied ||
        format == QImage::Format_RGB30 || format == QImage::Format_BGR30 ||
        format == QImage::Format_A2BGR30_Premultiplied)
        return hasAlpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64;
    return hasAlpha ? QImage::Format_ARGB32 : QImage::Format_RGB32;
}

FilteredRows::FilteredRows(const QSize &in, const QSize &out,
                           QImageIOHandler::Transformations transform, QImage::Format format)
    : m_out(out, format), m_transform(transform), m_channels(isGrey(format) ? 1 : 4),
      m_max(isDeep(format) ? 65535.0f : 255.0f),
      m_premultiply(QImage::toPixelFormat(format).alphaUsage() == QPixelFormat::UsesAlpha &&
                    !isPremultiplied(format)),
      m_premultiplied(isPremultiplied(format)), m_inWidth(in.width()),
      m_resampler(in, m_out.size(), m_channels)
{
    // The rows' padding too: writers that copy whole rows would put stale memory in files.
    m_out.fill(0);
    // The floats stand in the order the output's pixels hold their samples in memory.
    const bool argb = !isDeep(format) && Q_BYTE_ORDER == Q_BIG_ENDIAN;
    const bool bgra = !isDeep(format) && Q_BYTE_ORDER == Q_LITTLE_ENDIAN;
    m_lanes = argb ? Lanes{1, 2, 3, 0} : bgra ? Lanes{2, 1, 0, 3} : Lanes{0, 1, 2, 3};
}

qint64 FilteredRows::memoryEstimate(const QSize &in, const QSize &out, QImage::Format format)
{
    // The output itself is the caller's to count; a turned one is copied upright.
    const qint64 image =
        qint64(out.width()) * out.height() * QImage::toPixelFormat(format).bitsPerPixel() / 8;
    return Resampler::memoryEstimate(in, out, isGrey(format) ? 1 : 4) + image;
}

void FilteredRows::pushRow()
{
    m_resampler.pushRow([this](int y, const float *row) { store(y, row); });
}

QImage FilteredRows::result()
{
    return uprightImage(std::exchange(m_out, QImage()), m_transform);
}

// Premultiplies a row whose samples are in the output's order, where the format asks for it.
void FilteredRows::premultiplyRow(float *row) const
{
    const float scale = 1.0f / m_max;
    for (int x = 0; x < m_inWidth; ++x, row += 4) {
        const float f = row[m_lanes.alpha] * scale;
        row[m_lanes.red] *= f, row[m_lanes.green] *= f, row[m_lanes.blue] *= f;
    }
}

// An RGB32 or ARGB32 row is already in the order of an 8-bit output's samples; an opaque
// one's alpha bytes are 0xff, as RGB32's always are.
void FilteredRows::pushRgb32(const QRgb *pixels, bool alpha)
{
    float *row = inputRow();
    VectorPasses::widen(reinterpret_cast<const uchar *>(pixels), row, 4 * m_inWidth);
    if (alpha && m_premultiply)
        premultiplyRow(row);
    pushRow();
}

void FilteredRows::pushRgb24(const uchar *pixels)
{
    float *row = inputRow();
    const Lanes l = m_lanes;
    for (int x = 0; x < m_inWidth; ++x, row += 4, pixels += 3)
        row[l.red] = pixels[0], row[l.green] = pixels[1], row[l.blue] = pixels[2],
        row[l.alpha] = 255.0f;
    pushRow();
}

void FilteredRows::pushRgba64(const QRgba64 *pixels, bool alpha)
{
    float *row = inputRow();
    const auto *samples = reinterpret_cast<const quint16 *>(pixels);
    for (int i = 0; i < 4 * m_inWidth; ++i)
        row[i] = samples[i];
    if (!alpha)
        for (int x = 0; x < m_inWidth; ++x)
            row[4 * x + 3] = 65535.0f;
    else if (m_premultiply)
        premultiplyRow(row);
    pushRow();
}

void FilteredRows::pushGrey8(const uchar *pixels)
{
    VectorPasses::widen(pixels, inputRow(), m_inWidth);
    pushRow();
}

void FilteredRows::pushGrey16(const quint16 *pixels)
{
    std::copy(pixels, pixels + m_inWidth, inputRow());
    pushRow();
}

void FilteredRows::pushIndexed(const uchar *indices, const QVector<QRgb> &table)
{
    float *row = inputRow();
    for (int x = 0; x < m_inWidth; ++x) {
        const QRgb p = table.value(indices[x]);
        if (m_channels == 1)
            row[x] = qRed(p);
        else
            put(row, x, qRed(p), qGreen(p), qBlue(p), qAlpha(p));
    }
    pushRow();
}

void FilteredRows::pushFloats(const float *samples)
{
    float *row = inputRow();
    if (m_channels == 1)
        std::copy(samples, samples + m_inWidth, row);
    else
        for (int x = 0; x < m_inWidth; ++x, samples += 4)
            put(row, x, samples[0], samples[1], samples[2], samples[3]);
    pushRow();
}

// Each pixel as one vector: the matrix's columns laid out in the lanes' order.
void FilteredRows::pushYCbCr(const float *luma, const float *cb, const float *cr,
                             const float *alpha, const YCbCr &m)
{
    Vec4 fromLuma = {}, fromCb = {}, fromCr = {}, offset = {};
    fromLuma[m_lanes.red] = fromLuma[m_lanes.green] = fromLuma[m_lanes.blue] = m.luma;
    fromCb[m_lanes.green] = -m.greenCb, fromCb[m_lanes.blue] = m.blueCb;
    fromCr[m_lanes.red] = m.redCr, fromCr[m_lanes.green] = -m.greenCr;
    offset[m_lanes.red] = m.redOffset, offset[m_lanes.green] = m.greenOffset;
    offset[m_lanes.blue] = m.blueOffset, offset[m_lanes.alpha] = m_max;
    const Vec4 zero = {}, top = zero + m_max;
    float *row = inputRow();
    for (int x = 0; x < m_inWidth; ++x) {
        Vec4 pixel = fromLuma * luma[x] + fromCb * cb[x] + fromCr * cr[x] + offset;
        pixel = pixel < zero ? zero : pixel;
        pixel = pixel > top ? top : pixel;
        std::memcpy(row + 4 * x, &pixel, sizeof pixel);
    }
    if (alpha) {
        for (int x = 0; x < m_inWidth; ++x)
            row[4 * x + m_lanes.alpha] = alpha[x];
        if (m_premultiply)
            premultiplyRow(row);
    }
    pushRow();
}

namespace {

template <typename Sample> void storeRow(Sample *line, const float *row, int count, float max)
{
    for (int i = 0; i < count; ++i)
        line[i] = Sample(clampRound(row[i], max));
}

// Back from premultiplied floats: a pixel whose alpha rounds to nothing is transparent black.
template <typename Sample>
void storeUnpremultiplied(Sample *line, const float *row, int width, float max, int alpha)
{
    for (int x = 0; x < width; ++x, row += 4, line += 4) {
        const float a = std::clamp(row[alpha], 0.0f, max);
        const float f = a >= 0.5f ? max / a : 0.0f;
        for (int i = 0; i < 4; ++i)
            line[i] = Sample(i == alpha ? clampRound(a, max) : clampRound(row[i] * f, max));
    }
}

// Premultiplied outputs: no colour above its alpha.
template <typename Sample>
void storePremultiplied(Sample *line, const float *row, int width, float max, int alpha)
{
    for (int x = 0; x < width; ++x, row += 4, line += 4) {
        const float a = clampRound(row[alpha], max);
        for (int i = 0; i < 4; ++i)
            line[i] = Sample(i == alpha ? a : clampRound(row[i], a));
    }
}

} // namespace

void FilteredRows::store(int y, const float *row)
{
    uchar *line = m_out.scanLine(y);
    const int width = m_out.width();
    const bool deep = m_max > 255;
    const int count = width * m_channels;
    auto *deepLine = reinterpret_cast<quint16 *>(line);
    if (m_premultiply && deep)
        storeUnpremultiplied(deepLine, row, width, m_max, m_lanes.alpha);
    else if (m_premultiply)
        storeUnpremultiplied(line, row, width, m_max, m_lanes.alpha);
    else if (m_premultiplied && deep)
        storePremultiplied(deepLine, row, width, m_max, m_lanes.alpha);
    else if (m_premultiplied)
        storePremultiplied(line, row, width, m_max, m_lanes.alpha);
    else if (deep)
        storeRow(deepLine, row, count, m_max);
    else
        VectorPasses::narrow(row, line, count);
}
