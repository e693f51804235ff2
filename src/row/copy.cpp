#include "row/copy.h"

#include "row/photo.h"
#include "system/sourcefile.h"

namespace Copy {

namespace {

// A file written out as it is must decode whole, at the least cost its decoder has: damage is
// refused, as it is where the photo is decoded, rather than copied as a success.
bool damaged(Photo &photo, RowOutcome *refused)
{
    Formats::Decoder &probe = photo.decoder();
    QImage image;
    QString words;
    const Formats::Status status = probe.decode(Target(8, Resampling::Smooth), &image, &words);
    if (status == Formats::Status::Decoded && !image.isNull())
        return false;
    const RowOutcome::Status row = status == Formats::Status::Damaged     ? RowOutcome::Damaged
                                   : status == Formats::Status::Cancelled ? RowOutcome::NotStarted
                                                                          : RowOutcome::Unreadable;
    *refused = RowOutcome::make(row, words.isEmpty() ? probe.refusalWords() : words);
    if (status == Formats::Status::Damaged)
        refused->damage = probe.damage();
    return true;
}

// The bytes of the copy, turn or transcode; empty where the writer would not make them.
void take(Photo &photo, const Formats::Writer &writer, bool transcodes, const QSize &size,
          Copied *copied)
{
    const SourceFile &source = photo.source();
    const QImageIOHandler::Transformations transform = photo.header().transform;
    if (transcodes) {
        if (writer.transcodeLossless(source, photo.metadata(), size, &copied->bytes,
                                     &copied->leftOut))
            copied->note = RowOutcome::Note::Transcoded;
    } else if (transform == QImageIOHandler::TransformationNone) {
        copied->bytes = source.all();
    } else if (writer.turnLossless && writer.turnLossless(source.all(), transform, photo.metadata(),
                                                          size, &copied->bytes, &copied->leftOut)) {
        copied->note = RowOutcome::Note::TurnedLossless;
    }
}

} // namespace

bool copied(Photo &photo, const OutputOptions &options, const Formats::Writer &writer,
            const QSize &size, Copied *copied)
{
    const Formats::Header &header = photo.header();
    if (!options.keepsPhoto(header.upright(), size) || photo.imageCount() != 1)
        return false;
    const SourceFile &source = photo.source();
    const bool whole = writer.isWholeFile && writer.isWholeFile(source);
    const bool transcodes = !whole && writer.transcodes && writer.transcodes(source) &&
                            header.transform == QImageIOHandler::TransformationNone &&
                            !photo.metadata().record().gainMap.present();
    if (!whole && !transcodes)
        return false;
    if (damaged(photo, &copied->failed))
        return true;
    take(photo, writer, transcodes, size, copied);
    const qint64 limit = options.encoding.maxBytes;
    if (!copied->bytes.isEmpty() && (limit <= 0 || copied->bytes.size() <= limit))
        return true;
    *copied = Copied();
    return false;
}

} // namespace Copy
