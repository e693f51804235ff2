#include "formats/raw/rawmetadata.h"

#include "system/sourcefile.h"

#include <exiv2/exiv2.hpp>

namespace RawMetadata {

namespace {

// Larger, the block would not fit in a JPEG's segment: the maker notes go first.
constexpr size_t MaxBlock = 60000;

// The first directory's tags that describe the photo rather than the raw's own layout.
bool keptImageTag(const std::string &tag)
{
    static const std::set<std::string> kept{
        "Make",        "Model",       "Orientation",    "DateTime",
        "Artist",      "Copyright",   "Software",       "ImageDescription",
        "XResolution", "YResolution", "ResolutionUnit", "ExifTag",
        "GPSTag"};
    return kept.count(tag) > 0;
}

bool kept(const Exiv2::Exifdatum &datum, bool makerNotes)
{
    const std::string group = datum.groupName();
    if (group == "Image")
        return keptImageTag(datum.tagName());
    if (group == "Photo")
        return makerNotes || datum.tagName() != "MakerNote";
    if (group == "GPSInfo" || group == "Iop")
        return true;
    // Maker note directories are decoded into groups of the maker's name.
    const bool structural = group.rfind("Image", 0) == 0 || group.rfind("SubImage", 0) == 0 ||
                            group.rfind("SubThumb", 0) == 0 || group == "Thumbnail" ||
                            group == "MpfInfo" || group.rfind("PanasonicRaw", 0) == 0;
    return makerNotes && !structural;
}

QByteArray encode(const Exiv2::ExifData &all, bool makerNotes)
{
    Exiv2::ExifData chosen;
    for (const Exiv2::Exifdatum &datum : all)
        if (kept(datum, makerNotes))
            chosen.add(datum);
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, chosen);
    return QByteArray(reinterpret_cast<const char *>(blob.data()), int(blob.size()));
}

} // namespace

// Exiv2 asks that its XMP parser be set up before threads use it.
void initialise()
{
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize();
}

// Exiv2 reports what it cannot read by throwing: caught here, the one place it is called.
PhotoMetadata read(const SourceFile &source)
{
    PhotoMetadata::Record record;
    try {
        const auto image = Exiv2::ImageFactory::open(source.map(), long(source.size()));
        image->readMetadata();
        QByteArray exif = encode(image->exifData(), true);
        if (size_t(exif.size()) > MaxBlock)
            exif = encode(image->exifData(), false);
        if (!image->exifData().empty())
            record.exif = exif;
        record.xmp = QByteArray::fromStdString(image->xmpPacket());
    } catch (...) {
        record.unreadable.append(LeftOut::ExifUnreadable);
    }
    return PhotoMetadata(record);
}

} // namespace RawMetadata
