#include "row/imageresizer.h"

#include "formats/registry.h"
#include "row/carry.h"
#include "row/copy.h"
#include "row/encode.h"
#include "row/photo.h"
#include "row/render.h"
#include "row/rowread.h"
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

// The photo read; nothing of it where it changed meanwhile: what was read may mix two files,
// or zeros for lost pages.
RowRead::Read readPhoto(const PlannedRow &row, const Formats::Writer &writer,
                        std::unique_ptr<Photo> opened)
{
    RowRead::Read read;
    if (!opened)
        opened = std::make_unique<Photo>(row.source);
    Photo &photo = *opened;
    if (photo.isRefused())
        read.refused = photo.refusal();
    else
        read = RowRead::read(photo, row, writer);
    if (photo.changed()) {
        read.ready.clear();
        read.refused = RowOutcome::make(RowOutcome::Changed);
    }
    return read;
}

RowOutcome written(const PlannedRow &row, const Formats::Writer &writer, const QString &path,
                   const RowRead::Ready &ready, bool lossless)
{
    if (ready.failed.status != RowOutcome::Pending)
        return ready.failed;
    Write::makeFolders(row, path);
    const RowRead::Made made = RowRead::make(row, writer, ready, lossless);
    if (made.failed.status != RowOutcome::Pending) {
        RowOutcome failed = made.failed;
        failed.notes += made.notes;
        return failed;
    }
    RowOutcome outcome = Write::file(path, made.bytes, made.leftOut);
    if (made.kind == RowRead::Made::Copied) {
        if (outcome.status == RowOutcome::Written)
            outcome.notes += made.notes;
        return outcome;
    }
    const qint64 maxBytes = row.options.encoding.maxBytes;
    if (maxBytes > 0)
        Encode::noteLimit(made.encoded, maxBytes, &outcome);
    else if (made.kind == RowRead::Made::Still)
        outcome.encodes = 1;
    outcome.notes += made.notes;
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
    const RowRead::Read read = readPhoto(row, writer, std::move(opened));
    RowOutcome outcome;
    for (int i = 0; i < row.outputs.size(); ++i) {
        const PlannedOutput &output = row.outputs.at(i);
        RowOutcome each = i < read.ready.size()
                              ? written(row, writer, output.path, read.ready[i], read.lossless)
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
