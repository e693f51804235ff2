#include "formats/raw/rawdecoder.h"

#include "formats/raw/rawmetadata.h"
#include "formats/raw/rawstream.h"
#include "resample/rowsink.h"
#include "system/sourcefile.h"

#include <QColorSpace>
#include <QFileInfo>
#include <QVector>

#include <libraw/libraw.h>

#include <cmath>
#include <memory>

namespace RawDecoder {

using Formats::Status;

namespace {

// The proportions of a preview may differ from the sensor's by this much: a few pixels.
constexpr double RatioTolerance = 0.01;

enum class Path
{
    Preview,
    Half,
    Full,
};

class Raw
{
public:
    explicit Raw(const SourceFile &source)
        : m_stream(source), m_raw(std::make_unique<LibRaw>()),
          m_opened(m_raw->open_datastream(&m_stream))
    {}
    ~Raw() { m_raw->recycle(); }
    Raw(const Raw &) = delete;
    Raw &operator=(const Raw &) = delete;

    int opened() const { return m_opened; }
    LibRaw &lib() { return *m_raw; }
    const libraw_image_sizes_t &sizes() const { return m_raw->imgdata.sizes; }
    // The demosaiced image's size before the flag turns it.
    QSize stored() const { return QSize(sizes().width, sizes().height); }
    bool quarterTurn() const { return sizes().flip & 4; }
    QSize upright() const { return quarterTurn() ? stored().transposed() : stored(); }

private:
    RawStream m_stream;
    std::unique_ptr<LibRaw> m_raw;
    int m_opened;
};

bool isRawSuffix(const QString &path)
{
    return suffixes().contains(QFileInfo(path).suffix().toLower().toUtf8());
}

// What turns the stored image upright, from libraw's flag.
QImageIOHandler::Transformations flipTransform(int flip)
{
    switch (flip) {
    case 3:
        return QImageIOHandler::TransformationRotate180;
    case 5:
        return QImageIOHandler::TransformationRotate270;
    case 6:
        return QImageIOHandler::TransformationRotate90;
    default:
        return QImageIOHandler::TransformationNone;
    }
}

bool atLeast(const QSize &size, const QSize &out)
{
    return size.width() >= out.width() && size.height() >= out.height();
}

Path choosePath(Raw &raw, const QSize &out)
{
    const libraw_thumbnail_t &thumb = raw.lib().imgdata.thumbnail;
    const QSize preview(thumb.twidth, thumb.theight);
    const double sensorRatio = double(raw.stored().width()) / qMax(1, raw.stored().height());
    const double previewRatio = double(preview.width()) / qMax(1, preview.height());
    const QSize storedOut = raw.quarterTurn() ? out.transposed() : out;
    // The preview's coding is known once it is unpacked: one that is no JPEG is demosaiced.
    if (thumb.tlength > 0 && atLeast(preview, storedOut) &&
        std::abs(previewRatio / sensorRatio - 1) < RatioTolerance)
        return Path::Preview;
    if (atLeast(QSize(raw.stored().width() / 2, raw.stored().height() / 2), storedOut))
        return Path::Half;
    return Path::Full;
}

QString libRawError(int code)
{
    return QString::fromUtf8(libraw_strerror(code));
}

// Cut short, or data libraw found wrong: the picture would be partly made up.
Status statusOf(int code)
{
    return code == LIBRAW_IO_ERROR || code == LIBRAW_DATA_ERROR ||
                   code == LIBRAW_UNSUFFICIENT_MEMORY
               ? Status::Damaged
               : Status::Failed;
}

// One row of libraw's image (RGB, 16 bits a sample) as opaque RGBX64 pixels, at the columns
// the sink reads.
void pushImage(const libraw_processed_image_t &image, RowSink *sink)
{
    QVector<quint64> row(image.width);
    for (int y = sink->nextRow(0); y < image.height; y = sink->nextRow(y + 1)) {
        const auto *in =
            reinterpret_cast<const quint16 *>(image.data) + qint64(y) * image.width * 3;
        for (int x : sink->columns()) {
            const quint16 *p = in + 3 * x;
            row[x] =
                quint64(p[0]) | quint64(p[1]) << 16 | quint64(p[2]) << 32 | quint64(0xffff) << 48;
        }
        sink->pushImageRow(y, reinterpret_cast<const uchar *>(row.constData()));
    }
}

class Decoder : public Formats::Decoder
{
public:
    Decoder(const SourceFile &source, const Formats::EmbeddedOpener &embedded)
        : m_source(source), m_embedded(embedded), m_raw(source)
    {
        if (m_raw.opened() != LIBRAW_SUCCESS) {
            refuse(statusOf(m_raw.opened()), libRawError(m_raw.opened()));
            return;
        }
        // Turned upright by libraw as it decodes.
        m_header.stored = m_raw.upright();
    }

