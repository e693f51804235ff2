#include "formats/webp/webpstream.h"

#include "formats/webp/webpmetadata.h"
#include "metadata/exifblock.h"
#include "resample/resampler.h"
#include "resample/sampler.h"

#include <QColorSpace>
#include <QFile>

#include <webp/decode.h>
#include <webp/demux.h>

#include <memory>

namespace WebPStream {

namespace {

// libwebp's own conversion of limited-range BT.601, so that a sampled pixel is the one its
// decoder gives without smoothing the chroma.
int clip8(int v)
{
    return (v & ~((256 << 6) - 1)) == 0 ? v >> 6 : v < 0 ? 0 : 255;
}
int multHi(int v, int coeff)
{
    return (v * coeff) >> 8;
}
QRgb yuvToRgb(int y, int u, int v, int alpha)
{
    const int luma = multHi(y, 19077);
    return qRgba(clip8(luma + multHi(v, 26149) - 14234),
                 clip8(luma - multHi(u, 6419) - multHi(v, 13320) + 8708),
                 clip8(luma + multHi(u, 33050) - 17685), alpha);
}

#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr WEBP_CSP_MODE Argb32Mode = MODE_BGRA;
#else
constexpr WEBP_CSP_MODE Argb32Mode = MODE_ARGB;
#endif

struct File
{
    QByteArray bytes;
    WebPBitstreamFeatures features{};

