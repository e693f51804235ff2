#include "resample/resampler.h"

#include "resample/sampler.h"

#include <QColorSpace>
#include <QVarLengthArray>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

// Four floats in one register, read from and written to any float of a row.
typedef float Vec4 __attribute__((vector_size(16)));

__attribute__((always_inline)) inline Vec4 load(const float *at)
{
    Vec4 v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

__attribute__((always_inline)) inline void store(float *at, Vec4 v)
{
    std::memcpy(at, &v, sizeof v);
}

constexpr double Lobes = 3;

double sinc(double x)
{
    if (x == 0)
        return 1;
    const double px = M_PI * x;
    return std::sin(px) / px;
}

double lanczos(double x)
{
    return std::abs(x) < Lobes ? sinc(x) * sinc(x / Lobes) : 0;
}

// The taps an output sample may read: the kernel's width in input samples, and one more for
// where its centre falls between two.
int tapBound(int inLength, int outLength)
{
    const double stretch = std::max(double(inLength) / outLength, 1.0);
    return std::min(inLength, int(std::ceil(2 * Lobes * stretch)) + 2);
}

int averagedLength(int inLength, int block)
{
    return (inLength + block - 1) / block;
}

int lanesFor(int width, int channels)
{
    return (width * channels + 3) / 4 * 4;
}

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

} // namespace

int Resampler::blockSide(int inLength, int outLength)
{
    return std::max(1, int(std::floor(double(inLength) / outLength / FilterShare)));
}

// Output i's centre sits at (i + 0.5) * scale in the input, whose sample k covers [k, k + 1];
// on a reduction the kernel is stretched by the scale, so that it averages what it covers.
// Taps past the edges are left out and the rest weighed up to a sum of one.
Resampler::Axis Resampler::axis(int inLength, int outLength, double scale)
{
    Axis axis;
    const double stretch = std::max(scale, 1.0);
    const double support = Lobes * stretch;
    // The samples whose centre lies strictly inside the kernel.
    const auto first = [&](int i) {
        return std::max(0, int(std::floor((i + 0.5) * scale - support - 0.5)) + 1);
    };
    const auto last = [&](int i) {
        return std::min(inLength - 1, int(std::ceil((i + 0.5) * scale + support - 0.5)) - 1);
    };
    for (int i = 0; i < outLength; ++i)
        axis.taps = std::max(axis.taps, last(i) - first(i) + 1);
    axis.start.resize(outLength);
    axis.weight.fill(0.0f, outLength * axis.taps);
    QVector<double> weights(axis.taps);
    for (int i = 0; i < outLength; ++i) {
        const double centre = (i + 0.5) * scale;
        const int start = std::max(0, std::min(first(i), inLength - axis.taps));
        double sum = 0;
        weights.fill(0);
        for (int k = first(i); k <= last(i); ++k) {
            weights[k - start] = lanczos((k + 0.5 - centre) / stretch);
            sum += weights[k - start];
        }
        axis.start[i] = start;
        for (int t = 0; t < axis.taps; ++t)
            axis.weight[i * axis.taps + t] = float(sum != 0 ? weights[t] / sum : 0);
    }
    return axis;
}

namespace {

// How far apart the first rows of a batch of output rows are, at most.
int batchSpread(const Resampler::Axis &axis, int outLength, int batch)
{
    int spread = 0;
    for (int y = 0; y + 1 < outLength; ++y)
        spread = std::max(spread,
                          axis.start.at(std::min(y + batch - 1, outLength - 1)) - axis.start.at(y));
    return spread;
}

// For each pair of outputs and each tap, the first one's weight four times, then the second's.
QVector<float> pairWeights(const Resampler::Axis &axis, int outLength)
{
    const int taps = axis.taps;
    QVector<float> pairs(outLength / 2 * taps * 8);
    for (int x = 0; x + 1 < outLength; x += 2)
        for (int t = 0; t < taps; ++t)
            for (int k = 0; k < 8; ++k)
                pairs[(x / 2 * taps + t) * 8 + k] = axis.weight.at((x + k / 4) * taps + t);
    return pairs;
}

} // namespace

