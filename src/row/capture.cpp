#include "row/capture.h"

#include "metadata/exifblock.h"
#include "metadata/photometadata.h"
#include "row/photo.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace {

// Wall-clock fields only, whatever zone they were read in.
QDateTime wallClock(const QDateTime &time)
{
    return time.isValid() ? QDateTime(time.date(), time.time(), Qt::UTC) : QDateTime();
}

QDateTime exifDate(const QByteArray &exif)
{
    const QString text = QString::fromLatin1(ExifBlock::dateTaken(exif));
    return QDateTime::fromString(text.left(19), QStringLiteral("yyyy:MM:dd HH:mm:ss"));
}

// XMP's own dates, for containers that carry no EXIF: "2024-07-14T18:03:09" with or without
// seconds and zone, as an attribute or an element.
QDateTime xmpDate(const QByteArray &xmp)
{
    static const QRegularExpression date(
        QStringLiteral("(?:exif:DateTimeOriginal|photoshop:DateCreated|xmp:CreateDate)"
                       "(?:=\"|>)(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d(?::\\d\\d)?)"));
    const QRegularExpressionMatch match = date.match(QString::fromUtf8(xmp));
    if (!match.hasMatch())
        return QDateTime();
    QString text = match.captured(1);
    if (text.size() == 16)
        text += QLatin1String(":00");
    return QDateTime::fromString(text, Qt::ISODate);
}

} // namespace

Capture Capture::from(const PhotoMetadata &metadata, const QString &path)
{
    Capture capture;
    const PhotoMetadata::Record &record = metadata.record();
    capture.taken = wallClock(exifDate(record.exif));
    if (!capture.taken.isValid())
        capture.taken = wallClock(xmpDate(record.xmp));
    capture.takenFromPhoto = capture.taken.isValid();
    if (!capture.takenFromPhoto)
        capture.taken = wallClock(QFileInfo(path).lastModified());
    capture.model = QString::fromUtf8(ExifBlock::model(record.exif));
    return capture;
}

Capture Capture::read(const QString &path)
{
    Photo photo(path);
    return Capture::from(photo.isRefused() ? PhotoMetadata() : photo.metadata(), path);
}
