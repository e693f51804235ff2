#include "colour/cicp.h"

#include <QPointF>

namespace {

struct Chromaticities
{
    QPointF white, red, green, blue;
};

// The primaries, where a profile can express them.
bool chromaticities(quint16 primaries, Chromaticities *c)
{
    const QPointF d65(0.3127, 0.3290);
    switch (primaries) {
    case Cicp::Bt709:
    case Cicp::UnspecifiedPrimaries:
        *c = {d65, {0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}};
        return true;
    case Cicp::Bt470Bg:
        *c = {d65, {0.64, 0.33}, {0.29, 0.60}, {0.15, 0.06}};
        return true;
    case Cicp::Bt601:
    case Cicp::Smpte240:
        *c = {d65, {0.630, 0.340}, {0.310, 0.595}, {0.155, 0.070}};
        return true;
    case Cicp::Ebu3213:
        *c = {d65, {0.630, 0.340}, {0.295, 0.605}, {0.155, 0.077}};
        return true;
    case Cicp::Bt2020:
        *c = {d65, {0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}};
        return true;
    case Cicp::Smpte431:
        *c = {{0.314, 0.351}, {0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}};
        return true;
    case Cicp::Smpte432:
        *c = {d65, {0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}};
        return true;
    default:
        return false;
    }
}

// The transfer, where a profile can express it; PQ and HLG have no profile of this kind.
bool transferOf(quint16 characteristics, QColorSpace::TransferFunction *function, float *gamma)
{
    *gamma = 0;
    switch (characteristics) {
    case Cicp::Srgb:
    case Cicp::UnspecifiedTransfer:
    case Cicp::Bt709Transfer:
    case Cicp::Bt601Transfer:
    case Cicp::Bt2020Ten:
    case Cicp::Bt2020Twelve:
        *function = QColorSpace::TransferFunction::SRgb;
        return true;
    case Cicp::Linear:
        *function = QColorSpace::TransferFunction::Linear;
        return true;
    case Cicp::Gamma22:
        *function = QColorSpace::TransferFunction::Gamma;
        *gamma = 2.2f;
        return true;
    case Cicp::Gamma28:
        *function = QColorSpace::TransferFunction::Gamma;
        *gamma = 2.8f;
        return true;
    default:
        return false;
    }
}

} // namespace

bool Cicp::readsAsSrgb() const
{
    const bool srgbPrimaries = primaries == Bt709 || primaries == UnspecifiedPrimaries;
    const bool srgbTransfer = transfer == Bt709Transfer || transfer == UnspecifiedTransfer ||
                              transfer == Bt601Transfer || transfer == Srgb ||
                              transfer == Bt2020Ten || transfer == Bt2020Twelve;
    return srgbPrimaries && srgbTransfer;
}

QColorSpace Cicp::colorSpace() const
{
    if (primaries == Bt709 && transfer == Srgb)
        return QColorSpace(QColorSpace::SRgb);
    if (primaries == Smpte432 && transfer == Srgb)
        return QColorSpace(QColorSpace::DisplayP3);
    Chromaticities c;
    QColorSpace::TransferFunction function;
    float gamma;
    if (!chromaticities(primaries, &c) || !transferOf(transfer, &function, &gamma))
        return QColorSpace();
    return QColorSpace(c.white, c.red, c.green, c.blue, function, gamma);
}
