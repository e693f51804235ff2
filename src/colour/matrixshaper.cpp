#include "colour/matrixshaper.h"

#include <lcms2.h>

#include <cmath>

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
            m_linear[size_t(c)][size_t(i)] = cmsEvalToneCurveFloat(shape, float(i) / 255);
    }
    cmsToneCurve *encoding = cmsReverseToneCurve(curve(srgb, 0));
    if (!encoding)
        return false;
    for (int i = 0; i <= EncodeSteps; ++i)
        m_encode[size_t(i)] = static_cast<unsigned char>(
            std::lround(255 * clamped(cmsEvalToneCurveFloat(encoding, float(i) / EncodeSteps))));
    cmsFreeToneCurve(encoding);
    return true;
}

void MatrixShaper::convertRow(QRgb *row, int width) const
{
    const float *m = m_matrix.data();
    const auto encode = [this](float v) {
        return m_encode[size_t(clamped(v) * EncodeSteps + 0.5f)];
    };
    for (int x = 0; x < width; ++x) {
        const QRgb p = row[x];
        const float r = m_linear[0][qRed(p)], g = m_linear[1][qGreen(p)], b = m_linear[2][qBlue(p)];
        row[x] =
            qRgba(encode(m[0] * r + m[1] * g + m[2] * b), encode(m[3] * r + m[4] * g + m[5] * b),
                  encode(m[6] * r + m[7] * g + m[8] * b), qAlpha(p));
    }
}
