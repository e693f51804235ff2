#include "row/rowread.h"

#include "row/carry.h"
#include "row/photo.h"

namespace RowRead {

namespace {

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

} // namespace

QVector<bool> copies(Photo &photo, const PlannedRow &row, const Formats::Writer &writer, Read *read)
{
    const QVector<Render::Shape> shapes = Render::shapes(photo, row.options.geometry, row.sizes());
    QVector<bool> needed(shapes.size(), false);
    read->ready.resize(row.outputs.size());
    for (int i = 0; i < shapes.size(); ++i) {
        Ready &ready = read->ready[i];
        ready.failed = row.outputs.at(i).outcome;
        if (ready.failed.status != RowOutcome::Pending)
            continue;
        if (Copy::copied(photo, row.options, writer, shapes.at(i).size, &ready.copied))
            ready.failed = ready.copied.failed;
        else
            needed[i] = true;
    }
    return needed;
}

void fill(Photo &photo, const PlannedRow &row, const Formats::Writer &writer,
          const Render::Pixels &pixels, const QVector<bool> &needed, Read *read)
{
    const PhotoMetadata metadata = Carry::metadataFor(photo, row.options.carrying, writer);
    read->lossless = pixels.lossless;
    for (int i = 0; i < needed.size(); ++i) {
        if (!needed.at(i))
            continue;
        Ready &ready = read->ready[i];
        ready.failed = pixels.failed;
        ready.image = pixels.images.at(i);
        if (!ready.image.isNull())
            ready.metadata = Carry::withGainMap(metadata, pixels.gainMap, ready.image.size(),
                                                row.options.geometry.resampling);
    }
}

// A still photo: the outputs copied as they are where they may be, the others' pixels from
// one decode.
Read read(Photo &photo, const PlannedRow &row, const Formats::Writer &writer)
{
    Read read;
    if (photo.imageCount() > 1) {
        read.ready.resize(row.outputs.size());
        readImages(photo, row, writer, &read);
        return read;
    }
    const QVector<bool> needed = copies(photo, row, writer, &read);
    if (!needed.contains(true))
        return read;
    const OutputOptions &options = row.options;
    const PhotoMetadata metadata = Carry::metadataFor(photo, options.carrying, writer);
    const Render::Pixels pixels = Render::pixels(
        photo, options.geometry, Render::shapes(photo, options.geometry, row.sizes()), needed,
        options.carrying.srgb, metadata.record().gainMap.readable());
    fill(photo, row, writer, pixels, needed, &read);
    return read;
}

Made make(const PlannedRow &row, const Formats::Writer &writer, const Ready &ready, bool lossless)
{
    Made made;
    if (!ready.copied.bytes.isEmpty()) {
        made.kind = Made::Copied;
        made.bytes = ready.copied.bytes;
        made.leftOut = ready.copied.leftOut;
        made.notes.append(ready.copied.note);
        return made;
    }
    if (ready.isAnimation) {
        made.kind = Made::Animation;
        made.encoded = ready.animation;
    } else {
        QImage image = ready.image;
        PhotoMetadata metadata = ready.metadata;
        if (row.options.carrying.srgb)
            Carry::toSrgb(&image, &metadata, &made.notes);
        made.encoded = Encode::still(Carry::textsKept(image, row.options.carrying.metadata),
                                     row.options.encoding, writer, metadata, lossless);
    }
    made.failed = made.encoded.failed;
    made.bytes = made.encoded.bytes;
    made.leftOut = made.encoded.leftOut;
    return made;
}

} // namespace RowRead
