#include "formats/jpeg/jpegmetadata.h"

#include "formats/sourcedevice.h"
#include "metadata/exifblock.h"
#include "system/sourcefile.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QPair>
#include <QtEndian>

#include <algorithm>

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

QByteArray segmentBytes(int marker, const QByteArray &payload)
{
    QByteArray segment(4, '\0');
    segment[0] = char(0xff);
    segment[1] = char(marker);
    qToBigEndian<quint16>(quint16(payload.size() + 2), segment.data() + 2);
    return segment + payload;
}

struct Segment
{
    int marker;
    QByteArray payload;
    qint64 at = 0; // where the payload starts in the file
};

// The segments before the image data of the JPEG that starts at `file`'s position, or nothing
// where none does there.
QList<Segment> readSegments(QIODevice &file)
{
    QList<Segment> segments;
    if (file.read(2) != "\xff\xd8")
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
        const qint64 at = file.pos();
        const QByteArray payload = file.read(qMax(0, size));
        if (payload.size() != size)
            return segments;
        segments.append({marker, payload, at});
    }
}

QList<Segment> readSegments(const SourceFile &source)
{
    const std::unique_ptr<QIODevice> device = Formats::sourceDevice(source);
    return readSegments(*device);
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
void appendSegment(QByteArray *bytes, int marker, const QByteArray &payload, LeftOut tooLarge,
                   LeftOuts *leftOut)
{
    if (payload.size() > MaxSegment) {
        leftOut->append(tooLarge);
        return;
    }
    *bytes += segmentBytes(marker, payload);
}

// Reads an MPF index's TIFF block, in either byte order.
class MpfIndex
{
public:
    explicit MpfIndex(const QByteArray &payload)
        : m_tiff(payload.mid(MpfSignature.size())), m_little(m_tiff.startsWith("II"))
    {}
    quint32 u16(qint64 at) const { return at + 2 > m_tiff.size() ? 0 : read<quint16>(at); }
    quint32 u32(qint64 at) const { return at + 4 > m_tiff.size() ? 0 : read<quint32>(at); }

    // The entries' attributes and offsets (from the index's TIFF header) after the primary's.
    QList<QPair<quint32, quint32>> others() const
    {
        QList<QPair<quint32, quint32>> found;
        const qint64 ifd = u32(4);
        for (int i = 0; i < int(u16(ifd)) && i < 64; ++i) {
            const qint64 entry = ifd + 2 + 12 * i;
            if (u16(entry) != 0xB002)
                continue;
            const qint64 count = u32(entry + 4) / 16, at = u32(entry + 8);
            for (qint64 image = 1; image < count && image < 64; ++image)
                found.append({u32(at + 16 * image), u32(at + 16 * image + 8)});
        }
        return found;
    }

private:
    template <typename T> T read(qint64 at) const
    {
        return m_little ? qFromLittleEndian<T>(m_tiff.constData() + at)
                        : qFromBigEndian<T>(m_tiff.constData() + at);
    }
    QByteArray m_tiff;
    bool m_little;
};

// Whether the image at `start` says it is a gain map, whatever type the index gives it: its ISO
// 21496-1 block, its hdrgm XMP, or Apple's auxiliary type, in its first segments.
bool isGainMapAt(const SourceFile &source, qint64 start)
{
    const QByteArray head = source.read(start, 64 * 1024);
    return head.startsWith("\xff\xd8") &&
           (head.contains(IsoGainMapSignature) || head.contains("hdr-gain-map") ||
            head.contains("hdrgm:") || head.contains("hdrgainmap"));
}

// Where the gain map an MPF index lists starts in the file, and where it ends: the next image
// listed, or the file's end. The map is the image after the primary of no declared type (a
// stereo pair's and a preview's types are declared), or the one whose content says it is one
// (some writers declare its type). The lengths are not read: some writers leave stale ones.
// {-1, -1} where there is none.
QPair<qint64, qint64> gainMapExtent(const SourceFile &source, const Segment &mpf)
{
    const qint64 base = mpf.at + MpfSignature.size(), fileSize = source.size();
    qint64 start = -1, end = fileSize;
    const QList<QPair<quint32, quint32>> others = MpfIndex(mpf.payload).others();
    for (const auto &other : others)
        if (start < 0 && other.second > 0 && base + other.second < fileSize &&
            ((other.first & 0xFFFFFF) == 0 || isGainMapAt(source, base + other.second)))
            start = base + other.second;
    for (const auto &other : others)
        if (base + other.second > start && base + other.second < end)
            end = base + other.second;
    if (start < 0 || start >= fileSize)
        return {-1, -1};
    return {start, end};
}

constexpr qint64 MaxGainMapBytes = 64 * 1024 * 1024;

// The segments the map keeps of its own: not its JFIF, EXIF or MPF, which the encoder and the
// primary's index replace.
QList<GainMap::Segment> ownSegments(const QList<Segment> &segments)
{
    QList<GainMap::Segment> kept;
    for (const Segment &s : segments) {
        if (s.marker == App0 || (s.marker == App1 && s.payload.startsWith(ExifSignature)) ||
            (s.marker == App2 && s.payload.startsWith(MpfSignature)) || s.marker < App0 ||
            s.marker > 0xEF)
            continue;
        kept.append({s.marker, s.payload});
    }
    return kept;
}

// The gain map's own JPEG, whole (its last bytes the end of image); empty where there is none.
QByteArray gainMapJpeg(const SourceFile &source, const Segment &mpf)
{
    const QPair<qint64, qint64> extent = gainMapExtent(source, mpf);
    if (extent.first < 0 || extent.second - extent.first > MaxGainMapBytes)
        return QByteArray();
    QByteArray coded = source.read(extent.first, extent.second - extent.first);
    const int end = coded.lastIndexOf("\xff\xd9");
    if (!coded.startsWith("\xff\xd8") || end < 0)
        return QByteArray();
    coded.truncate(end + 2);
    return coded;
}

// The map's segments, its kind, and its size upright, turned as the primary's EXIF turns the
// picture.
void readGainMap(const QByteArray &coded, const QByteArray &exif, GainMap *map)
{
    QByteArray bytes = coded;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    map->segments = ownSegments(readSegments(buffer));
    for (const GainMap::Segment &segment : map->segments)
        if (segment.payload.contains("hdrgainmap"))
            map->kind = GainMap::Kind::Apple;
    buffer.seek(0);
    const QSize stored = QImageReader(&buffer, "jpeg").size();
    map->size = ExifBlock::transformation(exif).testFlag(QImageIOHandler::TransformationRotate90)
                    ? stored.transposed()
                    : stored;
    map->decodable = true;
}

bool listsGainMap(const SourceFile &source, const Segment &s)
{
    if (s.marker != App2 || !s.payload.startsWith(MpfSignature))
        return false;
    const QList<QPair<quint32, quint32>> others = MpfIndex(s.payload).others();
    return std::any_of(
               others.begin(), others.end(),
               [](const QPair<quint32, quint32> &o) { return (o.first & 0xFFFFFF) == 0; }) ||
           gainMapExtent(source, s).first >= 0;
}

} // namespace

