#include "syntheticgrid.h"

#include <QFile>
#include <QtEndian>

#include <libheif/heif.h>

#include <cstring>

namespace {

QByteArray u8(int v)
{
    return QByteArray(1, char(v));
}
QByteArray u16(int v)
{
    return u8(v >> 8) + u8(v & 255);
}
QByteArray u32(quint32 v)
{
    return u16(int(v >> 16)) + u16(int(v & 0xffff));
}
QByteArray box(const char *type, const QByteArray &content)
{
    return u32(quint32(8 + content.size())) + QByteArray(type, 4) + content;
}
QByteArray fullBox(const char *type, int version, int flags, const QByteArray &content)
{
    return box(type, u8(version) + u8(flags >> 16) + u16(flags & 0xffff) + content);
}

heif_error writeBytes(heif_context *, const void *data, size_t size, void *user)
{
    static_cast<QByteArray *>(user)->append(static_cast<const char *>(data), int(size));
    heif_error ok{}; // heif_error_Ok
    ok.message = "";
    return ok;
}

// The whole box of `type` in `file`, first found.
QByteArray findBox(const QByteArray &file, const char *type)
{
    const int at = file.indexOf(type);
    if (at < 4)
        return QByteArray();
    return file.mid(at - 4, int(qFromBigEndian<quint32>(file.constData() + at - 4)));
}

// One tile coded alone: its decoder configuration box and its coded bytes. A grey tile is
// coded as one plane, as alpha planes are.
bool codeTile(const QImage &tile, bool avif, int quality, QByteArray *config, QByteArray *data)
{
    const bool grey = tile.format() == QImage::Format_Grayscale8;
    const QImage rgb = grey ? tile : tile.convertToFormat(QImage::Format_RGB888);
    const heif_channel channel = grey ? heif_channel_Y : heif_channel_interleaved;
    heif_context *context = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    heif_image *image = nullptr;
    QByteArray file;
    bool ok = heif_context_get_encoder_for_format(
                  context, avif ? heif_compression_AV1 : heif_compression_HEVC, &encoder)
                      .code == 0 &&
              heif_image_create(rgb.width(), rgb.height(),
                                grey ? heif_colorspace_monochrome : heif_colorspace_RGB,
                                grey ? heif_chroma_monochrome : heif_chroma_interleaved_RGB, &image)
                      .code == 0 &&
              heif_image_add_plane(image, channel, rgb.width(), rgb.height(), 8).code == 0;
    if (ok) {
        int stride = 0;
        uint8_t *plane = heif_image_get_plane(image, channel, &stride);
        for (int y = 0; y < rgb.height(); ++y)
            memcpy(plane + y * stride, rgb.constScanLine(y), size_t(rgb.width()) * (grey ? 1 : 3));
        heif_encoder_set_lossy_quality(encoder, quality);
        heif_encoder_set_parameter(encoder, avif ? "speed" : "preset", avif ? "8" : "ultrafast");
        heif_writer writer{1, writeBytes};
        ok = heif_context_encode_image(context, image, encoder, nullptr, nullptr).code == 0 &&
             heif_context_write(context, &writer, &file).code == 0;
    }
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(context);
    *config = findBox(file, avif ? "av1C" : "hvcC");
    const QByteArray mdat = findBox(file, "mdat");
    *data = mdat.mid(8);
    return ok && !config->isEmpty() && !data->isEmpty();
}

QByteArray stepBox(const QString &step)
{
    const QStringList words = step.split(' ');
    if (words.value(0) == "irot")
        return box("irot", u8(words.value(1).toInt()));
    if (words.value(0) == "imir")
        return box("imir", u8(words.value(1).toInt()));
    QByteArray clap;
    for (int i = 1; i <= 4; ++i)
        clap += u32(quint32(words.value(i).toInt())) + u32(i <= 2 ? 1 : 2);
    return box("clap", clap);
}

QByteArray ispe(const QSize &size)
{
    return fullBox("ispe", 0, 0, u32(quint32(size.width())) + u32(quint32(size.height())));
}

// The meta box of a grid of `tiles` coded tiles whose bytes start at `dataAt` in the file.
QByteArray meta(const QSize &size, const QSize &grid, const QSize &tile, bool avif,
                const QByteArray &config, const QVector<int> &lengths, const QStringList &steps,
                quint32 dataAt)
{
    const int count = lengths.size();
    QByteArray items;
    items += fullBox("infe", 2, 0, u16(1) + u16(0) + "grid" + u8(0));
    QByteArray dimg = u16(1) + u16(count), locations;
    QByteArray associations = u16(1) + u8(1 + steps.size()) + u8(3);
    for (int i = 0; i < steps.size(); ++i)
        associations += u8(4 + i);
    for (int i = 0; i < count; ++i) {
        items += fullBox("infe", 2, 1, u16(2 + i) + u16(0) + (avif ? "av01" : "hvc1") + u8(0));
        dimg += u16(2 + i);
        associations += u16(2 + i) + u8(2) + u8(0x81) + u8(2);
        locations += u16(2 + i) + u16(0) + u16(0) + u16(1) + u32(dataAt) + u32(quint32(lengths[i]));
        dataAt += quint32(lengths[i]);
    }
    QByteArray properties = config + ispe(tile) + ispe(size);
    for (const QString &step : steps)
        properties += stepBox(step);
    const QByteArray gridData = u8(0) + u8(0) + u8(grid.height() - 1) + u8(grid.width() - 1) +
                                u16(size.width()) + u16(size.height());
    const QByteArray iloc =
        fullBox("iloc", 1, 0,
                u8(0x44) + u8(0) + u16(1 + count) + u16(1) + u16(1) + u16(0) + u16(1) + u32(0) +
                    u32(quint32(gridData.size())) + locations);
    return fullBox(
        "meta", 0, 0,
        fullBox("hdlr", 0, 0, u32(0) + "pict" + u32(0) + u32(0) + u32(0) + u8(0)) +
            fullBox("pitm", 0, 0, u16(1)) + fullBox("iinf", 0, 0, u16(1 + count) + items) +
            fullBox("iref", 0, 0, box("dimg", dimg)) +
            box("iprp", box("ipco", properties) +
                            fullBox("ipma", 0, 0, u32(quint32(1 + count)) + associations)) +
            box("idat", gridData) + iloc);
}

} // namespace

