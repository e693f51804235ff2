#include "row/imageresizer.h"

#include "colour/srgb.h"
#include "formats/registry.h"
#include "formats/toolkitcodec.h"
#include "resample/resampler.h"
#include "resample/sampler.h"
#include "row/sizelimit.h"
#include "system/atomicfile.h"
#include "system/filetime.h"

#include <QColorSpace>
#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>

#include <memory>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace ImageResizer {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

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
    const Formats::Decoder &decoder = Formats::decoderFor(format);
    return decoder.transformation ? decoder.transformation(path) : reader.transformation();
}

RowOutcome::Status rowStatus(Formats::Status status)
{
    switch (status) {
    case Formats::Status::Damaged:
        return RowOutcome::Damaged;
    case Formats::Status::Failed:
        return RowOutcome::Unreadable;
    default:
        return RowOutcome::Pending;
    }
}

// Whether a toolkit decode that failed, or that gave an image, met damaged data: the format's
// own verdict where it has one, else a header read and a failed decode mean damage.
RowOutcome::Status toolkitVerdict(const Formats::Decoder &decoder, bool headerRead, bool decoded)
{
    if (decoder.toolkitVerdict)
        return rowStatus(decoder.toolkitVerdict(headerRead, decoded));
    if (decoded)
        return RowOutcome::Pending;
    return headerRead ? RowOutcome::Damaged : RowOutcome::Unreadable;
}

QImage decodeWithToolkit(QImageReader &reader, const QByteArray &format,
                         QImageIOHandler::Transformations transform, int box, Resampling resampling,
                         RowOutcome *outcome)
{
    ToolkitCodec::allowLargestAcceptedImage();
    const bool ownTransform = transform != reader.transformation();
    reader.setAutoTransform(!ownTransform);
    const bool headerRead = reader.size().isValid();
    const Formats::Decoder &decoder = Formats::decoderFor(format);
    if (decoder.beforeToolkitDecode)
        decoder.beforeToolkitDecode();
    QImage image = reader.read();
    const RowOutcome::Status verdict = toolkitVerdict(decoder, headerRead, !image.isNull());
    if (verdict != RowOutcome::Pending) {
        *outcome = RowOutcome::make(verdict, QString(), reader.errorString());
        return QImage();
    }
    if (ownTransform)
        image = uprightImage(image, transform);
    return sampleFitted(image, box, resampling);
}

// The upright size from the header, by the format's own decoder where the toolkit cannot read
// it; invalid where the header could not be read.
QSize headerSize(QImageReader &reader, const QString &path, const QByteArray &format)
{
    const Formats::Decoder &decoder = Formats::decoderFor(format);
    return decoder.uprightSize ? decoder.uprightSize(path) : uprightSize(reader);
}

// Refuses what must not be decoded at all: what the format's entry refuses, or an image
// larger than MaxPixels.
bool refusedUpFront(QImageReader &reader, const QString &path, const QByteArray &format,
                    RowOutcome *outcome)
{
    const Formats::Decoder &decoder = Formats::decoderFor(format);
    QString detail;
    const RowOutcome::Status refused =
        decoder.refuse ? rowStatus(decoder.refuse(path, &detail)) : RowOutcome::Pending;
    if (refused != RowOutcome::Pending) {
        *outcome = RowOutcome::make(refused, QString(), detail);
        return true;
    }
    const QSize size = headerSize(reader, path, format);
    if (size.isValid() && qint64(size.width()) * size.height() > ToolkitCodec::MaxPixels) {
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

Formats::Status decodeStreamed(const QImageReader &reader, const QString &path,
                               const QByteArray &format, int box, Resampling resampling, bool srgb,
                               QImage *scaled, RowOutcome *outcome)
{
    using Formats::Status;
    const Formats::Decoder &decoder = Formats::decoderFor(format);
    const auto decode =
        srgb && decoder.decodeScaledSrgb ? decoder.decodeScaledSrgb : decoder.decodeScaled;
    if (!decode)
        return Status::NotHandled;
    QString error;
    const Status status =
        decode(path, transformFor(reader, path, format), box, resampling, scaled, &error);
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
                      Resampling resampling, RowOutcome *outcome, bool srgb = false)
{
    QImage scaled;
    if (decodeStreamed(reader, path, format, box, resampling, srgb, &scaled, outcome) ==
        Formats::Status::NotHandled)
        scaled = decodeWithToolkit(reader, format, transformFor(reader, path, format), box,
                                   resampling, outcome);
    if (scaled.isNull() && outcome->status == RowOutcome::Pending)
        *outcome = RowOutcome::make(RowOutcome::Unreadable);
    dropForeignProfile(&scaled);
    return scaled;
}

} // namespace

QImage loadScaled(const QString &path, int box, RowOutcome *outcome, Resampling resampling)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QByteArray format = Formats::detectFormat(path, reader);
    if (refusedUpFront(reader, path, format, outcome))
        return QImage();
    return decodeAndScale(reader, path, format, box, resampling, outcome);
}

