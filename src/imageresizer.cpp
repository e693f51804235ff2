#include "imageresizer.h"

#include "sampler.h"

#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>

namespace ImageResizer {

namespace {

QSize uprightSize(const QImageReader &reader)
{
    const QSize stored = reader.size();
    return reader.transformation().testFlag(QImageIOHandler::TransformationRotate90)
               ? stored.transposed()
               : stored;
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
    const QImage image = reader.read();
    if (image.isNull()) {
        *outcome = RowOutcome::make(RowOutcome::Unreadable, QString(), reader.errorString());
        return QImage();
    }
    const QImage scaled = sampleNearest(image, fitInSquare(image.size(), box));
    if (scaled.isNull())
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
