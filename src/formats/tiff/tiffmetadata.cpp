#include "formats/tiff/tiffmetadata.h"

#include "formats/tiff/tiffclient.h"
#include "system/sourcefile.h"

#include <tiffio.h>

namespace TiffMetadata {

namespace {

bool isTiff(const SourceFile &source)
{
    const QByteArray head = source.head().left(4);
    return head == QByteArray("II*\0", 4) || head == QByteArray("MM\0*", 4) ||
           head == QByteArray("II+\0", 4) || head == QByteArray("MM\0+", 4);
}

bool has(TIFF *tiff, ttag_t tag)
{
    quint32 count = 0;
    void *data = nullptr;
    if (tag == TIFFTAG_EXIFIFD || tag == TIFFTAG_GPSIFD) {
        toff_t offset = 0;
        return TIFFGetField(tiff, tag, &offset) && offset != 0;
    }
    return TIFFGetField(tiff, tag, &count, &data) && count > 0;
}

} // namespace

LeftOuts present(const SourceFile &source)
{
    LeftOuts found;
    if (!isTiff(source))
        return found;
    const TiffClient client(source);
    TIFF *tiff = client.tiff();
    if (!tiff)
        return found;
    const struct
    {
        ttag_t tag;
        LeftOut what;
    } blocks[] = {{TIFFTAG_EXIFIFD, LeftOut::TiffExif},
                  {TIFFTAG_GPSIFD, LeftOut::TiffGps},
                  {TIFFTAG_XMLPACKET, LeftOut::TiffXmp},
                  {TIFFTAG_RICHTIFFIPTC, LeftOut::TiffIptc}};
    for (const auto &block : blocks)
        if (has(tiff, block.tag))
            found.append(block.what);
    return found;
}

} // namespace TiffMetadata