qint64 memoryEstimate(const QString &path, int box)
{
    return memoryEstimate(path, box, QByteArray());
}

qint64 memoryEstimate(const QString &path, int box, const QByteArray &outputFormat,
                      Resampling resampling, qint64 maxBytes)
{
    QImageReader reader(path);
    const QByteArray format = Formats::detectFormat(path, reader);
    RowOutcome refused;
    if (refusedUpFront(reader, path, format, &refused))
        return 0;
    const Formats::Decoder &decoder = Formats::decoderFor(format);
    const qint64 streamed =
        decoder.memoryEstimate ? decoder.memoryEstimate(path, box, resampling) : -1;
    const qint64 decoding = streamed >= 0 ? streamed : toolkitEstimate(reader, box, resampling);
    // The output is encoded in memory before it is written: a photo takes at most two bytes a
    // pixel there, whatever the format, beside what the output's encoder holds.
    const QSize size = headerSize(reader, path, format);
    const QSize out = fitInSquare(size.isValid() ? size : QSize(1, 1), box);
    const Formats::Writer &writer = Formats::writerFor(outputFormat);
    qint64 encoder = writer.memoryEstimate ? writer.memoryEstimate(out) : 0;
    // An animation decoded beside its writer, where the decoder's own estimate leaves it out.
    if (decoder.framesEstimate && writer.animationEstimate && size.isValid())
        encoder += decoder.framesEstimate(path, size) + writer.animationEstimate(out);
    // Under a size limit: the best encode kept beside the one being tried, and a copy of the
    // reduced image with fewer pixels.
    const qint64 outPixels = qint64(out.width()) * out.height();
    const qint64 retries = maxBytes > 0 ? 2 * qMin(maxBytes, outPixels * 2) + outPixels * 8 : 0;
    return decoding + outPixels * 2 + encoder + retries;
}

