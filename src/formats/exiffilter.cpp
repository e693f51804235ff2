#include "formats/exiffilter.h"

namespace ExifFilter {

namespace {

// Larger, the block would not fit in a JPEG's segment: the maker notes go first.
constexpr size_t MaxBlock = 60000;

bool isKept(const Exiv2::Exifdatum &datum, const Kept &kept, bool makerNotes)
{
    const std::string group = datum.groupName();
    if (group == "Image")
        return kept.imageTags.count(datum.tagName()) > 0;
    if (group == "Photo")
        return makerNotes || datum.tagName() != "MakerNote";
    if (group == "GPSInfo" || group == "Iop")
        return true;
    // Maker note directories are decoded into groups of the maker's name.
    for (const std::string &layout : kept.layout)
        if (group.rfind(layout, 0) == 0)
            return false;
    return makerNotes;
}

QByteArray encode(const Exiv2::ExifData &all, const Kept &kept, bool makerNotes)
{
    Exiv2::ExifData chosen;
    for (const Exiv2::Exifdatum &datum : all)
        if (isKept(datum, kept, makerNotes))
            chosen.add(datum);
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, chosen);
    return QByteArray(reinterpret_cast<const char *>(blob.data()), int(blob.size()));
}

} // namespace

QByteArray block(const Exiv2::ExifData &all, const Kept &kept)
{
    const QByteArray exif = encode(all, kept, true);
    return size_t(exif.size()) > MaxBlock ? encode(all, kept, false) : exif;
}

} // namespace ExifFilter
