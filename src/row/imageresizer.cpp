#include "row/imageresizer.h"

#include "colour/srgb.h"
#include "formats/registry.h"
#include "formats/toolkitcodec.h"
#include "resample/framing.h"
#include "resample/geometry.h"
#include "resample/imagecopy.h"
#include "resample/subject.h"
#include "resample/wholeimage.h"
#include "row/outputshape.h"
#include "row/sizelimit.h"
#include "system/atomicfile.h"
#include "system/filetime.h"
#include "system/sourcefile.h"
#include "system/workercores.h"

#include <QColorSpace>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>

#include <cmath>
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
    case Formats::Status::Cancelled:
        return RowOutcome::NotStarted;
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
        outcome->damage = decoder->damage();
        return true;
    }
    // The picture itself, then what the library allocates beside it on the way.
    for (const QSize &size : {decoder->header().upright(), decoder->header().largest}) {
        if (size.isValid() && qint64(size.width()) * size.height() > ToolkitCodec::MaxPixels) {
            *outcome = RowOutcome::make(RowOutcome::TooLarge);
            outcome->imageSize = size;
            return true;
        }
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
        if (status == Formats::Status::Damaged)
            outcome->damage = decoder->damage();
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
    const QImage scaled = decodeAndScale(decoder.get(), Target(box, resampling), outcome);
    if (!source.changed())
        return scaled;
    *outcome = RowOutcome::make(RowOutcome::Changed);
    return QImage();
}

qint64 memoryEstimate(const QString &path, int box)
{
    return memoryEstimate(path, box, QByteArray());
}

qint64 memoryEstimate(const QString &path, int box, const QByteArray &outputFormat,
                      Resampling resampling, qint64 maxBytes)
{
    PlannedRow row;
    row.source = path;
    row.format = outputFormat;
    row.resampling = resampling;
    row.maxBytes = maxBytes;
    return memoryEstimate(row, box);
}

namespace {

// What one output takes beside the decode: the output is encoded in memory before it is
// written, a photo taking at most two bytes a pixel there whatever the format, beside what the
// encoder holds; under a size limit, the best encode kept beside the one being tried, and a
// copy of the reduced image with fewer pixels.
qint64 outputEstimate(const QSize &out, const Formats::Writer &writer, qint64 maxBytes)
{
    const qint64 encoder = writer.memoryEstimate ? writer.memoryEstimate(out) : 0;
    const qint64 outPixels = qint64(out.width()) * out.height();
    const qint64 retries = maxBytes > 0 ? 2 * qMin(maxBytes, outPixels * 2) + outPixels * 8 : 0;
    return outPixels * 2 + encoder + retries;
}

qint64 estimateOpened(const PlannedRow &row, int box, Formats::Decoder *decoder)
{
    const QSize size = decoder->header().upright();
    const QSize upright = size.isValid() ? size : QSize(1, 1);
    const Formats::Writer &writer = Formats::writerFor(row.format);
    OutputShape::Plan largest = OutputShape::planFor(row, size, box);
    QSize out = largest.output(upright);
    qint64 others = 0;
    for (const PlannedRow::Extra &extra : row.extras) {
        const OutputShape::Plan plan = OutputShape::planFor(row, size, extra.box);
        const QSize extraOut = plan.output(upright);
        // Every output is held, four bytes a pixel, until the source is closed.
        others += outputEstimate(extraOut, writer, row.maxBytes) +
                  qint64(extraOut.width()) * extraOut.height() * 4;
        if (qint64(extraOut.width()) * extraOut.height() > qint64(out.width()) * out.height()) {
            largest = plan;
            out = extraOut;
        }
    }
    qint64 total =
        decoder->memoryEstimate(largest.target) + outputEstimate(out, writer, row.maxBytes);
    // The frame the subject decides, cut out of the decoded photo.
    if (largest.subjectFrame.isValid())
        total += qint64(out.width()) * out.height() * 4;
    // An animation decoded beside its writer, where the decoder's own estimate leaves it out.
    const qint64 frames = decoder->framesEstimate();
    if (frames > 0 && writer.animationEstimate && size.isValid())
        total += frames + writer.animationEstimate(out);
    return total + others;
}

} // namespace