Resampler::Resampler(const QSize &in, const QSize &out, int channels)
    : m_in(in), m_out(out), m_channels(channels)
{
    if (in.isEmpty() || out.isEmpty() || (channels != 1 && channels != 4))
        return;
    m_blockX = blockSide(in.width(), out.width());
    m_blockY = blockSide(in.height(), out.height());
    m_averagedWidth = averagedLength(in.width(), m_blockX);
    const int averagedHeight = averagedLength(in.height(), m_blockY);
    // The blocks keep the source's geometry: a last, narrower block stands a little off.
    m_across = axis(m_averagedWidth, out.width(), double(in.width()) / m_blockX / out.width());
    m_down = axis(averagedHeight, out.height(), double(in.height()) / m_blockY / out.height());
    m_ringLanes = lanesFor(m_averagedWidth, channels);
    if (m_blockX * m_blockY > 1)
        m_input.resize(in.width() * channels);
    m_ringRows = m_down.taps + batchSpread(m_down, out.height(), Batch);
    m_ring.fill(0.0f, qint64(m_ringRows) * m_ringLanes);
    m_column.fill(0.0f, qint64(Batch) * m_ringLanes);
    m_result.fill(0.0f, out.width() * channels);
    if (channels == 4)
        m_pairWeights = pairWeights(m_across, out.width());
    m_valid = true;
}

qint64 Resampler::memoryEstimate(const QSize &in, const QSize &out, int channels)
{
    const int bx = blockSide(in.width(), out.width()), by = blockSide(in.height(), out.height());
    const QSize averaged(averagedLength(in.width(), bx), averagedLength(in.height(), by));
    const qint64 lanes = lanesFor(averaged.width(), channels);
    const qint64 downTaps = tapBound(averaged.height(), out.height());
    const qint64 across = qint64(out.width()) * tapBound(averaged.width(), out.width());
    const qint64 down = qint64(out.height()) * downTaps;
    const qint64 spread = (Batch - 1) * (averaged.height() / out.height() + 1);
    return 4 * (qint64(in.width()) * channels + (downTaps + spread + Batch) * lanes +
                qint64(out.width()) * channels + 5 * across + down + out.width() + out.height());
}

namespace {

// Adds each block of `Block` pixels of four floats to its place in `sum`, or sets it there.
template <int Block> void addBlocks(const float *in, float *sum, int blocks, bool first)
{
    for (int x = 0; x < blocks; ++x, in += 4 * Block, sum += 4) {
        Vec4 s = first ? Vec4{0, 0, 0, 0} : load(sum);
        for (int k = 0; k < Block; ++k)
            s += load(in + 4 * k);
        store(sum, s);
    }
}

// Any block size, channel count and last, narrower block.
void addBlocks(const float *in, float *sum, int channels, int block, int from, int width,
               bool first)
{
    for (int x = from; x * block < width; ++x) {
        const int to = std::min((x + 1) * block, width);
        for (int c = 0; c < channels; ++c) {
            float s = first ? 0.0f : sum[x * channels + c];
            for (int k = x * block; k < to; ++k)
                s += in[k * channels + c];
            sum[x * channels + c] = s;
        }
    }
}

} // namespace

// Adds the stored row's blocks to the ring's next row; true once a whole band of rows, or the
// last, is in it, averaged.
bool Resampler::averageRow()
{
    ++m_storedIn;
    if (m_blockX == 1 && m_blockY == 1)
        return true;
    const int channels = m_channels;
    const bool first = (m_storedIn - 1) % m_blockY == 0;
    const float *in = m_input.constData();
    float *sum = ringRow(m_rowsIn);
    const int whole = channels == 4 ? m_in.width() / m_blockX : 0;
    switch (channels == 4 ? m_blockX : 0) {
    case 1:
        addBlocks<1>(in, sum, whole, first);
        break;
    case 2:
        addBlocks<2>(in, sum, whole, first);
        break;
    case 3:
        addBlocks<3>(in, sum, whole, first);
        break;
    case 4:
        addBlocks<4>(in, sum, whole, first);
        break;
    default:
        addBlocks(in, sum, channels, m_blockX, 0, m_in.width(), first);
        break;
    }
    if (channels == 4 && m_blockX <= 4)
        addBlocks(in, sum, channels, m_blockX, whole, m_in.width(), first);
    const int band = (m_storedIn - 1) % m_blockY + 1;
    if (band < m_blockY && m_storedIn < m_in.height())
        return false;
    for (int x = 0; x < m_averagedWidth; ++x) {
        const int count = (std::min((x + 1) * m_blockX, m_in.width()) - x * m_blockX) * band;
        const float scale = 1.0f / float(count);
        for (int c = 0; c < channels; ++c)
            sum[x * channels + c] *= scale;
    }
    return true;
}

