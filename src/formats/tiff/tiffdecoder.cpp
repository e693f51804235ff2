#include "formats/tiff/tiffdecoder.h"

#include "formats/tiff/tiffcheck.h"
#include "formats/tiff/tiffclient.h"
#include "formats/tiff/tiffmetadata.h"
#include "formats/tiff/tiffpixels.h"
#include "metadata/exifblock.h"
#include "resample/pipelinedsink.h"
#include "resample/rowsink.h"
#include "system/sourcefile.h"

#include <QVector>

#include <climits>
#include <cstring>
#include <memory>

namespace TiffDecoder {

using Formats::Status;
using TiffPixels::Layout;

namespace {

constexpr int MaxPlanes = 64;
constexpr qint64 LargestBand = 32 * 1024 * 1024;

struct Free
{
    void operator()(void *p) const { _TIFFfree(p); }
};
using Buffer = std::unique_ptr<uchar, Free>;

// Copies `count` bits to bit `at` of `to`: samples narrower than a byte, from a tile whose rows
// end inside one (a width off the 16-pixel steps).
void copyBits(uchar *to, qint64 at, const uchar *from, qint64 count)
{
    for (qint64 i = 0; i < count; ++i, ++at) {
        const uchar mask = uchar(0x80 >> (at & 7));
        if (from[i >> 3] & (0x80 >> (i & 7)))
            to[at >> 3] |= mask;
        else
            to[at >> 3] &= uchar(~mask);
    }
}

// Hands out the stored rows in order, a strip or a row of tiles at a time, a band for each
// plane; through libtiff's RGBA conversion for the layouts only it reads.
class Bands
{
public:
    Bands(TIFF *tiff, const Layout &layout) : m_tiff(tiff), m_layout(layout)
    {
        quint32 rows = 0;
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rows);
        m_bandRows = int(qBound(qint64(1), qint64(rows), qint64(layout.height)));
        if (layout.tiled) {
            // A band is a row of whole tiles, as libtiff reads them from their top; the file
            // was refused where a tile is larger than the image explains.
            quint32 width = 0, height = 0;
            TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &width);
            TIFFGetField(tiff, TIFFTAG_TILELENGTH, &height);
            m_tileWidth = int(qBound(quint32(1), width, quint32(INT_MAX)));
            m_tileHeight = int(qBound(quint32(1), height, quint32(INT_MAX)));
            m_bandRows = qMin(m_tileHeight, layout.height);
        }
    }

    // A contiguous strip too large to hold is read a row at a time; libtiff inflates whole
    // strips nearly twice as fast.
    bool scanlines() const
    {
        return !m_layout.tiled && !m_layout.separate && !m_layout.viaRgba &&
               m_bandRows * rowBytes() > LargestBand;
    }
    qint64 rowBytes() const
    {
        return m_layout.viaRgba ? qint64(m_layout.width) * 4 : m_layout.rowBytes();
    }
    // What the bands and the tile being read hold.
    qint64 bytes() const
    {
        if (scanlines())
            return rowBytes();
        return m_bandRows * rowBytes() * m_layout.planes() + tileBytes();
    }

    bool allocate()
    {
        const int bands = scanlines() ? 1 : m_layout.planes();
        const qint64 rows = scanlines() ? 1 : m_bandRows;
        for (int p = 0; p < bands; ++p) {
            m_planes[p].reset(allocate_(rows * rowBytes()));
            if (!m_planes[p])
                return false;
            m_rows[p] = m_planes[p].get();
        }
        if (tileBytes() > 0) {
            m_tile.reset(allocate_(tileBytes()));
            return bool(m_tile);
        }
        return true;
    }

    // Row `y`, the next in order; false where libtiff could not read it whole.
    bool read(int y)
    {
        if (scanlines())
            return TIFFReadScanline(m_tiff, m_planes[0].get(), quint32(y), 0) == 1;
        if (y >= m_bandEnd && !readBand(y))
            return false;
        for (int p = 0; p < m_layout.planes(); ++p)
            m_rows[p] = m_planes[p].get() + (y - m_bandStart) * rowBytes();
        return true;
    }
    const uchar *const *rows() const { return m_rows; }

private:
    // libtiff's RGBA conversion fills a whole tile, however few of its rows the image has, or
    // the rows of a strip; its plain reading a stored tile.
    qint64 tileBytes() const
    {
        if (m_layout.viaRgba)
            return qint64(m_layout.tiled ? m_tileWidth : m_layout.width) *
                   (m_layout.tiled ? m_tileHeight : m_bandRows) * 4;
        return m_layout.tiled ? qint64(TIFFTileSize64(m_tiff)) : 0;
    }

