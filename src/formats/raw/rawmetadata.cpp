#include "formats/raw/rawmetadata.h"

#include "formats/exiffilter.h"
#include "system/sourcefile.h"

#include <exiv2/exiv2.hpp>

namespace RawMetadata {

namespace {

// The first directory's tags that describe the photo rather than the raw's own layout; a
// Panasonic raw's own directories and a multi-picture index are layout too.
const ExifFilter::Kept &kept()
{
    static const ExifFilter::Kept kept{
        {"Make", "Model", "Orientation", "DateTime", "Artist", "Copyright", "Software",
         "ImageDescription", "XResolution", "YResolution", "ResolutionUnit", "ExifTag", "GPSTag"},
        {"Image", "SubImage", "SubThumb", "Thumbnail", "MpfInfo", "PanasonicRaw"}};
    return kept;
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
        if (!image->exifData().empty())
            record.exif = ExifFilter::block(image->exifData(), kept());
        record.xmp = QByteArray::fromStdString(image->xmpPacket());
    } catch (...) {
        record.unreadable.append(LeftOut::ExifUnreadable);
    }
    return PhotoMetadata(record);
}

} // namespace RawMetadata