qint64 memoryEstimate(const PlannedRow &row, int box)
{
    return memoryCosts(row, box, 1).oneCore;
}

MemoryCosts memoryCosts(const PlannedRow &row, int box, int cores)
{
    const SourceFile source(row.source);
    const std::unique_ptr<Formats::Decoder> decoder =
        source.isOpen() ? Formats::open(source) : nullptr;
    RowOutcome refused;
    if (refusedUpFront(source, decoder.get(), &refused))
        return {};
    MemoryCosts costs;
    costs.oneCore = costs.alone = estimateOpened(row, box, decoder.get());
    if (cores > 1) {
        const WorkerCores::Scope scope(cores, 0);
        costs.alone = estimateOpened(row, box, decoder.get());
    }
    return costs;
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

// Frames are cut centred: the subject is looked for in a still photo only.
Target framesTarget(const PlannedRow &row, const QSize &upright, int box)
{
    PlannedRow centred = row;
    centred.subject = false;
    return OutputShape::planFor(centred, upright, box).target;
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
    const Formats::Status status = decoder->decodeFrames(
        framesTarget(row, decoder->header().upright(), box), &animation, addFrame, &endMs, &error);
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
    PlannedRow row;
    row.output = path;
    row.format = format;
    return writeWithMetadata(image, row, PhotoMetadata(), false);
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

// Gives the output its source's modification time, read before the output could replace it.
void keepDate(const PlannedRow &row, const QString &output, const FileTime::Stamp &stamp,
              RowOutcome *outcome)
{
    if (row.keepDate && outcome->status == RowOutcome::Written &&
        !FileTime::setModified(output, stamp))
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

// One output of a row: where it goes and how it is cut and sized.
struct Output
{
    QString path;
    OutputShape::Plan plan;
    QSize size;         // the upright output's
    RowOutcome planned; // Pending unless refused before any image is read
};

QVector<Output> outputsOf(const PlannedRow &row, const QSize &upright, int box)
{
    QVector<Output> outputs;
    outputs.append({row.output, OutputShape::planFor(row, upright, box), QSize(), row.outcome});
    for (const PlannedRow::Extra &extra : row.extras)
        outputs.append(
            {extra.output, OutputShape::planFor(row, upright, extra.box), QSize(), extra.outcome});
    for (Output &output : outputs)
        output.size = output.plan.output(upright);
    return outputs;
}

// What one output has to be written from, once the source is closed.
struct Ready
{
    RowOutcome failed; // Pending where there is something to write
    QImage image;
    PhotoMetadata metadata;
    QByteArray bytes; // written as they are: the source's own, or turned without loss
    LeftOuts leftOut;
    RowOutcome::Note note = RowOutcome::Note::CopiedAsIs;

    bool needsPixels() const { return failed.status == RowOutcome::Pending && bytes.isEmpty(); }
};

// A file written out as it is must decode whole, at the least cost its decoder has: damage is
// refused, as it is where the photo is decoded, rather than copied as a success.
bool damaged(const SourceFile &source, RowOutcome *refused)
{
    const std::unique_ptr<Formats::Decoder> probe = Formats::open(source);
    QImage image;
    QString words;
    const Formats::Status status =
        probe->refusal() != Formats::Status::Decoded
            ? probe->refusal()
            : probe->decode(Target(8, Resampling::Smooth), &image, &words);
    if (status == Formats::Status::Decoded && !image.isNull())
        return false;
    *refused = RowOutcome::make(status == Formats::Status::Decoded ? RowOutcome::Unreadable
                                                                   : rowStatus(status),
                                words.isEmpty() ? probe->refusalWords() : words);
    if (status == Formats::Status::Damaged)
        refused->damage = probe->damage();
    return true;
}

// Where coding the photo again would only lose quality, the source's own bytes, the source
// turned without loss, or another format's coding taken over as it is (a JPEG's coefficients
// into JPEG XL): nothing to reduce, cut, convert or leave out, and within the limit.
bool unchanged(const PlannedRow &row, const SourceFile &source, Formats::Decoder *decoder,
               const Output &output, Ready *ready)
{
    const Formats::Header &header = decoder->header();
    const Formats::Writer &writer = Formats::writerFor(row.format);
    if (row.enlarge || row.frame != Frame::Whole || row.srgb || row.metadata != MetadataKeep::All ||
        output.size != header.upright() || decoder->imageCount() != 1)
        return false;
    const bool whole = writer.isWholeFile && writer.isWholeFile(source);
    const bool transcodes = !whole && writer.transcodes && writer.transcodes(source) &&
                            header.transform == QImageIOHandler::TransformationNone &&
                            !decoder->metadata().record().gainMap.present();
    if (!whole && !transcodes)
        return false;
    if (damaged(source, &ready->failed))
        return true;
    if (transcodes) {
        if (writer.transcodeLossless(source, decoder->metadata(), output.size, &ready->bytes,
                                     &ready->leftOut))
            ready->note = RowOutcome::Note::Transcoded;
    } else if (header.transform == QImageIOHandler::TransformationNone) {
        ready->bytes = source.all();
    } else if (writer.turnLossless &&
               writer.turnLossless(source.all(), header.transform, decoder->metadata(), output.size,
                                   &ready->bytes, &ready->leftOut)) {
        ready->note = RowOutcome::Note::TurnedLossless;
    }
    if (!ready->bytes.isEmpty() && (row.maxBytes <= 0 || ready->bytes.size() <= row.maxBytes))
        return true;
    *ready = Ready();
    return false;
}

// The output decoded first: the largest of those that need pixels, the others made from it.
int largestToDecode(const QVector<Output> &outputs, const QVector<Ready> &ready)
{
    int largest = -1;
    qint64 pixels = -1;
    for (int i = 0; i < outputs.size(); ++i) {
        const qint64 area = qint64(outputs.at(i).size.width()) * outputs.at(i).size.height();
        if (ready.at(i).needsPixels() && area > pixels) {
            largest = i;
            pixels = area;
        }
    }
    return largest;
}

// The gain map's box for an output of `output` pixels showing `part` of the picture.
int gainMapBox(const GainMap &map, const QSize &upright, const QRectF &part, const QSize &output)
{
    if (part == QRectF(0, 0, 1, 1))
        return map.boxFor(upright, output);
    const QSize shown = Framing::partPixels(part, upright);
    const QSize mapShown = Framing::partPixels(part, map.size);
    const double scale =
        qMax(double(output.width()) / shown.width(), double(output.height()) / shown.height());
    return qMax(1, int(std::lround(qMax(mapShown.width(), mapShown.height()) * scale)));
}

// The source's gain map decoded, upright, showing what the picture shows in proportion to its
// largest output; a null image where it does not decode whole.
QImage gainMapPixels(const GainMap &map, Formats::Decoder *decoder, const QSize &output,
                     Resampling resampling, const QRectF &part)
{
    const std::unique_ptr<Formats::Decoder> mapDecoder = decoder->gainMap();
    QImage image;
    QString words;
    const QSize upright = decoder->header().upright();
    if (mapDecoder && mapDecoder->refusal() == Formats::Status::Decoded)
        mapDecoder->decode(Target(gainMapBox(map, upright, part, output), resampling, part), &image,
                           &words);
    return image;
}

PhotoMetadata withGainMap(const PhotoMetadata &metadata, const QImage &map, const QSize &output,
                          Resampling resampling)
{
    if (!metadata.record().gainMap.readable())
        return metadata;
    if (map.isNull())
        return metadata.withoutGainMap();
    return metadata.withGainMapImage(map, output,
                                     [resampling](const QImage &map, const QSize &size) {
                                         return resampled(map, size, resampling);
                                     });
}

// What a row reads of its source before the source is closed: the outputs, which may replace
// it, are written only once it is.
struct Decoded
{
    RowOutcome outcome; // where the source was refused whole
    QVector<Ready> ready;
    bool lossless = false;
    std::unique_ptr<EncodedAnimation> animation;
};

// Decodes the largest output once and makes every other from it.
void decodeOutputs(const PlannedRow &row, Formats::Decoder *decoder, const QVector<Output> &outputs,
                   Decoded *decoded)
{
    const int largest = largestToDecode(outputs, decoded->ready);
    const Output &first = outputs.at(largest);
    RowOutcome failed;
    QImage image = decodeAndScale(decoder, first.plan.target, &failed, row.srgb);
    QRectF part = first.plan.target.part();
    if (!image.isNull() && first.plan.subjectFrame.isValid()) {
        const QRect frame = Subject::frame(image, first.plan.subjectFrame);
        part = Framing::fractions(frame, image.size());
        image = partOf(image, frame);
    }
    decoded->lossless = decoder->isLossless();
    const bool keepsGainMap = Formats::writerFor(row.format).can.gainMap;
    const PhotoMetadata metadata = decoder->metadata().filtered(row.metadata, keepsGainMap);
    const QImage map =
        metadata.record().gainMap.readable() && !image.isNull()
            ? gainMapPixels(metadata.record().gainMap, decoder, image.size(), row.resampling, part)
            : QImage();
    for (int i = 0; i < outputs.size(); ++i) {
        Ready &ready = decoded->ready[i];
        if (!ready.needsPixels())
            continue;
        if (image.isNull()) {
            ready.failed = failed;
            continue;
        }
        const QSize size = outputs.at(i).size;
        ready.image =
            i == largest || size == image.size() ? image : resampled(image, size, row.resampling);
        ready.metadata = withGainMap(metadata, map, ready.image.size(), row.resampling);
    }
}

// A source of several images: the row's first output, its others done as rows of their own.
void decodeAnimation(const PlannedRow &row, int box, Formats::Decoder *decoder, Decoded *decoded)
{
    decoded->animation = std::make_unique<EncodedAnimation>();
    if (row.outcome.status == RowOutcome::Pending)
        *decoded->animation = encodeImages(row, box, decoder, decoder->imageCount());
    else
        decoded->animation->failed = row.outcome;
}

Decoded decodeRow(const PlannedRow &row, int box, const SourceFile &source)
{
    Decoded decoded;
    const std::unique_ptr<Formats::Decoder> decoder =
        source.isOpen() ? Formats::open(source) : nullptr;
    if (refusedUpFront(source, decoder.get(), &decoded.outcome))
        return decoded;
    if (decoder->imageCount() > 1) {
        decodeAnimation(row, box, decoder.get(), &decoded);
        return decoded;
    }
    const QVector<Output> outputs = outputsOf(row, decoder->header().upright(), box);
    decoded.ready.resize(outputs.size());
    bool pixelsNeeded = false;
    for (int i = 0; i < outputs.size(); ++i) {
        Ready &ready = decoded.ready[i];
        ready.failed = outputs.at(i).planned;
        if (ready.failed.status == RowOutcome::Pending &&
            !unchanged(row, source, decoder.get(), outputs.at(i), &ready))
            pixelsNeeded = true;
    }
    if (pixelsNeeded)
        decodeOutputs(row, decoder.get(), outputs, &decoded);
    return decoded;
}

// What was read of a file that changed meanwhile may mix two files, or zeros for lost pages:
// nothing of it is written.
Decoded decodeUnchangedRow(const PlannedRow &row, int box)
{
    const SourceFile source(row.source);
    Decoded decoded = decodeRow(row, box, source);
    if (!source.changed())
        return decoded;
    Decoded refused;
    refused.outcome = RowOutcome::make(RowOutcome::Changed);
    return refused;
}

RowOutcome writeReady(const PlannedRow &row, const QString &path, Ready *ready, bool lossless)
{
    if (ready->failed.status != RowOutcome::Pending)
        return ready->failed;
    // Under the destination only while it is there: a destination gone during the run is not
    // made again behind the user's back.
    if (!row.foldersUnder.isEmpty() && QFileInfo(row.foldersUnder).isDir())
        QDir().mkpath(QFileInfo(path).absolutePath());
    if (!ready->bytes.isEmpty()) {
        RowOutcome outcome = saveWithWarnings(path, ready->bytes, ready->leftOut);
        if (outcome.status == RowOutcome::Written)
            outcome.notes.append(ready->note);
        return outcome;
    }
    PlannedRow output = row;
    output.output = path;
    QList<RowOutcome::Note> notes;
    if (row.srgb)
        toSrgb(&ready->image, &ready->metadata, &notes);
    RowOutcome outcome =
        writeWithMetadata(textsKept(ready->image, row.metadata), output, ready->metadata, lossless);
    outcome.notes += notes;
    return outcome;
}

// The row as one of its other outputs alone.
PlannedRow extraAlone(const PlannedRow &row, const PlannedRow::Extra &extra)
{
    PlannedRow alone = row;
    alone.output = extra.output;
    alone.outcome = extra.outcome;
    alone.extras.clear();
    return alone;
}

RowOutcome resizeRow(const PlannedRow &row, int box);

RowOutcome withExtras(const PlannedRow &row, RowOutcome outcome, Decoded *decoded)
{
    for (int i = 0; i < row.extras.size(); ++i) {
        const PlannedRow::Extra &extra = row.extras.at(i);
        if (decoded->animation && extra.outcome.status == RowOutcome::Pending)
            outcome.extras.push_back(resizeRow(extraAlone(row, extra), extra.box));
        else if (i + 1 < decoded->ready.size())
            outcome.extras.push_back(
                writeReady(row, extra.output, &decoded->ready[i + 1], decoded->lossless));
        else
            outcome.extras.push_back(extra.outcome.status == RowOutcome::Pending ? decoded->outcome
                                                                                 : extra.outcome);
    }
    return outcome;
}

RowOutcome resizeRow(const PlannedRow &row, int box)
{
    Decoded decoded = decodeUnchangedRow(row, box);
    RowOutcome outcome = row.outcome.status == RowOutcome::Pending ? decoded.outcome : row.outcome;
    if (decoded.animation)
        outcome = saveAnimation(row, decoded.animation.get());
    else if (!decoded.ready.isEmpty())
        outcome = writeReady(row, row.output, &decoded.ready[0], decoded.lossless);
    return withExtras(row, outcome, &decoded);
}

} // namespace

RowOutcome processRow(const PlannedRow &row, int box)
{
    if (!row.hasWork())
        return row.refusedOutcome();
    const FileTime::Stamp sourceTime =
        row.keepDate ? FileTime::modified(row.source) : FileTime::Stamp();
    const qint64 sourceBytes = QFileInfo(row.source).size();
    RowOutcome outcome = resizeRow(row, box);
    outcome.sourceBytes = sourceBytes;
    keepDate(row, row.output, sourceTime, &outcome);
    for (int i = 0; i < int(outcome.extras.size()) && i < row.extras.size(); ++i) {
        outcome.extras[i].sourceBytes = sourceBytes;
        keepDate(row, row.extras.at(i).output, sourceTime, &outcome.extras[i]);
    }
    return outcome;
}

} // namespace ImageResizer