namespace {

// The filter's two loops are written once for vectors of four floats and once for eight, and
// the wider kind, with multiplications fused with their additions, runs where the processor
// has AVX2 and FMA.
typedef float Vec8 __attribute__((vector_size(32)));

#if defined(__x86_64__) && defined(__GNUC__)
#define WIDE_TARGET __attribute__((target("avx2,fma")))
#define INLINE_INTO_TARGET __attribute__((always_inline)) inline
bool hasWideVectors()
{
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return wide;
}
#else
#define WIDE_TARGET
#define INLINE_INTO_TARGET inline
bool hasWideVectors()
{
    return false;
}
#endif

// `lanes` floats of `column`, from `first` on, each the weighed sum of the same float in
// `rows`; `lanes` is a multiple of four. Four sums at once, kept in registers through every
// tap: each addition waits for the one before in its own sum only.
void weighRows(const float *const *rows, const float *weights, int taps, int first, int lanes,
               float *column)
{
    int i = first;
    for (; i + 16 <= lanes; i += 16) {
        Vec4 s0 = {}, s1 = {}, s2 = {}, s3 = {};
        for (int t = 0; t < taps; ++t) {
            const float *row = rows[t] + i;
            s0 += weights[t] * load(row);
            s1 += weights[t] * load(row + 4);
            s2 += weights[t] * load(row + 8);
            s3 += weights[t] * load(row + 12);
        }
        store(column + i, s0), store(column + i + 4, s1);
        store(column + i + 8, s2), store(column + i + 12, s3);
    }
    for (; i < lanes; i += 4) {
        Vec4 sum = {0, 0, 0, 0};
        for (int t = 0; t < taps; ++t)
            sum += weights[t] * load(rows[t] + i);
        store(column + i, sum);
    }
}

// The same, eight floats to a sum.
WIDE_TARGET void weighRowsWide(const float *const *rows, const float *weights, int taps, int first,
                               int lanes, float *column)
{
    int i = first;
    for (; i + 32 <= lanes; i += 32) {
        Vec8 s0 = {}, s1 = {}, s2 = {}, s3 = {};
        for (int t = 0; t < taps; ++t) {
            Vec8 v0, v1, v2, v3;
            const float *row = rows[t] + i;
            std::memcpy(&v0, row, sizeof v0);
            std::memcpy(&v1, row + 8, sizeof v1);
            std::memcpy(&v2, row + 16, sizeof v2);
            std::memcpy(&v3, row + 24, sizeof v3);
            s0 += weights[t] * v0, s1 += weights[t] * v1;
            s2 += weights[t] * v2, s3 += weights[t] * v3;
        }
        std::memcpy(column + i, &s0, sizeof s0);
        std::memcpy(column + i + 8, &s1, sizeof s1);
        std::memcpy(column + i + 16, &s2, sizeof s2);
        std::memcpy(column + i + 24, &s3, sizeof s3);
    }
    weighRows(rows, weights, taps, i, lanes, column);
}

// `count` output rows, each from its own `taps` rows with its own weights, a strip of
// floats at a time: a strip of the kept rows stays in the nearest cache for all of them.
void weighBatch(const float *const *rows, const float *weights, int taps, int count, int lanes,
                float *columns)
{
    constexpr int Strip = 256;
    const auto weigh = hasWideVectors() ? weighRowsWide : weighRows;
    for (int first = 0; first < lanes; first += Strip) {
        const int last = std::min(first + Strip, lanes);
        for (int k = 0; k < count; ++k)
            weigh(rows + k * taps, weights + k * taps, taps, first, last,
                  columns + qint64(k) * lanes);
    }
}

// Each pixel of four floats in `target` is the weighed sum of `taps` pixels of `source` from
// its start. Two sums, for even and odd taps, so that each addition need not wait for the one
// before.
INLINE_INTO_TARGET void weighPixel(const float *pixel, const float *w, int taps, float *target)
{
    Vec4 even = {0, 0, 0, 0}, odd = {0, 0, 0, 0};
    int t = 0;
    for (; t + 1 < taps; t += 2) {
        even += w[t] * load(pixel + 4 * t);
        odd += w[t + 1] * load(pixel + 4 * t + 4);
    }
    if (t < taps)
        even += w[t] * load(pixel + 4 * t);
    store(target, even + odd);
}

void weighPixels(const float *source, const int *starts, const float *weights, int taps, int count,
                 float *target)
{
    for (int x = 0; x < count; ++x)
        weighPixel(source + 4 * starts[x], weights + x * taps, taps, target + 4 * x);
}

// Two pixels in each half of eight floats, weighed together by `weights`, their two weights
// each four times.
WIDE_TARGET inline Vec8 weighPair(const float *a, const float *b, const float *weights)
{
    Vec8 w;
    std::memcpy(&w, weights, sizeof w);
    return w * __builtin_shufflevector(load(a), load(b), 0, 1, 2, 3, 4, 5, 6, 7);
}

// Four pixels at once, two in each of two sums of eight floats; `pairs` holds the weights of
// each pair of pixels, tap by tap, as weighPair() takes them.
WIDE_TARGET void weighPixelsWide(const float *source, const int *starts, const float *weights,
                                 const float *pairs, int taps, int count, float *target)
{
    int x = 0;
    for (; x + 4 <= count; x += 4) {
        const float *p[4];
        for (int k = 0; k < 4; ++k)
            p[k] = source + 4 * starts[x + k];
        const float *w0 = pairs + qint64(x / 2) * taps * 8, *w1 = w0 + taps * 8;
        // Even and odd taps in sums of their own: four sums that do not wait for each other.
        Vec8 first = {}, second = {}, firstOdd = {}, secondOdd = {};
        int t = 0;
        for (; t + 1 < taps; t += 2) {
            first += weighPair(p[0] + 4 * t, p[1] + 4 * t, w0 + 8 * t);
            second += weighPair(p[2] + 4 * t, p[3] + 4 * t, w1 + 8 * t);
            firstOdd += weighPair(p[0] + 4 * t + 4, p[1] + 4 * t + 4, w0 + 8 * t + 8);
            secondOdd += weighPair(p[2] + 4 * t + 4, p[3] + 4 * t + 4, w1 + 8 * t + 8);
        }
        if (t < taps) {
            first += weighPair(p[0] + 4 * t, p[1] + 4 * t, w0 + 8 * t);
            second += weighPair(p[2] + 4 * t, p[3] + 4 * t, w1 + 8 * t);
        }
        first += firstOdd;
        second += secondOdd;
        std::memcpy(target + 4 * x, &first, sizeof first);
        std::memcpy(target + 4 * x + 8, &second, sizeof second);
    }
    for (; x < count; ++x)
        weighPixel(source + 4 * starts[x], weights + x * taps, taps, target + 4 * x);
}

// Bytes to floats and back.
void widenBytes(const uchar *in, float *out, int count)
{
    for (int i = 0; i < count; ++i)
        out[i] = in[i];
}

void narrowToBytes(const float *in, uchar *out, int count)
{
    for (int i = 0; i < count; ++i)
        out[i] = uchar(clampRound(in[i], 255.0f));
}

#if defined(__x86_64__) && defined(__GNUC__)
WIDE_TARGET void widenBytesWide(const uchar *in, float *out, int count)
{
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(in + i));
        _mm256_storeu_ps(out + i, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes)));
    }
    widenBytes(in + i, out + i, count - i);
}