PhotoMetadata read(const SourceFile &source)
{
    PhotoMetadata::Record m;
    QByteArray photoshop;
    QByteArray gainMap;
    const QList<Segment> segments = readSegments(source);
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
        else if (listsGainMap(source, s)) {
            m.gainMap.kind = GainMap::Kind::Adobe;
            gainMap = gainMapJpeg(source, s);
        } else if (s.marker == App2 && s.payload.startsWith(IsoGainMapSignature)) {
            m.gainMap.kind = m.gainMap.present() ? m.gainMap.kind : GainMap::Kind::Adobe;
            m.gainMap.primarySegments.append({App2, s.payload});
        } else if (s.marker == App2 && s.payload.startsWith(IccSignature))
            m.profile += s.payload.mid(IccSignature.size() + 2); // after its number and count
    }
    if (!gainMap.isEmpty())
        readGainMap(gainMap, m.exif, &m.gainMap);
    bool readable = true;
    m.iptc = iptcResource(photoshop, &readable);
    if (!readable)
        m.unreadable.append(LeftOut::IptcUnreadable);
    return PhotoMetadata(m);
}

GainMapSource gainMapSource(const SourceFile &source)
{
    GainMapSource map;
    const QList<Segment> segments = readSegments(source);
    for (const Segment &s : segments) {
        if (s.marker == App1 && s.payload.startsWith(ExifSignature) && map.exif.isEmpty())
            map.exif = s.payload.mid(ExifSignature.size());
        else if (listsGainMap(source, s) && map.coded.isEmpty())
            map.coded = gainMapJpeg(source, s);
    }
    return map;
}

