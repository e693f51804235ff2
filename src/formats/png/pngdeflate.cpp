#include "formats/png/pngdeflate.h"

#include "system/helperthreads.h"

#include <QVector>
#include <QtEndian>
#include <QtGlobal>

#include <libdeflate.h>
#include <zlib.h>

#include <atomic>
#include <thread>
#include <vector>

namespace PngDeflate {

namespace {

constexpr int ChunkBytes = 1 << 16;
constexpr int Window = 1 << 15;
// Each share costs a flush and the matches across its start: a few tens of bytes in a megabyte.
constexpr qint64 ShareBytes = qint64(1) << 20;
constexpr int SignatureBytes = 8;
// libdeflate's 6 is several times faster than zlib's 6, which libpng uses, and packs most photos
// no larger.
constexpr int LibdeflateLevel = 6;
// Where the two packers are compared: even samples of the data, an eighth of it or less.
constexpr int Samples = 4;
constexpr qint64 SampleBytes = qint64(1) << 17;
// Data zlib packs into less than this share is drawn, not photographed: zlib is fast on it, and
// libdeflate's packing of it varies more from its samples'.
constexpr double PhotoShare = 0.05;
// Against zlib's, libdeflate's samples come out up to half a percent larger than its whole stream
// does, so no larger on samples is enough; Huffman codes or runs alone come out smaller on
// samples than whole, zlib's long matches counting more over the whole: they must do better.
constexpr double LibdeflateTolerance = 1.0;
constexpr double ZlibTolerance = 0.99;

struct Chunk
{
    qint64 at = 0; // its length field
    quint32 length = 0;
    QByteArray type;
};

// The file's chunks in order; empty where one runs past the end.
QVector<Chunk> chunks(const QByteArray &png)
{
    QVector<Chunk> all;
    qint64 at = SignatureBytes;
    while (at + 12 <= png.size()) {
        Chunk chunk;
        chunk.at = at;
        chunk.length = qFromBigEndian<quint32>(png.constData() + at);
        chunk.type = png.mid(int(at + 4), 4);
        if (chunk.length > quint32(png.size() - at - 12))
            return {};
        all.append(chunk);
        at += 12 + qint64(chunk.length);
    }
    return at == png.size() ? all : QVector<Chunk>();
}

// The bytes the filtered rows take, each with its filter byte, from the IHDR chunk; 0 for an
// interlaced image, whose passes differ. `*strategy` is libpng's: rows filtered only where
// samples are whole bytes and not indices.
qint64 filteredBytes(const QByteArray &png, const Chunk &header, int *strategy)
{
    if (header.type != "IHDR" || header.length != 13)
        return 0;
    const char *data = png.constData() + header.at + 8;
    const quint32 width = qFromBigEndian<quint32>(data);
    const quint32 height = qFromBigEndian<quint32>(data + 4);
    const int depth = uchar(data[8]);
    const int colour = uchar(data[9]);
    const int samples = colour == 0 ? 1 : colour == 2 ? 3 : colour == 3 ? 1 : colour == 4 ? 2 : 4;
    if (uchar(data[12]) != 0)
        return 0;
    *strategy = colour == 3 || depth < 8 ? Z_DEFAULT_STRATEGY : Z_FILTERED;
    return qint64(height) * (1 + (qint64(width) * samples * depth + 7) / 8);
}

void appendChunk(QByteArray *out, const char *type, const char *data, int length)
{
    char field[4];
    qToBigEndian<quint32>(quint32(length), field);
    out->append(field, 4);
    const int from = out->size();
    out->append(type, 4);
    out->append(data, length);
    qToBigEndian<quint32>(quint32(crc32(0, reinterpret_cast<const Bytef *>(out->constData() + from),
                                        uInt(length + 4))),
                          field);
    out->append(field, 4);
}

// The image data of every IDAT chunk, one zlib stream, inflated into `raw`, which it fills.
bool inflateData(const QByteArray &png, const QVector<Chunk> &all, QByteArray *raw)
{
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return false;
    stream.next_out = reinterpret_cast<Bytef *>(raw->data());
    stream.avail_out = uInt(raw->size());
    int result = Z_OK;
    for (const Chunk &chunk : all) {
        if (chunk.type != "IDAT" || result != Z_OK)
            continue;
        stream.next_in =
            reinterpret_cast<Bytef *>(const_cast<char *>(png.constData()) + chunk.at + 8);
        stream.avail_in = uInt(chunk.length);
        result = inflate(&stream, Z_NO_FLUSH);
    }
    const bool whole = result == Z_STREAM_END && stream.avail_out == 0;
    inflateEnd(&stream);
    return whole;
}

// One share of the data deflated as libpng deflates it, primed with the window before it, and
// ended on a byte boundary so that the next share's blocks follow it; the last one ends the
// stream.
struct Share
{
    const char *data = nullptr;
    qint64 length = 0;
    qint64 primed = 0; // bytes before `data` to prime with
    bool last = false;
    int strategy = Z_FILTERED;
    QByteArray packed;
    uLong adler = 1;
    bool ok = false;
};

void deflateShare(Share *share)
{
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, share->strategy) != Z_OK)
        return;
    const auto *data = reinterpret_cast<const Bytef *>(share->data);
    bool ok = share->primed == 0 ||
              deflateSetDictionary(&stream, data - share->primed, uInt(share->primed)) == Z_OK;
    try {
        share->packed.resize(int(deflateBound(&stream, uLong(share->length)) + 16));
    } catch (const std::bad_alloc &) {
        deflateEnd(&stream);
        return;
    }
    stream.next_in = const_cast<Bytef *>(data);
    stream.avail_in = uInt(share->length);
    stream.next_out = reinterpret_cast<Bytef *>(share->packed.data());
    stream.avail_out = uInt(share->packed.size());
    const int result =
        ok ? deflate(&stream, share->last ? Z_FINISH : Z_SYNC_FLUSH) : Z_STREAM_ERROR;
    ok = share->last ? result == Z_STREAM_END : result == Z_OK && stream.avail_in == 0;
    share->packed.resize(int(stream.total_out));
    deflateEnd(&stream);
    share->adler = adler32(1, data, uInt(share->length));
    share->ok = ok;
}

