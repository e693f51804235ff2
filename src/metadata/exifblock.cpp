#include "metadata/exifblock.h"

#include <QVector>

#include <algorithm>
#include <cstring>

namespace ExifBlock {

namespace {

enum Tag : quint16
{
    ImageWidth = 0x0100,
    ImageLength = 0x0101,
    Model = 0x0110,
    Orientation = 0x0112,
    ThumbnailOffset = 0x0201,
    ThumbnailLength = 0x0202,
    ExifPointer = 0x8769,
    GpsPointer = 0x8825,
    InteropPointer = 0xA005,
    DateTimeOriginal = 0x9003,
    PixelXDimension = 0xA002,
    PixelYDimension = 0xA003,
};

enum Type : quint16
{
    Ascii = 2,
    Short = 3,
    Long = 4,
};

// More entries than any real directory holds: a count above it is damage.
constexpr quint32 MaxEntries = 1000;

struct Entry
{
    qint64 at; // where the 12-byte entry starts
    quint16 tag;
    quint16 type;
    quint32 count;
};

struct Directory
{
    qint64 offset = 0;
    QVector<Entry> entries;
    qint64 nextAt = 0; // where the offset of the next directory is stored
};

qint64 typeSize(quint16 type)
{
    static const int sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < sizeof sizes / sizeof *sizes ? sizes[type] : 0;
}

// A TIFF block read and written in its own byte order, every access checked against its size.
class Tiff
{
public:
    explicit Tiff(QByteArray *data) : m_data(data) {}

    bool readHeader()
    {
        if (!has(0, 8))
            return false;
        m_little = m_data->startsWith("II");
        return (m_little || m_data->startsWith("MM")) && u16(2) == 42;
    }
    qint64 size() const { return m_data->size(); }
    bool has(qint64 at, qint64 length) const
    {
        return at >= 0 && length >= 0 && at <= size() && length <= size() - at;
    }
    quint32 read(qint64 at, int width) const
    {
        quint32 value = 0;
        for (int i = 0; i < width; ++i)
            value |= quint32(uchar(m_data->at(int(at + i)))) << shift(i, width);
        return value;
    }
    quint16 u16(qint64 at) const { return quint16(read(at, 2)); }
    quint32 u32(qint64 at) const { return read(at, 4); }
    void write(qint64 at, quint32 value, int width)
    {
        for (int i = 0; i < width; ++i)
            (*m_data)[int(at + i)] = char(value >> shift(i, width) & 0xff);
    }

    // The directory at `offset`, or false where it does not fit in the block.
    bool directory(qint64 offset, Directory *dir) const
    {
        if (!has(offset, 2))
            return false;
        const quint32 count = u16(offset);
        if (count > MaxEntries || !has(offset + 2, qint64(count) * 12 + 4))
            return false;
        dir->offset = offset;
        dir->entries.clear();
        for (quint32 i = 0; i < count; ++i) {
            const qint64 at = offset + 2 + qint64(i) * 12;
            dir->entries.append({at, u16(at), u16(at + 2), u32(at + 4)});
        }
        dir->nextAt = offset + 2 + qint64(count) * 12;
        return true;
    }
    // Takes entry `index` out of the directory: the entries after it and the link to the next
    // directory move up, and the bytes they leave are cleared.
    void removeEntry(const Directory &dir, int index)
    {
        const qint64 at = dir.entries.at(index).at;
        const qint64 tail = dir.nextAt + 4 - (at + 12);
        std::memmove(m_data->data() + at, m_data->constData() + at + 12, size_t(tail));
        std::memset(m_data->data() + at + tail, 0, 12);
        write(dir.offset, quint32(dir.entries.size() - 1), 2);
    }
    // Where an entry's value lies, and how long it is.
    qint64 valueAt(const Entry &e) const { return valueLength(e) <= 4 ? e.at + 8 : u32(e.at + 8); }
    qint64 valueLength(const Entry &e) const { return typeSize(e.type) * e.count; }
    // One past the last byte the directory and its values use.
    qint64 end(const Directory &dir) const
    {
        qint64 last = dir.nextAt + 4;
        for (const Entry &e : dir.entries)
            if (valueLength(e) > 4 && has(valueAt(e), valueLength(e)))
                last = std::max(last, valueAt(e) + valueLength(e));
        return last;
    }

private:
    int shift(int i, int width) const { return 8 * (m_little ? i : width - 1 - i); }

