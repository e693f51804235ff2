#include "formats/toolkit/completeness.h"

#include "system/sourcefile.h"

#include <QtEndian>

#include <cstdlib>

namespace Completeness {

namespace {

// The size of a GIF colour table whose presence and size a packed field gives.
qint64 colourTable(uchar packed)
{
    return packed & 0x80 ? 3 * (qint64(1) << ((packed & 7) + 1)) : 0;
}

// Past a chain of data sub-blocks, each a length byte and its bytes, ended by a zero length;
// -1 where the file ends first.
qint64 skipSubBlocks(const QByteArray &bytes, qint64 at)
{
    while (at < bytes.size()) {
        const int length = uchar(bytes.at(int(at)));
        at += 1 + length;
        if (length == 0)
            return at;
    }
    return -1;
}

} // namespace

bool gif(const SourceFile &source)
{
    const QByteArray &bytes = source.all();
    if (bytes.size() < 13)
        return true; // the toolkit refuses it itself
    qint64 at = 13 + colourTable(uchar(bytes.at(10)));
    while (at < bytes.size()) {
        switch (uchar(bytes.at(int(at)))) {
        case 0x3B: // the trailer
            return true;
        case 0x21: // an extension: its label, then its data
            at = skipSubBlocks(bytes, at + 2);
            break;
        case 0x2C: { // an image: its descriptor, colour table, code size, then its data
            if (at + 10 > bytes.size())
                return false;
            at += 10 + colourTable(uchar(bytes.at(int(at + 9)))) + 1;
            at = at > bytes.size() ? -1 : skipSubBlocks(bytes, at);
            break;
        }
        default: // what follows is no block the format knows: the toolkit judges it
            return true;
        }
        if (at < 0)
            return false;
    }
    return true;
}

bool bmp(const SourceFile &source)
{
    const QByteArray head = source.read(0, 54);
    if (head.size() < 26 || !head.startsWith("BM"))
        return true;
    const auto u16 = [&head](int at) { return qFromLittleEndian<quint16>(head.constData() + at); };
    const auto i32 = [&head](int at) { return qFromLittleEndian<qint32>(head.constData() + at); };
    const qint64 pixels = qFromLittleEndian<quint32>(head.constData() + 10);
    const quint32 header = qFromLittleEndian<quint32>(head.constData() + 14);
    qint64 width = 0, height = 0, bits = 0;
    if (header == 12) { // OS/2
        width = u16(18), height = u16(20), bits = u16(24);
    } else if (header >= 40 && head.size() >= 34) {
        // Only uncompressed rows and bit fields have a size known from the header.
        const quint32 compression = qFromLittleEndian<quint32>(head.constData() + 30);
        if (compression != 0 && compression != 3)
            return true;
        width = i32(18), height = std::abs(qint64(i32(22))), bits = u16(28);
    } else {
        return true;
    }
    const qint64 rowBytes = (width * bits + 31) / 32 * 4;
    return width <= 0 || height <= 0 || pixels + rowBytes * height <= source.size();
}

} // namespace Completeness