// What zlib, set as libpng sets it, and libdeflate make of `length` bytes on their own, as raw
// deflate streams.
qint64 zlibPacked(const char *data, qint64 length, int strategy, QByteArray *scratch)
{
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, strategy) != Z_OK)
        return -1;
    scratch->resize(int(deflateBound(&stream, uLong(length))));
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    stream.avail_in = uInt(length);
    stream.next_out = reinterpret_cast<Bytef *>(scratch->data());
    stream.avail_out = uInt(scratch->size());
    const bool ok = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    deflateEnd(&stream);
    return ok ? qint64(stream.total_out) : -1;
}

qint64 libdeflatePacked(libdeflate_compressor *packer, const char *data, qint64 length,
                        QByteArray *scratch)
{
    scratch->resize(int(libdeflate_deflate_compress_bound(packer, size_t(length))));
    const size_t packed =
        libdeflate_deflate_compress(packer, data, size_t(length), scratch->data(), scratch->size());
    scratch->resize(int(packed));
    return packed > 0 ? qint64(packed) : -1;
}

// How the shares are packed: by libdeflate at `level`, or by zlib with `strategy`.
struct Choice
{
    int level = 0;
    int strategy = Z_FILTERED;
    double tolerance = 1.0; // the share of zlib's bytes on samples it must come within
};

