#include "formats/jxl/jxlmetadata.h"

#include "system/workercores.h"

#include <QPointF>
#include <QtEndian>

#include <cmath>
#include <cstring>

#include <jxl/decode_cxx.h>
#include <jxl/thread_parallel_runner.h>

namespace JxlMetadata {

namespace {

const QByteArray Signature("\0\0\0\x0cJXL \x0d\x0a\x87\x0a", 12);
// No metadata box of a photo comes near this once decompressed.
constexpr int MaxBox = 256 << 20;

struct Chromaticities
{
    QPointF white, red, green, blue;
};

const QPointF D65(0.3127, 0.3290);
const QPointF D50(0.3457, 0.3585);

bool near(double a, double b)
{
    return std::abs(a - b) < 0.0005;
}

// The white point and primaries an encoding names, its own numbers for custom ones.
Chromaticities chromaticitiesOf(const JxlColorEncoding &e)
{
    Chromaticities c;
    switch (e.white_point) {
    case JXL_WHITE_POINT_D65:
        c.white = D65;
        break;
    case JXL_WHITE_POINT_E:
        c.white = QPointF(1.0 / 3, 1.0 / 3);
        break;
    case JXL_WHITE_POINT_DCI:
        c.white = QPointF(0.314, 0.351);
        break;
    default:
        c.white = QPointF(e.white_point_xy[0], e.white_point_xy[1]);
    }
    switch (e.primaries) {
    case JXL_PRIMARIES_SRGB:
        c.red = {0.64, 0.33}, c.green = {0.30, 0.60}, c.blue = {0.15, 0.06};
        break;
    case JXL_PRIMARIES_2100:
        c.red = {0.708, 0.292}, c.green = {0.170, 0.797}, c.blue = {0.131, 0.046};
        break;
    case JXL_PRIMARIES_P3:
        c.red = {0.680, 0.320}, c.green = {0.265, 0.690}, c.blue = {0.150, 0.060};
        break;
    default:
        c.red = {e.primaries_red_xy[0], e.primaries_red_xy[1]};
        c.green = {e.primaries_green_xy[0], e.primaries_green_xy[1]};
        c.blue = {e.primaries_blue_xy[0], e.primaries_blue_xy[1]};
    }
    return c;
}

// The code points of an RGB encoding, where H.273 has them.
std::optional<Cicp> cicpOf(const JxlColorEncoding &e)
{
    const bool d65 = e.white_point == JXL_WHITE_POINT_D65;
    Cicp cicp;
    if (e.primaries == JXL_PRIMARIES_SRGB && d65)
        cicp.primaries = Cicp::Bt709;
    else if (e.primaries == JXL_PRIMARIES_2100 && d65)
        cicp.primaries = Cicp::Bt2020;
    else if (e.primaries == JXL_PRIMARIES_P3 && d65)
        cicp.primaries = Cicp::Smpte432;
    else if (e.primaries == JXL_PRIMARIES_P3 && e.white_point == JXL_WHITE_POINT_DCI)
        cicp.primaries = Cicp::Smpte431;
    else
        return std::nullopt;
    switch (e.transfer_function) {
    case JXL_TRANSFER_FUNCTION_709:
    case JXL_TRANSFER_FUNCTION_LINEAR:
    case JXL_TRANSFER_FUNCTION_SRGB:
    case JXL_TRANSFER_FUNCTION_PQ:
    case JXL_TRANSFER_FUNCTION_DCI:
    case JXL_TRANSFER_FUNCTION_HLG:
        cicp.transfer = quint16(e.transfer_function);
        break;
    case JXL_TRANSFER_FUNCTION_GAMMA:
        if (near(e.gamma, 1 / 2.2))
            cicp.transfer = Cicp::Gamma22;
        else if (near(e.gamma, 1 / 2.8))
            cicp.transfer = Cicp::Gamma28;
        else
            return std::nullopt;
        break;
    default:
        return std::nullopt;
    }
    // RGB samples: no matrix of their own; BT.2020's where a YCbCr coding would want one, as
    // HEIF writers give it with those primaries.
    cicp.matrix = cicp.primaries == Cicp::Bt2020 ? 9 : 2;
    cicp.fullRange = true;
    return cicp;
}

// The transfer as the toolkit says it; false for those it has no function for.
bool transferOf(const JxlColorEncoding &e, QColorSpace::TransferFunction *function, float *gamma)
{
    *gamma = 0;
    switch (e.transfer_function) {
    case JXL_TRANSFER_FUNCTION_SRGB:
    case JXL_TRANSFER_FUNCTION_709: // read as sRGB's, as the nclx of the same code point is
        *function = QColorSpace::TransferFunction::SRgb;
        return true;
    case JXL_TRANSFER_FUNCTION_LINEAR:
        *function = QColorSpace::TransferFunction::Linear;
        return true;
    case JXL_TRANSFER_FUNCTION_GAMMA:
        if (e.gamma <= 0)
            return false;
        *function = QColorSpace::TransferFunction::Gamma;
        *gamma = float(1 / e.gamma);
        return true;
    default:
        return false;
    }
}

void setXy(double *xy, const QPointF &point)
{
    xy[0] = point.x();
    xy[1] = point.y();
}

void setCustom(JxlColorEncoding *e, const Chromaticities &c)
{
    e->white_point = JXL_WHITE_POINT_CUSTOM;
    setXy(e->white_point_xy, c.white);
    e->primaries = JXL_PRIMARIES_CUSTOM;
    setXy(e->primaries_red_xy, c.red);
    setXy(e->primaries_green_xy, c.green);
    setXy(e->primaries_blue_xy, c.blue);
}

JxlColorEncoding srgb(bool grey)
{
    JxlColorEncoding e;
    std::memset(&e, 0, sizeof e);
    e.color_space = grey ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
    e.white_point = JXL_WHITE_POINT_D65;
    e.primaries = JXL_PRIMARIES_SRGB;
    e.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
    e.rendering_intent = JXL_RENDERING_INTENT_RELATIVE;
    return e;
}

} // namespace

bool isJxl(const QByteArray &head)
{
    return head.startsWith("\xff\x0a") || head.startsWith(Signature);
}

bool boxesEndAtEnd(const uchar *data, qint64 size)
{
    if (size >= 2 && data[0] == 0xff && data[1] == 0x0a)
        return true; // a bare codestream says nothing of its end before it is decoded
    qint64 at = 0;
    while (at + 8 <= size) {
        qint64 length = qFromBigEndian<quint32>(data + at);
        if (length == 1) {
            if (at + 16 > size)
                return false;
            length = qint64(qFromBigEndian<quint64>(data + at + 8));
        } else if (length == 0) {
            return true; // the last box, to the end of the file
        }
        if (length < 8 || length > size - at)
            return false;
        at += length;
    }
    return at == size;
}

Boxes read(const uchar *data, qint64 size)
{
    Boxes boxes;
    const JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    JxlDecoder *d = decoder.get();
    if (!d || JxlDecoderSubscribeEvents(d, JXL_DEC_BOX) != JXL_DEC_SUCCESS ||
        JxlDecoderSetDecompressBoxes(d, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(d, data, size_t(size)) != JXL_DEC_SUCCESS) {
        boxes.readable = false;
        return boxes;
    }
    JxlDecoderCloseInput(d);
    QByteArray *filling = nullptr; // the box being read, from its start
    // The bytes libjxl wrote, once it hands the buffer back.
    const auto release = [&] {
        if (filling)
            filling->truncate(int(filling->size() - qint64(JxlDecoderReleaseBoxBuffer(d))));
        filling = nullptr;
    };
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(d);
        if (status == JXL_DEC_BOX) {
            release();
            JxlBoxType type;
            if (JxlDecoderGetBoxType(d, type, JXL_TRUE) != JXL_DEC_SUCCESS)
                continue;
            const QByteArray name(type, 4);
            boxes.jpegReconstruction |= name == "jbrd";
            QByteArray *target = name == "Exif" && boxes.exif.isEmpty()  ? &boxes.exif
                                 : name == "xml " && boxes.xmp.isEmpty() ? &boxes.xmp
                                                                         : nullptr;
            uint64_t raw = 0;
            if (!target || JxlDecoderGetBoxSizeRaw(d, &raw) != JXL_DEC_SUCCESS)
                continue;
            filling = target;
            filling->resize(int(qBound<uint64_t>(64, raw, 1 << 20)));
            JxlDecoderSetBoxBuffer(d, reinterpret_cast<uint8_t *>(filling->data()),
                                   size_t(filling->size()));
        } else if (status == JXL_DEC_BOX_NEED_MORE_OUTPUT && filling && filling->size() < MaxBox) {
            // A compressed box grows past its stored size: twice the room each time.
            const qint64 given = filling->size() - qint64(JxlDecoderReleaseBoxBuffer(d));
            filling->resize(filling->size() * 2);
            JxlDecoderSetBoxBuffer(d, reinterpret_cast<uint8_t *>(filling->data() + given),
                                   size_t(filling->size() - given));
        } else {
            boxes.readable = status == JXL_DEC_SUCCESS;
            if (boxes.readable)
                release();
            else if (filling) // a box cut short is no box
                filling->clear();
            break;
        }
    }
    // The box's offset to the TIFF header, usually 0.
    if (boxes.exif.size() >= 4) {
        const quint32 offset = qFromBigEndian<quint32>(boxes.exif.constData());
        boxes.exif = offset <= quint32(boxes.exif.size() - 4) ? boxes.exif.mid(4 + int(offset))
                                                              : QByteArray();
    } else {
        boxes.exif.clear();
    }
    return boxes;
}

Colour fromEncoding(const JxlColorEncoding &encoding)
{
    Colour colour;
    if (encoding.color_space != JXL_COLOR_SPACE_RGB)
        return colour; // grey: nothing the toolkit's colour spaces say
    colour.cicp = cicpOf(encoding);
    if (colour.cicp) {
        colour.space = colour.cicp->colorSpace();
        return colour;
    }
    // Custom primaries or another gamma: the profile that says the same.
    const Chromaticities c = chromaticitiesOf(encoding);
    QColorSpace::TransferFunction function;
    float gamma;
    if (!transferOf(encoding, &function, &gamma))
        return colour;
    colour.space = QColorSpace(c.white, c.red, c.green, c.blue, function, gamma);
    if (colour.space.isValid())
        colour.icc = colour.space.iccProfile();
    return colour;
}

Colour fromIcc(const QByteArray &icc)
{
    Colour colour;
    colour.icc = icc;
    colour.space = QColorSpace::fromIccProfile(icc);
    return colour;
}

bool encodingForIcc(const QByteArray &icc, JxlColorEncoding *encoding)
{
    const QColorSpace space = QColorSpace::fromIccProfile(icc);
    if (!space.isValid())
        return false;
    *encoding = srgb(false);
    switch (space.primaries()) {
    case QColorSpace::Primaries::SRgb:
        break;
    case QColorSpace::Primaries::DciP3D65:
        encoding->primaries = JXL_PRIMARIES_P3;
        break;
    case QColorSpace::Primaries::AdobeRgb:
        setCustom(encoding, {D65, {0.64, 0.33}, {0.21, 0.71}, {0.15, 0.06}});
        break;
    case QColorSpace::Primaries::ProPhotoRgb:
        setCustom(encoding, {D50, {0.7347, 0.2653}, {0.1596, 0.8404}, {0.0366, 0.0001}});
        break;
    default:
        return false;
    }
    switch (space.transferFunction()) {
    case QColorSpace::TransferFunction::SRgb:
        break;
    case QColorSpace::TransferFunction::Linear:
        encoding->transfer_function = JXL_TRANSFER_FUNCTION_LINEAR;
        break;
    case QColorSpace::TransferFunction::Gamma:
        encoding->transfer_function = JXL_TRANSFER_FUNCTION_GAMMA;
        encoding->gamma = 1 / double(space.gamma());
        break;
    case QColorSpace::TransferFunction::ProPhotoRgb: // 1.8, but for a short straight start
        encoding->transfer_function = JXL_TRANSFER_FUNCTION_GAMMA;
        encoding->gamma = 1 / 1.8;
        break;
    default:
        return false;
    }
    return true;
}

JxlColorEncoding srgbEncoding(bool grey)
{
    return srgb(grey);
}

bool encodingFor(const Cicp &cicp, bool grey, JxlColorEncoding *encoding)
{
    *encoding = srgb(grey);
    switch (cicp.primaries) {
    case Cicp::Bt709:
    case Cicp::UnspecifiedPrimaries:
        break;
    case Cicp::Bt2020:
        encoding->primaries = JXL_PRIMARIES_2100;
        break;
    case Cicp::Smpte432:
        encoding->primaries = JXL_PRIMARIES_P3;
        break;
    case Cicp::Smpte431:
        encoding->primaries = JXL_PRIMARIES_P3;
        encoding->white_point = JXL_WHITE_POINT_DCI;
        break;
    default:
        return false;
    }
    switch (cicp.transfer) {
    case Cicp::Srgb:
    case Cicp::UnspecifiedTransfer:
        break;
    case Cicp::Bt709Transfer:
    case Cicp::Bt601Transfer:
    case Cicp::Bt2020Ten:
    case Cicp::Bt2020Twelve:
        encoding->transfer_function = JXL_TRANSFER_FUNCTION_709;
        break;
    case Cicp::Linear:
    case Cicp::Pq:
    case Cicp::Hlg:
    case 17: // SMPTE ST 428-1
        encoding->transfer_function = JxlTransferFunction(cicp.transfer);
        break;
    case Cicp::Gamma22:
    case Cicp::Gamma28:
        encoding->transfer_function = JXL_TRANSFER_FUNCTION_GAMMA;
        encoding->gamma = cicp.transfer == Cicp::Gamma22 ? 1 / 2.2 : 1 / 2.8;
        break;
    default:
        return false;
    }
    return true;
}

Threads::Threads()
{
    const int cores = WorkerCores::forThisThread();
    m_count = cores > 0 ? cores : int(JxlThreadParallelRunnerDefaultNumWorkerThreads());
    if (m_count > 1)
        m_runner = JxlThreadParallelRunnerCreate(nullptr, size_t(m_count));
    if (!m_runner)
        m_count = 1;
}

Threads::~Threads()
{
    if (m_runner)
        JxlThreadParallelRunnerDestroy(m_runner);
}

JxlParallelRunner Threads::runner() const
{
    return m_runner ? JxlThreadParallelRunner : nullptr;
}

QString statusWords(const char *function, JxlDecoderStatus status)
{
    const char *name = status == JXL_DEC_ERROR             ? "JXL_DEC_ERROR"
                       : status == JXL_DEC_NEED_MORE_INPUT ? "JXL_DEC_NEED_MORE_INPUT"
                                                           : nullptr;
    return name ? QStringLiteral("libjxl: %1: %2").arg(QLatin1String(function), QLatin1String(name))
                : QStringLiteral("libjxl: %1: %2").arg(QLatin1String(function)).arg(int(status));
}

} // namespace JxlMetadata