    static uchar *allocate_(qint64 bytes)
    {
        return bytes > 0 ? static_cast<uchar *>(_TIFFmalloc(tmsize_t(bytes))) : nullptr;
    }

    bool readBand(int y)
    {
        m_bandStart = y - y % m_bandRows;
        m_bandEnd = qMin(m_bandStart + m_bandRows, m_layout.height);
        if (m_layout.viaRgba)
            return m_layout.tiled ? readRgbaTiles() : readRgbaStrip();
        for (int p = 0; p < m_layout.planes(); ++p)
            if ((m_layout.planes() == 1 || m_layout.used(p)) &&
                !(m_layout.tiled ? readTiles(p) : readStrip(p)))
                return false;
        return true;
    }

    bool readStrip(int plane)
    {
        const quint32 strip = TIFFComputeStrip(m_tiff, quint32(m_bandStart), quint16(plane));
        const tmsize_t expected = tmsize_t((m_bandEnd - m_bandStart) * rowBytes());
        return TIFFReadEncodedStrip(m_tiff, strip, m_planes[plane].get(), expected) == expected;
    }

    bool readTiles(int plane)
    {
        const qint64 tileRow = TIFFTileRowSize64(m_tiff);
        const int bits = m_layout.bits * (m_layout.separate ? 1 : m_layout.samples);
        for (int x = 0; x < m_layout.width; x += m_tileWidth) {
            const tmsize_t size = TIFFTileSize(m_tiff);
            if (TIFFReadTile(m_tiff, m_tile.get(), quint32(x), quint32(m_bandStart), 0,
                             quint16(plane)) != size)
                return false;
            const qint64 from = qint64(x) * bits;
            const qint64 length = qMin(tileRow, rowBytes() - from / 8);
            const qint64 columns = qMin(m_tileWidth, m_layout.width - x);
            for (int r = 0; r < m_bandEnd - m_bandStart; ++r) {
                uchar *row = m_planes[plane].get() + r * rowBytes();
                if (from % 8 == 0)
                    std::memcpy(row + from / 8, m_tile.get() + r * tileRow, size_t(length));
                else
                    copyBits(row, from, m_tile.get() + r * tileRow, columns * bits);
            }
        }
        return true;
    }

    // libtiff's RGBA rows run from the bottom up.
    bool readRgbaStrip()
    {
        const int rows = m_bandEnd - m_bandStart;
        auto *raster = reinterpret_cast<quint32 *>(m_tile.get());
        if (!TIFFReadRGBAStrip(m_tiff, quint32(m_bandStart), raster))
            return false;
        for (int r = 0; r < rows; ++r)
            std::memcpy(m_planes[0].get() + r * rowBytes(),
                        raster + qint64(rows - 1 - r) * m_layout.width, size_t(rowBytes()));
        return true;
    }

    bool readRgbaTiles()
    {
        auto *raster = reinterpret_cast<quint32 *>(m_tile.get());
        for (int x = 0; x < m_layout.width; x += m_tileWidth) {
            if (!TIFFReadRGBATile(m_tiff, quint32(x), quint32(m_bandStart), raster))
                return false;
            const int columns = qMin(m_tileWidth, m_layout.width - x);
            for (int r = 0; r < m_bandEnd - m_bandStart; ++r)
                std::memcpy(m_planes[0].get() + r * rowBytes() + qint64(x) * 4,
                            raster + qint64(m_tileHeight - 1 - r) * m_tileWidth,
                            size_t(columns) * 4);
        }
        return true;
    }

    TIFF *m_tiff;
    const Layout &m_layout;
    int m_bandRows = 1;
    int m_tileWidth = 0;
    int m_tileHeight = 0;
    int m_bandStart = 0;
    int m_bandEnd = 0;
    Buffer m_planes[MaxPlanes];
    const uchar *m_rows[MaxPlanes] = {};
    Buffer m_tile;
};

