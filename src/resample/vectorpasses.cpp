#include "resample/vectorpasses.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <algorithm>

namespace VectorPasses {

namespace {

// The wider kind, with multiplications fused with their additions, runs where the processor
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

float clampRound(float value, float max)
{
    return float(int(std::clamp(value, 0.0f, max) + 0.5f));
}

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

void weighPixelsNarrow(const float *source, const int *starts, const float *weights, int taps,
                       int count, float *target)
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

} // namespace

// A strip of floats at a time: a strip of the kept rows stays in the nearest cache for every
// output row of the batch.
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

QVector<float> pairWeights(const Kernel::Axis &axis, int outLength)
{
    const int taps = axis.taps;
    QVector<float> pairs(outLength / 2 * taps * 8);
    for (int x = 0; x + 1 < outLength; x += 2)
        for (int t = 0; t < taps; ++t)
            for (int k = 0; k < 8; ++k)
                pairs[(x / 2 * taps + t) * 8 + k] = axis.weight.at((x + k / 4) * taps + t);
    return pairs;
}

void weighPixels(const float *source, const Kernel::Axis &axis, const QVector<float> &pairs,
                 int count, float *target)
{
    if (hasWideVectors())
        weighPixelsWide(source, axis.start.constData(), axis.weight.constData(), pairs.constData(),
                        axis.taps, count, target);
    else
        weighPixelsNarrow(source, axis.start.constData(), axis.weight.constData(), axis.taps, count,
                          target);
}

void widen(const uchar *in, float *out, int count)
{
    (hasWideVectors() ? widenBytesWide : widenBytes)(in, out, count);
}

void narrow(const float *in, uchar *out, int count)
{
    (hasWideVectors() ? narrowToBytesWide : narrowToBytes)(in, out, count);
}

} // namespace VectorPasses
