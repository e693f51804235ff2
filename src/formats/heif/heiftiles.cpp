#include "formats/heif/heiftiles.h"

#include "formats/heif/heifgrid.h"
#include "formats/heif/heifplanes.h"
#include "formats/heif/heifreader.h"
#include "resample/rowsink.h"
#include "system/helperthreads.h"
#include "system/peakmemory.h"
#include "system/sourcefile.h"
#include "system/workercores.h"

#include <QThread>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace HeifTiles {

using Formats::Status;

namespace {

// The most libheif may allocate for one image, as the whole decode is told.
constexpr int MaxSide = 1 << 16;
// What one tile's decoder allocates besides the tile's pictures: about 6 MB measured for
// 512 x 512 HEVC tiles.
constexpr qint64 TileDecoderOverhead = 8 * 1024 * 1024;

struct ImageFree
{
    void operator()(heif_image *image) const { heif_image_release(image); }
};
using Image = std::unique_ptr<heif_image, ImageFree>;

// One thread's own reading of the file: a context reads through its reader's position, which
// no two threads may share.
class Context
{
public:
    Context(const SourceFile &source, const QVector<qint64> &flags)
    {
        m_reader.source = &source;
        m_reader.hiddenFlags = &flags;
        if (!m_context)
            return;
        heif_context_set_max_decoding_threads(m_context, 0);
        heif_context_set_maximum_image_size_limit(m_context, MaxSide);
        m_ok = heif_context_read_from_reader(m_context, &HeifReader::functions, &m_reader, nullptr)
                   .code == heif_error_Ok;
    }
    ~Context() { heif_context_free(m_context); }
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;

    bool isOpen() const { return m_ok; }
    QSize tileSize(uint32_t id) const
    {
        heif_image_handle *handle = nullptr;
        if (heif_context_get_image_handle(m_context, id, &handle).code != heif_error_Ok)
            return QSize();
        const bool alpha = heif_image_handle_has_alpha_channel(handle);
        const QSize size(heif_image_handle_get_width(handle), heif_image_handle_get_height(handle));
        heif_image_handle_release(handle);
        return alpha ? QSize() : size;
    }
    // The tile as the grid's decode takes it: RGB planes, the tile's own decoding options.
    heif_error decode(uint32_t id, Image *image) const
    {
        heif_image_handle *handle = nullptr;
        heif_error e = heif_context_get_image_handle(m_context, id, &handle);
        heif_image *decoded = nullptr;
        if (e.code == heif_error_Ok)
            e = heif_decode_image(handle, &decoded, heif_colorspace_RGB, heif_chroma_444, nullptr);
        image->reset(decoded);
        heif_image_handle_release(handle);
        return e;
    }

private:
    HeifReader m_reader;
    heif_context *m_context = heif_context_alloc();
    bool m_ok = false;
};

// A decoded tile's three planes.
struct Planes
{
    const uint8_t *plane[3] = {};
    int stride[3] = {};

    // A tile coded larger than it declares is cut to its declared size, as the grid's own
    // decode cuts it.
    bool load(const heif_image *image, const QSize &size)
    {
        const heif_channel channels[3] = {heif_channel_R, heif_channel_G, heif_channel_B};
        for (int c = 0; c < 3; ++c) {
            if (heif_image_get_bits_per_pixel_range(image, channels[c]) != 8 ||
                heif_image_get_width(image, channels[c]) < size.width() ||
                heif_image_get_height(image, channels[c]) < size.height())
                return false;
            plane[c] = heif_image_get_plane_readonly(image, channels[c], &stride[c]);
            if (!plane[c])
                return false;
        }
        return true;
    }
};

// A tile row of the grid, or a tile column where the image turns a quarter: the tiles of the
// primary's rows, those the output reads decoded.
struct Band
{
    std::vector<Image> images;
    std::vector<Planes> planes;
};

// Where along and across the bands a coordinate falls.
struct Place
{
    int index = 0, local = 0;
};

class Decoder : public Tiles
{
public:
    Decoder(const SourceFile &source, const HeifGrid::Grid &grid)
        : m_source(source), m_grid(grid), m_map(HeifGrid::mapping(grid)), m_swap(m_map.xx == 0)
    {}