// The largest strip or tile as stored, which libtiff reads whole before decoding it.
qint64 largestStored(TIFF *tiff)
{
    const quint32 count = TIFFIsTiled(tiff) ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
    qint64 largest = 0;
    for (quint32 i = 0; i < count && i < (1u << 20); ++i)
        largest = qMax(largest, qint64(TIFFGetStrileByteCount(tiff, i)));
    const qint64 decoded = TIFFIsTiled(tiff) ? TIFFTileSize64(tiff) : TIFFStripSize64(tiff);
    return qMin(largest, decoded);
}

// An uncompressed strip or tile stored shorter than its rows: libtiff would read on into what
// follows it. Its words where one is. Counts that disagree with each other libtiff replaces,
// with only a warning, by what the rows need: data cut short then shows as the next block
// starting before it ends, or the file ending, where the blocks are stored in order.
QString shortBlock(TIFF *tiff, const Layout &layout, qint64 fileSize)
{
    quint16 compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    if (compression != COMPRESSION_NONE || layout.viaRgba)
        return QString();
    const bool tiled = TIFFIsTiled(tiff);
    const quint32 count = tiled ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
    const quint32 perPlane = count / quint32(layout.planes());
    quint32 rows = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rows);
    rows = qBound(quint32(1), rows, quint32(layout.height));
    for (quint32 i = 0; i < count; ++i) {
        const quint32 first = (i % qMax(perPlane, quint32(1))) * rows;
        const qint64 needed =
            tiled
                ? qint64(TIFFTileSize64(tiff))
                : qint64(qMin(rows, quint32(layout.height) - qMin(first, quint32(layout.height)))) *
                      layout.rowBytes();
        const quint64 offset = TIFFGetStrileOffset(tiff, i);
        const quint64 next = i + 1 < count ? TIFFGetStrileOffset(tiff, i + 1) : quint64(fileSize);
        const qint64 room = next > offset ? qint64(next - offset) : i + 1 < count ? needed : 0;
        const qint64 stored = qMin(qint64(TIFFGetStrileByteCount(tiff, i)), room);
        if (stored < needed)
            return QStringLiteral("Read error on %1 %2; got %3 bytes, expected %4")
                .arg(tiled ? "tile" : "strip")
                .arg(i)
                .arg(stored)
                .arg(needed);
    }
    return QString();
}

class Decoder : public Formats::Decoder
{
public:
    explicit Decoder(const SourceFile &source) : m_source(source)
    {
        TiffCheck::start();
        m_client = std::make_unique<TiffClient>(source);
        TIFF *tiff = m_client->tiff();
        if (!tiff) {
            refuse(Status::Failed, TiffCheck::words());
            return;
        }
        const QString implausible = TiffCheck::implausible(tiff);
        if (!implausible.isEmpty()) {
            refuse(Status::Damaged, implausible);
            return;
        }
        QString words;
        if (!TiffPixels::readLayout(tiff, &m_layout, &words) || m_layout.samples > MaxPlanes) {
            refuse(Status::Failed, words);
            return;
        }
        m_header.stored = QSize(m_layout.width, m_layout.height);
        m_directoryError = TiffCheck::anyError();
        quint16 orientation = ORIENTATION_TOPLEFT;
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
        m_header.transform = ExifBlock::transformationOf(orientation);
        // libtiff's RGBA conversion would turn the rows itself.
        if (m_layout.viaRgba)
            TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    }

    int imageCount() override { return TiffCheck::pageCount(m_source); }
    bool isLossless() override
    {
        quint16 compression = COMPRESSION_NONE;
        if (m_client->tiff())
            TIFFGetFieldDefaulted(m_client->tiff(), TIFFTAG_COMPRESSION, &compression);
        return compression != COMPRESSION_JPEG && compression != COMPRESSION_OJPEG &&
               compression != COMPRESSION_WEBP && compression != COMPRESSION_JXL;
    }
    PhotoMetadata metadata() override;
    qint64 memoryEstimate(const Target &target) override;
    Status decode(const Target &target, QImage *out, QString *words) override;

private:
    Status pushRows(RowSink *sink);
    void describe(QImage *out);

    const SourceFile &m_source;
    std::unique_ptr<TiffClient> m_client;
    Layout m_layout;
    bool m_directoryError = false; // an image read despite one is not to be trusted
};

