#include "syntheticdng.h"

#include <QBuffer>
#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <vector>

namespace {

// A little-endian TIFF directory whose values too long for an entry go after it.
class Directory
{
public:
    void add(quint16 tag, quint16 type, quint32 count, const QByteArray &value)
    {
        m_entries.append({tag, type, count, value});
    }
    void addShort(quint16 tag, quint16 value) { add(tag, 3, 1, le16(value)); }
    void addLong(quint16 tag, quint32 value) { add(tag, 4, 1, le32(value)); }
    void addText(quint16 tag, const QByteArray &text)
    {
        add(tag, 2, quint32(text.size() + 1), text + '\0');
    }
    // Signed (type 10) or unsigned (5) fractions over 10000.
    void addRationals(quint16 tag, bool isSigned, const QList<double> &values)
    {
        QByteArray bytes;
        for (double v : values)
            bytes += le32(quint32(qint32(v * 10000))) + le32(10000);
        add(tag, isSigned ? 10 : 5, quint32(values.size()), bytes);
    }

    // The directory as it stands at `offset`, with no next one.
    QByteArray bytes(quint32 offset) const
    {
        std::vector<Entry> sorted(m_entries.begin(), m_entries.end());
        std::sort(sorted.begin(), sorted.end(),
                  [](const Entry &a, const Entry &b) { return a.tag < b.tag; });
        QByteArray head = le16(quint16(sorted.size())), tail;
        quint32 extra = offset + 2 + 12 * quint32(sorted.size()) + 4;
        for (const Entry &e : sorted) {
            head += le16(e.tag) + le16(e.type) + le32(e.count);
            if (e.value.size() <= 4) {
                head += e.value + QByteArray(4 - e.value.size(), '\0');
                continue;
            }
            head += le32(extra + quint32(tail.size()));
            tail += e.value;
            if (tail.size() & 1)
                tail += '\0';
        }
        return head + le32(0) + tail;
    }

    static QByteArray le16(quint16 v)
    {
        QByteArray b(2, '\0');
        qToLittleEndian(v, b.data());
        return b;
    }
    static QByteArray le32(quint32 v)
    {
        QByteArray b(4, '\0');
        qToLittleEndian(v, b.data());
        return b;
    }

private:
    struct Entry
    {
        quint16 tag, type;
        quint32 count;
        QByteArray value;
    };
    QList<Entry> m_entries;
};

// One row of the mosaic: red and green on even rows, green and blue on odd ones, as a sensor
// behind a neutral-ish filter sees them (green strongest).
QByteArray mosaicRow(const QImage &picture, int y)
{
    const QRgb *line = reinterpret_cast<const QRgb *>(picture.constScanLine(y));
    QByteArray row(picture.width() * 2, '\0');
    auto *out = reinterpret_cast<quint16 *>(row.data());
    for (int x = 0; x < picture.width(); ++x) {
        const QRgb p = line[x];
        const int value = (y & 1) == 0 ? ((x & 1) == 0 ? qRed(p) * 9 : qGreen(p) * 15)
                                       : ((x & 1) == 0 ? qGreen(p) * 15 : qBlue(p) * 11);
        out[x] = qToLittleEndian(quint16(256 + value));
    }
    return row;
}

} // namespace

namespace {

// The mosaic's own directory.
void describeMosaic(Directory *ifd, const QSize &size, quint32 dataBytes)
{
    ifd->addLong(254, 0);
    ifd->addLong(256, quint32(size.width()));
    ifd->addLong(257, quint32(size.height()));
    ifd->addShort(258, 16);
    ifd->addShort(259, 1);
    ifd->addShort(262, 32803); // colour filter array
    ifd->addLong(273, 8);      // the mosaic right after the header
    ifd->addShort(277, 1);
    ifd->addLong(278, quint32(size.height()));
    ifd->addLong(279, dataBytes);
    ifd->addShort(284, 1);
    ifd->add(33421, 3, 2, Directory::le16(2) + Directory::le16(2));
    ifd->add(33422, 1, 4, QByteArray("\x00\x01\x01\x02", 4));
    ifd->addLong(50714, 256); // black level
    ifd->addLong(50717, 4095);
}

// What the first directory says of the camera, whatever it holds.
void describeCamera(Directory *ifd, int orientation)
{
    ifd->addText(271, "Parvimage");
    ifd->addText(272, "Synthetic 12-bit");
    ifd->addShort(274, quint16(orientation));
    ifd->add(50706, 1, 4, QByteArray("\x01\x04\x00\x00", 4));
    ifd->addText(50708, "Parvimage Synthetic");
    // XYZ to linear sRGB: the sensor sees as sRGB does, behind the filters' gains.
    ifd->addRationals(50721, true,
                      {3.2406, -1.5372, -0.4986, -0.9689, 1.8758, 0.0415, 0.0557, -0.2040, 1.0570});
    ifd->addRationals(50728, false, {9.0 / 15, 1.0, 11.0 / 15});
    ifd->addShort(50778, 21); // D65
}

// A camera's full-size preview, as the first directory, the mosaic in a sub-directory.
void describePreview(Directory *ifd, const QSize &size, quint32 at, quint32 length,
                     quint32 mosaicIfd)
{
    ifd->addLong(254, 1);
    ifd->addLong(256, quint32(size.width()));
    ifd->addLong(257, quint32(size.height()));
    ifd->add(258, 3, 3, Directory::le16(8) + Directory::le16(8) + Directory::le16(8));
    ifd->addShort(259, 7);
    ifd->addShort(262, 6);
    ifd->addLong(273, at);
    ifd->addShort(277, 3);
    ifd->addLong(278, quint32(size.height()));
    ifd->addLong(279, length);
    ifd->addShort(284, 1);
    ifd->addLong(330, mosaicIfd);
}

} // namespace

bool writeSyntheticDng(const QString &path, const QImage &picture, bool withPreview,
                       int orientation)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
    const quint32 dataBytes = quint32(rgb.width()) * rgb.height() * 2;
    QByteArray preview;
    if (withPreview) {
        QBuffer buffer(&preview);
        buffer.open(QIODevice::WriteOnly);
        if (!rgb.save(&buffer, "jpg", 90))
            return false;
    }
    const quint32 previewAt = 8 + dataBytes, firstIfd = previewAt + quint32(preview.size());
    Directory first, mosaic;
    describeCamera(&first, orientation);
    if (withPreview) {
        // Its size does not depend on the offset it is given.
        describePreview(&first, rgb.size(), previewAt, quint32(preview.size()), 0);
        const quint32 mosaicIfd = firstIfd + quint32(first.bytes(firstIfd).size());
        first = Directory();
        describeCamera(&first, orientation);
        describePreview(&first, rgb.size(), previewAt, quint32(preview.size()), mosaicIfd);
        describeMosaic(&mosaic, rgb.size(), dataBytes);
    } else {
        describeMosaic(&first, rgb.size(), dataBytes);
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("II*\0", 4);
    file.write(Directory::le32(firstIfd));
    for (int y = 0; y < rgb.height(); ++y)
        file.write(mosaicRow(rgb, y));
    file.write(preview);
    const QByteArray firstBytes = first.bytes(firstIfd);
    file.write(firstBytes);
    if (withPreview)
        file.write(mosaic.bytes(firstIfd + quint32(firstBytes.size())));
    return file.error() == QFile::NoError;
}
