// libFuzzer target for the PNG deflate done beside the toolkit's writer: an image of over
// 1 MiB of data made from the input, written stored by the toolkit as the PNG writer has it
// written, deflated again on one to four cores. Every chunk's CRC must hold, the other chunks
// stay as they were, in order, the image data must inflate to the stored file's, and the file
// must be the one written on one core.
#include "formats/png/pngdeflate.h"
#include "formats/toolkitcodec.h"

#include <QCoreApplication>
#include <QImage>
#include <QtEndian>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <zlib.h>

namespace {

std::atomic<int> byZlib{0};
std::atomic<int> byLibdeflate{0};

struct Chunk
{
    QByteArray type;
    QByteArray data;
};

[[noreturn]] void fail(const char *what, int cores)
{
    std::fprintf(stderr, "fuzz_pngshares: %s (%d cores)\n", what, cores);
    std::abort();
}

// The chunks, each one's CRC checked, the last IEND; with `idatOnly`, only the IDAT chunks'
// CRCs, for a file that came in broken. False where the file is not whole.
bool readChunks(const QByteArray &png, QVector<Chunk> *chunks, bool idatOnly = false)
{
    if (!png.startsWith("\x89PNG\r\n\x1A\n"))
        return false;
    qint64 at = 8;
    while (at + 12 <= png.size()) {
        const quint32 length = qFromBigEndian<quint32>(png.constData() + at);
        if (length > quint32(png.size() - at - 12))
            return false;
        const char *typed = png.constData() + at + 4;
        const quint32 crc = quint32(crc32(0, reinterpret_cast<const Bytef *>(typed), length + 4));
        if ((!idatOnly || std::memcmp(typed, "IDAT", 4) == 0) &&
            crc != qFromBigEndian<quint32>(typed + 4 + length))
            return false;
        chunks->append({QByteArray(typed, 4), QByteArray(typed + 4, int(length))});
        at += 12 + qint64(length);
    }
    return at == png.size() && (idatOnly || (!chunks->isEmpty() && chunks->last().type == "IEND"));
}

// The image data of every IDAT chunk, one zlib stream with its check, inflated; empty where it
// does not inflate to its end with nothing left over.
QByteArray inflated(const QVector<Chunk> &chunks)
{
    QByteArray packed;
    for (const Chunk &chunk : chunks)
        if (chunk.type == "IDAT")
            packed += chunk.data;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return QByteArray();
    QByteArray out;
    stream.next_in = reinterpret_cast<Bytef *>(packed.data());
    stream.avail_in = uInt(packed.size());
    int result = Z_OK;
    char buffer[1 << 16];
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef *>(buffer);
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, int(sizeof buffer - stream.avail_out));
    }
    const bool whole = result == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    return whole ? out : QByteArray();
}

// The chunks other than IDAT, and where the IDAT run is, in order.
QByteArray outline(const QVector<Chunk> &chunks)
{
    QByteArray names;
    for (int i = 0; i < chunks.size(); ++i) {
        if (chunks.at(i).type != "IDAT") {
            names += chunks.at(i).type + chunks.at(i).data;
        } else if (i == 0 || chunks.at(i - 1).type != "IDAT") {
            names += "IDAT";
        }
    }
    return names;
}

// An image whose data is over PngDeflate::SmallestData in the format and of the width the
// input's first bytes choose, its samples the input's bytes repeated, with noise of the
// amplitude the fourth byte chooses: drawn-like data goes to zlib's shares, noise to
// libdeflate.
QImage imageFrom(const uint8_t *data, size_t size)
{
    static const QImage::Format formats[] = {QImage::Format_ARGB32,     QImage::Format_RGB32,
                                             QImage::Format_Grayscale8, QImage::Format_Grayscale16,
                                             QImage::Format_RGBA64,     QImage::Format_Indexed8};
    // The bytes of a pixel as the toolkit writes it: RGB32 without its padding byte.
    static const int written[] = {4, 3, 1, 2, 8, 1};
    const int kind = data[0] % 6;
    const QImage::Format format = formats[kind];
    const int width = 256 + 2 * data[1];
    const qint64 rowBytes = 1 + qint64(width) * written[kind];
    const int height = int((PngDeflate::SmallestData + rowBytes - 1) / rowBytes) + data[2] % 64;
    const quint32 noise = (1u << (data[3] % 9)) - 1;
    QImage image(width, height, format);
    if (format == QImage::Format_Indexed8) {
        QVector<QRgb> colours(256);
        for (int i = 0; i < 256; ++i)
            colours[i] = qRgba(data[i % size], data[(i + 1) % size], i, 255);
        image.setColorTable(colours);
    }
    const uint8_t *samples = data + 4;
    const size_t count = size - 4;
    quint32 state = 0x9E3779B9u ^ quint32(size);
    size_t at = 0;
    for (int y = 0; y < height; ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < image.bytesPerLine(); ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            line[x] = uchar(samples[at++ % count] + (state & noise));
        }
    }
    // Text chunks the deflate must leave where they are.
    image.setText("Comment", QString::fromLatin1(reinterpret_cast<const char *>(data),
                                                 int(qMin<size_t>(size, 40))));
    return image;
}

void printCounts()
{
    std::fprintf(stderr, "fuzz_pngshares: deflated by zlib's shares %d times, by libdeflate %d\n",
                 byZlib.load(), byLibdeflate.load());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv); // the image plugins are found through it
    std::atexit(printCounts);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 6)
        return 0;
    // Any bytes as such a file: refused, or deflated into a whole one.
    if (size > 8 && std::memcmp(data, "\x89PNG\r\n\x1A\n", 8) == 0) {
        QByteArray png(reinterpret_cast<const char *>(data), int(size));
        QVector<Chunk> chunks;
        if (PngDeflate::compress(&png, 2) && !readChunks(png, &chunks, true))
            fail("a hostile file deflated into a broken one", 2);
        return 0;
    }
    const int cores = 1 + data[4] % 4;
    const QImage image = imageFrom(data, size);
    QByteArray stored;
    QString words;
    if (!ToolkitCodec::encode(image, "png", PngDeflate::StoredQuality, &stored, &words))
        fail("the toolkit wrote nothing", cores);
    QVector<Chunk> before;
    if (!readChunks(stored, &before))
        fail("the toolkit's file is broken", cores);
    const QByteArray raw = inflated(before);
    if (raw.size() < PngDeflate::SmallestData)
        fail("the toolkit's data is too small to be deflated here", cores);

    QByteArray png = stored;
    PngDeflate::Packer used = PngDeflate::Packer::Zlib;
    if (!PngDeflate::compress(&png, cores, &used))
        fail("the toolkit's stored file was not deflated", cores);
    ++(used == PngDeflate::Packer::Zlib ? byZlib : byLibdeflate);
    QVector<Chunk> after;
    if (!readChunks(png, &after))
        fail("a chunk is broken after the deflate", cores);
    if (outline(after) != outline(before))
        fail("the other chunks moved or changed", cores);
    if (inflated(after) != raw)
        fail("the image data inflates to something else", cores);
    QByteArray alone = stored;
    if (cores > 1 && (!PngDeflate::compress(&alone, 1) || alone != png))
        fail("the file differs from the one written on one core", cores);
    return 0;
}
