#include "formats/raw/rawstream.h"

#include "resample/resampler.h"
#include "resample/sampler.h"

#include <QColorSpace>
#include <QFile>
#include <QFileInfo>
#include <QVector>

#include <libraw/libraw.h>

#include <cmath>
#include <cstring>
#include <memory>

namespace RawStream {

QList<QByteArray> suffixes();

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
    Raw() : m_raw(std::make_unique<LibRaw>()) {}
    ~Raw() { m_raw->recycle(); }
    Raw(const Raw &) = delete;
    Raw &operator=(const Raw &) = delete;

    int open(const QString &path)
    {
        m_opened = m_raw->open_file(QFile::encodeName(path).constData());
        return m_opened;
    }
    LibRaw &lib() { return *m_raw; }
    const libraw_image_sizes_t &sizes() const { return m_raw->imgdata.sizes; }
    // The demosaiced image's size before the flag turns it.
    QSize stored() const { return QSize(sizes().width, sizes().height); }
    bool quarterTurn() const { return sizes().flip & 4; }
    QSize upright() const { return quarterTurn() ? stored().transposed() : stored(); }

private:
    std::unique_ptr<LibRaw> m_raw;
    int m_opened = LIBRAW_UNSPECIFIED_ERROR;
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

Path choosePath(Raw &raw, int box)
{
    const QSize out = fitInSquare(raw.upright(), box);
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

EmbeddedJpeg embeddedJpeg;

Status decodePreview(Raw &raw, int box, Resampling resampling, QImage *out, QString *error)
{
    const int code = raw.lib().unpack_thumb();
    if (code != LIBRAW_SUCCESS) {
        *error = libRawError(code);
        return statusOf(code);
    }
    const libraw_thumbnail_t &thumb = raw.lib().imgdata.thumbnail;
    if (thumb.tformat != LIBRAW_THUMBNAIL_JPEG || !embeddedJpeg.decode)
        return Status::NotHandled;
    const QByteArray bytes = QByteArray::fromRawData(thumb.thumb, int(thumb.tlength));
    const QImageIOHandler::Transformations transform = flipTransform(raw.sizes().flip);
    QImage preview;
    const Status status = embeddedJpeg.decode(bytes, transform, box, resampling, &preview, error);
    if (status != Status::Decoded)
        return status == Status::NotHandled ? Status::Failed : status;
    // The sensor's proportions, not the preview's, which may differ by a row or two.
    const QSize target = fitInSquare(raw.upright(), box);
    *out = preview.size() == target           ? preview
           : resampling == Resampling::Smooth ? sampleSmooth(preview, target)
                                              : sampleNearest(preview, target);
    return out->isNull() ? Status::Failed : Status::Decoded;
}

// Pixel `x` of row `y` of libraw's image, opaque.
quint64 rgbx(const libraw_processed_image_t &image, int x, int y)
{
    const auto *in =
        reinterpret_cast<const quint16 *>(image.data) + (qint64(y) * image.width + x) * 3;
    return quint64(in[0]) | quint64(in[1]) << 16 | quint64(in[2]) << 32 | quint64(0xffff) << 48;
}

// libraw's image fitted to `box`: nearest pixels read straight from it, as sampleNearest()
// would read them from a copy; smooth ones through a whole copy.
QImage fitted(const libraw_processed_image_t &image, int box, Resampling resampling)
{
    const QSize size(image.width, image.height);
    const QSize target = fitInSquare(size, box);
    const bool direct = resampling == Resampling::Nearest;
    QImage pixels(direct ? target : size, QImage::Format_RGBX64);
    if (pixels.isNull())
        return pixels;
    QVector<int> columns(pixels.width());
    for (int x = 0; x < columns.size(); ++x)
        columns[x] = direct ? nearestIndex(x, size.width(), target.width()) : x;
    for (int y = 0; y < pixels.height(); ++y) {
        auto *line = reinterpret_cast<quint64 *>(pixels.scanLine(y));
        const int from = direct ? nearestIndex(y, size.height(), target.height()) : y;
        for (int x = 0; x < pixels.width(); ++x)
            line[x] = rgbx(image, columns[x], from);
    }
    pixels.setColorSpace(QColorSpace(QColorSpace::SRgb));
    return direct ? pixels : sampleSmooth(pixels, target);
}

Status demosaic(Raw &raw, Path path, int box, Resampling resampling, QImage *out, QString *error)
{
    libraw_output_params_t &params = raw.lib().imgdata.params;
    params.half_size = path == Path::Half;
    params.use_camera_wb = 1;
    params.output_color = 1; // sRGB
    params.output_bps = 16;
    params.gamm[0] = 1 / 2.4; // sRGB's curve rather than BT.709's
    params.gamm[1] = 12.92;
    int code = raw.lib().unpack();
    if (code == LIBRAW_SUCCESS)
        code = raw.lib().dcraw_process();
    libraw_processed_image_t *image =
        code == LIBRAW_SUCCESS ? raw.lib().dcraw_make_mem_image(&code) : nullptr;
    if (!image) {
        *error = libRawError(code);
        return statusOf(code);
    }
    // Turned upright by libraw already; RGB, 16 bits a sample.
    const bool usable = image->colors == 3 && image->bits == 16;
    if (usable)
        *out = fitted(*image, box, resampling);
    LibRaw::dcraw_clear_mem(image);
    if (!usable || out->isNull()) {
        *error = libRawError(LIBRAW_UNSUFFICIENT_MEMORY);
        return Status::Failed;
    }
    return Status::Decoded;
}

} // namespace

void setEmbeddedJpegDecoder(const EmbeddedJpeg &jpeg)
{
    embeddedJpeg = jpeg;
}

QList<QByteArray> suffixes()
{
    return {"3fr", "ari", "arw", "bay", "cr2", "cr3", "crw", "dcr", "dng", "erf",
            "fff", "iiq", "k25", "kdc", "mef", "mos", "mrw", "nef", "nrw", "orf",
            "pef", "raf", "raw", "rw2", "rwl", "sr2", "srf", "srw", "x3f"};
}

// A raw built on TIFF that libraw cannot read (a JPEG XL-tiled DNG, say) is still a raw: the
// toolkit would take one of its previews for the picture.
bool recognise(const QString &path)
{
    if (!isRawSuffix(path))
        return false;
    Raw raw;
    if (raw.open(path) == LIBRAW_SUCCESS)
        return true;
    QFile file(path);
    const QByteArray head = file.open(QIODevice::ReadOnly) ? file.read(4) : QByteArray();
    return head == QByteArray("II*\0", 4) || head == QByteArray("MM\0*", 4);
}

Status decodeScaled(const QString &path, QImageIOHandler::Transformations, int box,
                    Resampling resampling, QImage *out, QString *error)
{
    Raw raw;
    const int code = raw.open(path);
    if (code != LIBRAW_SUCCESS) {
        *error = libRawError(code);
        return statusOf(code);
    }
    const Path path_ = choosePath(raw, box);
    if (path_ == Path::Preview) {
        const Status status = decodePreview(raw, box, resampling, out, error);
        if (status == Status::Decoded)
            return status;
    }
    return demosaic(raw, path_ == Path::Full ? Path::Full : Path::Half, box, resampling, out,
                    error);
}

namespace {

// The preview's bytes, which libraw holds, and its decoder's own share: the streaming decoder's
// estimate, read from the preview's header, else a whole decode's.
qint64 previewEstimate(Raw &raw, int box, Resampling resampling)
{
    const libraw_thumbnail_t &thumb = raw.lib().imgdata.thumbnail;
    const qint64 whole = qint64(thumb.twidth) * thumb.theight * 8;
    if (!embeddedJpeg.memoryEstimate || raw.lib().unpack_thumb() != LIBRAW_SUCCESS ||
        thumb.tformat != LIBRAW_THUMBNAIL_JPEG)
        return thumb.tlength + whole;
    const qint64 streamed = embeddedJpeg.memoryEstimate(
        QByteArray::fromRawData(thumb.thumb, int(thumb.tlength)), box, resampling);
    return thumb.tlength + (streamed >= 0 ? streamed : whole);
}

} // namespace

qint64 memoryEstimate(const QString &path, int box, Resampling resampling)
{
    Raw raw;
    if (raw.open(path) != LIBRAW_SUCCESS)
        return -1;
    const qint64 out = qint64(fitInSquare(raw.upright(), box).width()) *
                       fitInSquare(raw.upright(), box).height() * 8;
    const qint64 full = qint64(raw.stored().width()) * raw.stored().height();
    const Path chosen = choosePath(raw, box);
    const qint64 smooth = resampling == Resampling::Smooth ? out : 0;
    // libraw's own state, a large object, and its reading buffers.
    const qint64 fixed = qint64(sizeof(LibRaw)) + 1536 * 1024;
    // The streamed preview's estimate has its output already.
    if (chosen == Path::Preview)
        return fixed + previewEstimate(raw, box, resampling) + smooth;
    // The unpacked mosaic, libraw's four-channel image, its RGB copy and, smooth, ours.
    // A sensor without a colour filter array (a linear DNG) unpacks four samples a pixel.
    const int unpacked = raw.lib().imgdata.idata.filters ? 2 : 8;
    const qint64 mosaic = qint64(raw.sizes().raw_width) * raw.sizes().raw_height * unpacked;
    const int copies = resampling == Resampling::Smooth ? 8 + 6 + 8 : 8 + 6;
    const qint64 demosaiced = (chosen == Path::Half ? full / 4 : full) * copies;
    return fixed + mosaic + demosaiced + out + smooth;
}

QSize uprightSize(const QString &path)
{
    Raw raw;
    return raw.open(path) == LIBRAW_SUCCESS ? raw.upright() : QSize();
}

QByteArray pathFor(const QString &path, int box)
{
    Raw raw;
    if (raw.open(path) != LIBRAW_SUCCESS)
        return QByteArray();
    switch (choosePath(raw, box)) {
    case Path::Preview:
        return "preview";
    case Path::Half:
        return "half";
    case Path::Full:
        break;
    }
    return "full";
}

} // namespace RawStream
