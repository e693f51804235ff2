#include "formats/tiff/tiffmetadata.h"

#include "formats/tiff/tiffclient.h"
#include "system/sourcefile.h"

#include <QCoreApplication>

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

QStringList present(const SourceFile &source)
{
    QStringList found;
    if (!isTiff(source))
        return found;
    const TiffClient client(source);
    TIFF *tiff = client.tiff();
    if (!tiff)
        return found;
    const struct
    {
        ttag_t tag;
        const char *name;
    } blocks[] = {{TIFFTAG_EXIFIFD, "EXIF"},
                  {TIFFTAG_GPSIFD, "GPS"},
                  {TIFFTAG_XMLPACKET, "XMP"},
                  {TIFFTAG_RICHTIFFIPTC, "IPTC"}};
    for (const auto &block : blocks)
        if (has(tiff, block.tag))
            found.append(QCoreApplication::translate("MainWindow", "%1 du TIFF").arg(block.name));
    return found;
}

} // namespace TiffMetadata