    bool prepare(const QSize &primary);
    qint64 memoryEstimate(const Target &target) override;
    Status decode(const Target &target, QImage *out, QString *words) override;

private:
    int bandSize() const { return m_swap ? m_tile.width() : m_tile.height(); }
    int crossSize() const { return m_swap ? m_tile.height() : m_tile.width(); }
    int crossCount() const { return m_swap ? m_grid.rows : m_grid.columns; }
    // Where the primary's row `y` and column `x` fall in the grid.
    Place band(int y) const
    {
        const int at = m_swap ? m_map.xy * y + m_map.x0 : m_map.yy * y + m_map.y0;
        return {at / bandSize(), at % bandSize()};
    }
    Place cross(int x) const
    {
        const int at = m_swap ? m_map.yx * x + m_map.y0 : m_map.xx * x + m_map.x0;
        return {at / crossSize(), at % crossSize()};
    }
    uint32_t tileId(int band, int cross) const
    {
        return m_grid.tiles.at(m_swap ? cross * m_grid.columns + band
                                      : band * m_grid.columns + cross);
    }
    int threadCount() const;
    Status load(int index, const std::vector<bool> &wanted, QString *words);
    QRgb pixel(const Place &b, const Place &c) const;
    void pushRows(RowSink *sink, const std::vector<bool> &wanted, Status *status, QString *words);

    const SourceFile &m_source;
    HeifGrid::Grid m_grid;
    HeifGrid::Mapping m_map;
    // The pasted RGB planes, as libheif hands the whole grid out.
    const RowLayout m_layout = RowLayout::image(QImage::Format_RGB32);
    bool m_swap;
    QSize m_tile;
    std::vector<std::unique_ptr<Context>> m_contexts;
    std::map<int, Band> m_bands;
    std::set<int> m_loaded; // the bands decoded so far
};

bool Decoder::prepare(const QSize &primary)
{
    if (m_map.size != primary || (m_map.xx == 0) != (m_map.yy == 0))
        return false;
    m_contexts.push_back(std::make_unique<Context>(m_source, m_grid.hiddenFlags));
    if (!m_contexts.front()->isOpen())
        return false;
    m_tile = m_grid.tileSize;
    for (uint32_t id : m_grid.tiles)
        if (!m_tile.isValid() || m_contexts.front()->tileSize(id) != m_tile)
            return false;
    const QSize covered(m_tile.width() * m_grid.columns, m_tile.height() * m_grid.rows);
    const QSize &size = m_grid.size;
    return covered.width() >= size.width() && covered.height() >= size.height() &&
           covered.width() - m_tile.width() < size.width() &&
           covered.height() - m_tile.height() < size.height();
}

int Decoder::threadCount() const
{
    const int cores = WorkerCores::forThisThread();
    return std::max(1, cores > 0 ? cores : QThread::idealThreadCount());
}

// The band's wanted tiles, shared among the row's cores.
Status Decoder::load(int index, const std::vector<bool> &wanted, QString *words)
{
    Band &band = m_bands[index];
    m_loaded.insert(index);
    band.images.resize(wanted.size());
    band.planes.resize(wanted.size());
    std::vector<int> tiles;
    for (int c = 0; c < int(wanted.size()); ++c)
        if (wanted[c])
            tiles.push_back(c);
    const int threads = std::min<int>(threadCount(), int(tiles.size()));
    while (int(m_contexts.size()) < threads)
        m_contexts.push_back(std::make_unique<Context>(m_source, m_grid.hiddenFlags));
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::mutex failure;
    Status status = Status::Decoded;
    const auto work = [&](const Context *context) {
        for (int k = next++; k < int(tiles.size()) && !failed; k = next++) {
            const int c = tiles[k];
            heif_error e = context->decode(tileId(index, c), &band.images[c]);
            bool ok = false;
            try {
                ok = e.code == heif_error_Ok && band.planes[c].load(band.images[c].get(), m_tile);
            } catch (const std::bad_alloc &) {
                e = {heif_error_Memory_allocation_error, heif_suberror_Unspecified, "bad_alloc"};
            }
            if (ok)
                continue;
            std::lock_guard<std::mutex> lock(failure);
            if (!failed.exchange(true)) {
                status = e.code == heif_error_Ok ? Status::Damaged : HeifPlanes::statusOf(e);
                *words = QString::fromUtf8(e.message);
            }
        }
    };
    // The tiles a helper that cannot start would take fall to the others.
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads && HelperThreads::start(&helpers, work, m_contexts.at(t).get());)
        ++t;
    work(m_contexts.front().get());
    HelperThreads::joinAll(&helpers);
    return status;
}

