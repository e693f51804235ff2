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

// libheif 1.15's conversion of the pasted RGB planes to YCbCr: BT.601 at full range, whatever
// the file says, each chroma sample the mean of its block's pixels.
struct Conversion
{
    static uint8_t clip(float value)
    {
        const long rounded = long(value + 0.5f);
        return uint8_t(std::clamp(rounded, 0L, 255L));
    }
    static uint8_t luma(float r, float g, float b)
    {
        return clip(r * 0.299f + g * 0.587f + b * 0.114f);
    }
    static uint8_t cb(float r, float g, float b)
    {
        return clip(r * -0.168735f + g * -0.331264f + b * 0.5f + 128.0f);
    }
    static uint8_t cr(float r, float g, float b)
    {
        return clip(r * 0.5f + g * -0.418688f + b * -0.081312f + 128.0f);
    }
};

class Decoder : public Tiles
{
public:
    Decoder(const SourceFile &source, const HeifGrid::Grid &grid, const RowLayout &layout,
            heif_chroma chroma)
        : m_source(source), m_grid(grid), m_map(HeifGrid::mapping(grid)), m_layout(layout),
          m_subH(chroma == heif_chroma_444 ? 1 : 2), m_subV(chroma == heif_chroma_420 ? 2 : 1),
          m_swap(m_map.xx == 0)
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
    void rgb(const Place &b, const Place &c, float out[3]) const;
    void pushRows(RowSink *sink, const std::vector<bool> &wanted, Status *status, QString *words);

    const SourceFile &m_source;
    HeifGrid::Grid m_grid;
    HeifGrid::Mapping m_map;
    RowLayout m_layout;
    int m_subH, m_subV;
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

void Decoder::rgb(const Place &b, const Place &c, float out[3]) const
{
    const Planes &planes = m_bands.at(b.index).planes.at(c.index);
    for (int i = 0; i < 3; ++i) {
        const qint64 at = m_swap ? qint64(c.local) * planes.stride[i] + b.local
                                 : qint64(b.local) * planes.stride[i] + c.local;
        out[i] = planes.plane[i][at];
    }
}

void Decoder::pushRows(RowSink *sink, const std::vector<bool> &wanted, Status *status,
                       QString *words)
{
    const int width = m_map.size.width(), height = m_map.size.height();
    const QVector<int> &columns = sink->columns();
    // Each column's pixel and the two columns its chroma sample averages.
    std::vector<Place> at(columns.size()), first(columns.size()), second(columns.size());
    for (int i = 0; i < columns.size(); ++i) {
        const int x = columns[i], cx = x / m_subH * m_subH;
        at[i] = cross(x), first[i] = cross(cx);
        second[i] = cross(cx + 1 < width && m_subH == 2 && m_subV == 2 ? cx + 1 : cx);
    }
    std::vector<float> samples(3 * size_t(width));
    float *luma = samples.data(), *cb = luma + width, *cr = cb + width;
    for (int y = sink->nextRow(0); y < height; y = sink->nextRow(y + 1)) {
        const int cy = y / m_subV * m_subV;
        const Place rows[3] = {band(y), band(cy),
                               band(cy + 1 < height && m_subV == 2 ? cy + 1 : cy)};
        bool released = false;
        for (auto it = m_bands.begin(); it != m_bands.end();) {
            const int i = it->first;
            const bool kept = i == rows[0].index || i == rows[1].index || i == rows[2].index;
            released = released || !kept;
            it = kept ? std::next(it) : m_bands.erase(it);
        }
        // The band's tiles were freed in each decoding thread's own heap: handed back, so
        // that the next band's do not come on top of them.
        if (released)
            releaseFreedMemory();
        for (const Place &row : rows)
            if (!m_bands.count(row.index) &&
                (*status = load(row.index, wanted, words)) != Status::Decoded)
                return;
        for (int i = 0; i < columns.size(); ++i) {
            float p[3], q[3];
            rgb(rows[0], at[i], p);
            const int x = columns[i];
            luma[x] = Conversion::luma(p[0], p[1], p[2]);
            if (m_subH > 1 || m_subV > 1) {
                rgb(rows[1], first[i], p);
                for (const auto &[b, c] :
                     {std::make_pair(rows[1], second[i]), std::make_pair(rows[2], first[i]),
                      std::make_pair(rows[2], second[i])}) {
                    rgb(b, c, q);
                    p[0] += q[0], p[1] += q[1], p[2] += q[2];
                }
                p[0] *= 0.25f, p[1] *= 0.25f, p[2] *= 0.25f;
            }
            cb[x] = Conversion::cb(p[0], p[1], p[2]);
            cr[x] = Conversion::cr(p[0], p[1], p[2]);
        }
        sink->pushYCbCrRow(y, luma, cb, cr, nullptr);
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

// Two bands at most (a chroma row may read the band before), each tile's decoder, and the sink.
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
    RowLayout layout = RowLayout::floats(QImage::Format_RGB32, false);
    if (!grid.valid || heif_image_handle_has_alpha_channel(primary) ||
        heif_image_handle_get_luma_bits_per_pixel(primary) != 8 ||
        planes.colorspace != heif_colorspace_YCbCr || planes.chroma == heif_chroma_monochrome ||
        !HeifPlanes::undescribedLayout(primary, &layout))
        return nullptr;
    auto decoder = std::make_unique<Decoder>(source, grid, layout, planes.chroma);
    const QSize size(heif_image_handle_get_width(primary), heif_image_handle_get_height(primary));
    return decoder->prepare(size) ? std::move(decoder) : nullptr;
}

} // namespace HeifTiles
