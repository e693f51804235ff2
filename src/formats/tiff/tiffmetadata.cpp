#include "formats/tiff/tiffmetadata.h"

#include "formats/exiffilter.h"
#include "system/sourcefile.h"

#include <QtEndian>

#include <exiv2/exiv2.hpp>

namespace TiffMetadata {

namespace {

// The first directory's tags that describe the photo rather than the file's own layout.
const ExifFilter::Kept &kept()
{
    static const ExifFilter::Kept kept{{"Make", "Model", "Orientation", "DateTime", "Artist",
                                        "Copyright", "Software", "HostComputer", "ImageDescription",
                                        "XResolution", "YResolution", "ResolutionUnit", "ExifTag",
                                        "GPSTag", "DocumentName"}};
    return kept;
}

bool hasDirectory(const Exiv2::ExifData &exif)
{
    for (const Exiv2::Exifdatum &datum : exif)
        if (datum.groupName() == "Photo" || datum.groupName() == "GPSInfo")
            return true;
    return false;
}

// The EXIF and GPS directories, with the first directory's descriptive tags; Exiv2 reports
// what it cannot read by throwing.
void readExif(const SourceFile &source, PhotoMetadata::Record *record)
{
    try {
        const auto image = Exiv2::ImageFactory::open(source.map(), long(source.size()));
        image->readMetadata();
        if (!hasDirectory(image->exifData()))
            return;
        record->exif = ExifFilter::block(image->exifData(), kept());
    } catch (...) {
        record->unreadable.append(LeftOut::ExifUnreadable);
    }
}

QByteArray bytesOf(TIFF *tiff, ttag_t tag, int unit)
{
    // libtiff gives each of these tags as a count of bytes and the bytes.
    quint32 count = 0;
    const char *data = nullptr;
    if (!TIFFGetField(tiff, tag, &count, &data) || !data)
        return QByteArray();
    return QByteArray(data, int(qMin(qint64(count) * unit, qint64(1) << 30)));
}

QVector<float> floatsOf(TIFF *tiff, ttag_t tag, int count)
{
    float *values = nullptr;
    if (!TIFFGetField(tiff, tag, &values) || !values)
        return {};
    return QVector<float>(values, values + count);
}

// The IPTC records, without the zeros that pad them to whole longs.
QByteArray records(const QByteArray &padded)
{
    int at = 0;
    while (at + 5 <= padded.size() && padded.at(at) == 0x1c) {
        const int length = qFromBigEndian<quint16>(padded.constData() + at + 3);
        if (length & 0x8000) // an extended length: taken as it stands
            return padded;
        at += 5 + length;
    }
    return padded.left(qMax(at, 0));
}

} // namespace

QByteArray iptcResource(const QByteArray &padded)
{
    const QByteArray iim = records(padded);
    if (iim.isEmpty())
        return QByteArray();
    QByteArray resource("8BIM\x04\x04\0\0", 8);
    char size[4];
    qToBigEndian<quint32>(quint32(iim.size()), size);
    resource += QByteArray(size, 4) + iim;
    if (iim.size() % 2)
        resource += '\0';
    return resource;
}

QByteArray iimOf(const QByteArray &resource)
{
    if (resource.size() < 12 || !resource.startsWith("8BIM"))
        return QByteArray();
    const int nameLength = uchar(resource.at(6));
    const int sizeAt = 6 + ((nameLength + 2) & ~1);
    if (sizeAt + 4 > resource.size())
        return QByteArray();
    const qint64 size = qFromBigEndian<quint32>(resource.constData() + sizeAt);
    return resource.mid(sizeAt + 4, int(qMin(size, qint64(resource.size() - sizeAt - 4))));
}

PhotoMetadata read(const SourceFile &source, TIFF *tiff, bool colourOnly)
{
    PhotoMetadata::Record record;
    if (!colourOnly && source.map())
        readExif(source, &record);
    record.xmp = bytesOf(tiff, TIFFTAG_XMLPACKET, 1);
    // Writers pad the records to whole longs.
    record.iptc = iptcResource(bytesOf(tiff, TIFFTAG_RICHTIFFIPTC, 1));
    record.icc = bytesOf(tiff, TIFFTAG_ICCPROFILE, 1);
    quint16 compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    record.tiff.compression = compression;
    record.tiff.whitePoint = floatsOf(tiff, TIFFTAG_WHITEPOINT, 2);
    record.tiff.primaries = floatsOf(tiff, TIFFTAG_PRIMARYCHROMATICITIES, 6);
    return PhotoMetadata(record);
}

bool insertExif(QByteArray *bytes, const QByteArray &exif)
{
    try {
        Exiv2::ExifData source;
        Exiv2::ExifParser::decode(source, reinterpret_cast<const Exiv2::byte *>(exif.constData()),
                                  uint32_t(exif.size()));
        auto image = Exiv2::ImageFactory::open(
            reinterpret_cast<const Exiv2::byte *>(bytes->constData()), long(bytes->size()));
        image->readMetadata();
        Exiv2::ExifData data = image->exifData();
        for (const Exiv2::Exifdatum &datum : source)
            if (datum.groupName() != "Image" || kept().imageTags.count(datum.tagName()) > 0)
                data[datum.key()] = datum.value();
        image->setExifData(data);
        image->writeXmpFromPacket(true);
        image->writeMetadata();
        Exiv2::BasicIo &io = image->io();
        io.open();
        const Exiv2::DataBuf written = io.read(long(io.size()));
        *bytes = QByteArray(reinterpret_cast<const char *>(written.pData_), int(written.size_));
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace TiffMetadata
