#include "formats/heif/heifgrid.h"

#include "formats/heif/heifboxes.h"

#include "system/sourcefile.h"

#include <QHash>
#include <QSet>
#include <QtEndian>

#include <algorithm>

namespace HeifGrid {

namespace {

// The widest image libheif is told to accept.
constexpr quint64 MaxSide = 1 << 16;

using HeifBoxes::Box;
using HeifBoxes::Bytes;
using HeifBoxes::children;
using HeifBoxes::find;

struct Meta
{
    explicit Meta(const QByteArray &bytes) : data(bytes) {}
    const QByteArray &data;
    uint32_t primary = 0;
    QHash<uint32_t, QByteArray> types;
    QHash<uint32_t, int> flagAt; // in `data`
    QVector<uint32_t> tiles;
    QByteArray gridData;
    QHash<uint32_t, QVector<int>> itemProperties;   // indices into ipco, from 1
    QVector<int> properties;                        // the primary's
    QHash<uint32_t, QVector<uint32_t>> inputs;      // each derived image's, in order
    QVector<QPair<uint32_t, uint32_t>> auxiliaries; // an auxiliary image and the one it serves
    QHash<uint32_t, QByteArray> derived;            // grid and overlay items' own bytes
};

bool readPrimary(Meta &meta, const Box &box)
{
    Bytes bytes(meta.data, box.content, box.end);
    const int version = int(bytes.read(1));
    bytes.read(3);
    meta.primary = uint32_t(bytes.read(version == 0 ? 2 : 4));
    return bytes.ok();
}

bool readItems(Meta &meta, const Box &box)
{
    Bytes bytes(meta.data, box.content, box.end);
    const int version = int(bytes.read(1));
    bytes.read(3);
    bytes.read(version == 0 ? 2 : 4);
    if (!bytes.ok())
        return false;
    for (const Box &entry : children(meta.data, bytes.at(), box.end)) {
        Bytes infe(meta.data, entry.content, entry.end);
        const int infeVersion = int(infe.read(1));
        infe.read(3);
        if (entry.type != "infe" || infeVersion < 2)
            continue;
        const uint32_t id = uint32_t(infe.read(infeVersion == 2 ? 2 : 4));
        infe.read(2);
        const QByteArray type = infe.type();
        if (!infe.ok())
            return false;
        meta.types.insert(id, type);
        meta.flagAt.insert(id, entry.content + 3);
    }
    return true;
}

// Each derived image's inputs, the first list libheif would take, and the auxiliary images.
bool readReferences(Meta &meta, const Box &box)
{
    if (box.type.isEmpty())
        return true; // a file of one image refers to nothing
    Bytes bytes(meta.data, box.content, box.end);
    const int idBytes = bytes.read(1) == 0 ? 2 : 4;
    bytes.read(3);
    for (const Box &reference : children(meta.data, bytes.at(), box.end)) {
        Bytes ref(meta.data, reference.content, reference.end);
        const uint32_t from = uint32_t(ref.read(idBytes));
        const int count = int(ref.read(2));
        QVector<uint32_t> to;
        for (int i = 0; i < count && ref.ok(); ++i)
            to.append(uint32_t(ref.read(idBytes)));
        if (!ref.ok())
            return false;
        if (reference.type == "dimg" && !meta.inputs.contains(from))
            meta.inputs.insert(from, to);
        else if (reference.type == "auxl")
            for (uint32_t image : to)
                meta.auxiliaries.append({from, image});
    }
    meta.tiles = meta.inputs.value(meta.primary);
    return bytes.ok();
}

// The grid and overlay items' bytes, from the file or from the meta box's idat.
bool readDerived(Meta &meta, const Box &box, const Box &idat, const SourceFile &source)
{
    // More than an overlay of a few hundred layers says: read no further.
    constexpr int MaxBytes = 4096;
    Bytes bytes(meta.data, box.content, box.end);
    const int version = int(bytes.read(1));
    bytes.read(3);
    const int sizes = int(bytes.read(2));
    const int offsetSize = sizes >> 12, lengthSize = (sizes >> 8) & 15,
              baseSize = (sizes >> 4) & 15;
    const int indexSize = version >= 1 ? sizes & 15 : 0;
    const int count = int(bytes.read(version < 2 ? 2 : 4));
    for (int i = 0; i < count && bytes.ok(); ++i) {
        const uint32_t id = uint32_t(bytes.read(version < 2 ? 2 : 4));
        const int method = version >= 1 ? int(bytes.read(2) & 15) : 0;
        bytes.read(2);
        const quint64 base = bytes.read(baseSize);
        // Extents of no bytes each are all the same one: looping over them reads nothing.
        const int extentBytes = offsetSize + lengthSize + indexSize;
        const int extents = std::min(int(bytes.read(2)), extentBytes > 0 ? 0xffff : 1);
        QByteArray data;
        for (int e = 0; e < extents && bytes.ok(); ++e) {
            bytes.read(indexSize);
            const quint64 offset = base + bytes.read(offsetSize);
            const quint64 length = bytes.read(lengthSize);
            const QByteArray type = meta.types.value(id);
            if ((type != "grid" && type != "iovl") || length > quint64(MaxBytes - data.size()))
                continue;
            if (method == 1 && offset + length <= quint64(idat.end - idat.content))
                data += meta.data.mid(idat.content + int(offset), int(length));
            else if (method == 0)
                data += source.read(qint64(offset), qint64(length));
        }
        if (!data.isEmpty() && !meta.derived.contains(id))
            meta.derived.insert(id, data);
    }
    meta.gridData = meta.derived.value(meta.primary);
    return bytes.ok();
}

// Each item's property indices, of its first association entry as libheif takes them.
bool readProperties(Meta &meta, const Box &ipma)
{
    Bytes bytes(meta.data, ipma.content, ipma.end);
    const int version = int(bytes.read(1));
    const bool wide = bytes.read(3) & 1;
    const quint64 count = bytes.read(4);
    for (quint64 i = 0; i < count && bytes.ok(); ++i) {
        const uint32_t id = uint32_t(bytes.read(version < 1 ? 2 : 4));
        const int associations = int(bytes.read(1));
        QVector<int> indices;
        for (int a = 0; a < associations && bytes.ok(); ++a)
            indices.append(wide ? int(bytes.read(2) & 0x7fff) : int(bytes.read(1) & 0x7f));
        if (!meta.itemProperties.contains(id))
            meta.itemProperties.insert(id, indices);
    }
    meta.properties = meta.itemProperties.value(meta.primary);
    return bytes.ok() && meta.itemProperties.contains(meta.primary);
}

// The size every tile's ispe gives, which places them in libheif's whole decode; invalid where
// one has none or they differ.
QSize tileSize(const Meta &meta, const Box &ipco)
{
    const QVector<Box> properties = children(meta.data, ipco.content, ipco.end);
    QSize common;
    for (uint32_t tile : meta.tiles) {
        QSize size;
        for (int index : meta.itemProperties.value(tile)) {
            const Box box = properties.value(index - 1);
            if (box.type != "ispe")
                continue;
            Bytes bytes(meta.data, box.content + 4, box.end);
            const quint64 width = bytes.read(4), height = bytes.read(4);
            if (bytes.ok() && width > 0 && height > 0 && width < 65536 && height < 65536)
                size = QSize(int(width), int(height));
            break;
        }
        if (!size.isValid() || (common.isValid() && size != common))
            return QSize();
        common = size;
    }
    return common;
}

bool readSteps(const Meta &meta, const Box &ipco, Grid &grid)
{
    const QVector<Box> properties = children(meta.data, ipco.content, ipco.end);
    for (int index : meta.properties) {
        if (index == 0)
            continue;
        if (index > properties.size())
            return false;
        const Box &box = properties.at(index - 1);
        Bytes bytes(meta.data, box.content, box.end);
        Step step;
        if (box.type == "irot") {
            step.kind = Step::Rotate, step.value = int(bytes.read(1) & 3);
        } else if (box.type == "imir") {
            step.kind = Step::Mirror, step.value = int(bytes.read(1) & 1);
        } else if (box.type == "clap") {
            step.kind = Step::CleanCrop;
            for (int32_t &value : step.clap)
                value = int32_t(uint32_t(bytes.read(4)));
            for (int n = 1; n < 8; n += 2)
                if (step.clap[n] <= 0 || (n < 4 && step.clap[n - 1] < 0))
                    return false;
        } else {
            continue;
        }
        // libheif refuses two of a kind at decode: so does its whole decode, kept for that.
        const auto same = [&step](const Step &s) { return s.kind == step.kind; };
        if (!bytes.ok() || std::any_of(grid.steps.begin(), grid.steps.end(), same))
            return false;
        grid.steps.append(step);
    }
    return true;
}

bool readGrid(const QByteArray &data, Grid &grid)
{
    Bytes bytes(data, 0, data.size());
    const bool version = bytes.read(1) != 0;
    const int fieldBytes = bytes.read(1) & 1 ? 4 : 2;
    grid.rows = int(bytes.read(1)) + 1;
    grid.columns = int(bytes.read(1)) + 1;
    const quint64 width = bytes.read(fieldBytes), height = bytes.read(fieldBytes);
    if (!bytes.ok() || version || width == 0 || height == 0 || width > 65535 || height > 65535)
        return false;
    grid.size = QSize(int(width), int(height));
    return true;
}

// Every item, its references, properties and, for grids and overlays, its bytes; `ipco` gets
// the property container.
bool readMeta(Meta &meta, const SourceFile &source, Box *ipco)
{
    const QVector<Box> boxes = children(meta.data, 4, meta.data.size());
    const Box iprp = find(boxes, "iprp");
    const QVector<Box> iprpBoxes = children(meta.data, iprp.content, iprp.end);
    *ipco = find(iprpBoxes, "ipco");
    return readPrimary(meta, find(boxes, "pitm")) && readItems(meta, find(boxes, "iinf")) &&
           readReferences(meta, find(boxes, "iref")) &&
           readDerived(meta, find(boxes, "iloc"), find(boxes, "idat"), source) &&
           readProperties(meta, find(iprpBoxes, "ipma"));
}

} // namespace

Grid read(const SourceFile &source, const QByteArray &data, qint64 metaContent)
{
    Grid grid;
    Meta meta(data);
    Box ipco;
    if (!readMeta(meta, source, &ipco) || meta.types.value(meta.primary) != "grid" ||
        meta.tiles.isEmpty() || !readGrid(meta.gridData, grid) || !readSteps(meta, ipco, grid))
        return Grid();
    grid.tileSize = tileSize(meta, ipco);
    if (meta.tiles.size() != grid.rows * grid.columns || !grid.tileSize.isValid())
        return Grid();
    const QByteArray tileType = meta.types.value(meta.tiles.value(0));
    for (uint32_t tile : meta.tiles) {
        if (meta.types.value(tile) != tileType || (tileType != "hvc1" && tileType != "av01"))
            return Grid();
        grid.hiddenFlags.append(metaContent + meta.flagAt.value(tile));
    }
    std::sort(grid.hiddenFlags.begin(), grid.hiddenFlags.end());
    grid.av1 = tileType == "av01";
    grid.tiles = meta.tiles;
    grid.valid = true;
    return grid;
}

namespace {

// A fraction as libheif 1.15 keeps it: both terms halved until they fit in 17 bits, its sums
// and products in 32 bits, wrapping as libheif's do.
struct Fraction
{
    int32_t num = 0, den = 1;

