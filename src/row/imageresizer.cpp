#include "row/imageresizer.h"

#include "formats/heifwriter.h"
#include "formats/resampler.h"
#include "formats/sampler.h"
#include "formats/streamdecoder.h"
#include "formats/webpstream.h"
#include "formats/webpwriter.h"
#include "metadata/photometadata.h"
#include "system/atomicfile.h"
#include "system/filetime.h"

#include <QBuffer>
#include <QColorSpace>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>

#include <cstring>
#include <memory>

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

// What turns the image upright: the toolkit's reading of the file, or the format decoder's
// where the toolkit does not read the format's EXIF.
QImageIOHandler::Transformations transformFor(const QImageReader &reader, const QString &path,
                                              const QByteArray &format)
{
    const StreamDecoder::Format *decoder = StreamDecoder::forFormat(format);
    return decoder && decoder->transformation ? decoder->transformation(path)
                                              : reader.transformation();
}

RowOutcome::Status rowStatus(StreamDecoder::Status status)
{
    switch (status) {
    case StreamDecoder::Status::Damaged:
        return RowOutcome::Damaged;
    case StreamDecoder::Status::Failed:
        return RowOutcome::Unreadable;
    default:
        return RowOutcome::Pending;
    }
}

// Whether a toolkit decode that failed, or that gave an image, met damaged data: the format's
// own verdict where it has one, else a header read and a failed decode mean damage.
RowOutcome::Status toolkitVerdict(const StreamDecoder::Format *decoder, bool headerRead,
                                  bool decoded)
{
    if (decoder && decoder->toolkitVerdict)
        return rowStatus(decoder->toolkitVerdict(headerRead, decoded));
    if (decoded)
        return RowOutcome::Pending;
    return headerRead ? RowOutcome::Damaged : RowOutcome::Unreadable;
}

QImage scaledAs(const QImage &image, int box, Resampling resampling)
{
    const QSize target = fitInSquare(image.size(), box);
    return resampling == Resampling::Smooth ? sampleSmooth(image, target)
                                            : sampleNearest(image, target);
}

QImage decodeWithToolkit(QImageReader &reader, const QByteArray &format,
                         QImageIOHandler::Transformations transform, int box, Resampling resampling,
                         RowOutcome *outcome)
{
    allowLargestAcceptedImage();
    const bool ownTransform = transform != reader.transformation();
    reader.setAutoTransform(!ownTransform);
    const bool headerRead = reader.size().isValid();
    const StreamDecoder::Format *decoder = StreamDecoder::forFormat(format);
    if (decoder && decoder->beforeToolkitDecode)
        decoder->beforeToolkitDecode();
    QImage image = reader.read();
    const RowOutcome::Status verdict = toolkitVerdict(decoder, headerRead, !image.isNull());
    if (verdict != RowOutcome::Pending) {
        *outcome = RowOutcome::make(verdict, QString(), reader.errorString());
        return QImage();
    }
    if (ownTransform)
        image = uprightImage(image, transform);
    return scaledAs(image, box, resampling);
}

// The upright size from the header, by the format's own decoder where the toolkit cannot read
// it; invalid where the header could not be read.
QSize headerSize(QImageReader &reader, const QString &path, const QByteArray &format)
{
    const StreamDecoder::Format *decoder = StreamDecoder::forFormat(format);
    return decoder && decoder->uprightSize ? decoder->uprightSize(path) : uprightSize(reader);
}

