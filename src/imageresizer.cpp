#include "imageresizer.h"

#include "jpegstream.h"
#include "sampler.h"

#include <QImageReader>
#include <QImageWriter>
#include <QMutex>
#include <QSaveFile>

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

// A full-size toolkit decode can take hundreds of megabytes: one at a time.
QMutex fullDecode;

QImage decodeWithToolkit(QImageReader &reader, int box, RowOutcome *outcome)
{
    const QMutexLocker lock(&fullDecode);
    const QImage image = reader.read();
    if (image.isNull()) {
        *outcome = RowOutcome::make(RowOutcome::Unreadable, QString(), reader.errorString());
        return QImage();
    }
    return sampleNearest(image, fitInSquare(image.size(), box));
}

} // namespace

QImage loadScaled(const QString &path, int box, RowOutcome *outcome)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize size = uprightSize(reader);
    if (size.isValid() && qint64(size.width()) * size.height() > MaxPixels) {
        *outcome = RowOutcome::make(RowOutcome::TooLarge);
        outcome->imageSize = size;
        return QImage();
    }
    QImage scaled;
    if (reader.format() == "jpeg") {
        QString error;
        switch (JpegStream::decodeScaled(path, reader.transformation(), box, &scaled, &error)) {
        case JpegStream::Status::Decoded:
            return scaled;
        case JpegStream::Status::Failed:
            *outcome = RowOutcome::make(RowOutcome::Unreadable, QString(), error);
            return QImage();
        case JpegStream::Status::Damaged:
            *outcome = RowOutcome::make(RowOutcome::Damaged, QString(), error);
            return QImage();
        case JpegStream::Status::NotHandled:
            break;
        }
    }
    scaled = decodeWithToolkit(reader, box, outcome);
    if (scaled.isNull() && outcome->status == RowOutcome::Pending)
        *outcome = RowOutcome::make(RowOutcome::Unreadable);
    return scaled;
}

RowOutcome write(const QImage &image, const QString &path, const QByteArray &format)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return RowOutcome::make(RowOutcome::WriteFailed, file.errorString());
    QImageWriter writer(&file, format);
    if (!writer.write(image)) {
        file.cancelWriting();
        return RowOutcome::make(RowOutcome::WriteFailed, writer.errorString());
    }
    if (!file.commit())
        return RowOutcome::make(RowOutcome::WriteFailed, file.errorString());
    return RowOutcome::make(RowOutcome::Written);
}

void tuneAllocator()
{
#ifdef __GLIBC__
    // Full-size toolkit decodes stay above the threshold: they go back to the system at once.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
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
    return write(scaled, row.output, row.format);
}

} // namespace ImageResizer