bool writeSyntheticGrid(const QString &path, const QImage &picture, const QSize &tile, bool avif,
                        const QStringList &steps, int quality)
{
    const QSize grid((picture.width() + tile.width() - 1) / tile.width(),
                     (picture.height() + tile.height() - 1) / tile.height());
    QByteArray config, data;
    QVector<int> lengths;
    for (int r = 0; r < grid.height(); ++r) {
        for (int c = 0; c < grid.width(); ++c) {
            QByteArray tileConfig, tileData;
            const QImage part =
                picture.copy(QRect(QPoint(c * tile.width(), r * tile.height()), tile));
            if (!codeTile(part, avif, quality, &tileConfig, &tileData))
                return false;
            config = tileConfig; // every tile coded alike: the last one's serves all
            lengths.append(tileData.size());
            data += tileData;
        }
    }
    const QByteArray ftyp = box("ftyp", avif ? QByteArray("avif") + u32(0) + "avifmif1miaf"
                                             : QByteArray("heic") + u32(0) + "mif1heic");
    const int metaSize = meta(picture.size(), grid, tile, avif, config, lengths, steps, 0).size();
    const quint32 dataAt = quint32(ftyp.size() + metaSize + 8);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(ftyp +
                      meta(picture.size(), grid, tile, avif, config, lengths, steps, dataAt) +
                      box("mdat", data)) > 0;
}

namespace SyntheticHeif {

QByteArray bigEndian(quint32 value, int bytes)
{
    return bytes == 1 ? u8(int(value)) : bytes == 2 ? u16(int(value)) : u32(value);
}

QByteArray box(const char *type, const QByteArray &content)
{
    return ::box(type, content);
}

QByteArray fullBox(const char *type, int version, int flags, const QByteArray &content)
{
    return ::fullBox(type, version, flags, content);
}

QByteArray ispe(const QSize &size)
{
    return ::ispe(size);
}

bool code(const QImage &picture, bool avif, QByteArray *config, QByteArray *data)
{
    return codeTile(picture, avif, 80, config, data);
}

namespace {

// The meta box of `items`, the data of those in the mdat starting `dataAt` bytes into the file.
QByteArray meta(const QVector<Item> &items, quint32 dataAt)
{
    QByteArray infos, references, properties, associations, locations, idat;
    int propertyCount = 0;
    for (int i = 0; i < items.size(); ++i) {
        const Item &item = items.at(i);
        const int id = i + 1;
        infos += fullBox("infe", 2, item.hidden ? 1 : 0, u16(id) + u16(0) + item.type + u8(0));
        for (auto reference = item.references.begin(); reference != item.references.end();
             ++reference) {
            QByteArray to = u16(id) + u16(reference->size());
            for (int target : *reference)
                to += u16(target);
            references += box(reference.key().constData(), to);
        }
        associations += u16(id) + u8(item.properties.size());
        for (const QByteArray &property : item.properties) {
            properties += property;
            associations += u8(++propertyCount);
        }
        quint32 at = quint32(idat.size());
        if (item.inIdat) {
            idat += item.data;
        } else {
            at = dataAt;
            dataAt += quint32(item.data.size());
        }
        locations += u16(id) + u16(item.inIdat ? 1 : 0) + u16(0) + u16(1) + u32(at) +
                     u32(quint32(item.data.size()));
    }
    return fullBox(
        "meta", 0, 0,
        fullBox("hdlr", 0, 0, u32(0) + "pict" + u32(0) + u32(0) + u32(0) + u8(0)) +
            fullBox("pitm", 0, 0, u16(1)) + fullBox("iinf", 0, 0, u16(items.size()) + infos) +
            (references.isEmpty() ? QByteArray() : fullBox("iref", 0, 0, references)) +
            box("iprp", box("ipco", properties) +
                            fullBox("ipma", 0, 0, u32(quint32(items.size())) + associations)) +
            (idat.isEmpty() ? QByteArray() : box("idat", idat)) +
            fullBox("iloc", 1, 0, u8(0x44) + u8(0) + u16(items.size()) + locations));
}

} // namespace

bool write(const QString &path, const QVector<Item> &items, bool avif)
{
    QByteArray data;
    for (const Item &item : items)
        if (!item.inIdat)
            data += item.data;
    const QByteArray ftyp = box("ftyp", avif ? QByteArray("avif") + u32(0) + "avifmif1miaf"
                                             : QByteArray("heic") + u32(0) + "mif1heic");
    const quint32 dataAt = quint32(ftyp.size() + meta(items, 0).size() + 8);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(ftyp + meta(items, dataAt) + box("mdat", data)) > 0;
}

} // namespace SyntheticHeif
