#include "formats/webp/webpdecoder.h"

#include "formats/webp/webpmetadata.h"
#include "metadata/exifblock.h"
#include "resample/geometry.h"
#include "resample/rowsink.h"
#include "system/sourcefile.h"

#include <QColorSpace>

#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <memory>

namespace WebPDecoder {

using Formats::Status;

namespace {

// libwebp's own conversion of limited-range BT.601, so that with its upsampled chroma a
// sampled pixel is the one its decoder gives.
int clip8(int v)
{
    return (v & ~((256 << 6) - 1)) == 0 ? v >> 6 : v < 0 ? 0 : 255;
}
int multHi(int v, int coeff)
{
    return (v * coeff) >> 8;
}
QRgb yuvToRgb(float y, float u, float v, float alpha)
{
    const int luma = multHi(int(y), 19077);
    return qRgba(clip8(luma + multHi(int(v), 26149) - 14234),
                 clip8(luma - multHi(int(u), 6419) - multHi(int(v), 13320) + 8708),
                 clip8(luma + multHi(int(u), 33050) - 17685), int(alpha));
}

// libwebp's limited-range BT.601 conversion, in floats: what yuvToRgb() gives before its
// rounding, for lumas that may be averages.
YCbCrMatrix libwebpMatrix()
{
    YCbCrMatrix m;
    m.luma = 19077.0f / 16384;
    m.redCr = 26149.0f / 16384;
    m.greenCb = 6419.0f / 16384;
    m.greenCr = 13320.0f / 16384;
    m.blueCb = 33050.0f / 16384;
    m.redOffset = -14234.0f / 64;
    m.greenOffset = 8708.0f / 64;
    m.blueOffset = -17685.0f / 64;
    return m;
}

#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr WEBP_CSP_MODE Argb32Mode = MODE_BGRA;
#else
constexpr WEBP_CSP_MODE Argb32Mode = MODE_ARGB;
#endif

struct AnimDecoderDeleter
{
    void operator()(WebPAnimDecoder *d) const { WebPAnimDecoderDelete(d); }
};
struct DemuxDeleter
{
    void operator()(WebPDemuxer *d) const { WebPDemuxDelete(d); }
};

// A header read, a decode that fails (cut short included) means damaged data.
Status decodeFailed(VP8StatusCode code, QString *words)
{
    *words = QStringLiteral("libwebp %1").arg(int(code));
    return code == VP8_STATUS_OUT_OF_MEMORY || code == VP8_STATUS_UNSUPPORTED_FEATURE
               ? Status::Failed
               : Status::Damaged;
}

// One row's samples as floats, the chroma at the row's width.
struct PlaneRow
{
    QVector<float> luma, cb, cr, alpha;

    PlaneRow(int width, bool withAlpha)
        : luma(width), cb(width), cr(width), alpha(withAlpha ? width : 0)
    {}
    void push(int y, RowSink *sink) const
    {
        sink->pushYCbCrRow(y, luma.constData(), cb.constData(), cr.constData(),
                           alpha.isEmpty() ? nullptr : alpha.constData());
    }
};

// Chroma as dwebp upsamples it ("fancy" upsampling): each pixel weighs 9, 3, 3 and 1 the
// four samples around it, its own sample's row and column heaviest, in libwebp's integers
// with u and v packed in one word as its upsampler adds them. Rows come from their own two
// chroma rows, so that the sink's skipped rows cost nothing.
struct FancyChroma
{
    const uint8_t *ownU, *ownV, *otherU, *otherV;

