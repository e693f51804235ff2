#include "formats/tiff/tiffformat.h"

#include "formats/tiff/tiffcheck.h"
#include "formats/tiff/tiffmetadata.h"
#include "formats/toolkitcodec.h"

namespace TiffFormat {

namespace {

// A TIFF's own EXIF, GPS, XMP and IPTC directories are not rebuilt: they are named as left out.
PhotoMetadata readMetadata(const QString &path)
{
    PhotoMetadata::Record record;
    record.unreadable = TiffMetadata::present(path);
    return PhotoMetadata(record);
}

Formats::Writer writer()
{
    Formats::Writer w;
    w.suffixes = {"tif", "tiff"};
    w.can.alpha = w.can.deep = w.can.icc = true;
    w.encode = ToolkitCodec::encodeWithoutMetadata;
    return w;
}

} // namespace

const Formats::Entry &entry()
{
    static const Formats::Entry tiff = [] {
        Formats::Entry e;
        e.names = {"tiff"};
        e.decoder.imageCount = TiffCheck::imageCount;
        e.decoder.refuse = TiffCheck::refuse;
        e.decoder.beforeToolkitDecode = TiffCheck::start;
        e.decoder.toolkitVerdict = TiffCheck::verdict;
        e.readMetadata = readMetadata;
        e.writers = {writer()};
        return e;
    }();
    return tiff;
}

} // namespace TiffFormat
