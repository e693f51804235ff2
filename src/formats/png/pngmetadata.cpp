#include "formats/png/pngmetadata.h"

#include "system/sourcefile.h"

#include <QtEndian>

#include <zlib.h>

namespace PngMetadata {

namespace {

const QByteArray Signature("\x89PNG\r\n\x1a\n", 8);
const QByteArray XmpKeyword("XML:com.adobe.xmp");
constexpr qint64 MaxXmp = 64 * 1024 * 1024;

// The text of an iTXt chunk, inflated where it is compressed; null where it cannot be.
QByteArray internationalText(const QByteArray &data)
{
    const int keywordEnd = data.indexOf('\0');
    if (keywordEnd < 0 || keywordEnd + 3 > data.size())
        return QByteArray();
    const bool compressed = data.at(keywordEnd + 1) != 0;
    const int languageEnd = data.indexOf('\0', keywordEnd + 3);
    const int translatedEnd = languageEnd < 0 ? -1 : data.indexOf('\0', languageEnd + 1);
    if (translatedEnd < 0)
        return QByteArray();
    const QByteArray text = data.mid(translatedEnd + 1);
    if (!compressed)
        return text;
    QByteArray inflated(int(qMin<qint64>(MaxXmp, qint64(text.size()) * 16 + 1024)), '\0');
    for (;;) {
        uLongf length = uLongf(inflated.size());
        const int status =
            uncompress(reinterpret_cast<Bytef *>(inflated.data()), &length,
                       reinterpret_cast<const Bytef *>(text.constData()), uLong(text.size()));
        if (status == Z_OK)
            return inflated.left(int(length));
        if (status != Z_BUF_ERROR || inflated.size() >= MaxXmp)
            return QByteArray();
        inflated.resize(int(qMin<qint64>(MaxXmp, qint64(inflated.size()) * 4)));
    }
}

bool isXmpText(const QByteArray &type, const QByteArray &data)
{
    const bool text = type == "iTXt" || type == "tEXt" || type == "zTXt";
    return text && data.startsWith(XmpKeyword) && data.size() > XmpKeyword.size() &&
           data.at(XmpKeyword.size()) == '\0';
}

QByteArray chunk(const QByteArray &type, const QByteArray &data)
{
    QByteArray bytes(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), bytes.data());
    bytes += type + data;
    const uLong crc =
        crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(bytes.constData() + 4),
              uInt(bytes.size() - 4));
    QByteArray tail(4, '\0');
    qToBigEndian<quint32>(quint32(crc), tail.data());
    return bytes + tail;
}

} // namespace

Blocks read(const SourceFile &source)
{
    Blocks blocks;
    if (source.read(0, 8) != Signature)
        return blocks;
    for (qint64 at = 8; at + 12 <= source.size();) {
        const QByteArray header = source.read(at, 8);
        if (header.size() != 8)
            break;
        const qint64 length = qFromBigEndian<quint32>(header.constData());
        const QByteArray type = header.mid(4);
        if (length > source.size() - at - 12 || type == "IEND")
            break;
        if (type == "eXIf" && blocks.exif.isEmpty())
            blocks.exif = source.read(at + 8, length);
        else if (type == "iTXt" && blocks.xmp.isEmpty() && length <= MaxXmp) {
            const QByteArray data = source.read(at + 8, length);
            if (isXmpText(type, data))
                blocks.xmp = internationalText(data);
        }
        at += 12 + length;
    }
    if (blocks.exif.startsWith(QByteArray("Exif\0\0", 6)))
        blocks.exif.remove(0, 6);
    return blocks;
}

bool insertInto(QByteArray *png, const Blocks &blocks)
{
    if (!png->startsWith(Signature))
        return false;
    QByteArray inserted;
    if (!blocks.exif.isEmpty())
        inserted += chunk("eXIf", blocks.exif);
    if (!blocks.xmp.isEmpty())
        inserted += chunk("iTXt", XmpKeyword + QByteArray(5, '\0') + blocks.xmp);
    QByteArray result = Signature;
    for (int at = 8; at + 12 <= png->size();) {
        const qint64 length = qFromBigEndian<quint32>(png->constData() + at);
        if (length > png->size() - at - 12)
            return false;
        const QByteArray type = png->mid(at + 4, 4);
        const bool replaced =
            type == "eXIf" || isXmpText(type, png->mid(at + 8, int(qMin<qint64>(length, 64))));
        if (type == "IDAT" && !inserted.isEmpty()) {
            result += inserted;
            inserted.clear();
        }
        if (!replaced)
            result += png->mid(at, int(12 + length));
        at += int(12 + length);
    }
    *png = result;
    return true;
}

} // namespace PngMetadata