namespace {

RowOutcome save(const QString &path, const QByteArray &bytes)
{
    AtomicFile::Failure failure;
    if (!AtomicFile::write(path, bytes, &failure))
        return RowOutcome::writeFailed(failure.code, failure.systemText);
    return RowOutcome::make(RowOutcome::Written);
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
    outcome.outputBytes = encoded.size();
    return outcome;
}

// What a limit made of a written row.
void noteLimit(const PlannedRow &row, const SizeLimit::Encoded &encoded, const QSize &asked,
               RowOutcome *outcome)
{
    outcome->encodes = encoded.encodes;
    outcome->limitBytes = row.maxBytes;
    outcome->overLimit = !encoded.fits;
    if (encoded.pixels != asked)
        outcome->limitedTo = encoded.pixels;
}

// The metadata goes into the encoded image before it is written, by the output's writer.
RowOutcome writeWithMetadata(const QImage &image, const PlannedRow &row,
                             const PhotoMetadata &metadata, bool sourceLossless)
{
    const Formats::Writer &writer = Formats::writerFor(row.format);
    const Formats::EncodeRequest request{row.format, writer.setting(row.quality), sourceLossless};
    if (row.maxBytes > 0) {
        const SizeLimit::Encoded fitted =
            SizeLimit::encode(image, writer, request, metadata, row.maxBytes);
        if (!fitted.error.isEmpty())
            return RowOutcome::make(RowOutcome::WriteFailed, fitted.error);
        RowOutcome outcome = saveWithWarnings(row.output, fitted.bytes, fitted.leftOut);
        noteLimit(row, fitted, image.size(), &outcome);
        return outcome;
    }
    QByteArray encoded;
    QString error;
    QStringList leftOut;
    if (!writer.encode(image, request, metadata, &encoded, &leftOut, &error))
        return RowOutcome::make(RowOutcome::WriteFailed, error);
    RowOutcome outcome = saveWithWarnings(row.output, encoded, leftOut);
    outcome.encodes = 1;
    return outcome;
}

// Every frame of a source of several, each resized as it is decoded, into the output's
// animation writer; `*encoded` holds the file, a failed outcome what went wrong.
RowOutcome encodeAnimation(const PlannedRow &row, int box, const QByteArray &format,
                           const Formats::Writer &writer, QByteArray *encoded, QStringList *leftOut,
                           QSize *pixels)
{
    const Formats::Decoder &decoder = Formats::decoderFor(format);
    Formats::Animation animation;
    std::unique_ptr<Formats::AnimationWriter> frames;
    QSize firstFrame;
    const auto addFrame = [&](const QImage &frame, int startMs) {
        if (!frames) {
            firstFrame = frame.size();
            frames = writer.startAnimation(frame.size(), animation, writer.setting(row.quality));
        }
        return frames->add(frame, startMs);
    };
    QImageReader reader(row.source);
    int endMs = 0;
    QString error;
    const Formats::Status status =
        decoder.decodeFrames(row.source, transformFor(reader, row.source, format), box,
                             row.resampling, &animation, addFrame, &endMs, &error);
    if (frames && !frames->error().isEmpty())
        return RowOutcome::make(RowOutcome::WriteFailed, frames->error());
    if (status != Formats::Status::Decoded || !frames)
        return RowOutcome::make(status == Formats::Status::Damaged ? RowOutcome::Damaged
                                                                   : RowOutcome::Unreadable,
                                QString(), error);
    if (!frames->finish(endMs, Formats::readMetadata(row.source, format).filtered(row.metadata),
                        encoded, leftOut, &error))
        return RowOutcome::make(RowOutcome::WriteFailed, error);
    *pixels = firstFrame;
    return RowOutcome();
}

// Under a limit an animation keeps its frames' coding and loses pixels, each time decoded
// again at a smaller box.
RowOutcome resizeAnimation(const PlannedRow &row, int box, const QByteArray &format,
                           const Formats::Writer &writer)
{
    QByteArray encoded;
    QStringList leftOut;
    QSize asked, pixels;
    SizeLimit::Encoded fitted;
    for (int tried = box;; tried = SizeLimit::smallerBox(tried, encoded.size(), row.maxBytes)) {
        encoded.clear();
        leftOut.clear();
        const RowOutcome failed =
            encodeAnimation(row, tried, format, writer, &encoded, &leftOut, &pixels);
        if (failed.status != RowOutcome::Pending)
            return failed;
        ++fitted.encodes;
        if (!asked.isValid())
            asked = pixels;
        fitted.fits = encoded.size() <= row.maxBytes;
        if (row.maxBytes <= 0 || fitted.fits || tried <= SizeLimit::SmallestSide)
            break;
    }
    RowOutcome outcome = saveWithWarnings(row.output, encoded, leftOut);
    fitted.pixels = pixels;
    if (row.maxBytes > 0)
        noteLimit(row, fitted, asked, &outcome);
    return outcome;
}

// How many images the source holds: its pages, frames or sizes; a TIFF's thumbnails and
// overviews are not pages of their own.
int imageCount(const QString &path, const QByteArray &format)
{
    const Formats::Decoder &decoder = Formats::decoderFor(format);
    if (decoder.imageCount)
        return decoder.imageCount(path);
    return QImageReader(path).imageCount();
}

// A source of several images is written whole where the output keeps them all, and refused
// otherwise: its first image alone would be a silent loss.
RowOutcome processImages(const PlannedRow &row, int box, const QByteArray &format, int count)
{
    const Formats::Writer &writer = Formats::writerFor(row.format);
    if (Formats::decoderFor(format).decodeFrames && writer.startAnimation)
        return resizeAnimation(row, box, format, writer);
    RowOutcome outcome =
        RowOutcome::make(RowOutcome::MultipleImages, QString::fromUtf8(row.format));
    outcome.imageCount = count;
    return outcome;
}

} // namespace

QList<QByteArray> writableFormats()
{
    return Formats::writableFormats();
}

QList<QByteArray> readableFormats()
{
    return Formats::readableFormats();
}

bool handlesSuffix(const QString &suffix)
{
    static const QList<QByteArray> readable = readableFormats();
    static const QList<QByteArray> writable = writableFormats();
    const QByteArray format = suffix.toLower().toUtf8();
    return !format.isEmpty() && readable.contains(format) &&
           (writable.contains(format) || !Formats::writtenAsFor(format).isEmpty());
}

QByteArray writtenAsFor(const QByteArray &suffix)
{
    return Formats::writtenAsFor(suffix);
}

