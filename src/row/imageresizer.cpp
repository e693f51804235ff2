#include "row/imageresizer.h"

#include "colour/srgb.h"
#include "formats/registry.h"
#include "formats/toolkitcodec.h"
#include "resample/geometry.h"
#include "resample/imagecopy.h"
#include "resample/wholeimage.h"
#include "row/sizelimit.h"
#include "system/atomicfile.h"
#include "system/filetime.h"
#include "system/sourcefile.h"

#include <QColorSpace>
#include <QFileInfo>
#include <QImageReader>

#include <memory>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace ImageResizer {

namespace {

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

// Refuses what must not be decoded at all: a source that cannot be opened, what the format's
// decoder refuses, or an image larger than MaxPixels.
bool refusedUpFront(const SourceFile &source, const Formats::Decoder *decoder, RowOutcome *outcome)
{
    if (!source.isOpen()) {
        // The toolkit's words for a file it cannot open, as rows have always given them.
        QImageReader reader(source.path());
        reader.read();
        *outcome = RowOutcome::make(RowOutcome::Unreadable, reader.errorString());
        return true;
    }
    if (decoder->refusal() != Formats::Status::Decoded) {
        *outcome = RowOutcome::make(rowStatus(decoder->refusal()), decoder->refusalWords());
        return true;
    }
    const QSize size = decoder->header().upright();
    if (size.isValid() && qint64(size.width()) * size.height() > ToolkitCodec::MaxPixels) {
        *outcome = RowOutcome::make(RowOutcome::TooLarge);
        outcome->imageSize = size;
        return true;
    }
    return false;
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

// Decodes what refusedUpFront() let through.
QImage decodeAndScale(Formats::Decoder *decoder, const Target &target, RowOutcome *outcome,
                      bool srgb = false)
{
    QImage scaled;
    QString words;
    decoder->setInksToSrgb(srgb);
    const Formats::Status status = decoder->decode(target, &scaled, &words);
    if (status != Formats::Status::Decoded) {
        *outcome = RowOutcome::make(rowStatus(status), words);
        return QImage();
    }
    if (scaled.isNull())
        *outcome = RowOutcome::make(RowOutcome::Unreadable);
    dropForeignProfile(&scaled);
    return scaled;
}

} // namespace

QImage loadScaled(const QString &path, int box, RowOutcome *outcome, Resampling resampling)
{
    const SourceFile source(path);
    const std::unique_ptr<Formats::Decoder> decoder =
        source.isOpen() ? Formats::open(source) : nullptr;
    if (refusedUpFront(source, decoder.get(), outcome))
        return QImage();
    return decodeAndScale(decoder.get(), Target(box, resampling), outcome);
}

qint64 memoryEstimate(const QString &path, int box)
{
    return memoryEstimate(path, box, QByteArray());
}

qint64 memoryEstimate(const QString &path, int box, const QByteArray &outputFormat,
                      Resampling resampling, qint64 maxBytes)
{
    const SourceFile source(path);
    const std::unique_ptr<Formats::Decoder> decoder =
        source.isOpen() ? Formats::open(source) : nullptr;
    RowOutcome refused;
    if (refusedUpFront(source, decoder.get(), &refused))
        return 0;
    const Target target(box, resampling);
    const qint64 decoding = decoder->memoryEstimate(target);
    // The output is encoded in memory before it is written: a photo takes at most two bytes a
    // pixel there, whatever the format, beside what the output's encoder holds.
    const QSize size = decoder->header().upright();
    const QSize out = fitInSquare(size.isValid() ? size : QSize(1, 1), box);
    const Formats::Writer &writer = Formats::writerFor(outputFormat);
    qint64 encoder = writer.memoryEstimate ? writer.memoryEstimate(out) : 0;
    // An animation decoded beside its writer, where the decoder's own estimate leaves it out.
    const qint64 frames = decoder->framesEstimate();
    if (frames > 0 && writer.animationEstimate && size.isValid())
        encoder += frames + writer.animationEstimate(out);
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
void addLeftOut(RowOutcome *outcome, const LeftOuts &leftOut)
{
    if (outcome->status == RowOutcome::Written)
        outcome->leftOut += leftOut;
}

RowOutcome saveWithWarnings(const QString &path, const QByteArray &encoded, const LeftOuts &leftOut)
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
        if (fitted.failed)
            return RowOutcome::encodeFailed(fitted.error.words, fitted.error.outOfMemory);
        RowOutcome outcome = saveWithWarnings(row.output, fitted.bytes, fitted.leftOut);
        noteLimit(row, fitted, image.size(), &outcome);
        return outcome;
    }
    QByteArray encoded;
    Formats::EncodeError error;
    LeftOuts leftOut;
    if (!writer.encode(image, request, metadata, &encoded, &leftOut, &error))
        return RowOutcome::encodeFailed(error.words, error.outOfMemory);
    RowOutcome outcome = saveWithWarnings(row.output, encoded, leftOut);
    outcome.encodes = 1;
    return outcome;
}

