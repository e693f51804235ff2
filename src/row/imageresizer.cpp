#include "row/imageresizer.h"

#include "formats/heifwriter.h"
#include "formats/sampler.h"
#include "formats/streamdecoder.h"
#include "metadata/photometadata.h"
#include "system/atomicfile.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>

#include <cstring>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace ImageResizer {

namespace {

QSize uprightSize(const QImageReader &reader)
{
    const QSize stored = reader.size();
    return reader.transformation().testFlag(QImageIOHandler::TransformationRotate90)
               ? stored.transposed()
               : stored;
}

// The chunks before the image data must fit in the file: the toolkit allocates what a chunk
// declares before reading it, so 57 bytes can ask for a gigabyte.
bool pngChunksFit(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(8))
        return false;
    for (qint64 at = 8; at + 8 <= file.size();) {
        uchar header[8];
        if (!file.seek(at) || file.read(reinterpret_cast<char *>(header), 8) != 8)
            return false;
        const qint64 length =
            qint64(header[0]) << 24 | header[1] << 16 | header[2] << 8 | header[3];
        if (at + 12 + length > file.size())
            return false;
        if (std::memcmp(header + 4, "IDAT", 4) == 0)
            return true;
        at += 12 + length;
    }
    return false;
}

// The header was readable, so a decode that fails means the data after it is damaged.
QImage decodeWithToolkit(QImageReader &reader, int box, RowOutcome *outcome)
{
    allowLargestAcceptedImage();
    const bool headerRead = reader.size().isValid();
    const QImage image = reader.read();
    if (image.isNull()) {
        *outcome = RowOutcome::make(headerRead ? RowOutcome::Damaged : RowOutcome::Unreadable,
                                    QString(), reader.errorString());
        return QImage();
    }
    return sampleNearest(image, fitInSquare(image.size(), box));
}

// The upright size from the header, by the format's own decoder where the toolkit cannot read
// it; invalid where the header could not be read.
QSize headerSize(QImageReader &reader, const QString &path, const QByteArray &format)
{
    const StreamDecoder::Format *decoder = StreamDecoder::forFormat(format);
    return decoder && decoder->uprightSize ? decoder->uprightSize(path) : uprightSize(reader);
}

// Refuses what must not be decoded at all: a PNG whose chunks do not fit in the file, or an
// image larger than MaxPixels.
bool refusedUpFront(QImageReader &reader, const QString &path, const QByteArray &format,
                    RowOutcome *outcome)
{
    if (format == "png" && !pngChunksFit(path)) {
        *outcome = RowOutcome::make(RowOutcome::Damaged);
        return true;
    }
    const QSize size = headerSize(reader, path, format);
    if (size.isValid() && qint64(size.width()) * size.height() > MaxPixels) {
        *outcome = RowOutcome::make(RowOutcome::TooLarge);
        outcome->imageSize = size;
        return true;
    }
    return false;
}

// What the toolkit's decode holds at once: the full image, its 8-bit copy for images of
// fewer bits per pixel, and the output.
qint64 toolkitEstimate(const QImageReader &reader, int box)
{
    const QSize size = reader.size();
    if (!size.isValid())
        return 0;
    const int depth = QImage::toPixelFormat(reader.imageFormat()).bitsPerPixel();
    const qint64 pixels = qint64(size.width()) * size.height();
    const qint64 full = (qint64(size.width()) * qMax(depth, 1) + 31) / 32 * 4 * size.height();
    const QSize out = fitInSquare(size, box);
    return full + (depth < 8 ? pixels : 0) +
           qint64(out.width()) * out.height() * qMax(depth, 8) / 8;
}

StreamDecoder::Status decodeStreamed(const QImageReader &reader, const QString &path,
                                     const QByteArray &format, int box, QImage *scaled,
                                     RowOutcome *outcome)
{
    using StreamDecoder::Status;
    const StreamDecoder::Format *decoder = StreamDecoder::forFormat(format);
    if (!decoder)
        return Status::NotHandled;
    QString error;
    const Status status = decoder->decodeScaled(path, reader.transformation(), box, scaled, &error);
    if (status == Status::Failed)
        *outcome = RowOutcome::make(RowOutcome::Unreadable, QString(), error);
    else if (status == Status::Damaged)
        *outcome = RowOutcome::make(RowOutcome::Damaged, QString(), error);
    return status;
}

// A profile of another colour model than the pixels' (a CMYK source's on RGB pixels, say)
// makes colour-managed programs reject or misread the output: it is left out.
void dropForeignProfile(QImage *image)
{
    const QByteArray model = image->colorSpace().iccProfile().mid(16, 4);
    const bool grey = image->format() == QImage::Format_Grayscale8 ||
                      image->format() == QImage::Format_Grayscale16;
    if (!model.isEmpty() && model != (grey ? "GRAY" : "RGB "))
        image->setColorSpace(QColorSpace());
}

} // namespace

// The size was already checked against MaxPixels: the toolkit may take what that allows at
// 8 bytes a pixel.
void allowLargestAcceptedImage()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    static const bool allowed = [] {
        QImageReader::setAllocationLimit(int(MaxPixels * 8 / (1024 * 1024)));
        return true;
    }();
    Q_UNUSED(allowed);
#endif
}