    uint32_t ownAt(int c) const { return ownU[c] | uint32_t(ownV[c]) << 16; }
    uint32_t otherAt(int c) const { return otherU[c] | uint32_t(otherV[c]) << 16; }
    // A pixel between four samples: 9 for its own, 3 for the one beside it in its row and for
    // the one across, 1 for the far one.
    static uint32_t between(uint32_t own, uint32_t beside, uint32_t across, uint32_t far)
    {
        const uint32_t sum = own + beside + across + far + 0x00080008u;
        return (((sum + 2 * (beside + across)) >> 3) + own) >> 1;
    }
    // A first or last column's pixel: 3 for its own sample, 1 for the one across.
    static uint32_t atEdge(uint32_t own, uint32_t across)
    {
        return (3 * own + across + 0x00020002u) >> 2;
    }
    // u | v << 16 at column x; `edge` is the last column of an even width, which has no
    // sample on its right.
    uint32_t at(int x, int edge) const
    {
        const int c = x >> 1;
        if (x == 0 || x == edge)
            return atEdge(ownAt(c), otherAt(c));
        const int o = x & 1 ? c + 1 : c - 1;
        return between(ownAt(c), ownAt(o), otherAt(c), otherAt(o));
    }
    // A whole row as libwebp walks it, two pixels from each pair of samples.
    void row(int width, float *cb, float *cr) const
    {
        const auto put = [cb, cr](int x, uint32_t uv) {
            cb[x] = float(uv & 0xff), cr[x] = float(uv >> 16);
        };
        uint32_t left = ownAt(0), otherLeft = otherAt(0);
        put(0, atEdge(left, otherLeft));
        for (int c = 1; c <= (width - 1) >> 1; ++c) {
            const uint32_t right = ownAt(c), otherRight = otherAt(c);
            put(2 * c - 1, between(left, right, otherLeft, otherRight));
            put(2 * c, between(right, left, otherRight, otherLeft));
            left = right, otherLeft = otherRight;
        }
        if (width % 2 == 0)
            put(width - 1, atEdge(left, otherLeft));
    }
};

// Each row the sink reads, each pixel with its chroma upsampled as libwebp does.
void pushPlanes(const WebPYUVABuffer &p, const QSize &stored, RowSink *sink)
{
    const int width = stored.width(), chromaRows = (stored.height() + 1) / 2;
    const int edge = width % 2 == 0 ? width - 1 : -1;
    const bool whole = sink->columns().size() == width; // the sink's columns are distinct
    PlaneRow row(width, p.a);
    for (int y = sink->nextRow(0); y < sink->rowCount(); y = sink->nextRow(y + 1)) {
        // The chroma row beside the pixel's and the next one on its side; the first and last
        // rows repeat their own.
        const int own = y >> 1;
        const int other = y & 1 ? std::min(own + 1, chromaRows - 1) : std::max(own - 1, 0);
        const FancyChroma chroma{p.u + qint64(own) * p.u_stride, p.v + qint64(own) * p.v_stride,
                                 p.u + qint64(other) * p.u_stride,
                                 p.v + qint64(other) * p.v_stride};
        const uint8_t *luma = p.y + qint64(y) * p.y_stride;
        float *l = row.luma.data(), *cb = row.cb.data(), *cr = row.cr.data();
        if (whole) {
            std::copy(luma, luma + width, l);
            chroma.row(width, cb, cr);
        } else {
            for (int x : sink->columns()) {
                const uint32_t uv = chroma.at(x, edge);
                l[x] = luma[x], cb[x] = float(uv & 0xff), cr[x] = float(uv >> 16);
            }
        }
        if (p.a) {
            const uint8_t *alpha = p.a + qint64(y) * p.a_stride;
            for (int x : sink->columns())
                row.alpha[x] = alpha[x];
        }
        row.push(y, sink);
    }
}

// The luma averaged over each chroma sample's 2 x 2 pixels: the image at the chroma planes'
// own size, a quarter of the pixels to convert and filter.
void pushHalvedPlanes(const WebPYUVABuffer &p, const QSize &stored, RowSink *sink)
{
    const QSize half((stored.width() + 1) / 2, (stored.height() + 1) / 2);
    PlaneRow row(half.width(), false);
    const int pairs = stored.width() / 2;
    for (int cy = sink->nextRow(0); cy < half.height(); cy = sink->nextRow(cy + 1)) {
        const uint8_t *top = p.y + qint64(2 * cy) * p.y_stride;
        const uint8_t *bottom = 2 * cy + 1 < stored.height() ? top + p.y_stride : top;
        const uint8_t *u = p.u + qint64(cy) * p.u_stride;
        const uint8_t *v = p.v + qint64(cy) * p.v_stride;
        float *luma = row.luma.data();
        for (int cx = 0; cx < pairs; ++cx)
            luma[cx] =
                (top[2 * cx] + top[2 * cx + 1] + bottom[2 * cx] + bottom[2 * cx + 1]) * 0.25f;
        if (pairs < half.width()) // an odd width's last column
            luma[pairs] = (top[2 * pairs] + bottom[2 * pairs]) * 0.5f;
        std::copy(u, u + half.width(), row.cb.begin());
        std::copy(v, v + half.width(), row.cr.begin());
        row.push(cy, sink);
    }
}

class Decoder : public Formats::Decoder
{
public:
    explicit Decoder(const SourceFile &source) : m_file(source.all())
    {
        const VP8StatusCode code = WebPGetFeatures(data(), size(), &m_features);
        if (code != VP8_STATUS_OK) {
            refuse(code == VP8_STATUS_NOT_ENOUGH_DATA && size() > 30 ? Status::Damaged
                                                                     : Status::Failed,
                   QStringLiteral("libwebp %1").arg(int(code)));
            return;
        }
        m_metadata = WebPMetadata::read(m_file);
        m_header.stored = QSize(m_features.width, m_features.height);
        m_header.transform = ExifBlock::transformation(m_metadata.exif);
    }

