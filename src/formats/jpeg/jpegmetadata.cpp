#include "formats/jpeg/jpegmetadata.h"

#include <QCoreApplication>
#include <QFile>
#include <QtEndian>

namespace JpegMetadata {

namespace {

const QByteArray ExifSignature("Exif\0\0", 6);
const QByteArray XmpSignature("http://ns.adobe.com/xap/1.0/\0", 29);
const QByteArray ExtendedXmpSignature("http://ns.adobe.com/xmp/extension/\0", 35);
const QByteArray PhotoshopSignature("Photoshop 3.0\0", 14);

const QByteArray IccSignature("ICC_PROFILE\0", 12);
const QByteArray MpfSignature("MPF\0", 4);
const QByteArray IsoGainMapSignature("urn:iso:std:iso:ts:21496:-1\0", 28);

constexpr int App0 = 0xE0, App1 = 0xE1, App2 = 0xE2, App13 = 0xED;
constexpr int MaxSegment = 65533; // payload bytes one segment holds

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

struct Segment
{
    int marker;
    QByteArray payload;
};

// The segments before the image data, or nothing where the file is not a JPEG.
QList<Segment> readSegments(const QString &path)
{
    QList<Segment> segments;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.read(2) != "\xff\xd8")
        return segments;
    for (;;) {
        char byte = 0;
        while (file.getChar(&byte) && uchar(byte) != 0xff) {
        }
        while (file.getChar(&byte) && uchar(byte) == 0xff) {
        }
        const int marker = uchar(byte);
        if (file.atEnd() || marker == 0xDA || marker == 0xD9)
            return segments;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue; // no length
        const QByteArray length = file.read(2);
        if (length.size() != 2)
            return segments;
        const int size = qFromBigEndian<quint16>(length.constData()) - 2;
        const QByteArray payload = file.read(qMax(0, size));
        if (payload.size() != size)
            return segments;
        segments.append({marker, payload});
    }
}

// The IPTC resource (id 0x0404) of a Photoshop segment's resource list, as it stands.
QByteArray iptcResource(const QByteArray &resources, bool *readable)
{
    *readable = true;
    for (int at = 0; at + 12 <= resources.size();) {
        if (!resources.mid(at, 4).startsWith("8BIM"))
            break;
        const quint16 id = qFromBigEndian<quint16>(resources.constData() + at + 4);
        const int nameLength = uchar(resources.at(at + 6));
        const int sizeAt = at + 6 + ((nameLength + 2) & ~1);
        if (sizeAt + 4 > resources.size())
            break;
        const qint64 size = qFromBigEndian<quint32>(resources.constData() + sizeAt);
        const qint64 end = sizeAt + 4 + size + (size & 1);
        if (sizeAt + 4 + size > resources.size())
            break;
        if (id == 0x0404)
            return resources.mid(at, int(qMin<qint64>(end, resources.size()) - at));
        at = int(end);
    }
    // Damage matters only where it hides an IPTC resource.
    *readable = !resources.contains(QByteArray("8BIM\x04\x04", 6));
    return QByteArray();
}

// Appends a segment to `bytes`, or says it is left out where it is too long for one.
void appendSegment(QByteArray *bytes, int marker, const QByteArray &payload, const char *what,
                   QStringList *leftOut)
{
    if (payload.size() > MaxSegment) {
        leftOut->append(tr("%1 trop grandes").arg(QLatin1String(what)));
        return;
    }
    *bytes += char(0xff);
    *bytes += char(marker);
    *bytes += char((payload.size() + 2) >> 8);
    *bytes += char((payload.size() + 2) & 0xff);
    *bytes += payload;
}

// Whether an MPF index lists an image of no declared type after the primary: the gain map of
// an Ultra HDR or an Apple JPEG (a stereo pair's or a preview's types are declared).
bool mpfListsGainMap(const QByteArray &mpf)
{
    const QByteArray tiff = mpf.mid(MpfSignature.size());
    if (tiff.size() < 8)
        return false;
    const bool little = tiff.startsWith("II");
    const auto u16 = [&](qint64 at) {
        return at + 2 > tiff.size() ? 0
               : little             ? qFromLittleEndian<quint16>(tiff.constData() + at)
                                    : qFromBigEndian<quint16>(tiff.constData() + at);
    };
    const auto u32 = [&](qint64 at) {
        return at + 4 > tiff.size() ? 0
               : little             ? qFromLittleEndian<quint32>(tiff.constData() + at)
                                    : qFromBigEndian<quint32>(tiff.constData() + at);
    };
    const qint64 ifd = u32(4);
    for (int i = 0; i < u16(ifd) && i < 64; ++i) {
        const qint64 entry = ifd + 2 + 12 * i;
        if (u16(entry) != 0xB002)
            continue;
        const qint64 count = u32(entry + 4) / 16, at = u32(entry + 8);
        for (qint64 image = 1; image < count && image < 64; ++image)
            if ((u32(at + 16 * image) & 0xFFFFFF) == 0)
                return true;
    }
    return false;
}

} // namespace

