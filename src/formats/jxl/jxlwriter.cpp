#include "formats/jxl/jxlwriter.h"

#include "formats/jxl/jxlmetadata.h"
#include "metadata/photometadata.h"
#include "system/peakmemory.h"

#include <QColorSpace>

#include <cmath>
#include <cstring>
#include <vector>

#include <jxl/encode_cxx.h>

namespace JxlWriter {

namespace {

// libjxl's efforts, chosen by measurement (bench/parvimage_levels, twelve photos at 1024 on one
// core): lossy, effort 4 encodes in about 60 ms, a fraction of a 12-megapixel source's decode,
// where 5 takes 250 ms for files 12 % smaller at the same SSIM and the default 7 600 ms;
// lossless (graphics and screenshots, mostly), effort 2 takes a tenth of effort 5's time for
// files up to twice as large.
constexpr int LossyEffort = 4;
constexpr int LosslessEffort = 2;
constexpr qint64 LargeOutputPixels = 2 * 1000 * 1000;

QString encoderWords(const char *function, JxlEncoder *encoder)
{
    const JxlEncoderError e = encoder ? JxlEncoderGetError(encoder) : JXL_ENC_ERR_GENERIC;
    const char *name = e == JXL_ENC_ERR_OOM             ? "out of memory"
                       : e == JXL_ENC_ERR_BAD_INPUT     ? "bad input"
                       : e == JXL_ENC_ERR_NOT_SUPPORTED ? "not supported"
                       : e == JXL_ENC_ERR_API_USAGE     ? "API usage"
                                                        : "error";
    return QStringLiteral("libjxl: %1: %2").arg(QLatin1String(function), QLatin1String(name));
}

// The image's samples as libjxl takes them, in place where the image's own rows will do.
struct Pixels
{
    QImage image;              // rows libjxl reads as they are
    std::vector<quint16> deep; // or 16-bit RGB packed without alpha
    JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 4};
    bool grey = false, alpha = false;
    int bits = 8;

