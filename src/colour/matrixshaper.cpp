#include "colour/matrixshaper.h"

#include <lcms2.h>

#include <cmath>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace {

using Matrix = std::array<double, 9>;

// The profile's colorants as columns: linear RGB to the D50 connection space.
bool colorants(cmsHPROFILE profile, Matrix *m)
{
    const cmsTagSignature tags[] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                    cmsSigBlueColorantTag};
    for (int c = 0; c < 3; ++c) {
        const auto *xyz = static_cast<const cmsCIEXYZ *>(cmsReadTag(profile, tags[c]));
        if (!xyz)
            return false;
        (*m)[c] = xyz->X;
        (*m)[3 + c] = xyz->Y;
        (*m)[6 + c] = xyz->Z;
    }
    return true;
}

bool inverse(const Matrix &m, Matrix *out)
{
    const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                       m[2] * (m[3] * m[7] - m[4] * m[6]);
    if (std::abs(det) < 1e-12)
        return false;
    *out = {(m[4] * m[8] - m[5] * m[7]) / det, (m[2] * m[7] - m[1] * m[8]) / det,
            (m[1] * m[5] - m[2] * m[4]) / det, (m[5] * m[6] - m[3] * m[8]) / det,
            (m[0] * m[8] - m[2] * m[6]) / det, (m[2] * m[3] - m[0] * m[5]) / det,
            (m[3] * m[7] - m[4] * m[6]) / det, (m[1] * m[6] - m[0] * m[7]) / det,
            (m[0] * m[4] - m[1] * m[3]) / det};
    return true;
}

const cmsToneCurve *curve(cmsHPROFILE profile, int channel)
{
    const cmsTagSignature tags[] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    return static_cast<const cmsToneCurve *>(cmsReadTag(profile, tags[channel]));
}

bool isPlainMatrixShaper(cmsHPROFILE profile)
{
    return cmsGetColorSpace(profile) == cmsSigRgbData && cmsIsMatrixShaper(profile) &&
           !cmsIsCLUT(profile, INTENT_RELATIVE_COLORIMETRIC, LCMS_USED_AS_INPUT);
}

float clamped(float v)
{
    return v < 0 ? 0 : v > 1 ? 1 : v;
}

#if defined(__x86_64__) && defined(__GNUC__)
bool hasWideVectors()
{
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return wide;
}

__attribute__((target("avx2,fma"))) __m256i
encodeChannel(__m256 r, __m256 g, __m256 b, const float *m, const qint32 *encode, __m256 scale)
{
    __m256 v = _mm256_fmadd_ps(
        _mm256_set1_ps(m[0]), r,
        _mm256_fmadd_ps(_mm256_set1_ps(m[1]), g, _mm256_mul_ps(_mm256_set1_ps(m[2]), b)));
    v = _mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), _mm256_set1_ps(1));
    const __m256i index = _mm256_cvttps_epi32(_mm256_fmadd_ps(v, scale, _mm256_set1_ps(0.5f)));
    return _mm256_i32gather_epi32(reinterpret_cast<const int *>(encode), index, 4);
}

// Eight pixels at a time, each table read by a gather; the pixels converted.
__attribute__((target("avx2,fma"))) int convertWide(const float *linear, const float *m,
                                                    const qint32 *encode, int steps, QRgb *row,
                                                    int width)
{
    const __m256i byte = _mm256_set1_epi32(0xff);
    const __m256i alpha = _mm256_set1_epi32(int(0xff000000u));
    const __m256 scale = _mm256_set1_ps(float(steps));
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        auto *at = reinterpret_cast<__m256i *>(row + x);
        const __m256i p = _mm256_loadu_si256(at);
        const __m256 r =
            _mm256_i32gather_ps(linear, _mm256_and_si256(_mm256_srli_epi32(p, 16), byte), 4);
        const __m256 g =
            _mm256_i32gather_ps(linear + 256, _mm256_and_si256(_mm256_srli_epi32(p, 8), byte), 4);
        const __m256 b = _mm256_i32gather_ps(linear + 512, _mm256_and_si256(p, byte), 4);
        const __m256i red = encodeChannel(r, g, b, m, encode, scale);
        const __m256i green = encodeChannel(r, g, b, m + 3, encode, scale);
        const __m256i blue = encodeChannel(r, g, b, m + 6, encode, scale);
        _mm256_storeu_si256(
            at,
            _mm256_or_si256(_mm256_and_si256(p, alpha),
                            _mm256_or_si256(_mm256_slli_epi32(red, 16),
                                            _mm256_or_si256(_mm256_slli_epi32(green, 8), blue))));
    }
    return x;
}
#else
bool hasWideVectors()
{
    return false;
}

int convertWide(const float *, const float *, const qint32 *, int, QRgb *, int)
{
    return 0;
}
#endif

} // namespace

bool MatrixShaper::load(void *sourceProfile, void *srgbProfile)
{
    auto source = static_cast<cmsHPROFILE>(sourceProfile);
    auto srgb = static_cast<cmsHPROFILE>(srgbProfile);
    Matrix toPcs, fromPcs, pcs;
    if (!isPlainMatrixShaper(source) || !colorants(source, &toPcs) || !colorants(srgb, &pcs) ||
        !inverse(pcs, &fromPcs))
        return false;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column)
            m_matrix[size_t(3 * row + column)] =
                float(fromPcs[size_t(3 * row)] * toPcs[size_t(column)] +
                      fromPcs[size_t(3 * row + 1)] * toPcs[size_t(3 + column)] +
                      fromPcs[size_t(3 * row + 2)] * toPcs[size_t(6 + column)]);
    for (int c = 0; c < 3; ++c) {
        const cmsToneCurve *shape = curve(source, c);
        if (!shape)
            return false;
        for (int i = 0; i < 256; ++i)
            m_linear[size_t(256 * c + i)] = cmsEvalToneCurveFloat(shape, float(i) / 255);
    }
    cmsToneCurve *encoding = cmsReverseToneCurve(curve(srgb, 0));
    if (!encoding)
        return false;
    for (int i = 0; i <= EncodeSteps; ++i)
        m_encode[size_t(i)] = qint32(
            std::lround(255 * clamped(cmsEvalToneCurveFloat(encoding, float(i) / EncodeSteps))));
    cmsFreeToneCurve(encoding);
    return true;
}

void MatrixShaper::convertRow(QRgb *row, int width) const
{
    const int done = hasWideVectors() ? convertWide(m_linear.data(), m_matrix.data(),
                                                    m_encode.data(), EncodeSteps, row, width)
                                      : 0;
    const float *m = m_matrix.data();
    const auto encode = [this](float v) {
        return m_encode[size_t(clamped(v) * EncodeSteps + 0.5f)];
    };
    for (int x = done; x < width; ++x) {
        const QRgb p = row[x];
        const float r = m_linear[size_t(qRed(p))], g = m_linear[size_t(256 + qGreen(p))],
                    b = m_linear[size_t(512 + qBlue(p))];
        row[x] =
            qRgba(encode(m[0] * r + m[1] * g + m[2] * b), encode(m[3] * r + m[4] * g + m[5] * b),
                  encode(m[6] * r + m[7] * g + m[8] * b), qAlpha(p));
    }
}