// The fastest way that packs even samples of `raw` no larger than zlib set as libpng sets it,
// the smallest of them: libdeflate, or zlib with only Huffman codes or runs, each several times
// faster, and smaller on smooth rows, where the short matches zlib takes cost more than they
// save. zlib as libpng sets it where none is, or where the data is drawn.
Choice chosen(const QByteArray &raw, int strategy)
{
    const qint64 length = qMin(SampleBytes, qint64(raw.size()) / (8 * Samples));
    QByteArray scratch;
    const auto packed = [&](const Choice &way) {
        libdeflate_compressor *packer =
            way.level > 0 ? libdeflate_alloc_compressor(way.level) : nullptr;
        qint64 bytes = way.level > 0 && !packer ? -1 : 0;
        for (int i = 0; i < Samples && bytes >= 0; ++i) {
            const char *sample = raw.constData() + qint64(raw.size()) * (2 * i + 1) / (2 * Samples);
            const qint64 n = packer ? libdeflatePacked(packer, sample, length, &scratch)
                                    : zlibPacked(sample, length, way.strategy, &scratch);
            bytes = n < 0 ? -1 : bytes + n;
        }
        libdeflate_free_compressor(packer);
        return bytes;
    };
    const Choice libpng{0, strategy};
    if (length <= 0)
        return libpng;
    const qint64 byZlib = packed(libpng);
    if (byZlib < 0 || double(byZlib) < PhotoShare * double(Samples * length))
        return libpng;
    Choice best = libpng;
    double bestBytes = double(byZlib);
    for (const Choice &way :
         {Choice{LibdeflateLevel, 0, LibdeflateTolerance}, Choice{0, Z_HUFFMAN_ONLY, ZlibTolerance},
          Choice{0, Z_RLE, ZlibTolerance}}) {
        const qint64 bytes = packed(way);
        if (bytes >= 0 && double(bytes) <= way.tolerance * double(byZlib) &&
            double(bytes) <= bestBytes) {
            best = way;
            bestBytes = double(bytes);
        }
    }
    return best;
}

// A complete raw deflate stream, `packed`, left open for the next share's blocks: its last
// block no longer marked last, and an empty stored block after it bringing it to a byte
// boundary, as a sync flush would. Its blocks are walked by zlib to find where the last begins.
bool leaveOpen(QByteArray *packed, qint64 length)
{
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK)
        return false;
    QByteArray scratch;
    try {
        scratch.resize(int(length) + 1);
    } catch (const std::bad_alloc &) {
        inflateEnd(&stream);
        return false;
    }
    auto *bytes = reinterpret_cast<Bytef *>(packed->data());
    stream.next_in = bytes;
    stream.avail_in = uInt(packed->size());
    stream.next_out = reinterpret_cast<Bytef *>(scratch.data());
    stream.avail_out = uInt(scratch.size());
    qint64 headerByte = 0; // where the block being read begins
    int headerBit = 0;
    int held = -1; // bits of the last byte the last block leaves unused
    int result = Z_OK;
    while ((result = inflate(&stream, Z_BLOCK)) == Z_OK) {
        if (!(stream.data_type & 128))
            continue;
        // Between blocks zlib holds fewer than eight bits, the rest of the last byte it took.
        const int bits = stream.data_type & 7;
        if (stream.data_type & 64) {
            held = bits;
            continue;
        }
        headerByte = (stream.next_in - bytes) - (bits ? 1 : 0);
        headerBit = bits ? 8 - bits : 0;
    }
    const bool whole = result == Z_STREAM_END && held >= 0 && stream.avail_in == 0 &&
                       qint64(stream.total_out) == length;
    inflateEnd(&stream);
    if (!whole)
        return false;
    (*packed)[int(headerByte)] = char(packed->at(int(headerByte)) & ~(1 << headerBit));
    // The stored block's three header bits are zero: the last byte's unused bits, cleared, hold
    // them where there are three.
    const int last = packed->size() - 1;
    (*packed)[last] = char(packed->at(last) & ((1 << (8 - held)) - 1));
    if (held < 3)
        packed->append('\0');
    packed->append("\0\0\xff\xff", 4);
    return true;
}

void libdeflateShare(Share *share, libdeflate_compressor *packer)
{
    try {
        share->ok = libdeflatePacked(packer, share->data, share->length, &share->packed) > 0 &&
                    (share->last || leaveOpen(&share->packed, share->length));
    } catch (const std::bad_alloc &) {
        share->ok = false;
    }
    share->adler = adler32(1, reinterpret_cast<const Bytef *>(share->data), uInt(share->length));
}