    const void *data() const
    {
        return deep.empty() ? static_cast<const void *>(image.constBits()) : deep.data();
    }
    size_t size() const
    {
        return deep.empty() ? size_t(image.sizeInBytes()) : deep.size() * sizeof(quint16);
    }
};

Pixels pixelsOf(const QImage &source, bool withAlpha)
{
    Pixels p;
    const QImage::Format f = source.format();
    p.grey = f == QImage::Format_Grayscale8 || f == QImage::Format_Grayscale16;
    p.alpha = withAlpha && !p.grey;
    p.bits = source.depth() == 64 || f == QImage::Format_Grayscale16 ? 16 : 8;
    const JxlDataType type = p.bits == 16 ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8;
    // QImage's rows start on 32-bit boundaries.
    if (p.grey) {
        p.image = source;
        p.format = {1, type, JXL_NATIVE_ENDIAN, 4};
    } else if (p.bits == 8) {
        p.image = source.convertToFormat(p.alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
        p.format = {p.alpha ? 4u : 3u, type, JXL_NATIVE_ENDIAN, 4};
    } else if (p.alpha) {
        p.image = source.convertToFormat(QImage::Format_RGBA64);
        p.format = {4, type, JXL_NATIVE_ENDIAN, 4};
    } else {
        const QImage rgba = source.convertToFormat(QImage::Format_RGBX64);
        const int width = rgba.width();
        p.deep.resize(size_t(width) * size_t(rgba.height()) * 3);
        quint16 *out = p.deep.data();
        for (int y = 0; y < rgba.height(); ++y) {
            const auto *in = reinterpret_cast<const quint16 *>(rgba.constScanLine(y));
            for (int x = 0; x < width; ++x, in += 4, out += 3)
                out[0] = in[0], out[1] = in[1], out[2] = in[2];
        }
        p.format = {3, type, JXL_NATIVE_ENDIAN, 0};
    }
    return p;
}

JxlBasicInfo basicInfo(const QSize &size, const Pixels &p, bool lossless)
{
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(size.width());
    info.ysize = uint32_t(size.height());
    info.bits_per_sample = uint32_t(p.bits);
    info.num_color_channels = p.grey ? 1 : 3;
    info.num_extra_channels = p.alpha ? 1 : 0;
    info.alpha_bits = p.alpha ? uint32_t(p.bits) : 0;
    info.uses_original_profile = lossless ? JXL_TRUE : JXL_FALSE;
    return info;
}

struct Session
{
    JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    JxlMetadata::Threads threads;
    JxlEncoderFrameSettings *settings = nullptr;
    QString error;

    bool fail(const char *function)
    {
        if (error.isEmpty())
            error = encoderWords(function, encoder.get());
        return false;
    }

    // The header: the size, the samples, the colours and the boxes to come.
    bool start(const JxlBasicInfo &info, const Pixels &p, bool lossless, int quality, bool boxes)
    {
        JxlEncoder *e = encoder.get();
        if (!e)
            return fail("JxlEncoderCreate");
        if (threads.runner() && JxlEncoderSetParallelRunner(
                                    e, threads.runner(), threads.runnerData()) != JXL_ENC_SUCCESS)
            return fail("JxlEncoderSetParallelRunner");
        if (boxes && (JxlEncoderUseContainer(e, JXL_TRUE) != JXL_ENC_SUCCESS ||
                      JxlEncoderUseBoxes(e) != JXL_ENC_SUCCESS))
            return fail("JxlEncoderUseBoxes");
        if (JxlEncoderSetBasicInfo(e, &info) != JXL_ENC_SUCCESS)
            return fail("JxlEncoderSetBasicInfo");
        if (p.alpha) {
            JxlExtraChannelInfo alpha;
            JxlEncoderInitExtraChannelInfo(JXL_CHANNEL_ALPHA, &alpha);
            alpha.bits_per_sample = uint32_t(p.bits);
            if (JxlEncoderSetExtraChannelInfo(e, 0, &alpha) != JXL_ENC_SUCCESS)
                return fail("JxlEncoderSetExtraChannelInfo");
        }
        settings = JxlEncoderFrameSettingsCreate(e, nullptr);
        if (!settings)
            return fail("JxlEncoderFrameSettingsCreate");
        const int effort = lossless ? LosslessEffort : LossyEffort;
        if (JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, effort) !=
            JXL_ENC_SUCCESS)
            return fail("JxlEncoderFrameSettingsSetOption");
        const bool set =
            lossless
                ? JxlEncoderSetFrameLossless(settings, JXL_TRUE) == JXL_ENC_SUCCESS
                : JxlEncoderSetFrameDistance(settings, distanceFor(quality)) == JXL_ENC_SUCCESS;
        return set || fail("JxlEncoderSetFrameDistance");
    }

    // The pixels' colours: the source's own profile, else its code points as the codestream's
    // encoding, else the profile the pixels carry, else sRGB.
    void setColour(const QColorSpace &space, bool grey, const PhotoMetadata &metadata,
                   LeftOuts *leftOut)
    {
        JxlEncoder *e = encoder.get();
        QByteArray icc = metadata.profileFor(space, true);
        JxlColorEncoding encoding;
        const std::optional<Cicp> cicp = metadata.cicp();
        if (icc.isEmpty() && cicp && JxlMetadata::encodingFor(*cicp, grey, &encoding) &&
            JxlEncoderSetColorEncoding(e, &encoding) == JXL_ENC_SUCCESS)
            return;
        if (icc.isEmpty() && cicp) {
            icc = metadata.profileFor(space, false);
            *leftOut += metadata.colourLeftOut(space, true);
        }
        if (!icc.isEmpty() &&
            JxlEncoderSetICCProfile(e, reinterpret_cast<const uint8_t *>(icc.constData()),
                                    size_t(icc.size())) == JXL_ENC_SUCCESS)
            return;
        if (!icc.isEmpty())
            leftOut->append(LeftOut::IccProfile);
        JxlColorEncodingSetToSRGB(&encoding, grey);
        JxlEncoderSetColorEncoding(e, &encoding);
    }

    // EXIF (after its 4-byte offset to the TIFF header) and XMP, uncompressed: readers that
    // know no Brotli read them too.
    void addBoxes(const PhotoMetadata::Corrected &fixed, LeftOuts *leftOut)
    {
        JxlEncoder *e = encoder.get();
        if (!fixed.exif.isEmpty()) {
            const QByteArray exif = QByteArray(4, '\0') + fixed.exif;
            if (JxlEncoderAddBox(e, "Exif", reinterpret_cast<const uint8_t *>(exif.constData()),
                                 size_t(exif.size()), JXL_FALSE) != JXL_ENC_SUCCESS)
                leftOut->append(LeftOut::ExifNotWritten);
        }
        if (!fixed.xmp.isEmpty() &&
            JxlEncoderAddBox(e, "xml ", reinterpret_cast<const uint8_t *>(fixed.xmp.constData()),
                             size_t(fixed.xmp.size()), JXL_FALSE) != JXL_ENC_SUCCESS)
            leftOut->append(LeftOut::XmpNotWritten);
    }

    bool addFrame(const Pixels &p)
    {
        return JxlEncoderAddImageFrame(settings, &p.format, p.data(), p.size()) ==
                   JXL_ENC_SUCCESS ||
               fail("JxlEncoderAddImageFrame");
    }

    // What the encoder has ready, appended to `bytes`.
    bool drain(QByteArray *bytes)
    {
        JxlEncoder *e = encoder.get();
        qint64 used = bytes->size();
        bytes->resize(int(qMax<qint64>(used + 64 * 1024, bytes->size() * 2)));
        for (;;) {
            auto *next = reinterpret_cast<uint8_t *>(bytes->data() + used);
            size_t avail = size_t(bytes->size() - used);
            const JxlEncoderStatus status = JxlEncoderProcessOutput(e, &next, &avail);
            used = bytes->size() - qint64(avail);
            if (status != JXL_ENC_NEED_MORE_OUTPUT) {
                bytes->truncate(int(used));
                return status == JXL_ENC_SUCCESS || fail("JxlEncoderProcessOutput");
            }
            if (bytes->size() > INT_MAX / 2) {
                bytes->truncate(int(used));
                return fail("JxlEncoderProcessOutput");
            }
            bytes->resize(bytes->size() * 2);
        }
    }
};

} // namespace

