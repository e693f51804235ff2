#include "metadata/photometadata.h"

#include "metadata/exifblock.h"
#include "metadata/heifmetadata.h"
#include "metadata/pngmetadata.h"
#include "metadata/tiffmetadata.h"
#include "metadata/webpmetadata.h"

#include <QColorSpace>
#include <QCoreApplication>
#include <QFile>
#include <QtEndian>

namespace {

const QByteArray ExifSignature("Exif\0\0", 6);
const QByteArray XmpSignature("http://ns.adobe.com/xap/1.0/\0", 29);
const QByteArray ExtendedXmpSignature("http://ns.adobe.com/xmp/extension/\0", 35);
const QByteArray PhotoshopSignature("Photoshop 3.0\0", 14);

constexpr int App0 = 0xE0, App1 = 0xE1, App13 = 0xED;
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

bool isNameChar(char c)
{
    return QChar::isLetterOrNumber(uchar(c)) || c == '_' || c == '-' || c == '.' || c == ':';
}

// Sets every occurrence of the XMP property `name` to `value` in the packet's text, in
// attribute (name="v") or element (<name>v</name>) form. False where the name appears in any
// other form, which could not be corrected.
bool setXmpProperty(QByteArray *packet, const QByteArray &name, const QByteArray &value)
{
    QByteArray out;
    int from = 0;
    for (int at = packet->indexOf(name); at != -1; at = packet->indexOf(name, at + 1)) {
        const int after = at + name.size();
        const char before = at > 0 ? packet->at(at - 1) : ' ';
        if (isNameChar(before) || (after < packet->size() && isNameChar(packet->at(after))))
            continue; // part of another name
        if (before == '/' && at > 1 && packet->at(at - 2) == '<')
            continue; // an element's end, handled with its start
        int valueStart = -1, valueEnd = -1;
        if (before == '<' && packet->mid(after, 1) == ">") {
            valueStart = after + 1;
            valueEnd = packet->indexOf("</" + name + ">", valueStart);
        } else {
            int i = after;
            while (i < packet->size() && QChar::isSpace(uchar(packet->at(i))))
                ++i;
            if (packet->mid(i, 1) != "=")
                return false;
            for (++i; i < packet->size() && QChar::isSpace(uchar(packet->at(i)));)
                ++i;
            const char quote = i < packet->size() ? packet->at(i) : 0;
            if (quote != '"' && quote != '\'')
                return false;
            valueStart = i + 1;
            valueEnd = packet->indexOf(quote, valueStart);
        }
        if (valueEnd < 0 || packet->mid(valueStart, valueEnd - valueStart).contains('<'))
            return false;
        out += packet->mid(from, valueStart - from) + value;
        from = valueEnd;
    }
    *packet = out + packet->mid(from);
    return true;
}

bool correctXmp(QByteArray *packet, const QSize &size)
{
    QByteArray edited = *packet;
    const QByteArray width = QByteArray::number(size.width());
    const QByteArray height = QByteArray::number(size.height());
    const bool done = setXmpProperty(&edited, "tiff:Orientation", "1") &&
                      setXmpProperty(&edited, "exif:PixelXDimension", width) &&
                      setXmpProperty(&edited, "exif:PixelYDimension", height) &&
                      setXmpProperty(&edited, "tiff:ImageWidth", width) &&
                      setXmpProperty(&edited, "tiff:ImageLength", height);
    if (done)
        *packet = edited;
    return done;
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

} // namespace

PhotoMetadata PhotoMetadata::read(const QString &path)
{
    if (HeifMetadata::isHeif(path))
        return readHeif(path);
    if (WebPMetadata::isWebP(path)) {
        const WebPMetadata::Blocks webp = WebPMetadata::read(path);
        return withBlocks(webp.exif, webp.xmp, webp.icc);
    }
    // A PNG's chunks or a JPEG's segments: each reader finds nothing in the other's files.
    const PngMetadata::Blocks png = PngMetadata::read(path);
    PhotoMetadata metadata = withBlocks(png.exif, png.xmp);
    metadata.m_unreadable = TiffMetadata::present(path);
    QByteArray photoshop;
    const QList<Segment> segments = readSegments(path);
    for (const Segment &s : segments) {
        if (s.marker == App1 && s.payload.startsWith(ExifSignature) && metadata.m_exif.isEmpty()) {
            metadata.m_exif = s.payload.mid(ExifSignature.size());
            metadata.m_exifFirst = &s == &segments.first();
        } else if (s.marker == App1 && s.payload.startsWith(XmpSignature) &&
                   metadata.m_xmp.isEmpty())
            metadata.m_xmp = s.payload.mid(XmpSignature.size());
        else if (s.marker == App1 && s.payload.startsWith(ExtendedXmpSignature))
            metadata.m_extendedXmp.append(s.payload);
        else if (s.marker == App13 && s.payload.startsWith(PhotoshopSignature))
            photoshop += s.payload.mid(PhotoshopSignature.size());
    }
    bool readable = true;
    metadata.m_iptc = iptcResource(photoshop, &readable);
    if (!readable)
        metadata.m_unreadable.append(tr("IPTC illisibles"));
    return metadata;
}

PhotoMetadata PhotoMetadata::readHeif(const QString &path)
{
    const HeifMetadata::Blocks blocks = HeifMetadata::read(path);
    PhotoMetadata metadata = withBlocks(blocks.exif, blocks.xmp, blocks.icc, blocks.nclx);
    if (!blocks.readable)
        metadata.m_unreadable.append(tr("EXIF illisibles"));
    return metadata;
}

PhotoMetadata PhotoMetadata::withBlocks(const QByteArray &exif, const QByteArray &xmp,
                                        const QByteArray &icc, const QByteArray &nclx)
{
    PhotoMetadata metadata;
    metadata.m_exif = exif;
    metadata.m_xmp = xmp;
    metadata.m_icc = icc;
    metadata.m_nclx = nclx;
    return metadata;
}

QByteArray PhotoMetadata::profileFor(const QColorSpace &pixels, bool keepsNclx) const
{
    if (!m_icc.isEmpty() || (keepsNclx && !m_nclx.isEmpty()) || !pixels.isValid())
        return m_icc;
    return pixels.iccProfile();
}

namespace {

// Whether an nclx says what a reader assumes of pixels without a profile: BT.709 primaries (or
// none named) with sRGB's or a BT.709-like transfer, as the decode reads them.
bool nclxReadsAsSrgb(const QByteArray &nclx)
{
    if (nclx.size() < 4)
        return false;
    const quint16 primaries = qFromBigEndian<quint16>(nclx.constData());
    const quint16 transfer = qFromBigEndian<quint16>(nclx.constData() + 2);
    const bool srgbPrimaries = primaries == 1 || primaries == 2;
    const bool srgbTransfer = transfer == 1 || transfer == 2 || transfer == 6 || transfer == 13 ||
                              transfer == 14 || transfer == 15;
    return srgbPrimaries && srgbTransfer;
}

} // namespace

QStringList PhotoMetadata::colourLeftOut(const QColorSpace &pixels, bool writesProfileBytes) const
{
    if (pixels.isValid())
        return {};
    if (!m_icc.isEmpty())
        return writesProfileBytes ? QStringList() : QStringList{tr("profil ICC")};
    if (m_nclx.isEmpty() || nclxReadsAsSrgb(m_nclx))
        return {};
    return {tr("description des couleurs (nclx)")};
}

PhotoMetadata::Corrected PhotoMetadata::corrected(const QSize &size) const
{
    Corrected result;
    result.leftOut = m_unreadable;
    QByteArray exif = m_exif;
    QString why;
    if (!exif.isEmpty() && ExifBlock::correct(&exif, size, &why))
        result.exif = exif;
    if (!why.isEmpty())
        result.leftOut.append(why);
    QByteArray xmp = m_xmp;
    if (!xmp.isEmpty() && correctXmp(&xmp, size))
        result.xmp = xmp;
    else if (!xmp.isEmpty())
        result.leftOut.append(tr("XMP non corrigeables"));
    return result;
}

QStringList PhotoMetadata::jpegOnly() const
{
    QStringList leftOut;
    if (!m_extendedXmp.isEmpty())
        leftOut.append(tr("XMP étendues"));
    if (!m_iptc.isEmpty())
        leftOut.append(tr("IPTC"));
    return leftOut;
}

QStringList PhotoMetadata::present() const
{
    QStringList found = m_unreadable;
    if (!m_exif.isEmpty())
        found.append(tr("EXIF"));
    if (!m_xmp.isEmpty() || !m_extendedXmp.isEmpty())
        found.append(tr("XMP"));
    if (!m_iptc.isEmpty())
        found.append(tr("IPTC"));
    return found;
}

bool PhotoMetadata::insertInto(QByteArray *jpeg, const QSize &size, QStringList *leftOut) const
{
    const Corrected fixed = corrected(size);
    *leftOut = fixed.leftOut;
    QByteArray inserted;
    const bool exifCarried = !fixed.exif.isEmpty();
    if (exifCarried)
        appendSegment(&inserted, App1, ExifSignature + fixed.exif, "EXIF", leftOut);
    if (!fixed.xmp.isEmpty())
        appendSegment(&inserted, App1, XmpSignature + fixed.xmp, "XMP", leftOut);
    for (const QByteArray &extension : m_extendedXmp)
        appendSegment(&inserted, App1, extension, "XMP", leftOut);
    if (!m_iptc.isEmpty())
        appendSegment(&inserted, App13, PhotoshopSignature + m_iptc, "IPTC", leftOut);

    // Where the source had its EXIF, so that the few values some makers store as offsets from
    // the start of the file still point at their data: right after the start of image, in place
    // of the encoder's JFIF segment, or after it.
    const int jfifEnd = jpeg->size() > 6 && uchar(jpeg->at(2)) == 0xff && uchar(jpeg->at(3)) == App0
                            ? 4 + qFromBigEndian<quint16>(jpeg->constData() + 4)
                            : 2;
    if (m_exifFirst && exifCarried && inserted.startsWith("\xff\xe1"))
        jpeg->replace(2, jfifEnd - 2, inserted);
    else
        jpeg->insert(jfifEnd, inserted);
    return leftOut->isEmpty();
}

bool PhotoMetadata::insertIntoPng(QByteArray *png, const QSize &size, QStringList *leftOut) const
{
    const Corrected fixed = corrected(size);
    *leftOut = fixed.leftOut + jpegOnly();
    if (!PngMetadata::insertInto(png, {fixed.exif, fixed.xmp}))
        leftOut->append(tr("EXIF et XMP"));
    return leftOut->isEmpty();
}