WIDE_TARGET void narrowToBytesWide(const float *in, uchar *out, int count)
{
    int i = 0;
    const __m256 top = _mm256_set1_ps(255.0f), half = _mm256_set1_ps(0.5f);
    for (; i + 8 <= count; i += 8) {
        const __m256 v =
            _mm256_min_ps(_mm256_max_ps(_mm256_loadu_ps(in + i), _mm256_setzero_ps()), top);
        const __m256i ints = _mm256_cvttps_epi32(_mm256_add_ps(v, half));
        const __m128i words =
            _mm_packus_epi32(_mm256_castsi256_si128(ints), _mm256_extracti128_si256(ints, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + i), _mm_packus_epi16(words, words));
    }
    narrowToBytes(in + i, out + i, count - i);
}
#else
void widenBytesWide(const uchar *in, float *out, int count)
{
    widenBytes(in, out, count);
}

void narrowToBytesWide(const float *in, uchar *out, int count)
{
    narrowToBytes(in, out, count);
}
#endif

void widen(const uchar *in, float *out, int count)
{
    (hasWideVectors() ? widenBytesWide : widenBytes)(in, out, count);
}

void narrow(const float *in, uchar *out, int count)
{
    (hasWideVectors() ? narrowToBytesWide : narrowToBytes)(in, out, count);
}

} // namespace