    static int32_t wrap(qint64 value) { return int32_t(uint32_t(quint64(value))); }
    static Fraction of(int32_t num, int32_t den)
    {
        constexpr int32_t Max = 0x10000;
        while (den > Max || den < -Max)
            num /= 2, den /= 2;
        while (num > Max || num < -Max)
            num /= 2, den /= 2;
        return Fraction{num, den};
    }
    Fraction operator+(const Fraction &b) const
    {
        return den == b.den
                   ? of(wrap(qint64(num) + b.num), den)
                   : of(wrap(qint64(num) * b.den + qint64(b.num) * den), wrap(qint64(den) * b.den));
    }
    Fraction operator-(const Fraction &b) const
    {
        return den == b.den
                   ? of(wrap(qint64(num) - b.num), den)
                   : of(wrap(qint64(num) * b.den - qint64(b.num) * den), wrap(qint64(den) * b.den));
    }
    Fraction plus(int v) const { return of(wrap(num + qint64(v) * den), den); }
    Fraction halved() const { return of(num, wrap(qint64(den) * 2)); }
    // Where libheif would divide by zero or overflow, nothing.
    bool valid() const { return den != 0 && !(den == -1 && num == INT32_MIN); }
    int down() const { return valid() ? num / den : 0; }
    int nearest() const
    {
        const int32_t sum = wrap(qint64(num) + den / 2);
        return valid() && !(den == -1 && sum == INT32_MIN) ? sum / den : 0;
    }
};

// The crop libheif makes of an image of `size`: left, top, right, bottom, inclusive.
bool cleanCrop(const Step &step, const QSize &size, int edges[4])
{
    const Fraction width = Fraction::of(step.clap[0], step.clap[1]);
    const Fraction height = Fraction::of(step.clap[2], step.clap[3]);
    const Fraction h = Fraction::of(step.clap[4], step.clap[5]);
    const Fraction v = Fraction::of(step.clap[6], step.clap[7]);
    if (!width.valid() || !height.valid() || !h.valid() || !v.valid())
        return false;
    const Fraction pcX = h + Fraction::of(size.width() - 1, 2);
    const Fraction leftEdge = pcX - width.plus(-1).halved();
    const int left = leftEdge.down();
    const Fraction rightEdge = width.plus(-1).plus(left);
    const Fraction pcY = v + Fraction::of(size.height() - 1, 2);
    const Fraction topEdge = pcY - height.plus(-1).halved();
    const int top = topEdge.nearest();
    const Fraction bottomEdge = height.plus(-1).plus(top);
    if (!leftEdge.valid() || !rightEdge.valid() || !topEdge.valid() || !bottomEdge.valid())
        return false;
    const int right = rightEdge.nearest(), bottom = bottomEdge.nearest();
    edges[0] = std::max(left, 0), edges[1] = std::max(top, 0);
    edges[2] = std::min(right, size.width() - 1), edges[3] = std::min(bottom, size.height() - 1);
    return edges[0] <= edges[2] && edges[1] <= edges[3];
}

// One step's map from its output's pixels to its input's, an image of `size`.
Mapping stepMapping(const Step &step, QSize *size, bool *ok)
{
    const int w = size->width(), h = size->height();
    Mapping m;
    if (step.kind == Step::Rotate && step.value == 1) // out (x, y) = in (w-1-y, x)
        m = Mapping{0, -1, w - 1, 1, 0, 0, {}}, size->transpose();
    else if (step.kind == Step::Rotate && step.value == 2)
        m = Mapping{-1, 0, w - 1, 0, -1, h - 1, {}};
    else if (step.kind == Step::Rotate && step.value == 3) // out (x, y) = in (y, h-1-x)
        m = Mapping{0, 1, 0, -1, 0, h - 1, {}}, size->transpose();
    else if (step.kind == Step::Mirror && step.value == 1)
        m = Mapping{-1, 0, w - 1, 0, 1, 0, {}};
    else if (step.kind == Step::Mirror)
        m = Mapping{1, 0, 0, 0, -1, h - 1, {}};
    else if (step.kind == Step::CleanCrop) {
        int edges[4] = {};
        *ok = cleanCrop(step, *size, edges);
        m = Mapping{1, 0, edges[0], 0, 1, edges[1], {}};
        *size = QSize(edges[2] - edges[0] + 1, edges[3] - edges[1] + 1);
    }
    return m;
}

// `inner` after `outer`: first `outer` maps the output to its input, then `inner` onwards.
Mapping then(const Mapping &outer, const Mapping &inner)
{
    Mapping m;
    m.xx = inner.xx * outer.xx + inner.xy * outer.yx;
    m.xy = inner.xx * outer.xy + inner.xy * outer.yy;
    m.x0 = inner.xx * outer.x0 + inner.xy * outer.y0 + inner.x0;
    m.yx = inner.yx * outer.xx + inner.yy * outer.yx;
    m.yy = inner.yx * outer.xy + inner.yy * outer.yy;
    m.y0 = inner.yx * outer.x0 + inner.yy * outer.y0 + inner.y0;
    return m;
}

} // namespace

Mapping mapping(const Grid &grid)
{
    QSize size = grid.size;
    QVector<Mapping> steps;
    bool ok = true;
    for (const Step &step : grid.steps)
        steps.append(stepMapping(step, &size, &ok));
    Mapping result;
    for (int i = steps.size() - 1; i >= 0; --i)
        result = then(result, steps.at(i));
    result.size = ok ? size : QSize();
    return result;
}

namespace {

// At most this many images reached from the primary are looked at: libheif refuses more.
constexpr int MaxReached = 1 << 16;

// The item's property of `type`, an empty box where it has none.
Box property(const Meta &meta, const QVector<Box> &properties, uint32_t id, const char *type)
{
    for (int index : meta.itemProperties.value(id))
        if (index >= 1 && index <= properties.size() && properties.at(index - 1).type == type)
            return properties.at(index - 1);
    return Box();
}

QSize ispeOf(const Meta &meta, const QVector<Box> &properties, uint32_t id)
{
    const Box box = property(meta, properties, id, "ispe");
    Bytes bytes(meta.data, box.content + 4, box.end);
    const quint64 width = bytes.read(4), height = bytes.read(4);
    // libheif refuses the file beyond its limit, before anything is looked at here.
    if (!bytes.ok() || width > MaxSide || height > MaxSide)
        return QSize();
    return QSize(int(width), int(height));
}

// The size libheif gives an item before decoding it, and compares an alpha plane's with: its
// ispe, the clean aperture's rounded size, turned by a quarter where irot says so.
QSize declaredSize(const Meta &meta, const QVector<Box> &properties, uint32_t id)
{
    QSize size;
    for (int index : meta.itemProperties.value(id)) {
        const Box box = properties.value(index - 1);
        Bytes bytes(meta.data, box.content, box.end);
        if (box.type == "ispe") {
            size = ispeOf(meta, properties, id);
        } else if (box.type == "clap" && size.isValid()) {
            qint64 rounded[2] = {};
            for (qint64 &side : rounded) {
                const qint64 num = qint64(bytes.read(4)), den = qint64(bytes.read(4));
                side = den > 0 ? std::min<qint64>((num + den / 2) / den, MaxSide) : 0;
            }
            size = QSize(int(rounded[0]), int(rounded[1]));
        } else if (box.type == "irot" && size.isValid() && (bytes.read(1) & 1)) {
            size.transpose();
        }
    }
    return size;
}

QByteArray auxiliaryType(const Meta &meta, const QVector<Box> &properties, uint32_t id)
{
    const Box box = property(meta, properties, id, "auxC");
    if (box.end - box.content < 4)
        return QByteArray();
    const QByteArray text = meta.data.mid(box.content + 4, box.end - box.content - 4);
    return text.left(text.indexOf('\0'));
}

bool isAlpha(const QByteArray &type)
{
    return type == "urn:mpeg:avc:2015:auxid:1" || type == "urn:mpeg:hevc:2015:auxid:1" ||
           type == "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha";
}

// The canvas a grid's or an overlay's own bytes declare, invalid where libheif would not read
// them either.
QSize canvasOf(const QByteArray &type, const QByteArray &data, int *rows, int *columns)
{
    Bytes bytes(data, 0, data.size());
    const quint64 version = bytes.read(1);
    const int fieldBytes = bytes.read(1) & 1 ? 4 : 2;
    if (type == "grid") {
        *rows = int(bytes.read(1)) + 1;
        *columns = int(bytes.read(1)) + 1;
    } else {
        bytes.read(8); // the background colour
    }
    const quint64 width = bytes.read(fieldBytes), height = bytes.read(fieldBytes);
    if (!bytes.ok() || version != 0)
        return QSize();
    // Beyond any ispe libheif accepts: never equal to one.
    return QSize(int(std::min<quint64>(width, MaxSide + 1)),
                 int(std::min<quint64>(height, MaxSide + 1)));
}

// Whether the tiles, all of one size, cover the canvas with less than a tile to spare.
bool tilesCover(const Meta &meta, const QVector<Box> &properties, uint32_t grid,
                const QSize &canvas, int rows, int columns)
{
    const QVector<uint32_t> tiles = meta.inputs.value(grid);
    if (tiles.size() != rows * columns)
        return true; // libheif refuses it before decoding any tile
    const QSize tile = ispeOf(meta, properties, tiles.value(0));
    const auto covers = [](qint64 side, int count, int canvasSide) {
        return side * count >= canvasSide && side * (count - 1) < canvasSide;
    };
    if (!tile.isValid() || !covers(tile.width(), columns, canvas.width()) ||
        !covers(tile.height(), rows, canvas.height()))
        return false;
    return std::all_of(tiles.begin(), tiles.end(),
                       [&](uint32_t id) { return ispeOf(meta, properties, id) == tile; });
}

// The primary's clean aperture: libheif's crop, which its own size must match, leaving more
// than one pixel where the picture had more.
bool cleanCropSound(const Meta &meta, const Box &ipco, const QSize &ispe, const QSize &primary)
{
    Grid grid;
    grid.size = ispe;
    if (!readSteps(meta, ipco, grid) || !ispe.isValid())
        return true; // two of a kind, or a property missing: libheif refuses them itself
    const auto crops = [](const Step &step) { return step.kind == Step::CleanCrop; };
    if (std::none_of(grid.steps.begin(), grid.steps.end(), crops))
        return true;
    const QSize size = mapping(grid).size;
    const bool single =
        std::min(size.width(), size.height()) <= 1 && std::min(ispe.width(), ispe.height()) > 1;
    return size.isValid() && size == primary && !single;
}

} // namespace

Survey survey(const SourceFile &source, const QByteArray &data, const QSize &primary)
{
    Survey result;
    Meta meta(data);
    Box ipco;
    if (!readMeta(meta, source, &ipco))
        return result; // what libheif reads of it is left to libheif
    const QVector<Box> properties = children(data, ipco.content, ipco.end);
    const auto refuse = [&result](Formats::Damage damage) {
        result.damage = damage;
        return result;
    };
    if (!cleanCropSound(meta, ipco, ispeOf(meta, properties, meta.primary), primary))
        return refuse(Formats::Damage::CleanAperture);
    // What a decode of the primary reaches: the images derived ones are made of, and the alpha
    // planes decoded with each; the gain map, decoded after the picture.
    QHash<uint32_t, QVector<uint32_t>> served; // each image's auxiliary images
    for (const auto &[auxiliary, of] : meta.auxiliaries)
        served[of].append(auxiliary);
    QVector<uint32_t> reached{meta.primary};
    QSet<uint32_t> seen{meta.primary};
    for (int i = 0; i < reached.size() && reached.size() < MaxReached; ++i) {
        const uint32_t id = reached.at(i);
        QVector<uint32_t> next = meta.inputs.value(id);
        for (uint32_t auxiliary : served.value(id)) {
            const QByteArray type = auxiliaryType(meta, properties, auxiliary);
            if (!isAlpha(type) && !(i == 0 && type.contains("hdrgainmap")))
                continue;
            if (isAlpha(type) &&
                declaredSize(meta, properties, auxiliary) != declaredSize(meta, properties, id))
                return refuse(Formats::Damage::AlphaSize);
            next.append(auxiliary);
        }
        for (uint32_t each : next) {
            if (!seen.contains(each)) {
                seen.insert(each);
                reached.append(each);
            }
        }
    }
    qint64 largest = qint64(primary.width()) * primary.height();
    for (uint32_t id : reached) {
        const QSize ispe = ispeOf(meta, properties, id);
        const QByteArray type = meta.types.value(id);
        int rows = 0, columns = 0;
        const QSize canvas = canvasOf(type, meta.derived.value(id), &rows, &columns);
        if ((type == "grid" || type == "iovl") && canvas.isValid() &&
            (canvas != ispe ||
             (type == "grid" && !tilesCover(meta, properties, id, canvas, rows, columns))))
            return refuse(Formats::Damage::CanvasSize);
        if (qint64(ispe.width()) * ispe.height() > largest) {
            largest = qint64(ispe.width()) * ispe.height();
            result.largest = ispe;
        }
    }
    return result;
}

} // namespace HeifGrid
