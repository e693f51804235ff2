#include "row/carry.h"

#include "colour/srgb.h"
#include "resample/imagecopy.h"
#include "resample/wholeimage.h"
#include "row/photo.h"

namespace Carry {

PhotoMetadata metadataFor(Photo &photo, const Carrying &carrying, const Formats::Writer &writer)
{
    return photo.metadata().filtered(carrying.metadata, writer.can.gainMap);
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

void toSrgb(QImage *image, PhotoMetadata *metadata, QList<RowOutcome::Note> *notes)
{
    const PhotoMetadata::Record &record = metadata->record();
    const bool hdr = record.cicp && record.cicp->isHdr();
    switch (Srgb::convertPhoto(image, record.icc, record.profile, hdr)) {
    case Srgb::Result::Converted:
        *metadata = metadata->withoutColour();
        break;
    case Srgb::Result::Failed:
        notes->append(RowOutcome::Note::ProfileUnreadable);
        break;
    case Srgb::Result::HdrKept:
        notes->append(RowOutcome::Note::HdrColoursKept);
        break;
    case Srgb::Result::Unchanged:
        break;
    }
}

} // namespace Carry