    const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(bytes.constData()); }
    size_t size() const { return size_t(bytes.size()); }
    WebPData webpData() const { return {data(), size()}; }
};

Status open(const QString &path, File *file, QString *error)
{
    QFile input(path);
    if (!input.open(QIODevice::ReadOnly)) {
        *error = input.errorString();
        return Status::Failed;
    }
    file->bytes = input.readAll();
    const VP8StatusCode code = WebPGetFeatures(file->data(), file->size(), &file->features);
    if (code == VP8_STATUS_OK)
        return Status::Decoded;
    *error = QStringLiteral("libwebp %1").arg(int(code));
    return code == VP8_STATUS_NOT_ENOUGH_DATA && file->size() > 30 ? Status::Damaged
                                                                   : Status::Failed;
}

QSize storedSize(const File &file)
{
    return QSize(file.features.width, file.features.height);
}

// A header read, a decode that fails (cut short included) means damaged data.
Status decodeFailed(VP8StatusCode code, QString *error)
{
    *error = QStringLiteral("libwebp %1").arg(int(code));
    return code == VP8_STATUS_OUT_OF_MEMORY || code == VP8_STATUS_UNSUPPORTED_FEATURE
               ? Status::Failed
               : Status::Damaged;
}

// Every stored row through the filter.
template <typename Fetch>
QImage filterUpright(const QSize &stored, QImageIOHandler::Transformations transform, int box,
                     QImage::Format format, Fetch fetch)
{
    SmoothRows rows(stored, transform, box, format);
    if (!rows.isValid())
        return QImage();
    QVector<QRgb> line(stored.width());
    for (int y = 0; y < stored.height(); ++y) {
        for (int x = 0; x < stored.width(); ++x)
            line[x] = fetch(x, y);
        rows.pushRgb32(line.constData(), format == QImage::Format_ARGB32);
    }
    return rows.result();
}

template <typename Fetch>
QImage sampleUpright(const QSize &stored, QImageIOHandler::Transformations transform, int box,
                     Resampling resampling, QImage::Format format, Fetch fetch)
{
    if (resampling == Resampling::Smooth)
        return filterUpright(stored, transform, box, format, fetch);
    QImage out = uprightOutput(stored, transform, box, format);
    if (out.isNull())
        return out;
    const SamplePlan plan = samplePlan(transform, stored, out.size());
    for (int target = 0; target < plan.storedRow.size(); ++target) {
        const int row = plan.storedRow.at(target);
        sampleStoredRow<QRgb>(target, plan, &out, [&](int column) { return fetch(column, row); });
    }
    return out;
}

// libwebp's limited-range BT.601 conversion, in floats: what yuvToRgb() gives before its
// rounding, for lumas that may be averages.
SmoothRows::YCbCr libwebpMatrix()
{
    SmoothRows::YCbCr m;
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

// One row's samples as floats, the chroma at the row's width.
struct PlaneRow
{
    QVector<float> luma, cb, cr, alpha;

    PlaneRow(int width, bool withAlpha)
        : luma(width), cb(width), cr(width), alpha(withAlpha ? width : 0)
    {}
    void push(SmoothRows *rows) const
    {
        rows->pushYCbCr(luma.constData(), cb.constData(), cr.constData(),
                        alpha.isEmpty() ? nullptr : alpha.constData(), libwebpMatrix());
    }
};

// Each row through the filter, each pixel converted with its chroma sample.
void filterPlanes(const WebPYUVABuffer &p, const QSize &stored, SmoothRows *rows)
{
    PlaneRow row(stored.width(), p.a);
    for (int y = 0; y < stored.height(); ++y) {
        const uint8_t *luma = p.y + qint64(y) * p.y_stride;
        const uint8_t *u = p.u + qint64(y >> 1) * p.u_stride;
        const uint8_t *v = p.v + qint64(y >> 1) * p.v_stride;
        const uint8_t *alpha = p.a ? p.a + qint64(y) * p.a_stride : nullptr;
        float *l = row.luma.data(), *cb = row.cb.data(), *cr = row.cr.data();
        for (int x = 0; x < stored.width(); ++x)
            l[x] = luma[x], cb[x] = u[x >> 1], cr[x] = v[x >> 1];
        if (alpha)
            std::copy(alpha, alpha + stored.width(), row.alpha.begin());
        row.push(rows);
    }
}

// The luma averaged over each chroma sample's 2 x 2 pixels: the image at the chroma planes'
// own size, a quarter of the pixels to convert and filter.
void filterHalvedPlanes(const WebPYUVABuffer &p, const QSize &stored, SmoothRows *rows)
{
    const QSize half((stored.width() + 1) / 2, (stored.height() + 1) / 2);
    PlaneRow row(half.width(), false);
    const int pairs = stored.width() / 2;
    for (int cy = 0; cy < half.height(); ++cy) {
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
        row.push(rows);
    }
}

// Smooth: filtered from the planes. An opaque image reduced by more than twice what the filter
// wants is converted at the chroma's size; a transparent one at full size, so that its colours
// are weighed by their alpha.
QImage filterLossy(const WebPYUVABuffer &p, const QSize &stored,
                   QImageIOHandler::Transformations transform, int box)
{
    const QSize out = SmoothRows::outputFor(stored, transform, box);
    const bool halve = !p.a && stored.width() >= 2 * Resampler::FilterShare * out.width() &&
                       stored.height() >= 2 * Resampler::FilterShare * out.height();
    const QSize in = halve ? QSize((stored.width() + 1) / 2, (stored.height() + 1) / 2) : stored;
    SmoothRows rows(in, out, transform, p.a ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (!rows.isValid())
        return QImage();
    if (halve)
        filterHalvedPlanes(p, stored, &rows);
    else
        filterPlanes(p, stored, &rows);
    return rows.result();
}

Status decodeLossy(const File &file, QImageIOHandler::Transformations transform, int box,
                   Resampling resampling, QImage *out, QString *error)
{
    WebPDecoderConfig config;
    WebPInitDecoderConfig(&config);
    const bool alpha = file.features.has_alpha;
    config.output.colorspace = alpha ? MODE_YUVA : MODE_YUV;
    const VP8StatusCode code = WebPDecode(file.data(), file.size(), &config);
    if (code != VP8_STATUS_OK) {
        WebPFreeDecBuffer(&config.output);
        return decodeFailed(code, error);
    }
    const WebPYUVABuffer &p = config.output.u.YUVA;
    if (resampling == Resampling::Smooth)
        *out = filterLossy(p, storedSize(file), transform, box);
    else
        *out =
            sampleUpright(storedSize(file), transform, box, Resampling::Nearest,
                          alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32, [&p](int x, int y) {
                              const int c = (y >> 1) * p.u_stride + (x >> 1);
                              const int a = p.a ? p.a[y * p.a_stride + x] : 255;
                              return yuvToRgb(p.y[y * p.y_stride + x], p.u[c],
                                              p.v[(y >> 1) * p.v_stride + (x >> 1)], a);
                          });
    WebPFreeDecBuffer(&config.output);
    return out->isNull() ? Status::Failed : Status::Decoded;
}

Status decodeLossless(const File &file, QImageIOHandler::Transformations transform, int box,
                      Resampling resampling, QImage *out, QString *error)
{
    const bool alpha = file.features.has_alpha;
    QImage full(storedSize(file), alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (full.isNull())
        return Status::Failed;
    WebPDecoderConfig config;
    WebPInitDecoderConfig(&config);
    config.output.colorspace = Argb32Mode;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = full.bits();
    config.output.u.RGBA.stride = int(full.bytesPerLine());
    config.output.u.RGBA.size = size_t(full.sizeInBytes());
    const VP8StatusCode code = WebPDecode(file.data(), file.size(), &config);
    WebPFreeDecBuffer(&config.output);
    if (code != VP8_STATUS_OK)
        return decodeFailed(code, error);
    *out = sampleUpright(
        full.size(), transform, box, resampling, full.format(),
        [&full](int x, int y) { return reinterpret_cast<const QRgb *>(full.constScanLine(y))[x]; });
    return out->isNull() ? Status::Failed : Status::Decoded;
}

void setColourSpace(const QString &path, QImage *out)
{
    const QByteArray icc = WebPMetadata::read(path).icc;
    if (!icc.isEmpty())
        out->setColorSpace(QColorSpace::fromIccProfile(icc));
}

struct AnimDecoderDeleter
{
    void operator()(WebPAnimDecoder *d) const { WebPAnimDecoderDelete(d); }
};

// An animation of one frame, or one too damaged to count its frames.
Status decodeSingleFrame(const QString &path, QImageIOHandler::Transformations transform, int box,
                         Resampling resampling, QImage *out, QString *error)
{
    Animation animation;
    int endMs = 0;
    const Status status = decodeFrames(
        path, transform, box, resampling, &animation,
        [out](const QImage &frame, int) {
            *out = frame;
            return false;
        },
        &endMs, error);
    return out->isNull() ? (status == Status::Decoded ? Status::Failed : status) : Status::Decoded;
}

} // namespace

Status decodeScaled(const QString &path, QImageIOHandler::Transformations transform, int box,
                    Resampling resampling, QImage *out, QString *error)
{
    File file;
    Status status = open(path, &file, error);
    if (status != Status::Decoded)
        return status;
    if (file.features.has_animation)
        return decodeSingleFrame(path, transform, box, resampling, out, error);
    status = file.features.format == 2
                 ? decodeLossless(file, transform, box, resampling, out, error)
                 : decodeLossy(file, transform, box, resampling, out, error);
    if (status == Status::Decoded)
        setColourSpace(path, out);
    return status;
}

qint64 memoryEstimate(const QString &path, int box, Resampling resampling)
{
    File file;
    QString error;
    if (open(path, &file, &error) != Status::Decoded)
        return 0;
    const qint64 pixels = qint64(file.features.width) * file.features.height;
    const QSize out = fitInSquare(storedSize(file), box);
    const qint64 outBytes = qint64(out.width()) * out.height() * 4;
    qint64 decoder = 0;
    if (file.features.has_animation)
        // The canvas, the previous one and a frame's two buffers; the animation encoder's own
        // canvases and candidate frames at the output's size, and the frames it has encoded.
        decoder = 4 * 4 * pixels + 8 * outBytes + 3 * qint64(file.bytes.size());
    else if (file.features.format == 2)
        decoder = 8 * pixels; // the decoder's pixels and the copy it hands out
    else
        decoder = pixels * 3 / 2 + (file.features.has_alpha ? 2 * pixels : 0);
    const qint64 filter =
        resampling == Resampling::Smooth
            ? SmoothRows::memoryEstimate(storedSize(file), out, QImage::Format_ARGB32)
            : 0;
    // The file is read whole; the decoder keeps a few rows of macroblocks beside.
    return file.bytes.size() + decoder + qint64(file.features.width) * 256 + outBytes + filter;
}

QImageIOHandler::Transformations transformation(const QString &path)
{
    return ExifBlock::transformation(WebPMetadata::read(path).exif);
}

QSize uprightSize(const QString &path)
{
    QFile input(path);
    WebPBitstreamFeatures features;
    if (!input.open(QIODevice::ReadOnly))
        return QSize();
    // The header and the first chunks are enough for the size.
    const QByteArray head = input.read(64 * 1024);
    if (WebPGetFeatures(reinterpret_cast<const uint8_t *>(head.constData()), size_t(head.size()),
                        &features) != VP8_STATUS_OK)
        return QSize();
    const QSize stored(features.width, features.height);
    return transformation(path).testFlag(QImageIOHandler::TransformationRotate90)
               ? stored.transposed()
               : stored;
}

int imageCount(const QString &path)
{
    File file;
    QString error;
    if (open(path, &file, &error) != Status::Decoded)
        return 0;
    if (!file.features.has_animation)
        return 1;
    const WebPData data = file.webpData();
    WebPDemuxer *demux = WebPDemux(&data);
    const int frames = demux ? int(WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT)) : 0;
    WebPDemuxDelete(demux);
    return frames;
}

bool isLossless(const QString &path)
{
    File file;
    QString error;
    if (open(path, &file, &error) != Status::Decoded)
        return false;
    if (!file.features.has_animation)
        return file.features.format == 2;
    const WebPData data = file.webpData();
    WebPDemuxer *demux = WebPDemux(&data);
    WebPIterator frame;
    bool lossless = demux && WebPDemuxGetFrame(demux, 1, &frame);
    if (lossless) {
        do {
            WebPBitstreamFeatures features;
            lossless = WebPGetFeatures(frame.fragment.bytes, frame.fragment.size, &features) ==
                           VP8_STATUS_OK &&
                       features.format == 2;
        } while (lossless && WebPDemuxNextFrame(&frame));
        WebPDemuxReleaseIterator(&frame);
    }
    WebPDemuxDelete(demux);
    return lossless;
}

Status decodeFrames(const QString &path, QImageIOHandler::Transformations transform, int box,
                    Resampling resampling, Animation *animation, const FrameSink &sink, int *endMs,
                    QString *error)
{
    File file;
    const Status opened = open(path, &file, error);
    if (opened != Status::Decoded)
        return opened;
    WebPAnimDecoderOptions options;
    WebPAnimDecoderOptionsInit(&options);
    options.color_mode = Argb32Mode;
    const WebPData data = file.webpData();
    std::unique_ptr<WebPAnimDecoder, AnimDecoderDeleter> decoder(
        WebPAnimDecoderNew(&data, &options));
    WebPAnimInfo info;
    if (!decoder || !WebPAnimDecoderGetInfo(decoder.get(), &info)) {
        *error = QStringLiteral("WebPAnimDecoderNew");
        return Status::Damaged;
    }
    animation->canvas = QSize(int(info.canvas_width), int(info.canvas_height));
    animation->loopCount = int(info.loop_count);
    animation->background = info.bgcolor; // read as 0xAARRGGBB, as a QRgb
    const QByteArray icc = WebPMetadata::read(path).icc;
    const QColorSpace space = icc.isEmpty() ? QColorSpace() : QColorSpace::fromIccProfile(icc);
    int start = 0;
    while (WebPAnimDecoderHasMoreFrames(decoder.get())) {
        uint8_t *pixels = nullptr;
        int timestamp = 0;
        if (!WebPAnimDecoderGetNext(decoder.get(), &pixels, &timestamp)) {
            *error = QStringLiteral("WebPAnimDecoderGetNext");
            return Status::Damaged;
        }
        const int stride = animation->canvas.width() * 4;
        QImage frame =
            sampleUpright(animation->canvas, transform, box, resampling, QImage::Format_ARGB32,
                          [pixels, stride](int x, int y) {
                              return reinterpret_cast<const QRgb *>(pixels + qint64(y) * stride)[x];
                          });
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

} // namespace WebPStream