PhotoMetadata read(const QString &path)
{
    PhotoMetadata::Record m;
    QByteArray photoshop;
    const QList<Segment> segments = readSegments(path);
    for (const Segment &s : segments) {
        if (s.marker == App1 && s.payload.startsWith(ExifSignature) && m.exif.isEmpty()) {
            m.exif = s.payload.mid(ExifSignature.size());
            m.exifFirst = &s == &segments.first();
        } else if (s.marker == App1 && s.payload.startsWith(XmpSignature) && m.xmp.isEmpty())
            m.xmp = s.payload.mid(XmpSignature.size());
        else if (s.marker == App1 && s.payload.startsWith(ExtendedXmpSignature))
            m.extendedXmp.append(s.payload);
        else if (s.marker == App13 && s.payload.startsWith(PhotoshopSignature))
            photoshop += s.payload.mid(PhotoshopSignature.size());
        else if (s.marker == App2 &&
                 (s.payload.startsWith(IsoGainMapSignature) ||
                  (s.payload.startsWith(MpfSignature) && mpfListsGainMap(s.payload))))
            m.gainMap = true;
        else if (s.marker == App2 && s.payload.startsWith(IccSignature))
            m.profile += s.payload.mid(IccSignature.size() + 2); // after its number and count
    }
    bool readable = true;
    m.iptc = iptcResource(photoshop, &readable);
    if (!readable)
        m.unreadable.append(tr("IPTC illisibles"));
    return PhotoMetadata(m);
}

bool insertInto(QByteArray *jpeg, const PhotoMetadata &metadata, const QSize &size,
                QStringList *leftOut)
{
    const PhotoMetadata::Corrected fixed = metadata.corrected(size);
    const PhotoMetadata::Record &m = metadata.record();
    *leftOut = fixed.leftOut;
    QByteArray inserted;
    const bool exifCarried = !fixed.exif.isEmpty();
    if (exifCarried)
        appendSegment(&inserted, App1, ExifSignature + fixed.exif, "EXIF", leftOut);
    if (!fixed.xmp.isEmpty())
        appendSegment(&inserted, App1, XmpSignature + fixed.xmp, "XMP", leftOut);
    for (const QByteArray &extension : m.extendedXmp)
        appendSegment(&inserted, App1, extension, "XMP", leftOut);
    if (!m.iptc.isEmpty())
        appendSegment(&inserted, App13, PhotoshopSignature + m.iptc, "IPTC", leftOut);

    // Where the source had its EXIF, so that the few values some makers store as offsets from
    // the start of the file still point at their data: right after the start of image, in place
    // of the encoder's JFIF segment, or after it.
    const int jfifEnd = jpeg->size() > 6 && uchar(jpeg->at(2)) == 0xff && uchar(jpeg->at(3)) == App0
                            ? 4 + qFromBigEndian<quint16>(jpeg->constData() + 4)
                            : 2;
    if (m.exifFirst && exifCarried && inserted.startsWith("\xff\xe1"))
        jpeg->replace(2, jfifEnd - 2, inserted);
    else
        jpeg->insert(jfifEnd, inserted);
    return leftOut->isEmpty();
}

} // namespace JpegMetadata
