#pragma once

#include <QRgb>
#include <QtGlobal>

#include <array>

// An 8-bit RGB conversion from a matrix-shaper profile to sRGB, as Little CMS computes it for
// relative colorimetric (black is black in both, so black point compensation changes nothing),
// at a few lookups and one matrix a pixel: its own transform costs as much as the decode.
class MatrixShaper
{
public:
    // False where `source` is not a plain matrix-shaper RGB profile: one with lookup tables for
    // the intent is left to Little CMS.
    bool load(void *source, void *srgb);
    // Converts `width` pixels in place; alpha stays as it was.
    void convertRow(QRgb *row, int width) const;

private:
    static constexpr int EncodeSteps = 16384;
    std::array<float, 3 * 256> m_linear{}; // red, green and blue curves, one after the other
    std::array<float, 9> m_matrix{};
    std::array<qint32, EncodeSteps + 1> m_encode{}; // 32 bits, for vector gathers
};