// Takes shares in turn, by zlib or by a libdeflate of its own.
void packShares(std::vector<Share> *shares, std::atomic<size_t> *next, int level)
{
    libdeflate_compressor *packer = level > 0 ? libdeflate_alloc_compressor(level) : nullptr;
    for (size_t i = (*next)++; i < shares->size(); i = (*next)++) {
        if (level == 0)
            deflateShare(&(*shares)[i]);
        else if (packer)
            libdeflateShare(&(*shares)[i], packer);
    }
    libdeflate_free_compressor(packer);
}

// `raw` deflated into one zlib stream in shares of a fixed size, as pigz does, `cores` threads
// taking them in turn: the stream is the same on any number of cores.
QByteArray deflateData(const QByteArray &raw, int cores, const Choice &way)
{
    std::vector<Share> shares(size_t(qMax<qint64>(1, (raw.size() + ShareBytes - 1) / ShareBytes)));
    for (size_t i = 0; i < shares.size(); ++i) {
        const qint64 from = qint64(i) * ShareBytes;
        shares[i].data = raw.constData() + from;
        shares[i].length = qMin<qint64>(ShareBytes, raw.size() - from);
        shares[i].primed = qMin<qint64>(from, Window);
        shares[i].last = i + 1 == shares.size();
        shares[i].strategy = way.strategy;
    }
    std::atomic<size_t> next{0};
    const int level = way.level;
    const auto work = [&shares, &next, level] { packShares(&shares, &next, level); };
    std::vector<std::thread> threads;
    const int helpers = qMin(cores, int(shares.size())) - 1;
    for (int i = 0; i < helpers; ++i)
        if (!HelperThreads::start(&threads, work))
            break;
    work();
    HelperThreads::joinAll(&threads);
    QByteArray stream("\x78\x9c", 2);
    uLong adler = 1;
    for (const Share &share : shares) {
        if (!share.ok)
            return QByteArray();
        stream.append(share.packed);
        adler = adler32_combine(adler, share.adler, z_off_t(share.length));
    }
    char field[4];
    qToBigEndian<quint32>(quint32(adler), field);
    stream.append(field, 4);
    return stream;
}

} // namespace

qint64 dataBytes(const QSize &size, int bytesPerPixel)
{
    return qint64(size.height()) * (1 + qint64(size.width()) * bytesPerPixel);
}

bool compress(QByteArray *png, int cores, Packer *used)
{
    const QVector<Chunk> all = chunks(*png);
    int strategy = Z_FILTERED;
    const qint64 rawBytes = all.isEmpty() ? 0 : filteredBytes(*png, all.first(), &strategy);
    if (rawBytes <= 0 || rawBytes > LargestData)
        return false;
    QByteArray raw(int(rawBytes), Qt::Uninitialized);
    if (!inflateData(*png, all, &raw))
        return false;
    const Choice way = chosen(raw, strategy);
    const QByteArray packed = deflateData(raw, cores, way);
    raw.clear();
    if (used)
        *used = way.level > 0                    ? Packer::Libdeflate
                : way.strategy == Z_HUFFMAN_ONLY ? Packer::ZlibHuffman
                : way.strategy == Z_RLE          ? Packer::ZlibRuns
                                                 : Packer::Zlib;
    if (packed.isEmpty())
        return false;
    const qint64 packedBytes = packed.size();
    QByteArray out(png->constData(), SignatureBytes);
    out.reserve(int(packedBytes) + (1 << 16));
    bool written = false;
    for (const Chunk &chunk : all) {
        if (chunk.type != "IDAT") {
            out.append(png->constData() + chunk.at, int(chunk.length) + 12);
            continue;
        }
        for (qint64 at = 0; !written && at < qint64(packedBytes); at += ChunkBytes)
            appendChunk(&out, "IDAT", packed.constData() + at,
                        int(qMin<qint64>(ChunkBytes, qint64(packedBytes) - at)));
        written = true;
    }
    *png = out;
    return true;
}

} // namespace PngDeflate
