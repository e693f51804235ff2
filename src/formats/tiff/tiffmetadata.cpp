#include "formats/tiff/tiffmetadata.h"

#include <QCoreApplication>
#include <QFile>

#include <tiffio.h>

namespace TiffMetadata {

namespace {

bool isTiff(const QString &path)
{
    QFile file(path);
    const QByteArray head = file.open(QIODevice::ReadOnly) ? file.read(4) : QByteArray();
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

QStringList present(const QString &path)
{
    QStringList found;
    if (!isTiff(path))
        return found;
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
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
    TIFFClose(tiff);
    return found;
}

} // namespace TiffMetadata