namespace {

// Where an encoder's output has its first segment after the JFIF one.
int afterJfif(const QByteArray &jpeg)
{
    return jpeg.size() > 6 && uchar(jpeg.at(2)) == 0xff && uchar(jpeg.at(3)) == App0
               ? 4 + qFromBigEndian<quint16>(jpeg.constData() + 4)
               : 2;
}

// An MPF index of the primary and the gain map, in big-endian order; the lengths and the map's
// offset are filled in once the primary is whole.
QByteArray mpfIndex()
{
    QByteArray tiff("MM\0\x2a\0\0\0\x08\0\x03", 10);
    const auto entry = [&tiff](quint16 tag, quint16 type, quint32 count, const QByteArray &value) {
        QByteArray e(8, '\0');
        qToBigEndian<quint16>(tag, e.data());
        qToBigEndian<quint16>(type, e.data() + 2);
        qToBigEndian<quint32>(count, e.data() + 4);
        tiff += e + value;
    };
    entry(0xB000, 7, 4, "0100");
    entry(0xB001, 4, 1, QByteArray("\0\0\0\x02", 4));
    entry(0xB002, 7, 32, QByteArray("\0\0\0\x32", 4)); // the entries, after the next IFD's 0
    tiff += QByteArray(4, '\0');
    QByteArray entries(32, '\0');
    qToBigEndian<quint32>(0x030000, entries.data()); // baseline primary
    return MpfSignature + tiff + entries;
}

// Fills in the index at `payloadAt` for a primary of `primaryLength` bytes followed by a map of
// `mapLength`.
void completeMpf(QByteArray *jpeg, int payloadAt, qint64 primaryLength, qint64 mapLength)
{
    const int tiff = payloadAt + MpfSignature.size();
    const auto put = [jpeg, tiff](int at, qint64 value) {
        QByteArray bytes(4, '\0');
        qToBigEndian<quint32>(quint32(value), bytes.data());
        jpeg->replace(tiff + at, 4, bytes);
    };
    put(50 + 4, primaryLength);
    put(50 + 16 + 4, mapLength);
    put(50 + 16 + 8, primaryLength - tiff);
}

// The corrected XMP of a primary followed by a map of `mapLength` bytes: an Ultra HDR one says
// where the map is.
bool placeGainMap(const GainMap &map, qint64 mapLength, QByteArray *xmp,
                  QList<QByteArray> *extended)
{
    if (map.kind != GainMap::Kind::Adobe || mapLength == 0 ||
        (!xmp->contains("hdrgm") && !xmp->contains("Container:Directory")))
        return true;
    return GainMapXmp::setDirectory(xmp, extended, mapLength);
}

} // namespace

bool insertInto(QByteArray *jpeg, const PhotoMetadata &metadata, const QSize &size,
                LeftOuts *leftOut, const QByteArray &gainMap)
{
    const PhotoMetadata::Corrected fixed = metadata.corrected(size);
    const PhotoMetadata::Record &m = metadata.record();
    *leftOut = fixed.leftOut;
    QByteArray xmp = fixed.xmp;
    QList<QByteArray> extended = m.extendedXmp;
    if (!placeGainMap(m.gainMap, gainMap.size(), &xmp, &extended)) {
        xmp.clear();
        extended.clear();
        leftOut->append(LeftOut::XmpUncorrectable);
    }
    QByteArray inserted;
    const bool exifCarried = !fixed.exif.isEmpty();
    if (exifCarried)
        appendSegment(&inserted, App1, ExifSignature + fixed.exif, LeftOut::ExifTooLarge, leftOut);
    if (!xmp.isEmpty())
        appendSegment(&inserted, App1, XmpSignature + xmp, LeftOut::XmpTooLarge, leftOut);
    for (const QByteArray &extension : extended)
        appendSegment(&inserted, App1, extension, LeftOut::XmpTooLarge, leftOut);
    if (!m.iptc.isEmpty())
        appendSegment(&inserted, App13, PhotoshopSignature + m.iptc, LeftOut::IptcTooLarge,
                      leftOut);
    int mpfAt = -1;
    if (!gainMap.isEmpty()) {
        for (const GainMap::Segment &segment : m.gainMap.primarySegments)
            inserted += segmentBytes(segment.marker, segment.payload);
        mpfAt = inserted.size() + 4;
        inserted += segmentBytes(App2, mpfIndex());
    }

    // Where the source had its EXIF, so that the few values some makers store as offsets from
    // the start of the file still point at their data: right after the start of image, in place
    // of the encoder's JFIF segment, or after it.
    const int jfifEnd = afterJfif(*jpeg);
    int insertedAt = jfifEnd;
    if (m.exifFirst && exifCarried && inserted.startsWith("\xff\xe1")) {
        jpeg->replace(2, jfifEnd - 2, inserted);
        insertedAt = 2;
    } else {
        jpeg->insert(jfifEnd, inserted);
    }
    if (mpfAt >= 0) {
        completeMpf(jpeg, insertedAt + mpfAt, jpeg->size(), gainMap.size());
        *jpeg += gainMap;
    }
    return leftOut->isEmpty();
}

QByteArray withSegments(const QByteArray &jpeg, const QList<GainMap::Segment> &segments)
{
    QByteArray all;
    for (const GainMap::Segment &segment : segments)
        all += segmentBytes(segment.marker, segment.payload);
    QByteArray out = jpeg;
    return out.insert(afterJfif(jpeg), all);
}

} // namespace JpegMetadata