QRgb Decoder::pixel(const Place &b, const Place &c) const
{
    const Planes &planes = m_bands.at(b.index).planes.at(c.index);
    uint8_t rgb[3];
    for (int i = 0; i < 3; ++i) {
        const qint64 at = m_swap ? qint64(c.local) * planes.stride[i] + b.local
                                 : qint64(b.local) * planes.stride[i] + c.local;
        rgb[i] = planes.plane[i][at];
    }
    return qRgb(rgb[0], rgb[1], rgb[2]);
}

void Decoder::pushRows(RowSink *sink, const std::vector<bool> &wanted, Status *status,
                       QString *words)
{
    const QVector<int> &columns = sink->columns();
    std::vector<Place> at(columns.size());
    for (int i = 0; i < columns.size(); ++i)
        at[i] = cross(columns[i]);
    std::vector<QRgb> pixels(size_t(m_map.size.width()));
    for (int y = sink->nextRow(0); y < m_map.size.height(); y = sink->nextRow(y + 1)) {
        const Place row = band(y);
        bool released = false;
        for (auto it = m_bands.begin(); it != m_bands.end();) {
            const bool kept = it->first == row.index;
            released = released || !kept;
            it = kept ? std::next(it) : m_bands.erase(it);
        }
        // The band's tiles were freed in each decoding thread's own heap: handed back, so
        // that the next band's do not come on top of them.
        if (released)
            releaseFreedMemory();
        if (!m_bands.count(row.index) &&
            (*status = load(row.index, wanted, words)) != Status::Decoded)
            return;
        for (int i = 0; i < columns.size(); ++i)
            pixels[size_t(columns[i])] = pixel(row, at[i]);
        sink->pushImageRow(y, reinterpret_cast<const uchar *>(pixels.data()));
    }
}

Status Decoder::decode(const Target &target, QImage *out, QString *words)
{
    const QSize size = m_map.size;
    const std::unique_ptr<RowSink> sink =
        target.sink(size, size, QImageIOHandler::TransformationNone, m_layout);
    if (!sink->isValid())
        return Status::Failed;
    // Every tile is decoded, those the output does not read too: a damaged one is refused as
    // the whole decode refuses it.
    const std::vector<bool> wanted(size_t(crossCount()), true);
    Status status = Status::Decoded;
    pushRows(sink.get(), wanted, &status, words);
    m_bands.clear();
    const int bands = m_swap ? m_grid.columns : m_grid.rows;
    for (int b = 0; b < bands && status == Status::Decoded; ++b) {
        if (m_loaded.count(b) == 0)
            status = load(b, wanted, words);
        m_bands.clear();
    }
    m_loaded.clear();
    if (status != Status::Decoded)
        return status;
    *out = sink->result();
    return out->isNull() ? Status::Failed : Status::Decoded;
}

// Two bands at most (the next one's tiles come while the last one's are freed), each tile's
// decoder, and the sink.
qint64 Decoder::memoryEstimate(const Target &target)
{
    const qint64 tile = qint64(m_tile.width()) * m_tile.height();
    const qint64 bands = 2 * crossCount() * tile * 3;
    const qint64 decoders = threadCount() * (TileDecoderOverhead + 4 * tile);
    const QSize size = m_map.size;
    const qint64 sink =
        target.sinkEstimate(size, size, QImageIOHandler::TransformationNone, m_layout);
    return bands + decoders + sink + 12 * qint64(size.width());
}

} // namespace

std::unique_ptr<Tiles> open(const SourceFile &source, const QByteArray &meta, qint64 metaContent,
                            heif_image_handle *primary)
{
    if (!primary)
        return nullptr;
    const HeifGrid::Grid grid = HeifGrid::read(source, meta, metaContent);
    const HeifPlanes::Layout planes = HeifPlanes::nativeLayout(meta);
    if (!grid.valid || heif_image_handle_has_alpha_channel(primary) ||
        heif_image_handle_get_luma_bits_per_pixel(primary) != 8 ||
        planes.colorspace != heif_colorspace_YCbCr || planes.chroma == heif_chroma_monochrome)
        return nullptr;
    auto decoder = std::make_unique<Decoder>(source, grid);
    const QSize size(heif_image_handle_get_width(primary), heif_image_handle_get_height(primary));
    return decoder->prepare(size) ? std::move(decoder) : nullptr;
}

} // namespace HeifTiles