PhotoMetadata Decoder::metadata()
{
    if (!m_client || !m_client->tiff() || !m_header.stored.isValid())
        return PhotoMetadata();
    PhotoMetadata::Record record = TiffMetadata::read(m_source, m_client->tiff()).record();
    // The inks' profile went into the conversion: the pixels are sRGB.
    const int photometric = m_layout.photometric;
    if (photometric == PHOTOMETRIC_SEPARATED || photometric == PHOTOMETRIC_CIELAB ||
        photometric == PHOTOMETRIC_ICCLAB) {
        record.profile = record.icc;
        record.icc.clear();
    }
    return PhotoMetadata(record);
}

// The bands, libtiff's stored strip or tile, the converter's rows and the sink.
qint64 Decoder::memoryEstimate(const Target &target)
{
    if (!m_header.stored.isValid())
        return 0;
    TIFF *tiff = m_client->tiff();
    const RowLayout layout = TiffPixels::rowLayout(m_layout);
    const qint64 sink =
        target.sinkEstimate(m_header.stored, m_header.upright(), m_header.transform, layout);
    const Bands bands(tiff, m_layout);
    const qint64 converter = qint64(m_layout.width) * (m_layout.samples + 12) * 4;
    const qint64 fixed = 2 * 1024 * 1024;
    return sink + bands.bytes() + largestStored(tiff) + converter + fixed;
}

Status Decoder::pushRows(RowSink *sink)
{
    TIFF *tiff = m_client->tiff();
    Bands bands(tiff, m_layout);
    TiffPixels::Converter converter(m_layout);
    if (!bands.allocate() || !converter.isValid())
        return Status::Failed;
    const bool floats = TiffPixels::rowLayout(m_layout).kind == RowLayout::Kind::Floats;
    // Every row is read, those the output does not use too: a damaged strip anywhere refuses
    // the file.
    for (int y = 0, next = sink->nextRow(0); y < m_layout.height; ++y) {
        if (!bands.read(y) || TiffCheck::dataDamaged())
            return Status::Damaged;
        if (y != next)
            continue;
        next = sink->nextRow(y + 1);
        if (m_layout.viaRgba)
            sink->pushImageRow(y, bands.rows()[0]);
        else if (floats)
            sink->pushFloatRow(
                y, static_cast<const float *>(converter.convert(bands.rows(), sink->columns())));
        else
            sink->pushImageRow(
                y, static_cast<const uchar *>(converter.convert(bands.rows(), sink->columns())));
    }
    return TiffCheck::anyError() || m_directoryError ? Status::Damaged : Status::Decoded;
}

// The colour space and the resolution, as the toolkit's plug-in gives them.
void Decoder::describe(QImage *out)
{
    TIFF *tiff = m_client->tiff();
    const PhotoMetadata::Record record = TiffMetadata::read(m_source, tiff, true).record();
    const QColorSpace space = TiffPixels::colourSpace(m_layout, record.icc, record.tiff.whitePoint,
                                                      record.tiff.primaries);
    if (space.isValid())
        out->setColorSpace(space);
    float x = 0, y = 0;
    quint16 unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (unit == RESUNIT_NONE || !TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &x) ||
        !TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &y))
        return;
    const double perMetre = unit == RESUNIT_CENTIMETER ? 100.0 : 100.0 / 2.54;
    if (x > 0 && y > 0 && x * perMetre < 1e9 && y * perMetre < 1e9) {
        out->setDotsPerMeterX(qRound(x * perMetre));
        out->setDotsPerMeterY(qRound(y * perMetre));
    }
}

Status Decoder::decode(const Target &target, QImage *out, QString *words)
{
    if (refusal() != Status::Decoded) {
        *words = refusalWords();
        return refusal();
    }
    TiffCheck::start();
    const QString cut = shortBlock(m_client->tiff(), m_layout, m_source.size());
    if (!cut.isEmpty()) {
        *words = cut;
        return Status::Damaged;
    }
    const RowLayout layout = TiffPixels::rowLayout(m_layout);
    const std::unique_ptr<RowSink> sink =
        pipelined(target.sink(m_header.stored, m_header.upright(), m_header.transform, layout),
                  m_header.stored, layout);
    if (!sink->isValid())
        return Status::Failed;
    const Status status = pushRows(sink.get());
    if (status != Status::Decoded) {
        *words = TiffCheck::words();
        return status;
    }
    *out = sink->result();
    if (out->isNull())
        return Status::Failed;
    describe(out);
    return Status::Decoded;
}

} // namespace

std::unique_ptr<Formats::Decoder> open(const SourceFile &source)
{
    return std::make_unique<Decoder>(source);
}

} // namespace TiffDecoder
