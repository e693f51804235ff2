#pragma once

#include <QColorSpace>
#include <QtGlobal>

// A colour description by code points (ITU-T H.273), as HEIF's and AVIF's nclx box gives it:
// the primaries, the transfer characteristics, the matrix coefficients and the range.
struct Cicp
{
    enum Primaries : quint16
    {
        Bt709 = 1,
        UnspecifiedPrimaries = 2,
        Bt470M = 4,
        Bt470Bg = 5,
        Bt601 = 6,
        Smpte240 = 7,
        Bt2020 = 9,
        Smpte431 = 11, // DCI-P3
        Smpte432 = 12, // Display P3
        Ebu3213 = 22,
    };
    enum Transfer : quint16
    {
        Bt709Transfer = 1,
        UnspecifiedTransfer = 2,
        Gamma22 = 4,
        Gamma28 = 5,
        Bt601Transfer = 6,
        Linear = 8,
        Srgb = 13,
        Bt2020Ten = 14,
        Bt2020Twelve = 15,
        Pq = 16,
        Hlg = 18,
    };

    quint16 primaries = UnspecifiedPrimaries;
    quint16 transfer = UnspecifiedTransfer;
    quint16 matrix = 2;
    bool fullRange = true;

    // PQ or HLG: light levels no profile of this kind can express.
    bool isHdr() const { return transfer == Pq || transfer == Hlg; }
    // What a reader assumes of pixels without a profile: BT.709 primaries (or none named) with
    // sRGB's or a BT.709-like transfer, as the decode reads them.
    bool readsAsSrgb() const;
    // The profile that says the same, where one can; invalid otherwise. The video curves of the
    // BT.709 family are read as sRGB's, as the decode reads every nclx at full range.
    QColorSpace colorSpace() const;

    bool operator==(const Cicp &other) const
    {
        return primaries == other.primaries && transfer == other.transfer &&
               matrix == other.matrix && fullRange == other.fullRange;
    }
};