// Every frame of a source of several, each resized as it is decoded, into the output's
// animation writer; `*encoded` holds the file, a failed outcome what went wrong.
RowOutcome encodeAnimation(const PlannedRow &row, int box, Formats::Decoder *decoder,
                           const Formats::Writer &writer, QByteArray *encoded, LeftOuts *leftOut,
                           QSize *pixels)
{
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
    int endMs = 0;
    QString error;
    const Formats::Status status =
        decoder->decodeFrames(Target(box, row.resampling), &animation, addFrame, &endMs, &error);
    if (frames && !frames->error().isEmpty())
        return RowOutcome::encodeFailed(frames->error());
    if (status != Formats::Status::Decoded || !frames)
        return RowOutcome::make(status == Formats::Status::Damaged ? RowOutcome::Damaged
                                                                   : RowOutcome::Unreadable,
                                error);
    if (!frames->finish(endMs, decoder->metadata().filtered(row.metadata), encoded, leftOut,
                        &error))
        return RowOutcome::encodeFailed(error);
    *pixels = firstFrame;
    return RowOutcome();
}

// An animation encoded whole, ready to be written.
struct EncodedAnimation
{
    RowOutcome failed; // Pending where it was encoded
    QByteArray bytes;
    LeftOuts leftOut;
    QSize asked;
    SizeLimit::Encoded fitted;
};

// Under a limit an animation keeps its frames' coding and loses pixels, each time decoded
// again at a smaller box.
EncodedAnimation encodeAnimationWithin(const PlannedRow &row, int box, Formats::Decoder *decoder,
                                       const Formats::Writer &writer)
{
    EncodedAnimation result;
    QSize pixels;
    for (int tried = box;;
         tried = SizeLimit::smallerBox(tried, result.bytes.size(), row.maxBytes)) {
        result.bytes.clear();
        result.leftOut.clear();
        result.failed =
            encodeAnimation(row, tried, decoder, writer, &result.bytes, &result.leftOut, &pixels);
        if (result.failed.status != RowOutcome::Pending)
            return result;
        ++result.fitted.encodes;
        if (!result.asked.isValid())
            result.asked = pixels;
        result.fitted.fits = result.bytes.size() <= row.maxBytes;
        if (row.maxBytes <= 0 || result.fitted.fits || tried <= SizeLimit::SmallestSide)
            break;
    }
    result.fitted.pixels = pixels;
    return result;
}

RowOutcome saveAnimation(const PlannedRow &row, EncodedAnimation *encoded)
{
    if (encoded->failed.status != RowOutcome::Pending)
        return encoded->failed;
    RowOutcome outcome = saveWithWarnings(row.output, encoded->bytes, encoded->leftOut);
    if (row.maxBytes > 0)
        noteLimit(row, encoded->fitted, encoded->asked, &outcome);
    return outcome;
}