// The next output rows whose kept rows are all in: a whole batch, or what is left at the end.
int Resampler::readyRows() const
{
    const int left = m_out.height() - m_rowsOut;
    if (left == 0 || rowsNeeded(m_rowsOut) > m_rowsIn)
        return 0;
    const int batch = std::min(Batch, left);
    return rowsNeeded(m_rowsOut + batch - 1) <= m_rowsIn ? batch : 0;
}

void Resampler::filterDown(int first, int count)
{
    const int taps = m_down.taps;
    QVarLengthArray<const float *, 4 * 64> rows(count * taps);
    for (int k = 0; k < count; ++k)
        for (int t = 0; t < taps; ++t)
            rows[k * taps + t] = ringRow(m_down.start.at(first + k) + t);
    const float *weights = m_down.weight.constData() + qint64(first) * taps;
    weighBatch(rows.constData(), weights, taps, count, m_ringLanes, m_column.data());
}

void Resampler::filterAcross(const float *source)
{
    float *target = m_result.data();
    const int taps = m_across.taps;
    if (m_channels == 4) {
        if (hasWideVectors())
            weighPixelsWide(source, m_across.start.constData(), m_across.weight.constData(),
                            m_pairWeights.constData(), taps, m_out.width(), target);
        else
            weighPixels(source, m_across.start.constData(), m_across.weight.constData(), taps,
                        m_out.width(), target);
        return;
    }
    for (int x = 0; x < m_out.width(); ++x) {
        const float *w = m_across.weight.constData() + x * taps;
        const float *sample = source + m_across.start.at(x);
        float sum = 0;
        for (int t = 0; t < taps; ++t)
            sum += w[t] * sample[t];
        target[x] = sum;
    }
}

QImage::Format smoothFormat(QImage::Format format, bool hasAlpha)
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

QImage uprightImage(const QImage &image, QImageIOHandler::Transformations transform)
{
    if (transform == QImageIOHandler::TransformationNone)
        return image;
    QImage result = image.mirrored(transform.testFlag(QImageIOHandler::TransformationMirror),
                                   transform.testFlag(QImageIOHandler::TransformationFlip));
    if (transform.testFlag(QImageIOHandler::TransformationRotate90))
        result = result.transformed(QTransform().rotate(90));
    return result;
}

namespace {} // namespace

QSize SmoothRows::outputFor(const QSize &stored, QImageIOHandler::Transformations transform,
                            int box)
{
    const bool quarterTurn = transform.testFlag(QImageIOHandler::TransformationRotate90);
    const QSize upright = fitInSquare(quarterTurn ? stored.transposed() : stored, box);
    return quarterTurn ? upright.transposed() : upright;
}

namespace {

bool isPremultiplied(QImage::Format format)
{
    return format == QImage::Format_ARGB32_Premultiplied ||
           format == QImage::Format_RGBA64_Premultiplied;
}

} // namespace

SmoothRows::SmoothRows(const QSize &stored, QImageIOHandler::Transformations transform, int box,
                       QImage::Format format)
    : SmoothRows(stored, outputFor(stored, transform, box), transform, format)
{}

SmoothRows::SmoothRows(const QSize &stored, const QSize &out,
                       QImageIOHandler::Transformations transform, QImage::Format format)
    : m_out(out, format), m_transform(transform), m_channels(isGrey(format) ? 1 : 4),
      m_max(isDeep(format) ? 65535.0f : 255.0f),
      m_premultiply(QImage::toPixelFormat(format).alphaUsage() == QPixelFormat::UsesAlpha &&
                    !isPremultiplied(format)),
      m_premultiplied(isPremultiplied(format)), m_inWidth(stored.width()),
      m_resampler(stored, m_out.size(), m_channels)
{
    // The floats stand in the order the output's pixels hold their samples in memory.
    const bool argb = !isDeep(format) && Q_BYTE_ORDER == Q_BIG_ENDIAN;
    const bool bgra = !isDeep(format) && Q_BYTE_ORDER == Q_LITTLE_ENDIAN;
    m_lanes = argb ? Lanes{1, 2, 3, 0} : bgra ? Lanes{2, 1, 0, 3} : Lanes{0, 1, 2, 3};
}