    int imageCount() override;
    bool isLossless() override;
    PhotoMetadata metadata() override
    {
        PhotoMetadata::Record record;
        record.exif = m_metadata.exif;
        record.xmp = m_metadata.xmp;
        record.icc = m_metadata.icc;
        return PhotoMetadata(record);
    }
    qint64 memoryEstimate(const Target &target) override;
    Status decode(const Target &target, QImage *out, QString *words) override;
    bool decodesFrames() const override { return true; }
    Status decodeFrames(const Target &target, Formats::Animation *animation,
                        const Formats::FrameSink &sink, int *endMs, QString *words) override;

private:
    const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(m_file.constData()); }
    size_t size() const { return size_t(m_file.size()); }
    WebPData webpData() const { return {data(), size()}; }
    QColorSpace colourSpace() const
    {
        return m_metadata.icc.isEmpty() ? QColorSpace()
                                        : QColorSpace::fromIccProfile(m_metadata.icc);
    }
    bool halves(const Target &target) const
    {
        if (m_features.has_alpha)
            return false;
        const QVector<QSizeF> half{QSizeF(m_features.width / 2.0, m_features.height / 2.0)};
        return target.reductionFor(half, m_header.upright(), m_header.transform) == 0;
    }
    Status decodeLossy(const Target &target, QImage *out, QString *words);
    Status decodeLossless(const Target &target, QImage *out, QString *words);
    Status decodeSingleFrame(const Target &target, QImage *out, QString *words);

    QByteArray m_file;
    WebPBitstreamFeatures m_features{};
    WebPMetadata::Blocks m_metadata;
};

int Decoder::imageCount()
{
    if (!m_features.has_animation)
        return 1;
    const WebPData bytes = webpData();
    const std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&bytes));
    return demux ? int(WebPDemuxGetI(demux.get(), WEBP_FF_FRAME_COUNT)) : 0;
}

bool Decoder::isLossless()
{
    if (!m_features.has_animation)
        return m_features.format == 2;
    const WebPData bytes = webpData();
    const std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&bytes));
    WebPIterator frame;
    bool lossless = demux && WebPDemuxGetFrame(demux.get(), 1, &frame);
    if (lossless) {
        do {
            WebPBitstreamFeatures features;
            lossless = WebPGetFeatures(frame.fragment.bytes, frame.fragment.size, &features) ==
                           VP8_STATUS_OK &&
                       features.format == 2;
        } while (lossless && WebPDemuxNextFrame(&frame));
        WebPDemuxReleaseIterator(&frame);
    }
    return lossless;
}

Status Decoder::decodeLossy(const Target &target, QImage *out, QString *words)
{
    WebPDecoderConfig config;
    WebPInitDecoderConfig(&config);
    const bool alpha = m_features.has_alpha;
    config.output.colorspace = alpha ? MODE_YUVA : MODE_YUV;
    const VP8StatusCode code = WebPDecode(data(), size(), &config);
    if (code != VP8_STATUS_OK) {
        WebPFreeDecBuffer(&config.output);
        return decodeFailed(code, words);
    }
    const WebPYUVABuffer &planes = config.output.u.YUVA;
    const bool halved = halves(target);
    const QSize stored = m_header.stored;
    const QSize rows = halved ? QSize((stored.width() + 1) / 2, (stored.height() + 1) / 2) : stored;
    const std::unique_ptr<RowSink> sink =
        target.sink(rows, m_header.upright(), m_header.transform,
                    RowLayout::ycbcr(alpha, libwebpMatrix(), yuvToRgb));
    if (sink->isValid()) {
        if (halved)
            pushHalvedPlanes(planes, stored, sink.get());
        else
            pushPlanes(planes, stored, sink.get());
        *out = sink->result();
    }
    WebPFreeDecBuffer(&config.output);
    return out->isNull() ? Status::Failed : Status::Decoded;
}