    QByteArray *m_data;
    bool m_little = false;
};

const Entry *find(const Directory &dir, quint16 tag)
{
    for (const Entry &e : dir.entries)
        if (e.tag == tag)
            return &e;
    return nullptr;
}

// Sets a SHORT or LONG value in place. Some cameras store a dimension as two SHORTs: the first
// becomes the value and the second 0. False where the tag is there in a form that cannot be set.
bool setNumber(Tiff &tiff, const Directory &dir, quint16 tag, quint32 value)
{
    const Entry *e = find(dir, tag);
    if (!e)
        return true;
    if (e->type == Short && (e->count == 1 || e->count == 2)) {
        tiff.write(e->at + 8, value, 2);
        if (e->count == 2)
            tiff.write(e->at + 10, 0, 2);
        return value <= 0xffff;
    }
    if (e->type == Long && e->count == 1) {
        tiff.write(e->at + 8, value, 4);
        return true;
    }
    return false;
}

// The directory a pointer tag of `dir` names, if it has one that can be walked. The pointer is
// read from the entry's four value bytes whatever type the writer gave it.
bool subDirectory(const Tiff &tiff, const Directory &dir, quint16 tag, Directory *sub)
{
    const Entry *e = find(dir, tag);
    if (!e || tiff.valueLength(*e) > 4)
        return false;
    const qint64 offset = e->type == Short ? tiff.u16(e->at + 8) : tiff.u32(e->at + 8);
    return tiff.directory(offset, sub);
}

// The thumbnail's directory, its values and its image, when they are all that follows
// `others` to the end of the block: where the block can be cut.
qint64 thumbnailStart(const Tiff &tiff, qint64 offset, qint64 others)
{
    Directory thumbnail;
    if (offset < others || !tiff.directory(offset, &thumbnail))
        return -1;
    const Entry *at = find(thumbnail, ThumbnailOffset);
    const Entry *length = find(thumbnail, ThumbnailLength);
    qint64 start = offset, end = tiff.end(thumbnail);
    if (at && length && at->count == 1 && length->count == 1) {
        const qint64 image = at->type == Short ? tiff.u16(at->at + 8) : tiff.u32(at->at + 8);
        const qint64 bytes =
            length->type == Short ? tiff.u16(length->at + 8) : tiff.u32(length->at + 8);
        if (image < others || !tiff.has(image, bytes))
            return -1;
        start = std::min(start, image);
        end = std::max(end, image + bytes);
    }
    return end == tiff.size() ? start : -1;
}

} // namespace

bool correct(QByteArray *tiffBytes, const QSize &size, std::optional<LeftOut> *why)
{
    QByteArray edited = *tiffBytes;
    Tiff tiff(&edited);
    Directory first, exif;
    if (!tiff.readHeader() || !tiff.directory(tiff.u32(4), &first)) {
        *why = LeftOut::ExifUnreadable;
        return false;
    }
    // A pointer that leads nowhere, such as one stored as text, costs its directory only: the
    // first directory's own tags (dates, author, copyright) are kept.
    bool hasExif = find(first, ExifPointer) != nullptr;
    if (hasExif && !subDirectory(tiff, first, ExifPointer, &exif)) {
        tiff.removeEntry(first, int(find(first, ExifPointer) - first.entries.constData()));
        tiff.directory(first.offset, &first);
        hasExif = false;
        *why = LeftOut::ExifDirectoryLost;
    }
    setNumber(tiff, first, Orientation, 1);
    const bool sized = setNumber(tiff, first, ImageWidth, quint32(size.width())) &&
                       setNumber(tiff, first, ImageLength, quint32(size.height())) &&
                       setNumber(tiff, exif, PixelXDimension, quint32(size.width())) &&
                       setNumber(tiff, exif, PixelYDimension, quint32(size.height()));
    if (!sized) {
        // A wrong size is worse than none.
        *why = LeftOut::ExifDimensions;
        return false;
    }

    // Everything but the thumbnail, as far as the directories tell; where one of them cannot
    // be walked, its extent is unknown and nothing is cut.
    qint64 others = std::max<qint64>(8, tiff.end(first));
    bool known = true;
    const auto extend = [&](const Directory &parent, quint16 pointer) {
        Directory sub;
        if (subDirectory(tiff, parent, pointer, &sub))
            others = std::max(others, tiff.end(sub));
        else
            known &= find(parent, pointer) == nullptr;
    };
    if (hasExif) {
        others = std::max(others, tiff.end(exif));
        extend(exif, InteropPointer);
    }
    extend(first, GpsPointer);
    const qint64 thumbnail = tiff.u32(first.nextAt);
    tiff.write(first.nextAt, 0, 4);
    const qint64 cut = thumbnail && known ? thumbnailStart(tiff, thumbnail, others) : -1;
    if (cut > 0)
        edited.truncate(int(cut));
    *tiffBytes = edited;
    return true;
}

namespace {

// Clears a directory and every value it points to.
void clearDirectory(Tiff &tiff, QByteArray *bytes, const Directory &dir)
{
    for (const Entry &e : dir.entries)
        if (tiff.valueLength(e) > 4 && tiff.has(tiff.valueAt(e), tiff.valueLength(e)))
            std::memset(bytes->data() + tiff.valueAt(e), 0, size_t(tiff.valueLength(e)));
    std::memset(bytes->data() + dir.offset, 0, size_t(dir.nextAt + 4 - dir.offset));
}

} // namespace

bool removeLocation(QByteArray *tiffBytes)
{
    QByteArray edited = *tiffBytes;
    Tiff tiff(&edited);
    Directory first, gps;
    if (!tiff.readHeader() || !tiff.directory(tiff.u32(4), &first))
        return false;
    const Entry *pointer = find(first, GpsPointer);
    if (!pointer)
        return true;
    // Where the directory cannot be walked its values cannot be found, so none can be cleared.
    if (!subDirectory(tiff, first, GpsPointer, &gps))
        return false;
    clearDirectory(tiff, &edited, gps);
    tiff.removeEntry(first, int(pointer - first.entries.constData()));
    *tiffBytes = edited;
    return true;
}

int orientation(const QByteArray &tiffBytes)
{
    QByteArray copy = tiffBytes;
    Tiff tiff(&copy);
    Directory first;
    if (!tiff.readHeader() || !tiff.directory(tiff.u32(4), &first))
        return 1;
    const Entry *e = find(first, Orientation);
    if (!e || e->type != Short || e->count != 1)
        return 1;
    const int value = tiff.u16(e->at + 8);
    return value >= 1 && value <= 8 ? value : 1;
}

namespace {

// An ASCII value of `dir`, up to its first NUL; empty where it is missing or out of the block.
QByteArray ascii(const Tiff &tiff, const QByteArray &bytes, const Directory &dir, quint16 tag)
{
    const Entry *e = find(dir, tag);
    if (!e || e->type != Ascii || !tiff.has(tiff.valueAt(*e), tiff.valueLength(*e)))
        return QByteArray();
    const QByteArray value = bytes.mid(int(tiff.valueAt(*e)), int(tiff.valueLength(*e)));
    const int nul = value.indexOf('\0');
    return (nul < 0 ? value : value.left(nul)).trimmed();
}

} // namespace

QByteArray model(const QByteArray &tiffBytes)
{
    QByteArray copy = tiffBytes;
    Tiff tiff(&copy);
    Directory first;
    if (!tiff.readHeader() || !tiff.directory(tiff.u32(4), &first))
        return QByteArray();
    return ascii(tiff, copy, first, Model);
}

QByteArray dateTaken(const QByteArray &tiffBytes)
{
    QByteArray copy = tiffBytes;
    Tiff tiff(&copy);
    Directory first, exif;
    if (!tiff.readHeader() || !tiff.directory(tiff.u32(4), &first) ||
        !subDirectory(tiff, first, ExifPointer, &exif))
        return QByteArray();
    return ascii(tiff, copy, exif, DateTimeOriginal);
}

QImageIOHandler::Transformations transformation(const QByteArray &tiff)
{
    return transformationOf(orientation(tiff));
}

QImageIOHandler::Transformations transformationOf(int orientation)
{
    // As the toolkit maps the EXIF values.
    static const QImageIOHandler::Transformations byValue[] = {
        QImageIOHandler::TransformationNone,      QImageIOHandler::TransformationNone,
        QImageIOHandler::TransformationMirror,    QImageIOHandler::TransformationRotate180,
        QImageIOHandler::TransformationFlip,      QImageIOHandler::TransformationFlipAndRotate90,
        QImageIOHandler::TransformationRotate90,  QImageIOHandler::TransformationMirrorAndRotate90,
        QImageIOHandler::TransformationRotate270,
    };
    return byValue[orientation >= 1 && orientation <= 8 ? orientation : 1];
}

} // namespace ExifBlock