// Refuses what must not be decoded at all: what the format's entry refuses, or an image
// larger than MaxPixels.
bool refusedUpFront(QImageReader &reader, const QString &path, const QByteArray &format,
                    RowOutcome *outcome)
{
    const StreamDecoder::Format *decoder = StreamDecoder::forFormat(format);
    QString detail;
    const RowOutcome::Status refused = decoder && decoder->refuse
                                           ? rowStatus(decoder->refuse(path, &detail))
                                           : RowOutcome::Pending;
    if (refused != RowOutcome::Pending) {
        *outcome = RowOutcome::make(refused, QString(), detail);
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
qint64 toolkitEstimate(const QImageReader &reader, int box, Resampling resampling)
{
    const QSize size = reader.size();
    if (!size.isValid())
        return 0;
    const int depth = QImage::toPixelFormat(reader.imageFormat()).bitsPerPixel();
    const qint64 pixels = qint64(size.width()) * size.height();
    const qint64 full = (qint64(size.width()) * qMax(depth, 1) + 31) / 32 * 4 * size.height();
    const QSize out = fitInSquare(size, box);
    // Smooth: the filter, and the upright copy where the toolkit does not turn the image.
    const qint64 filter = resampling == Resampling::Smooth
                              ? SmoothRows::memoryEstimate(size, out, QImage::Format_RGBA64) + full
                              : 0;
    return full + (depth < 8 ? pixels : 0) +
           qint64(out.width()) * out.height() * qMax(depth, 8) / 8 + filter;
}

StreamDecoder::Status decodeStreamed(const QImageReader &reader, const QString &path,
                                     const QByteArray &format, int box, Resampling resampling,
                                     QImage *scaled, RowOutcome *outcome)
{
    using StreamDecoder::Status;
    const StreamDecoder::Format *decoder = StreamDecoder::forFormat(format);
    if (!decoder || !decoder->decodeScaled)
        return Status::NotHandled;
    QString error;
    const Status status = decoder->decodeScaled(path, transformFor(reader, path, format), box,
                                                resampling, scaled, &error);
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

// Decodes what refusedUpFront() let through, with the decoder its format has, else the
// toolkit.
QImage decodeAndScale(QImageReader &reader, const QString &path, const QByteArray &format, int box,
                      Resampling resampling, RowOutcome *outcome)
{
    QImage scaled;
    if (decodeStreamed(reader, path, format, box, resampling, &scaled, outcome) ==
        StreamDecoder::Status::NotHandled)
        scaled = decodeWithToolkit(reader, format, transformFor(reader, path, format), box,
                                   resampling, outcome);
    if (scaled.isNull() && outcome->status == RowOutcome::Pending)
        *outcome = RowOutcome::make(RowOutcome::Unreadable);
    dropForeignProfile(&scaled);
    return scaled;
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

QImage loadScaled(const QString &path, int box, RowOutcome *outcome, Resampling resampling)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QByteArray format = StreamDecoder::detectFormat(path, reader);
    if (refusedUpFront(reader, path, format, outcome))
        return QImage();
    return decodeAndScale(reader, path, format, box, resampling, outcome);
}

qint64 memoryEstimate(const QString &path, int box)
{
    return memoryEstimate(path, box, QByteArray());
}

qint64 memoryEstimate(const QString &path, int box, const QByteArray &outputFormat,
                      Resampling resampling)
{
    QImageReader reader(path);
    const QByteArray format = StreamDecoder::detectFormat(path, reader);
    RowOutcome refused;
    if (refusedUpFront(reader, path, format, &refused))
        return 0;
    const StreamDecoder::Format *decoder = StreamDecoder::forFormat(format);
    const qint64 streamed =
        decoder && decoder->memoryEstimate ? decoder->memoryEstimate(path, box, resampling) : -1;
    const qint64 decoding = streamed >= 0 ? streamed : toolkitEstimate(reader, box, resampling);
    // The output is encoded in memory before it is written: a photo takes at most two bytes a
    // pixel there, whatever the format, beside what a HEIC or AVIF encoder holds.
    const QSize size = headerSize(reader, path, format);
    const QSize out = fitInSquare(size.isValid() ? size : QSize(1, 1), box);
    qint64 encoder = HeifWriter::formats().contains(outputFormat) ? HeifWriter::memoryEstimate(out)
                     : outputFormat == "webp"                     ? WebPWriter::memoryEstimate(out)
                                                                  : 0;
    // A GIF animation into WebP: the toolkit's canvas and previous frame, the animation
    // encoder's canvases and candidates, and the frames it has encoded.
    if (format == "gif" && outputFormat == "webp" && size.isValid())
        encoder += 2 * qint64(size.width()) * size.height() * 4 +
                   8 * qint64(out.width()) * out.height() * 4 + 3 * QFileInfo(path).size();
    return decoding + qint64(out.width()) * out.height() * 2 + encoder;
}

namespace {

bool isJpegFormat(const QByteArray &format)
{
    return format == "jpg" || format == "jpeg";
}

// Encodes the whole file in memory: only then is the old one replaced, in one write.
bool encode(const QImage &image, const QByteArray &format, int quality, QByteArray *bytes,
            QString *error)
{
    QBuffer buffer(bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (isJpegFormat(format))
        writer.setQuality(quality);
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

bool isHeifFormat(const QByteArray &format)
{
    return HeifWriter::formats().contains(format);
}

// The image without one of its texts: the toolkit's JPEG writer turns every text into a
// comment, and the XMP packet goes in as XMP.
QImage withoutText(const QImage &image, const QString &key)
{
    if (!image.textKeys().contains(key))
        return image;
    QImage result(image.constBits(), image.width(), image.height(), int(image.bytesPerLine()),
                  image.format());
    result.setColorTable(image.colorTable());
    result.setColorSpace(image.colorSpace());
    result.setDotsPerMeterX(image.dotsPerMeterX());
    result.setDotsPerMeterY(image.dotsPerMeterY());
    const QStringList keys = image.textKeys();
    for (const QString &other : keys)
        if (other != key)
            result.setText(other, image.text(other));
    return result;
}

// JPEG keeps no transparency: what shows through is white, as on paper, rather than the
// colour transparent pixels happen to hide.
QImage onWhite(const QImage &image)
{
    if (!image.hasAlphaChannel())
        return image;
    QImage flat(image.size(), QImage::Format_RGB32);
    if (flat.isNull())
        return flat;
    flat.fill(Qt::white);
    QPainter painter(&flat);
    painter.drawImage(0, 0, image);
    painter.end();
    copyImageMetadata(image, &flat);
    return flat;
}

// Encodes with the format's own writer where it carries metadata, else with the toolkit's.
bool encodeWithMetadata(const QImage &image, const PlannedRow &row, const PhotoMetadata &metadata,
                        QByteArray *encoded, QStringList *leftOut, QString *error)
{
    const int quality = EncoderQuality::setting(row.format, row.quality);
    if (isHeifFormat(row.format))
        return HeifWriter::encode(image, row.format, quality, metadata, encoded, leftOut, error);
    if (row.format == "webp")
        return WebPWriter::encode(image, WebPStream::isLossless(row.source), quality, metadata,
                                  encoded, leftOut, error);
    const QImage toEncode = isJpegFormat(row.format)
                                ? withoutText(onWhite(image), QStringLiteral("XML:com.adobe.xmp"))
                                : image;
    if (toEncode.isNull() && !image.isNull()) {
        *error = QCoreApplication::translate("MainWindow", "mémoire insuffisante");
        return false;
    }
    if (!encode(toEncode, row.format, quality, encoded, error))
        return false;
    if (isJpegFormat(row.format))
        metadata.insertInto(encoded, image.size(), leftOut);
    else if (row.format == "png")
        metadata.insertIntoPng(encoded, image.size(), leftOut);
    else
        *leftOut = metadata.present();
    *leftOut += metadata.colourLeftOut(image.colorSpace(), false);
    return true;
}

// A written row that lacks some of its source's metadata says what.
void addLeftOut(RowOutcome *outcome, const QStringList &leftOut)
{
    if (outcome->status != RowOutcome::Written || leftOut.isEmpty())
        return;
    QStringList all = leftOut;
    if (!outcome->systemError.isEmpty())
        all.prepend(outcome->systemError);
    outcome->metadataNotCopied = true;
    outcome->systemError = all.join(QLatin1String(", "));
}

RowOutcome saveWithWarnings(const QString &path, const QByteArray &encoded,
                            const QStringList &leftOut)
{
    RowOutcome outcome = save(path, encoded);
    addLeftOut(&outcome, leftOut);
    return outcome;
}

// The metadata goes into the encoded image before it is written.
RowOutcome writeWithMetadata(const QImage &image, const PlannedRow &row,
                             const PhotoMetadata &metadata)
{
    QByteArray encoded;
    QString error;
    QStringList leftOut;
    if (!encodeWithMetadata(image, row, metadata, &encoded, &leftOut, &error))
        return RowOutcome::make(RowOutcome::WriteFailed, error);
    return saveWithWarnings(row.output, encoded, leftOut);
}

// Every frame of an animated WebP, each resized as it is decoded, into an animated WebP.
RowOutcome resizeAnimation(const PlannedRow &row, int box)
{
    using StreamDecoder::Status;
    WebPStream::Animation animation;
    std::unique_ptr<WebPWriter::Animation> writer;
    const bool lossless = WebPStream::isLossless(row.source);
    const auto addFrame = [&](const QImage &frame, int startMs) {
        if (!writer)
            writer.reset(new WebPWriter::Animation(frame.size(), lossless,
                                                   EncoderQuality::setting("webp", row.quality),
                                                   animation.loopCount, animation.background));
        return writer->add(frame, startMs);
    };
    int endMs = 0;
    QString error;
    const Status status =
        WebPStream::decodeFrames(row.source, WebPStream::transformation(row.source), box,
                                 row.resampling, &animation, addFrame, &endMs, &error);
    if (writer && !writer->error().isEmpty())
        return RowOutcome::make(RowOutcome::WriteFailed, writer->error());
    if (status != Status::Decoded || !writer)
        return RowOutcome::make(status == Status::Damaged ? RowOutcome::Damaged
                                                          : RowOutcome::Unreadable,
                                QString(), error);
    QByteArray encoded;
    QStringList leftOut;
    if (!writer->finish(endMs, PhotoMetadata::read(row.source), &encoded, &leftOut, &error))
        return RowOutcome::make(RowOutcome::WriteFailed, error);
    return saveWithWarnings(row.output, encoded, leftOut);
}

// What browsers make of a GIF frame's delay of 10 ms or less.
int gifDelay(int ms)
{
    return ms > 10 ? ms : 100;
}

// A GIF's frames, each as the toolkit composites it, into an animated WebP, the one output that
// keeps them; lossless, as a GIF's flat colours are best kept.
RowOutcome resizeGifAnimation(const PlannedRow &row, int box, int count)
{
    allowLargestAcceptedImage();
    QImageReader reader(row.source);
    const int loops = reader.loopCount(); // -1 forever, else the repeats after the first play
    std::unique_ptr<WebPWriter::Animation> writer;
    int startMs = 0;
    for (int i = 0; i < count; ++i) {
        const QImage frame = reader.read();
        if (frame.isNull())
            return RowOutcome::make(RowOutcome::Damaged, QString(), reader.errorString());
        const QImage scaled = scaledAs(frame, box, row.resampling);
        if (!writer)
            writer.reset(new WebPWriter::Animation(scaled.size(), true, -1, // lossless: no quality
                                                   loops < 0 ? 0 : loops + 1, 0));
        if (!writer->add(scaled, startMs))
            return RowOutcome::make(RowOutcome::WriteFailed, writer->error());
        startMs += gifDelay(reader.nextImageDelay());
    }
    QByteArray encoded;
    QStringList leftOut;
    QString error;
    if (!writer)
        return RowOutcome::make(RowOutcome::Unreadable);
    if (!writer->finish(startMs, PhotoMetadata(), &encoded, &leftOut, &error))
        return RowOutcome::make(RowOutcome::WriteFailed, error);
    return saveWithWarnings(row.output, encoded, leftOut);
}

// How many images the source holds: its pages, frames or sizes; a TIFF's thumbnails and
// overviews are not pages of their own.
int imageCount(const QString &path, const QByteArray &format)
{
    const StreamDecoder::Format *decoder = StreamDecoder::forFormat(format);
    if (decoder && decoder->imageCount)
        return decoder->imageCount(path);
    return QImageReader(path).imageCount();
}

// A source of several images is written whole where the output keeps them all, and refused
// otherwise: its first image alone would be a silent loss.
RowOutcome processImages(const PlannedRow &row, int box, const QByteArray &format, int count)
{
    if (format == "webp" && row.format == "webp")
        return resizeAnimation(row, box);
    if (format == "gif" && row.format == "webp")
        return resizeGifAnimation(row, box, count);
    RowOutcome outcome =
        RowOutcome::make(RowOutcome::MultipleImages, QString::fromUtf8(row.format));
    outcome.imageCount = count;
    return outcome;
}

} // namespace

QList<QByteArray> writableFormats()
{
    return QImageWriter::supportedImageFormats() + HeifWriter::formats() +
           QList<QByteArray>{"webp"};
}

QList<QByteArray> readableFormats()
{
    return QImageReader::supportedImageFormats() + HeifWriter::formats() +
           QList<QByteArray>{"webp"};
}

bool handlesSuffix(const QString &suffix)
{
    static const QList<QByteArray> readable = readableFormats();
    static const QList<QByteArray> writable = writableFormats();
    const QByteArray format = suffix.toLower().toUtf8();
    return !format.isEmpty() && readable.contains(format) && writable.contains(format);
}

RowOutcome write(const QImage &image, const QString &path, const QByteArray &format)
{
    return writeWithMetadata(image, PlannedRow{QString(), path, format, RowOutcome()},
                             PhotoMetadata());
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

namespace {

// The box for a row that must not enlarge: an image that already fits keeps its own size.
int boxFor(const PlannedRow &row, QImageReader &reader, const QByteArray &format, int box)
{
    if (row.enlarge)
        return box;
    const QSize size = headerSize(reader, row.source, format);
    if (!size.isValid() || size.width() > box || size.height() > box)
        return box;
    return qMax(size.width(), size.height());
}

// Gives the output its source's modification time, read before the output could replace it.
void keepDate(const PlannedRow &row, const FileTime::Stamp &stamp, RowOutcome *outcome)
{
    if (row.keepDate && outcome->status == RowOutcome::Written &&
        !FileTime::setModified(row.output, stamp))
        addLeftOut(outcome, {QCoreApplication::translate("MainWindow", "date de modification")});
}

RowOutcome resizeRow(const PlannedRow &row, int box)
{
    RowOutcome outcome;
    QImage scaled;
    QByteArray format;
    int count = 0;
    {
        // Closed before the output, which may replace the source, is written.
        QImageReader reader(row.source);
        reader.setAutoTransform(true);
        format = StreamDecoder::detectFormat(row.source, reader);
        if (refusedUpFront(reader, row.source, format, &outcome))
            return outcome;
        box = boxFor(row, reader, format, box);
        count = imageCount(row.source, format);
        if (count <= 1)
            scaled = decodeAndScale(reader, row.source, format, box, row.resampling, &outcome);
    }
    if (count > 1)
        return processImages(row, box, format, count);
    if (scaled.isNull())
        return outcome;
    return writeWithMetadata(scaled, row, PhotoMetadata::read(row.source));
}

} // namespace

RowOutcome processRow(const PlannedRow &row, int box)
{
    if (row.outcome.status != RowOutcome::Pending)
        return row.outcome;
    const FileTime::Stamp sourceTime =
        row.keepDate ? FileTime::modified(row.source) : FileTime::Stamp();
    RowOutcome outcome = resizeRow(row, box);
    keepDate(row, sourceTime, &outcome);
    return outcome;
}

} // namespace ImageResizer
