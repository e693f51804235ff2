#include "formats/raw/rawstream.h"

#include "formats/jpegsource.h"
#include "system/sourcefile.h"

#include <cstdio>
#include <cstring>

#include <jpeglib.h>
// after jpeglib.h, which it needs
#include <jerror.h>

namespace {

constexpr qint64 BufferBytes = 64 * 1024;

// libjpeg reads a lossy DNG's tiles from the stream's current position, as from a file.
struct TileSource
{
    JpegSource base;
    RawStream *stream;
    JOCTET buffer[4096];
};

qint64 nextBytes(j_decompress_ptr, JpegSource *base, JOCTET *to, qint64 length)
{
    return reinterpret_cast<TileSource *>(base)->stream->take(reinterpret_cast<char *>(to), length);
}

} // namespace

RawStream::RawStream(const SourceFile &source) : m_source(source) {}

int RawStream::valid()
{
    return m_source.isOpen() ? 1 : 0;
}

INT64 RawStream::size()
{
    return m_source.size();
}

// The buffer holds the bytes at the current position where it can.
bool RawStream::fill()
{
    if (m_position >= m_bufferAt && m_position < m_bufferAt + m_buffer.size())
        return true;
    m_bufferAt = m_position;
    m_buffer = m_source.read(m_position, BufferBytes);
    return !m_buffer.isEmpty();
}

qint64 RawStream::take(char *to, qint64 length)
{
    qint64 done = 0;
    while (done < length && fill()) {
        const qint64 at = m_position - m_bufferAt;
        const qint64 part = qMin(length - done, qint64(m_buffer.size()) - at);
        std::memcpy(to + done, m_buffer.constData() + at, size_t(part));
        done += part;
        m_position += part;
    }
    return done;
}

int RawStream::read(void *to, size_t size, size_t count)
{
    if (size == 0)
        return 0;
    const qint64 want = qint64(size) * qint64(count);
    if (want > BufferBytes) { // large reads straight into place, past the buffer
        const qint64 got = m_source.read(m_position, static_cast<char *>(to), want);
        m_position += qMax<qint64>(got, 0);
        return int(qMax<qint64>(got, 0) / qint64(size));
    }
    return int(take(static_cast<char *>(to), want) / qint64(size));
}

int RawStream::seek(INT64 offset, int whence)
{
    switch (whence) {
    case SEEK_SET:
        m_position = offset;
        break;
    case SEEK_CUR:
        m_position += offset;
        break;
    case SEEK_END:
        m_position = m_source.size() + offset;
        break;
    default:
        return -1;
    }
    m_position = qBound<qint64>(0, m_position, m_source.size());
    return 0;
}

int RawStream::get_char()
{
    if (!fill())
        return -1;
    return uchar(m_buffer.at(int(m_position++ - m_bufferAt)));
}

char *RawStream::gets(char *to, int size)
{
    if (size <= 0)
        return nullptr;
    int i = 0;
    while (i < size - 1) {
        const int c = get_char();
        if (c < 0)
            break;
        to[i++] = char(c);
        if (c == '\n')
            break;
    }
    to[i] = '\0';
    return i > 0 ? to : nullptr;
}

// As libraw's own stream over memory does: the value read from the bytes here, then past the
// next separator, at most 24 bytes on.
int RawStream::scanf_one(const char *format, void *value)
{
    char text[32];
    const qint64 start = m_position;
    const qint64 got = take(text, qint64(sizeof text) - 1);
    m_position = start;
    if (got <= 0)
        return EOF;
    text[got] = '\0';
    const int result = std::sscanf(text, format, value);
    if (result > 0) {
        for (int skipped = 0; m_position < m_source.size();) {
            ++m_position;
            ++skipped;
            const int at = int(m_position - start);
            const char c = at < got ? text[at] : '\0';
            if (c == '\0' || c == ' ' || c == '\t' || c == '\n' || skipped > 24)
                break;
        }
    }
    return result;
}

int RawStream::eof()
{
    return m_position >= m_source.size() ? 1 : 0;
}

int RawStream::jpeg_src(void *decompress)
{
    auto *info = static_cast<j_decompress_ptr>(decompress);
    auto *source = static_cast<TileSource *>((*info->mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(info), JPOOL_PERMANENT, sizeof(TileSource)));
    source->base.next = nextBytes;
    source->base.buffer = source->buffer;
    source->base.bufferBytes = qint64(sizeof source->buffer);
    source->stream = this;
    source->base.install(info);
    return 0;
}