qint64 SmoothRows::memoryEstimate(const QSize &stored, const QSize &out, QImage::Format format)
{
    // The output itself is the decoder's to count; a turned one is copied upright.
    const qint64 image =
        qint64(out.width()) * out.height() * QImage::toPixelFormat(format).bitsPerPixel() / 8;
    return Resampler::memoryEstimate(stored, out, isGrey(format) ? 1 : 4) + image;
}

void SmoothRows::pushRow()
{
    m_resampler.pushRow([this](int y, const float *row) { store(y, row); });
}

QImage SmoothRows::result()
{
    return uprightImage(std::exchange(m_out, QImage()), m_transform);
}

// Premultiplies a row whose samples are in the output's order, where the format asks for it.
void SmoothRows::premultiplyRow(float *row) const
{
    const float scale = 1.0f / m_max;
    for (int x = 0; x < m_inWidth; ++x, row += 4) {
        const float f = row[m_lanes.alpha] * scale;
        row[m_lanes.red] *= f, row[m_lanes.green] *= f, row[m_lanes.blue] *= f;
    }
}

// An RGB32 or ARGB32 row is already in the order of an 8-bit output's samples; an opaque
// one's alpha bytes are 0xff, as RGB32's always are.
void SmoothRows::pushRgb32(const QRgb *pixels, bool alpha)
{
    float *row = inputRow();
    widen(reinterpret_cast<const uchar *>(pixels), row, 4 * m_inWidth);
    if (alpha && m_premultiply)
        premultiplyRow(row);
    pushRow();
}

void SmoothRows::pushRgb24(const uchar *pixels)
{
    float *row = inputRow();
    const Lanes l = m_lanes;
    for (int x = 0; x < m_inWidth; ++x, row += 4, pixels += 3)
        row[l.red] = pixels[0], row[l.green] = pixels[1], row[l.blue] = pixels[2],
        row[l.alpha] = 255.0f;
    pushRow();
}

void SmoothRows::pushRgba64(const QRgba64 *pixels, bool alpha)
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

// Each pixel as one vector: the matrix's columns laid out in the lanes' order.
void SmoothRows::pushYCbCr(const float *luma, const float *cb, const float *cr, const float *alpha,
                           const YCbCr &m)
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

void SmoothRows::pushGrey8(const uchar *pixels)
{
    widen(pixels, inputRow(), m_inWidth);
    pushRow();
}

void SmoothRows::pushGrey16(const quint16 *pixels)
{
    std::copy(pixels, pixels + m_inWidth, inputRow());
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

void SmoothRows::store(int y, const float *row)
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
        narrow(row, line, count);
}

namespace {

// One row of `source` in `format`, converted by the toolkit where it is stored otherwise.
QImage rowIn(const QImage &source, int y, QImage::Format format)
{
    QImage row(source.constScanLine(y), source.width(), 1, int(source.bytesPerLine()),
               source.format());
    row.setColorTable(source.colorTable());
    return row.format() == format ? row : row.convertToFormat(format);
}

} // namespace

QImage sampleSmooth(const QImage &source, const QSize &target)
{
    if (source.isNull() || target.isEmpty())
        return QImage();
    const QImage::Format format = smoothFormat(source.format(), source.hasAlphaChannel());
    SmoothRows rows(source.size(), target, {}, format);
    if (!rows.isValid())
        return QImage();
    const bool alpha = source.hasAlphaChannel();
    for (int y = 0; y < source.height(); ++y) {
        const QImage row = rowIn(source, y, format);
        switch (format) {
        case QImage::Format_Grayscale8:
            rows.pushGrey8(row.constScanLine(0));
            break;
        case QImage::Format_Grayscale16:
            rows.pushGrey16(reinterpret_cast<const quint16 *>(row.constScanLine(0)));
            break;
        case QImage::Format_RGBX64:
        case QImage::Format_RGBA64:
        case QImage::Format_RGBA64_Premultiplied:
            rows.pushRgba64(reinterpret_cast<const QRgba64 *>(row.constScanLine(0)), alpha);
            break;
        default:
            rows.pushRgb32(reinterpret_cast<const QRgb *>(row.constScanLine(0)), alpha);
            break;
        }
    }
    QImage result = rows.result();
    copyImageMetadata(source, &result);
    return result;
}

QImage sampleFitted(const QImage &source, int box, Resampling resampling)
{
    const QSize target = fitInSquare(source.size(), box);
    return resampling == Resampling::Smooth ? sampleSmooth(source, target)
                                            : sampleNearest(source, target);
}