RowOutcome write(const QImage &image, const QString &path, const QByteArray &format)
{
    return writeWithMetadata(image, PlannedRow{QString(), path, format, RowOutcome()},
                             PhotoMetadata(), false);
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

// The pixels' own texts (PNG text chunks, JPEG comments) as the metadata choice keeps them:
// none, or none that may hold EXIF or XMP, and so a location, beside the record.
QImage textsKept(const QImage &image, MetadataKeep keep)
{
    if (keep == MetadataKeep::All)
        return image;
    return withTexts(image, [keep](const QString &key) {
        const QString lower = key.toLower();
        return keep == MetadataKeep::NoLocation && !lower.contains(QLatin1String("exif")) &&
               !lower.contains(QLatin1String("xmp")) && !lower.contains(QLatin1String("app1"));
    });
}

bool isHdrTransfer(const QByteArray &nclx)
{
    if (nclx.size() < 4)
        return false;
    const int transfer = (uchar(nclx.at(2)) << 8) | uchar(nclx.at(3));
    return transfer == 16 || transfer == 18; // PQ, HLG
}

// Converts the reduced image to sRGB through the source's own description: its profile's bytes
// where the container gave them, else the pixels' profile (an nclx's equivalent among them).
void toSrgb(QImage *image, PhotoMetadata *metadata, QStringList *notes)
{
    const PhotoMetadata::Record &record = metadata->record();
    if (isHdrTransfer(record.nclx)) {
        notes->append(tr("couleurs HDR (PQ ou HLG) laissées telles quelles"));
        return;
    }
    const QByteArray profile = !record.icc.isEmpty()           ? record.icc
                               : image->colorSpace().isValid() ? image->colorSpace().iccProfile()
                                                               : record.profile;
    switch (Srgb::convert(image, profile)) {
    case Srgb::Result::Converted:
        *metadata = metadata->withoutColour();
        break;
    case Srgb::Result::Failed:
        notes->append(tr("profil de couleurs illisible : couleurs non converties en sRGB"));
        break;
    case Srgb::Result::Unchanged:
        break;
    }
}

// The source's gain map decoded, upright and in proportion to the reduced picture, for the
// output's writer; one that does not decode whole is left out, with what declares it.
PhotoMetadata withGainMapPixels(const PhotoMetadata &metadata, const QSize &upright,
                                const QSize &output, Resampling resampling)
{
    const GainMap &map = metadata.record().gainMap;
    if (!map.readable())
        return metadata;
    const bool smooth = resampling == Resampling::Smooth;
    const QImage image = map.decode(map.boxFor(upright, output), smooth);
    if (image.isNull())
        return metadata.withoutGainMap();
    return metadata.withGainMapImage(image, output, smooth);
}

RowOutcome resizeRow(const PlannedRow &row, int box)
{
    RowOutcome outcome;
    QImage scaled;
    QByteArray format;
    QSize upright;
    int count = 0;
    {
        // Closed before the output, which may replace the source, is written.
        QImageReader reader(row.source);
        reader.setAutoTransform(true);
        format = Formats::detectFormat(row.source, reader);
        if (refusedUpFront(reader, row.source, format, &outcome))
            return outcome;
        box = boxFor(row, reader, format, box);
        upright = headerSize(reader, row.source, format);
        count = imageCount(row.source, format);
        if (count <= 1)
            scaled =
                decodeAndScale(reader, row.source, format, box, row.resampling, &outcome, row.srgb);
    }
    if (count > 1)
        return processImages(row, box, format, count);
    if (scaled.isNull())
        return outcome;
    const Formats::Decoder &decoder = Formats::decoderFor(format);
    const bool lossless = decoder.isLossless && decoder.isLossless(row.source);
    const bool keepsGainMap = Formats::writerFor(row.format).can.gainMap;
    PhotoMetadata metadata = withGainMapPixels(
        Formats::readMetadata(row.source, format).filtered(row.metadata, keepsGainMap), upright,
        scaled.size(), row.resampling);
    QStringList notes;
    if (row.srgb)
        toSrgb(&scaled, &metadata, &notes);
    outcome = writeWithMetadata(textsKept(scaled, row.metadata), row, metadata, lossless);
    outcome.notes += notes;
    return outcome;
}

} // namespace

RowOutcome processRow(const PlannedRow &row, int box)
{
    if (row.outcome.status != RowOutcome::Pending)
        return row.outcome;
    const FileTime::Stamp sourceTime =
        row.keepDate ? FileTime::modified(row.source) : FileTime::Stamp();
    const qint64 sourceBytes = QFileInfo(row.source).size();
    RowOutcome outcome = resizeRow(row, box);
    outcome.sourceBytes = sourceBytes;
    keepDate(row, sourceTime, &outcome);
    return outcome;
}

} // namespace ImageResizer