float distanceFor(int quality)
{
    const int q = qBound(1, quality, 99);
    if (q >= 30)
        return 0.1f + float(100 - q) * 0.09f;
    return 6.4f + float(std::pow(2.5, (30 - q) / 5.0)) / 6.25f;
}

qint64 memoryEstimate(const QSize &size)
{
    // The samples' copy and the encoder's own images and tables, measured from 1 to 12
    // megapixels: about 40 bytes a pixel lossy, 65 lossless, which the estimate takes.
    return qint64(size.width()) * size.height() * 66 + 8 * 1024 * 1024;
}

bool encode(const QImage &image, bool lossless, int quality, const PhotoMetadata &metadata,
            QByteArray *bytes, LeftOuts *leftOut, Formats::EncodeError *error)
{
    const PhotoMetadata::Corrected fixed = metadata.corrected(image.size());
    const bool boxes = !fixed.exif.isEmpty() || !fixed.xmp.isEmpty();
    bool done = false;
    {
        Session s;
        const Pixels pixels = pixelsOf(image, image.hasAlphaChannel());
        done = !pixels.image.isNull() || !pixels.deep.empty();
        if (!done)
            s.error = QStringLiteral("libjxl: out of memory");
        done = done &&
               s.start(basicInfo(image.size(), pixels, lossless), pixels, lossless, quality, boxes);
        if (done) {
            s.setColour(image.colorSpace(), pixels.grey, metadata, leftOut);
            s.addBoxes(fixed, leftOut);
            *leftOut += fixed.leftOut + metadata.jpegOnly();
            done = s.addFrame(pixels);
        }
        if (done) {
            JxlEncoderCloseInput(s.encoder.get());
            bytes->clear();
            done = s.drain(bytes);
        }
        if (!done) {
            error->words = s.error;
            error->outOfMemory = JxlEncoderGetError(s.encoder.get()) == JXL_ENC_ERR_OOM;
        }
    }
    if (qint64(image.width()) * image.height() > LargeOutputPixels)
        releaseFreedMemory();
    return done;
}

bool isJpeg(const QByteArray &head)
{
    return head.startsWith("\xff\xd8\xff");
}

namespace {

// The JPEG without its APP1 (EXIF, XMP, extended XMP) and APP13 (IPTC) segments, which go into
// boxes of their own; empty where its segments cannot be walked up to the scan.
QByteArray withoutMetadataSegments(const QByteArray &jpeg)
{
    const auto *data = reinterpret_cast<const uchar *>(jpeg.constData());
    const int size = jpeg.size();
    QByteArray kept = jpeg.left(2);
    for (int at = 2; at + 4 <= size;) {
        if (data[at] != 0xff)
            return QByteArray();
        const uchar marker = data[at + 1];
        if (marker == 0xff) { // fill byte
            ++at;
            continue;
        }
        if (marker == 0xda) // the scan, and all that follows it, as it is
            return kept + jpeg.mid(at);
        const int length = data[at + 2] << 8 | data[at + 3];
        if (length < 2 || at + 2 + length > size)
            return QByteArray();
        if (marker != 0xe1 && marker != 0xed)
            kept += jpeg.mid(at, 2 + length);
        at += 2 + length;
    }
    return QByteArray();
}

} // namespace