Status Decoder::decodeLossless(const Target &target, QImage *out, QString *words)
{
    const bool alpha = m_features.has_alpha;
    QImage full(m_header.stored, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (full.isNull())
        return Status::Failed;
    WebPDecoderConfig config;
    WebPInitDecoderConfig(&config);
    config.output.colorspace = Argb32Mode;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = full.bits();
    config.output.u.RGBA.stride = int(full.bytesPerLine());
    config.output.u.RGBA.size = size_t(full.sizeInBytes());
    const VP8StatusCode code = WebPDecode(data(), size(), &config);
    WebPFreeDecBuffer(&config.output);
    if (code != VP8_STATUS_OK)
        return decodeFailed(code, words);
    const std::unique_ptr<RowSink> sink =
        target.sink(full.size(), m_header.upright(), m_header.transform,
                    RowLayout::image(full.format(), alpha));
    if (!sink->isValid())
        return Status::Failed;
    sink->pushImage(full);
    *out = sink->result();
    return out->isNull() ? Status::Failed : Status::Decoded;
}

// An animation of one frame, or one too damaged to count its frames.
Status Decoder::decodeSingleFrame(const Target &target, QImage *out, QString *words)
{
    Formats::Animation animation;
    int endMs = 0;
    const Status status = decodeFrames(
        target, &animation,
        [out](const QImage &frame, int) {
            *out = frame;
            return false;
        },
        &endMs, words);
    return out->isNull() ? (status == Status::Decoded ? Status::Failed : status) : Status::Decoded;
}

Status Decoder::decode(const Target &target, QImage *out, QString *words)
{
    if (m_features.has_animation)
        return decodeSingleFrame(target, out, words);
    const Status status = m_features.format == 2 ? decodeLossless(target, out, words)
                                                 : decodeLossy(target, out, words);
    if (status == Status::Decoded && !m_metadata.icc.isEmpty())
        out->setColorSpace(colourSpace());
    return status;
}

// The whole file, which the source holds; the decoder's planes or pixels at full size, and
// what the sink holds.
qint64 Decoder::memoryEstimate(const Target &target)
{
    const qint64 pixels = qint64(m_features.width) * m_features.height;
    const QSize out = target.outputFor(m_header.upright());
    const qint64 outBytes = qint64(out.width()) * out.height() * 4;
    qint64 decoder = 0;
    if (m_features.has_animation)
        // The canvas, the previous one and a frame's two buffers; the animation encoder's own
        // canvases and candidate frames at the output's size, and the frames it has encoded.
        decoder = 4 * 4 * pixels + 8 * outBytes + 3 * qint64(m_file.size());
    else if (m_features.format == 2)
        decoder = 8 * pixels; // the decoder's pixels and the copy it hands out
    else
        decoder = pixels * 3 / 2 + (m_features.has_alpha ? 2 * pixels : 0);
    const QSize stored = m_header.stored;
    const QSize rows =
        halves(target) ? QSize((stored.width() + 1) / 2, (stored.height() + 1) / 2) : stored;
    const qint64 sink = target.sinkEstimate(rows, m_header.upright(), m_header.transform,
                                            RowLayout::image(QImage::Format_ARGB32, true));
    // The decoder keeps a few rows of macroblocks beside; a row of floats for each plane.
    return m_file.size() + decoder + qint64(m_features.width) * (256 + 16) + sink;
}

Status Decoder::decodeFrames(const Target &target, Formats::Animation *animation,
                             const Formats::FrameSink &sink, int *endMs, QString *words)
{
    animation->lossless = isLossless();
    WebPAnimDecoderOptions options;
    WebPAnimDecoderOptionsInit(&options);
    options.color_mode = Argb32Mode;
    const WebPData bytes = webpData();
    std::unique_ptr<WebPAnimDecoder, AnimDecoderDeleter> decoder(
        WebPAnimDecoderNew(&bytes, &options));
    WebPAnimInfo info;
    if (!decoder || !WebPAnimDecoderGetInfo(decoder.get(), &info)) {
        *words = QStringLiteral("WebPAnimDecoderNew");
        return Status::Damaged;
    }
    animation->canvas = QSize(int(info.canvas_width), int(info.canvas_height));
    animation->loopCount = int(info.loop_count);
    animation->background = info.bgcolor; // read as 0xAARRGGBB, as a QRgb
    const QColorSpace space = colourSpace();
    const RowLayout layout = RowLayout::image(QImage::Format_ARGB32, true);
    int start = 0;
    while (WebPAnimDecoderHasMoreFrames(decoder.get())) {
        uint8_t *pixels = nullptr;
        int timestamp = 0;
        if (!WebPAnimDecoderGetNext(decoder.get(), &pixels, &timestamp)) {
            *words = QStringLiteral("WebPAnimDecoderGetNext");
            return Status::Damaged;
        }
        const QImage canvas(pixels, animation->canvas.width(), animation->canvas.height(),
                            QImage::Format_ARGB32);
        const std::unique_ptr<RowSink> rows = target.sink(
            canvas.size(), turned(canvas.size(), m_header.transform), m_header.transform, layout);
        if (!rows->isValid())
            return Status::Failed;
        rows->pushImage(canvas);
        QImage frame = rows->result();
        if (frame.isNull())
            return Status::Failed;
        frame.setColorSpace(space);
        if (!sink(frame, start))
            return Status::Failed;
        start = timestamp;
    }
    *endMs = start;
    return Status::Decoded;
}

} // namespace

std::unique_ptr<Formats::Decoder> open(const SourceFile &source)
{
    return std::make_unique<Decoder>(source);
}

} // namespace WebPDecoder