QImage loadScaled(const QString &path, int box, RowOutcome *outcome)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QByteArray format = StreamDecoder::detectFormat(path, reader);
    if (refusedUpFront(reader, path, format, outcome))
        return QImage();
    QImage scaled;
    if (decodeStreamed(reader, path, format, box, &scaled, outcome) ==
        StreamDecoder::Status::NotHandled)
        scaled = decodeWithToolkit(reader, box, outcome);
    if (scaled.isNull() && outcome->status == RowOutcome::Pending)
        *outcome = RowOutcome::make(RowOutcome::Unreadable);
    dropForeignProfile(&scaled);
    return scaled;
}

qint64 memoryEstimate(const QString &path, int box)
{
    return memoryEstimate(path, box, QByteArray());
}

qint64 memoryEstimate(const QString &path, int box, const QByteArray &outputFormat)
{
    QImageReader reader(path);
    const QByteArray format = StreamDecoder::detectFormat(path, reader);
    RowOutcome refused;
    if (refusedUpFront(reader, path, format, &refused))
        return 0;
    const StreamDecoder::Format *decoder = StreamDecoder::forFormat(format);
    const qint64 streamed = decoder ? decoder->memoryEstimate(path, box) : -1;
    const qint64 decoding = streamed >= 0 ? streamed : toolkitEstimate(reader, box);
    // The output is encoded in memory before it is written: a photo takes at most two bytes a
    // pixel there, whatever the format, beside what a HEIC or AVIF encoder holds.
    const QSize size = headerSize(reader, path, format);
    const QSize out = fitInSquare(size.isValid() ? size : QSize(1, 1), box);
    const qint64 encoder =
        HeifWriter::formats().contains(outputFormat) ? HeifWriter::memoryEstimate(out) : 0;
    return decoding + qint64(out.width()) * out.height() * 2 + encoder;
}

namespace {

// Encodes the whole file in memory: only then is the old one replaced, in one write.
bool encode(const QImage &image, const QByteArray &format, QByteArray *bytes, QString *error)
{
    QBuffer buffer(bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (writer.write(image))
        return true;
    *error = writer.errorString();
    return false;
}

RowOutcome save(const QString &path, const QByteArray &bytes)
{
    AtomicFile::Failure failure;
    if (!AtomicFile::write(path, bytes, &failure))
        return RowOutcome::writeFailed(failure.code, failure.systemText);
    return RowOutcome::make(RowOutcome::Written);
}

bool isJpegFormat(const QByteArray &format)
{
    return format == "jpg" || format == "jpeg";
}

bool isHeifFormat(const QByteArray &format)
{
    return HeifWriter::formats().contains(format);
}

// The metadata goes into the encoded image before it is written: inserted into a JPEG's
// segments, or handed to the HEIF encoder.
RowOutcome writeWithMetadata(const QImage &image, const PlannedRow &row,
                             const PhotoMetadata &metadata)
{
    QByteArray encoded;
    QString error;
    QStringList leftOut;
    bool copied = true;
    if (isHeifFormat(row.format)) {
        if (!HeifWriter::encode(image, row.format, metadata, &encoded, &leftOut, &error))
            return RowOutcome::make(RowOutcome::WriteFailed, error);
        copied = leftOut.isEmpty();
    } else {
        if (!encode(image, row.format, &encoded, &error))
            return RowOutcome::make(RowOutcome::WriteFailed, error);
        copied = metadata.insertInto(&encoded, image.size(), &leftOut);
    }
    RowOutcome outcome = save(row.output, encoded);
    if (outcome.status == RowOutcome::Written && !copied) {
        outcome.metadataNotCopied = true;
        outcome.systemError = leftOut.join(QLatin1String(", "));
    }
    return outcome;
}

} // namespace

QList<QByteArray> writableFormats()
{
    return QImageWriter::supportedImageFormats() + HeifWriter::formats();
}

RowOutcome write(const QImage &image, const QString &path, const QByteArray &format)
{
    if (isHeifFormat(format))
        return writeWithMetadata(image, PlannedRow{QString(), path, format, RowOutcome()},
                                 PhotoMetadata());
    QByteArray encoded;
    QString error;
    if (!encode(image, format, &encoded, &error))
        return RowOutcome::make(RowOutcome::WriteFailed, error);
    return save(path, encoded);
}

void tuneAllocator()
{
#ifdef __GLIBC__
    // Full-size decodes stay above the threshold: they go back to the system at once. So do a
    // 48-megapixel HEIF decoder's working arrays, which in a worker thread's heaps would stay
    // resident in pieces; a 12-megapixel progressive JPEG's luma coefficients (23 MB) stay
    // below it, for reuse by the next row.
    mallopt(M_MMAP_THRESHOLD, 24 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
#endif
}

RowOutcome processRow(const PlannedRow &row, int box)
{
    if (row.outcome.status != RowOutcome::Pending)
        return row.outcome;
    RowOutcome outcome;
    const QImage scaled = loadScaled(row.source, box, &outcome);
    if (scaled.isNull())
        return outcome;
    if (isJpegFormat(row.format) || isHeifFormat(row.format))
        return writeWithMetadata(scaled, row, PhotoMetadata::read(row.source));
    return write(scaled, row.output, row.format);
}

} // namespace ImageResizer
