#include "metadata/location.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QtEndian>

namespace Location {

namespace {

const QByteArray ExtendedSignature("http://ns.adobe.com/xmp/extension/\0", 35);
constexpr int GuidLength = 32;
constexpr int HeaderLength = 35 + GuidLength + 8;
constexpr int ChunkLength = 65400; // under a segment's 65533 payload bytes with the header

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Where the white space before `at` starts.
int spaceBefore(const QByteArray &text, int at)
{
    while (at > 0 && isSpace(text.at(at - 1)))
        --at;
    return at;
}

// The end (one past) of a property at `nameAt` in element form starting at `open`, or -1.
int elementEnd(const QByteArray &text, int open, const QByteArray &name)
{
    const int close = text.indexOf('>', open);
    if (close < 0)
        return -1;
    if (text.at(close - 1) == '/')
        return close + 1;
    const int end = text.indexOf("</" + name + ">", close);
    return end < 0 ? -1 : end + name.size() + 3;
}

// The end (one past) of an attribute whose name ends at `after`, or -1.
int attributeEnd(const QByteArray &text, int after)
{
    int i = after;
    while (i < text.size() && isSpace(text.at(i)))
        ++i;
    if (i >= text.size() || text.at(i) != '=')
        return -1;
    for (++i; i < text.size() && isSpace(text.at(i));)
        ++i;
    if (i >= text.size() || (text.at(i) != '"' && text.at(i) != '\''))
        return -1;
    const int end = text.indexOf(text.at(i), i + 1);
    return end < 0 ? -1 : end + 1;
}

// Removes the first location property at or after `from`; the position to go on from, -1 where
// there is none left, or -2 where one cannot be removed.
int removeNext(QByteArray *text, int from, const Predicate &removed)
{
    static const QRegularExpression name(
        QStringLiteral("(?<![\\w.:-])([A-Za-z_][\\w.-]*):([A-Za-z_][\\w.-]*)"));
    const QString view = QString::fromLatin1(*text);
    for (auto it = name.globalMatch(view, from); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        if (m.captured(1) == QLatin1String("xmlns") ||
            !removed(m.captured(1).toLatin1(), m.captured(2).toLatin1()))
            continue;
        const int at = m.capturedStart(0);
        const int after = m.capturedEnd(0);
        const QByteArray qualified = m.captured(0).toLatin1();
        int start = -1, end = -1;
        if (at > 0 && text->at(at - 1) == '<') {
            start = spaceBefore(*text, at - 1);
            end = elementEnd(*text, at - 1, qualified);
        } else if (at > 0 && text->at(at - 1) == '/') {
            continue; // an element's end, removed with its start
        } else if (at > 0 && isSpace(text->at(at - 1))) {
            start = spaceBefore(*text, at);
            end = attributeEnd(*text, after);
        }
        if (end < 0)
            return -2;
        text->remove(start, end - start);
        return start;
    }
    return -1;
}

struct Piece
{
    QByteArray guid;
    quint32 length = 0;
    quint32 offset = 0;
    QByteArray data;
};

bool readPiece(const QByteArray &segment, Piece *piece)
{
    if (!segment.startsWith(ExtendedSignature) || segment.size() < HeaderLength)
        return false;
    piece->guid = segment.mid(35, GuidLength);
    piece->length = qFromBigEndian<quint32>(segment.constData() + 35 + GuidLength);
    piece->offset = qFromBigEndian<quint32>(segment.constData() + 35 + GuidLength + 4);
    piece->data = segment.mid(HeaderLength);
    return qint64(piece->offset) + piece->data.size() <= piece->length;
}

// The whole packet the pieces make, or false where they overlap, leave a gap or disagree.
bool assemble(const QList<QByteArray> &segments, QByteArray *guid, QByteArray *packet)
{
    qint64 filled = 0;
    for (const QByteArray &segment : segments) {
        Piece piece;
        if (!readPiece(segment, &piece) || (!guid->isEmpty() && piece.guid != *guid) ||
            (!packet->isEmpty() && quint32(packet->size()) != piece.length) ||
            piece.length > 64u * 1024 * 1024)
            return false;
        if (packet->isEmpty())
            *packet = QByteArray(int(piece.length), '\0');
        *guid = piece.guid;
        packet->replace(int(piece.offset), piece.data.size(), piece.data);
        filled += piece.data.size();
    }
    return filled == packet->size();
}

QList<QByteArray> cut(const QByteArray &packet, const QByteArray &guid)
{
    QList<QByteArray> segments;
    for (int offset = 0; offset < packet.size(); offset += ChunkLength) {
        QByteArray header(8, '\0');
        qToBigEndian<quint32>(quint32(packet.size()), header.data());
        qToBigEndian<quint32>(quint32(offset), header.data() + 4);
        segments.append(ExtendedSignature + guid + header + packet.mid(offset, ChunkLength));
    }
    return segments;
}

} // namespace

bool isLocationName(const QByteArray &localName)
{
    const QByteArray lower = localName.toLower();
    return lower.startsWith("gps") || lower.contains("latitude") || lower.contains("longitude") ||
           lower.contains("altitude");
}

bool removeProperties(QByteArray *packet, const Predicate &removed)
{
    QByteArray edited = *packet;
    int from = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        from = removeNext(&edited, from, removed);
        if (from == -2)
            return false;
        if (from == -1) {
            *packet = edited;
            return true;
        }
    }
    return false;
}

bool removeFromExtended(QList<QByteArray> *segments, QByteArray *mainPacket,
                        const Predicate &removed)
{
    if (segments->isEmpty())
        return true;
    QByteArray guid, packet;
    if (!assemble(*segments, &guid, &packet))
        return false;
    QByteArray cleaned = packet;
    if (!removeProperties(&cleaned, removed))
        return false;
    if (cleaned == packet)
        return true;
    const QByteArray newGuid =
        QCryptographicHash::hash(cleaned, QCryptographicHash::Md5).toHex().toUpper();
    mainPacket->replace(guid, newGuid);
    *segments = cut(cleaned, newGuid);
    return true;
}

static bool isLocation(const QByteArray &, const QByteArray &localName)
{
    return isLocationName(localName);
}

bool removeFromXmp(QByteArray *packet)
{
    return removeProperties(packet, isLocation);
}

bool removeFromExtendedXmp(QList<QByteArray> *segments, QByteArray *mainPacket)
{
    return removeFromExtended(segments, mainPacket, isLocation);
}

} // namespace Location