bool transcodeJpeg(const QByteArray &jpeg, const PhotoMetadata &metadata, const QSize &size,
                   QByteArray *bytes, LeftOuts *leftOut)
{
    const QByteArray stripped = withoutMetadataSegments(jpeg);
    if (stripped.isEmpty())
        return false;
    const PhotoMetadata::Corrected fixed = metadata.corrected(size);
    Session s;
    JxlEncoder *e = s.encoder.get();
    if (!e ||
        (s.threads.runner() &&
         JxlEncoderSetParallelRunner(e, s.threads.runner(), s.threads.runnerData()) !=
             JXL_ENC_SUCCESS) ||
        JxlEncoderUseContainer(e, JXL_TRUE) != JXL_ENC_SUCCESS ||
        JxlEncoderStoreJPEGMetadata(e, JXL_TRUE) != JXL_ENC_SUCCESS)
        return false;
    const bool boxes = !fixed.exif.isEmpty() || !fixed.xmp.isEmpty();
    if (boxes && JxlEncoderUseBoxes(e) != JXL_ENC_SUCCESS)
        return false;
    s.settings = JxlEncoderFrameSettingsCreate(e, nullptr);
    if (!s.settings ||
        JxlEncoderAddJPEGFrame(s.settings, reinterpret_cast<const uint8_t *>(stripped.constData()),
                               size_t(stripped.size())) != JXL_ENC_SUCCESS)
        return false;
    LeftOuts left = fixed.leftOut + metadata.jpegOnly();
    s.addBoxes(fixed, &left);
    JxlEncoderCloseInput(e);
    bytes->clear();
    if (!s.drain(bytes)) {
        bytes->clear();
        return false;
    }
    *leftOut += left;
    return true;
}

struct Animation::Encoder
{
    Session session;
    QSize size;
    bool lossless = false;
    int quality = 0;
    int loopCount = 0;
    bool started = false;
    QImage held; // the last frame given, until the next says how long it lasts
    int heldStart = 0;
    QByteArray bytes;

    // The held frame, lasting until `endMs`, into the encoder.
    bool encodeHeld(int endMs)
    {
        const Pixels pixels = pixelsOf(held.convertToFormat(QImage::Format_ARGB32), true);
        if (!started) {
            JxlBasicInfo info = basicInfo(size, pixels, lossless);
            info.have_animation = JXL_TRUE;
            info.animation.tps_numerator = 1000; // ticks of a millisecond
            info.animation.tps_denominator = 1;
            info.animation.num_loops = uint32_t(qMax(0, loopCount));
            if (!session.start(info, pixels, lossless, quality, true))
                return false;
            LeftOuts ignored;
            session.setColour(held.colorSpace(), false, PhotoMetadata(), &ignored);
            started = true;
        }
        JxlFrameHeader header;
        JxlEncoderInitFrameHeader(&header);
        header.duration = uint32_t(qMax(0, endMs - heldStart));
        if (JxlEncoderSetFrameHeader(session.settings, &header) != JXL_ENC_SUCCESS)
            return session.fail("JxlEncoderSetFrameHeader");
        // The encoded frame goes out at once: only its bytes stay.
        return session.addFrame(pixels) && session.drain(&bytes);
    }
};

Animation::Animation(const QSize &size, bool lossless, int quality, int loopCount)
    : m_encoder(new Encoder)
{
    m_encoder->size = size;
    m_encoder->lossless = lossless;
    m_encoder->quality = quality;
    m_encoder->loopCount = loopCount;
}

Animation::~Animation() = default;

QString Animation::error() const
{
    return m_encoder->session.error;
}

bool Animation::add(const QImage &frame, int startMs)
{
    Encoder &e = *m_encoder;
    if (frame.size() != e.size) {
        e.session.error = QStringLiteral("libjxl: frame size");
        return false;
    }
    if (!e.held.isNull() && !e.encodeHeld(startMs))
        return false;
    e.held = frame;
    e.heldStart = startMs;
    return true;
}

bool Animation::finish(int endMs, const PhotoMetadata &metadata, QByteArray *bytes,
                       LeftOuts *leftOut, QString *error)
{
    Encoder &e = *m_encoder;
    bool done = !e.held.isNull() && e.encodeHeld(endMs);
    if (done) {
        JxlEncoderCloseFrames(e.session.encoder.get());
        const PhotoMetadata::Corrected fixed = metadata.corrected(e.size);
        e.session.addBoxes(fixed, leftOut);
        *leftOut += fixed.leftOut + metadata.jpegOnly();
        JxlEncoderCloseBoxes(e.session.encoder.get());
        done = e.session.drain(&e.bytes);
    }
    if (!done) {
        *error = e.session.error.isEmpty() ? QStringLiteral("libjxl: no frame") : e.session.error;
        return false;
    }
    *bytes = std::move(e.bytes);
    return true;
}

} // namespace JxlWriter
