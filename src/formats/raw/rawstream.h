#pragma once

#include <libraw/libraw_datastream.h>

#include <QByteArray>
#include <QtGlobal>

class SourceFile;

// libraw reads a raw through this: from the source, where it asks, through a buffer, as it
// reads a file of its own. The JPEG-coded tiles of a lossy DNG are read the same way.
class RawStream : public LibRaw_abstract_datastream
{
public:
    explicit RawStream(const SourceFile &source);

    int valid() override;
    int read(void *to, size_t size, size_t count) override;
    int seek(INT64 offset, int whence) override;
    INT64 tell() override { return m_position; }
    INT64 size() override;
    int get_char() override;
    char *gets(char *to, int size) override;
    int scanf_one(const char *format, void *value) override;
    int eof() override;
    void *make_jas_stream() override { return nullptr; }
    int jpeg_src(void *decompress) override;

    // Up to `length` bytes from the current position, moving past them.
    qint64 take(char *to, qint64 length);

private:
    bool fill();

    const SourceFile &m_source;
    qint64 m_position = 0;
    QByteArray m_buffer; // the file from m_bufferAt on
    qint64 m_bufferAt = 0;
};
