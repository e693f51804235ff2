#include "row/imageresizer.h"

#include "formats/registry.h"
#include "row/carry.h"
#include "row/copy.h"
#include "row/encode.h"
#include "row/photo.h"
#include "row/render.h"
#include "row/write.h"

#include <QFileInfo>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace ImageResizer {

RowMemory::Costs memoryCosts(const PlannedRow &row, int cores, std::unique_ptr<Photo> *opened)
{
    auto photo = std::make_unique<Photo>(row.source);
    const RowMemory::Costs costs = RowMemory::costs(*photo, row, cores);
    if (opened)
        *opened = std::move(photo);
    return costs;
}

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

// What one output has to be written from, once the photo is closed: pixels to encode, or bytes
// made already (copied, or an animation's).
struct Ready
{
    RowOutcome failed; // Pending where there is something to write
    QImage image;
    PhotoMetadata metadata;
    Copy::Copied copied;
    Encode::Encoded animation;
    bool isAnimation = false;
};

// What a row reads of its photo before the photo is closed: the outputs, which may replace
// it, are written only once it is.
struct Read
{
    RowOutcome refused; // where the photo was refused whole
    QVector<Ready> ready;
    bool lossless = false;
};

QVector<int> sizesOf(const PlannedRow &row)
{
    QVector<int> sizes;
    for (const PlannedOutput &output : row.outputs)
        sizes.append(output.size);
    return sizes;
}

// A photo of several images: each output's animation, where its format keeps them all; else
// refused, its first image alone being a silent loss.
void readImages(Photo &photo, const PlannedRow &row, const Formats::Writer &writer, Read *read)
{
    for (int i = 0; i < row.outputs.size(); ++i) {
        Ready &ready = read->ready[i];
        ready.failed = row.outputs.at(i).outcome;
        if (ready.failed.status != RowOutcome::Pending)
            continue;
        if (!photo.opened().decodesFrames() || !writer.startAnimation) {
            ready.failed = RowOutcome::make(RowOutcome::MultipleImages);
            ready.failed.suffix = QString::fromUtf8(row.options.encoding.format);
            ready.failed.imageCount = photo.imageCount();
            continue;
        }
        ready.isAnimation = true;
        ready.animation = Encode::animation(photo, row.options, writer, row.outputs.at(i).size);
        ready.failed = ready.animation.failed;
    }
}

// A still photo: the outputs copied as they are where they may be, the others' pixels from
// one decode, with the metadata each carries.
void readStill(Photo &photo, const PlannedRow &row, const Formats::Writer &writer, Read *read)
{
    const OutputOptions &options = row.options;
    const QVector<Render::Shape> shapes = Render::shapes(photo, options.geometry, sizesOf(row));
    QVector<bool> needed(shapes.size(), false);
    for (int i = 0; i < shapes.size(); ++i) {
        Ready &ready = read->ready[i];
        ready.failed = row.outputs.at(i).outcome;
        if (ready.failed.status != RowOutcome::Pending)
            continue;
        if (Copy::copied(photo, options, writer, shapes.at(i).size, &ready.copied))
            ready.failed = ready.copied.failed;
        else
            needed[i] = true;
    }
    if (!needed.contains(true))
        return;
    const PhotoMetadata metadata = Carry::metadataFor(photo, options.carrying, writer);
    const Render::Pixels pixels =
        Render::pixels(photo, options.geometry, shapes, needed, options.carrying.srgb,
                       metadata.record().gainMap.readable());
    read->lossless = pixels.lossless;
    for (int i = 0; i < shapes.size(); ++i) {
        if (!needed.at(i))
            continue;
        Ready &ready = read->ready[i];
        ready.failed = pixels.failed;
        ready.image = pixels.images.at(i);
        if (!ready.image.isNull())
            ready.metadata = Carry::withGainMap(metadata, pixels.gainMap, ready.image.size(),
                                                options.geometry.resampling);
    }
}

// The photo read; nothing of it where it changed meanwhile: what was read may mix two files,
// or zeros for lost pages.
Read readPhoto(const PlannedRow &row, const Formats::Writer &writer, std::unique_ptr<Photo> opened)
{
    Read read;
    if (!opened)
        opened = std::make_unique<Photo>(row.source);
    Photo &photo = *opened;
    if (photo.isRefused()) {
        read.refused = photo.refusal();
    } else {
        read.ready.resize(row.outputs.size());
        if (photo.imageCount() > 1)
            readImages(photo, row, writer, &read);
        else
            readStill(photo, row, writer, &read);
    }
    if (photo.changed()) {
        read.ready.clear();
        read.refused = RowOutcome::make(RowOutcome::Changed);
    }
    return read;
}

RowOutcome written(const PlannedRow &row, const Formats::Writer &writer, const QString &path,
                   Ready *ready, bool lossless)
{
    if (ready->failed.status != RowOutcome::Pending)
        return ready->failed;
    Write::makeFolders(row, path);
    if (!ready->copied.bytes.isEmpty()) {
        RowOutcome outcome = Write::file(path, ready->copied.bytes, ready->copied.leftOut);
        if (outcome.status == RowOutcome::Written)
            outcome.notes.append(ready->copied.note);
        return outcome;
    }
    const qint64 maxBytes = row.options.encoding.maxBytes;
    if (ready->isAnimation) {
        RowOutcome outcome = Write::file(path, ready->animation.bytes, ready->animation.leftOut);
        if (maxBytes > 0)
            Encode::noteLimit(ready->animation, maxBytes, &outcome);
        return outcome;
    }
    QList<RowOutcome::Note> notes;
    if (row.options.carrying.srgb)
        Carry::toSrgb(&ready->image, &ready->metadata, &notes);
    const QImage image = Carry::textsKept(ready->image, row.options.carrying.metadata);
    const Encode::Encoded encoded =
        Encode::still(image, row.options.encoding, writer, ready->metadata, lossless);
    RowOutcome outcome = encoded.failed.status != RowOutcome::Pending
                             ? encoded.failed
                             : Write::file(path, encoded.bytes, encoded.leftOut);
    if (encoded.failed.status == RowOutcome::Pending) {
        if (maxBytes > 0)
            Encode::noteLimit(encoded, maxBytes, &outcome);
        else
            outcome.encodes = 1;
    }
    outcome.notes += notes;
    return outcome;
}

} // namespace

RowOutcome processRow(const PlannedRow &row)
{
    return processRow(row, nullptr);
}

RowOutcome processRow(const PlannedRow &row, std::unique_ptr<Photo> opened)
{
    if (!row.hasWork())
        return row.refusedOutcome();
    const bool keepDate = row.options.carrying.keepDate;
    const FileTime::Stamp sourceTime =
        keepDate ? FileTime::modified(row.source) : FileTime::Stamp();
    const qint64 sourceBytes = QFileInfo(row.source).size();
    // Looked up once: every output of the row is in its format.
    const Formats::Writer &writer = Formats::writerFor(row.options.encoding.format);
    Read read = readPhoto(row, writer, std::move(opened));
    RowOutcome outcome;
    for (int i = 0; i < row.outputs.size(); ++i) {
        const PlannedOutput &output = row.outputs.at(i);
        RowOutcome each = i < read.ready.size()
                              ? written(row, writer, output.path, &read.ready[i], read.lossless)
                          : output.outcome.status == RowOutcome::Pending ? read.refused
                                                                         : output.outcome;
        each.sourceBytes = sourceBytes;
        if (keepDate)
            Write::keepDate(output.path, sourceTime, &each);
        if (i == 0)
            outcome = each;
        else
            outcome.extras.push_back(each);
    }
    return outcome;
}

} // namespace ImageResizer