    PhotoMetadata metadata() override { return RawMetadata::read(m_source); }
    qint64 memoryEstimate(const Target &target) override;
    Status decode(const Target &target, QImage *out, QString *words) override;

    Path path(const Target &target) { return choosePath(m_raw, target.outputFor(m_raw.upright())); }

private:
    std::unique_ptr<Formats::Decoder> preview(QByteArray *bytes);
    Status decodePreview(const Target &target, QImage *out, QString *words);
    Status demosaic(Path path, const Target &target, QImage *out, QString *words);
    qint64 previewEstimate(const Target &target);

    const SourceFile &m_source;
    Formats::EmbeddedOpener m_embedded;
    Raw m_raw;
};

// The camera's JPEG preview as a decoder, turned by the raw's flag; null where it is no JPEG.
std::unique_ptr<Formats::Decoder> Decoder::preview(QByteArray *bytes)
{
    const libraw_thumbnail_t &thumb = m_raw.lib().imgdata.thumbnail;
    if (thumb.tformat != LIBRAW_THUMBNAIL_JPEG || !m_embedded)
        return nullptr;
    *bytes = QByteArray::fromRawData(thumb.thumb, int(thumb.tlength));
    return m_embedded(*bytes, flipTransform(m_raw.sizes().flip));
}

Status Decoder::decodePreview(const Target &target, QImage *out, QString *words)
{
    const int code = m_raw.lib().unpack_thumb();
    if (code != LIBRAW_SUCCESS) {
        *words = libRawError(code);
        return statusOf(code);
    }
    QByteArray bytes;
    const std::unique_ptr<Formats::Decoder> jpeg = preview(&bytes);
    if (!jpeg)
        return Status::Failed;
    QImage image;
    if (jpeg->refusal() != Status::Decoded) {
        *words = jpeg->refusalWords();
        return jpeg->refusal();
    }
    const Status status = jpeg->decode(target, &image, words);
    if (status != Status::Decoded)
        return status;
    // The sensor's proportions, not the preview's, which may differ by a row or two.
    const QSize size = target.outputFor(m_raw.upright());
    *out = image.size() == size ? image : target.resample(image, size);
    return out->isNull() ? Status::Failed : Status::Decoded;
}

Status Decoder::demosaic(Path path, const Target &target, QImage *out, QString *words)
{
    libraw_output_params_t &params = m_raw.lib().imgdata.params;
    params.half_size = path == Path::Half;
    params.use_camera_wb = 1;
    params.output_color = 1; // sRGB
    params.output_bps = 16;
    params.gamm[0] = 1 / 2.4; // sRGB's curve rather than BT.709's
    params.gamm[1] = 12.92;
    int code = m_raw.lib().unpack();
    if (code == LIBRAW_SUCCESS)
        code = m_raw.lib().dcraw_process();
    libraw_processed_image_t *image =
        code == LIBRAW_SUCCESS ? m_raw.lib().dcraw_make_mem_image(&code) : nullptr;
    if (!image) {
        *words = libRawError(code);
        return statusOf(code);
    }
    // Turned upright by libraw already; RGB, 16 bits a sample.
    if (image->colors == 3 && image->bits == 16) {
        const QSize size(image->width, image->height);
        const std::unique_ptr<RowSink> sink =
            target.sink(size, size, QImageIOHandler::TransformationNone,
                        RowLayout::image(QImage::Format_RGBX64));
        if (sink->isValid()) {
            pushImage(*image, sink.get());
            *out = sink->result();
        }
    }
    LibRaw::dcraw_clear_mem(image);
    if (out->isNull()) {
        *words = libRawError(LIBRAW_UNSUFFICIENT_MEMORY);
        return Status::Failed;
    }
    out->setColorSpace(QColorSpace(QColorSpace::SRgb));
    return Status::Decoded;
}

Status Decoder::decode(const Target &target, QImage *out, QString *words)
{
    const Path chosen = path(target);
    if (chosen == Path::Preview) {
        const Status status = decodePreview(target, out, words);
        if (status == Status::Decoded)
            return status;
        *out = QImage();
    }
    return demosaic(chosen == Path::Full ? Path::Full : Path::Half, target, out, words);
}

// The preview's bytes, which libraw holds, and its decoder's own share: the streaming decoder's
// estimate, read from the preview's header, else a whole decode's.
qint64 Decoder::previewEstimate(const Target &target)
{
    const libraw_thumbnail_t &thumb = m_raw.lib().imgdata.thumbnail;
    const qint64 whole = qint64(thumb.twidth) * thumb.theight * 8;
    if (m_raw.lib().unpack_thumb() != LIBRAW_SUCCESS)
        return thumb.tlength + whole;
    QByteArray bytes;
    const std::unique_ptr<Formats::Decoder> jpeg = preview(&bytes);
    if (!jpeg || jpeg->refusal() != Status::Decoded)
        return thumb.tlength + whole;
    return thumb.tlength + jpeg->memoryEstimate(target);
}

qint64 Decoder::memoryEstimate(const Target &target)
{
    const QSize out = target.outputFor(m_raw.upright());
    const qint64 full = qint64(m_raw.stored().width()) * m_raw.stored().height();
    const Path chosen = path(target);
    // libraw's own state, a large object, and its reading buffers.
    const qint64 fixed = qint64(sizeof(LibRaw)) + 1536 * 1024;
    // A preview of other proportions is resampled again.
    const RowLayout rgbx = RowLayout::image(QImage::Format_RGBX64);
    if (chosen == Path::Preview)
        return fixed + previewEstimate(target) +
               target.sinkEstimate(out, out, QImageIOHandler::TransformationNone, rgbx);
    // The unpacked mosaic, libraw's four-channel image and its RGB copy, and what the sink
    // holds. A sensor without a colour filter array (a linear DNG) unpacks four samples a pixel.
    const int unpacked = m_raw.lib().imgdata.idata.filters ? 2 : 8;
    const qint64 mosaic = qint64(m_raw.sizes().raw_width) * m_raw.sizes().raw_height * unpacked;
    const qint64 demosaiced = (chosen == Path::Half ? full / 4 : full) * (8 + 6);
    const QSize upright = m_raw.upright();
    const QSize rows =
        chosen == Path::Half ? QSize(upright.width() / 2, upright.height() / 2) : upright;
    return fixed + mosaic + demosaiced + qint64(rows.width()) * 8 +
           target.sinkEstimate(rows, rows, QImageIOHandler::TransformationNone, rgbx);
}

} // namespace

QList<QByteArray> suffixes()
{
    return {"3fr", "ari", "arw", "bay", "cr2", "cr3", "crw", "dcr", "dng", "erf",
            "fff", "iiq", "k25", "kdc", "mef", "mos", "mrw", "nef", "nrw", "orf",
            "pef", "raf", "raw", "rw2", "rwl", "sr2", "srf", "srw", "x3f"};
}

// A raw built on TIFF that libraw cannot read (a JPEG XL-tiled DNG, say) is still a raw: the
// toolkit would take one of its previews for the picture.
bool recognise(const SourceFile &source)
{
    if (!isRawSuffix(source.path()))
        return false;
    const QByteArray head = source.head().left(4);
    if (head == QByteArray("II*\0", 4) || head == QByteArray("MM\0*", 4))
        return true;
    return Raw(source).opened() == LIBRAW_SUCCESS;
}

std::unique_ptr<Formats::Decoder> open(const SourceFile &source,
                                       const Formats::EmbeddedOpener &embedded)
{
    return std::make_unique<Decoder>(source, embedded);
}

QByteArray pathFor(const SourceFile &source, int box)
{
    Decoder decoder(source, nullptr);
    if (decoder.refusal() != Status::Decoded)
        return QByteArray();
    switch (decoder.path(Target(box))) {
    case Path::Preview:
        return "preview";
    case Path::Half:
        return "half";
    case Path::Full:
        break;
    }
    return "full";
}

} // namespace RawDecoder
