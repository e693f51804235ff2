#pragma once

#include <QByteArray>
#include <QList>
#include <QVector>

class SourceFile;

// The boxes of a HEIF file as ISO media lays them out: the one reader every HEIF file of the
// program walks them with, so that no box is taken for bytes inside another.
namespace HeifBoxes {

// Every check fails soft: a read past the end gives 0 and marks the reader bad.
class Bytes
{
public:
    Bytes(const QByteArray &data, int at, int end) : m_data(data), m_at(at), m_end(end) {}

    bool ok() const { return m_ok; }
    int at() const { return m_at; }
    quint64 read(int bytes)
    {
        if (bytes < 0 || bytes > 8 || m_at + bytes > m_end) {
            m_ok = false;
            return 0;
        }
        quint64 value = 0;
        for (int i = 0; i < bytes; ++i)
            value = value << 8 | uchar(m_data.at(m_at + i));
        m_at += bytes;
        return value;
    }
    QByteArray type()
    {
        read(4);
        return m_ok ? m_data.mid(m_at - 4, 4) : QByteArray();
    }

private:
    const QByteArray &m_data;
    int m_at, m_end;
    bool m_ok = true;
};

struct Box
{
    QByteArray type;
    int start = 0, content = 0, end = 0;
};

// The boxes between `from` and `to`; none where one of them is malformed.
QVector<Box> children(const QByteArray &data, int from, int to);

// The first box of `type`, or an empty one.
Box find(const QVector<Box> &boxes, const char *type);

// The meta box's content, as the file holds it; `*contentAt` is where it starts in the file.
QByteArray metaBox(const SourceFile &source, qint64 *contentAt);

// The item properties the meta box holds (its iprp's ipco), in order.
QVector<Box> properties(const QByteArray &meta);

// Each item's type, from the meta box's iinf.
QList<QByteArray> itemTypes(const QByteArray &meta);

} // namespace HeifBoxes
