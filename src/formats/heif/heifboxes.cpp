#include "formats/heif/heifboxes.h"

#include "system/sourcefile.h"

#include <QtEndian>

namespace HeifBoxes {

QVector<Box> children(const QByteArray &data, int from, int to)
{
    QVector<Box> boxes;
    for (int at = from; at + 8 <= to;) {
        Bytes bytes(data, at, to);
        quint64 size = bytes.read(4);
        Box box{bytes.type(), at, at + 8, 0};
        if (size == 1) {
            size = bytes.read(8);
            box.content = at + 16;
        } else if (size == 0) {
            size = quint64(to - at);
        }
        if (!bytes.ok() || size < quint64(box.content - at) || size > quint64(to - at))
            return {};
        box.end = at + int(size);
        boxes.append(box);
        at = box.end;
    }
    return boxes;
}

Box find(const QVector<Box> &boxes, const char *type)
{
    for (const Box &box : boxes)
        if (box.type == type)
            return box;
    return Box();
}

QByteArray metaBox(const SourceFile &source, qint64 *contentAt)
{
    for (qint64 at = 0; at + 8 <= source.size();) {
        const QByteArray header = source.read(at, 16);
        if (header.size() < 8)
            break;
        qint64 size = qFromBigEndian<quint32>(header.constData());
        qint64 headerSize = 8;
        if (size == 1 && header.size() == 16) {
            size = qint64(qFromBigEndian<quint64>(header.constData() + 8));
            headerSize = 16;
        } else if (size == 0) {
            size = source.size() - at;
        }
        if (header.mid(4, 4) == "meta" && size >= headerSize && size <= 16 * 1024 * 1024) {
            *contentAt = at + headerSize;
            return source.read(at + headerSize, size - headerSize);
        }
        if (size < 8)
            break;
        at += size;
    }
    return QByteArray();
}

QVector<Box> properties(const QByteArray &meta)
{
    const Box iprp = find(children(meta, 4, meta.size()), "iprp");
    const Box ipco = find(children(meta, iprp.content, iprp.end), "ipco");
    return children(meta, ipco.content, ipco.end);
}

QList<QByteArray> itemTypes(const QByteArray &meta)
{
    QList<QByteArray> types;
    const Box iinf = find(children(meta, 4, meta.size()), "iinf");
    Bytes bytes(meta, iinf.content, iinf.end);
    const int version = int(bytes.read(1));
    bytes.read(3);
    bytes.read(version == 0 ? 2 : 4);
    if (!bytes.ok())
        return types;
    for (const Box &entry : children(meta, bytes.at(), iinf.end)) {
        Bytes infe(meta, entry.content, entry.end);
        const int infeVersion = int(infe.read(1));
        infe.read(3);
        if (entry.type != "infe" || infeVersion < 2)
            continue;
        infe.read(infeVersion == 2 ? 2 : 4);
        infe.read(2);
        const QByteArray type = infe.type();
        if (infe.ok())
            types.append(type);
    }
    return types;
}

} // namespace HeifBoxes