// A source of several images is written whole where the output keeps them all, and refused
// otherwise: its first image alone would be a silent loss.
EncodedAnimation encodeImages(const PlannedRow &row, int box, Formats::Decoder *decoder, int count)
{
    const Formats::Writer &writer = Formats::writerFor(row.format);
    if (decoder->decodesFrames() && writer.startAnimation)
        return encodeAnimationWithin(row, box, decoder, writer);
    EncodedAnimation refused;
    refused.failed = RowOutcome::make(RowOutcome::MultipleImages);
    refused.failed.suffix = QString::fromUtf8(row.format);
    refused.failed.imageCount = count;
    return refused;
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
int boxFor(const PlannedRow &row, const Formats::Header &header, int box)
{
    if (row.enlarge)
        return box;
    const QSize size = header.upright();
    if (!size.isValid() || size.width() > box || size.height() > box)
        return box;
    return qMax(size.width(), size.height());
}

// Gives the output its source's modification time, read before the output could replace it.
void keepDate(const PlannedRow &row, const FileTime::Stamp &stamp, RowOutcome *outcome)
{
    if (row.keepDate && outcome->status == RowOutcome::Written &&
        !FileTime::setModified(row.output, stamp))
        addLeftOut(outcome, {LeftOut::ModificationDate});
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

// Converts the reduced image to sRGB through the source's own description: its profile's bytes
// where the container gave them, else the pixels' profile (an nclx's equivalent among them).
void toSrgb(QImage *image, PhotoMetadata *metadata, QList<RowOutcome::Note> *notes)
{
    const PhotoMetadata::Record &record = metadata->record();
    if (record.cicp && record.cicp->isHdr()) {
        notes->append(RowOutcome::Note::HdrColoursKept);
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
        notes->append(RowOutcome::Note::ProfileUnreadable);
        break;
    case Srgb::Result::Unchanged:
        break;
    }
}

// The source's gain map decoded, upright and in proportion to the reduced picture, for the
// output's writer; one that does not decode whole is left out, with what declares it.
PhotoMetadata withGainMapPixels(const PhotoMetadata &metadata, Formats::Decoder *decoder,
                                const QSize &output, Resampling resampling)
{
    const GainMap &map = metadata.record().gainMap;
    if (!map.readable())
        return metadata;
    const std::unique_ptr<Formats::Decoder> mapDecoder = decoder->gainMap();
    QImage image;
    QString words;
    if (mapDecoder && mapDecoder->refusal() == Formats::Status::Decoded)
        mapDecoder->decode(Target(map.boxFor(decoder->header().upright(), output), resampling),
                           &image, &words);
    if (image.isNull())
        return metadata.withoutGainMap();
    return metadata.withGainMapImage(image, output,
                                     [resampling](const QImage &map, const QSize &size) {
                                         return resampled(map, size, resampling);
                                     });
}

// What a row reads of its source before the source is closed: the output, which may replace
// it, is written only once it is.
struct Decoded
{
    RowOutcome outcome;
    QImage scaled;
    PhotoMetadata metadata;
    bool lossless = false;
    std::unique_ptr<EncodedAnimation> animation;
};

Decoded decodeRow(const PlannedRow &row, int box)
{
    Decoded decoded;
    const SourceFile source(row.source);
    const std::unique_ptr<Formats::Decoder> decoder =
        source.isOpen() ? Formats::open(source) : nullptr;
    if (refusedUpFront(source, decoder.get(), &decoded.outcome))
        return decoded;
    box = boxFor(row, decoder->header(), box);
    const int count = decoder->imageCount();
    if (count > 1) {
        decoded.animation =
            std::make_unique<EncodedAnimation>(encodeImages(row, box, decoder.get(), count));
        return decoded;
    }
    decoded.scaled =
        decodeAndScale(decoder.get(), Target(box, row.resampling), &decoded.outcome, row.srgb);
    if (decoded.scaled.isNull())
        return decoded;
    decoded.lossless = decoder->isLossless();
    const bool keepsGainMap = Formats::writerFor(row.format).can.gainMap;
    decoded.metadata = withGainMapPixels(decoder->metadata().filtered(row.metadata, keepsGainMap),
                                         decoder.get(), decoded.scaled.size(), row.resampling);
    return decoded;
}

RowOutcome resizeRow(const PlannedRow &row, int box)
{
    Decoded decoded = decodeRow(row, box);
    if (decoded.animation)
        return saveAnimation(row, decoded.animation.get());
    if (decoded.scaled.isNull())
        return decoded.outcome;
    QList<RowOutcome::Note> notes;
    if (row.srgb)
        toSrgb(&decoded.scaled, &decoded.metadata, &notes);
    RowOutcome outcome = writeWithMetadata(textsKept(decoded.scaled, row.metadata), row,
                                           decoded.metadata, decoded.lossless);
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
