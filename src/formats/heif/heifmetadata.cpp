#include "formats/heif/heifmetadata.h"

#include <QFile>
#include <QtEndian>

#include <cstring>
#include <functional>
#include <vector>

#include <libheif/heif.h>

namespace HeifMetadata {

namespace {

QByteArray metadataBlock(const heif_image_handle *handle, heif_item_id id)
{
    QByteArray data(int(heif_image_handle_get_metadata_size(handle, id)), Qt::Uninitialized);
    if (heif_image_handle_get_metadata(handle, id, data.data()).code != heif_error_Ok)
        return QByteArray();
    return data;
}

// The item starts with the offset of the TIFF header after the offset field itself.
QByteArray tiffBlock(const QByteArray &item)
{
    if (item.size() < 4)
        return QByteArray();
    const quint32 skip = qFromBigEndian<quint32>(item.constData());
    if (skip > quint32(item.size() - 4))
        return QByteArray();
    return item.mid(4 + int(skip));
}

QByteArray nclxBytes(const heif_image_handle *handle)
{
    heif_color_profile_nclx *nclx = nullptr;
    if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code != heif_error_Ok || !nclx)
        return QByteArray();
    QByteArray bytes(7, Qt::Uninitialized);
    qToBigEndian<quint16>(quint16(nclx->color_primaries), bytes.data());
    qToBigEndian<quint16>(quint16(nclx->transfer_characteristics), bytes.data() + 2);
    qToBigEndian<quint16>(quint16(nclx->matrix_coefficients), bytes.data() + 4);
    bytes[6] = char(nclx->full_range_flag ? 1 : 0);
    heif_nclx_color_profile_free(nclx);
    return bytes;
}

QByteArray iccBytes(const heif_image_handle *handle)
{
    QByteArray icc(int(heif_image_handle_get_raw_color_profile_size(handle)), Qt::Uninitialized);
    if (icc.isEmpty() ||
        heif_image_handle_get_raw_color_profile(handle, icc.data()).code != heif_error_Ok)
        return QByteArray();
    return icc;
}

} // namespace

bool isHeif(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(8);
    if (head.size() < 8 || head.mid(4, 4) != "ftyp")
        return false;
    // The major brand, the minor version, then the compatible brands.
    const quint32 boxSize = qFromBigEndian<quint32>(head.constData());
    const QByteArray brands = file.read(qBound(qint64(0), qint64(boxSize) - 8, qint64(4096)));
    static const QList<QByteArray> heifBrands{"mif1", "mif2", "msf1", "heic", "heix", "heim",
                                              "heis", "hevc", "hevx", "hevm", "hevs", "avif",
                                              "avis", "avio", "j2ki", "j2is", "miaf"};
    for (int at = 0; at + 4 <= brands.size(); at += at == 0 ? 8 : 4) {
        if (heifBrands.contains(brands.mid(at, 4)))
            return true;
    }
    return false;
}

namespace {

// Apple's HDR gain map, stored as an auxiliary image of the primary: its handle, to be
// released, or null.
heif_image_handle *gainMapHandle(const heif_image_handle *handle)
{
    const int filter = LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA | LIBHEIF_AUX_IMAGE_FILTER_OMIT_DEPTH;
    const int count = heif_image_handle_get_number_of_auxiliary_images(handle, filter);
    std::vector<heif_item_id> ids(size_t(qMax(count, 0)));
    heif_image_handle_get_list_of_auxiliary_image_IDs(handle, filter, ids.data(), count);
    for (const heif_item_id id : ids) {
        heif_image_handle *aux = nullptr;
        if (heif_image_handle_get_auxiliary_image_handle(handle, id, &aux).code != heif_error_Ok)
            continue;
        const char *type = nullptr;
        bool found = false;
        if (heif_image_handle_get_auxiliary_type(aux, &type).code == heif_error_Ok && type) {
            found = std::strstr(type, "hdrgainmap") != nullptr;
            heif_image_handle_free_auxiliary_types(aux, &type);
        }
        if (found)
            return aux;
        heif_image_handle_release(aux);
    }
    return nullptr;
}

// The gain map's size, as libheif decodes it (turned as the picture is); empty for none.
QSize gainMapSize(const heif_image_handle *handle)
{
    heif_image_handle *aux = gainMapHandle(handle);
    if (!aux)
        return QSize();
    const QSize size(heif_image_handle_get_width(aux), heif_image_handle_get_height(aux));
    heif_image_handle_release(aux);
    return size;
}

// The luma plane of a decoded gain map.
QImage greyImage(const heif_image *image)
{
    int stride = 0;
    const uint8_t *plane = heif_image_get_plane_readonly(image, heif_channel_Y, &stride);
    const int width = heif_image_get_width(image, heif_channel_Y);
    const int height = heif_image_get_height(image, heif_channel_Y);
    if (!plane || width <= 0 || height <= 0 ||
        heif_image_get_bits_per_pixel_range(image, heif_channel_Y) != 8)
        return QImage();
    QImage grey(width, height, QImage::Format_Grayscale8);
    if (grey.isNull())
        return grey;
    for (int y = 0; y < height; ++y)
        std::memcpy(grey.scanLine(y), plane + qint64(y) * stride, size_t(width));
    return grey;
}

// Calls `use` with the primary image of the file at `path`; false where there is none.
bool withPrimary(const QString &path, const std::function<void(heif_image_handle *)> &use)
{
    heif_context *context = newContext();
    heif_image_handle *handle = nullptr;
    const bool opened =
        heif_context_read_from_file(context, QFile::encodeName(path).constData(), nullptr).code ==
            heif_error_Ok &&
        heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok;
    if (opened)
        use(handle);
    heif_image_handle_release(handle);
    heif_context_free(context);
    return opened;
}

} // namespace

QImage decodeGainMap(const QString &path)
{
    QImage grey;
    withPrimary(path, [&grey](heif_image_handle *handle) {
        heif_image_handle *aux = gainMapHandle(handle);
        heif_image *image = nullptr;
        if (aux && heif_decode_image(aux, &image, heif_colorspace_monochrome,
                                     heif_chroma_monochrome, nullptr)
                           .code == heif_error_Ok)
            grey = greyImage(image);
        heif_image_release(image);
        heif_image_handle_release(aux);
    });
    return grey;
}

Blocks read(const heif_image_handle *handle)
{
    Blocks blocks;
    const int count = heif_image_handle_get_number_of_metadata_blocks(handle, nullptr);
    std::vector<heif_item_id> ids(size_t(qMax(count, 0)));
    heif_image_handle_get_list_of_metadata_block_IDs(handle, nullptr, ids.data(), count);
    for (const heif_item_id id : ids) {
        const char *type = heif_image_handle_get_metadata_type(handle, id);
        const char *content = heif_image_handle_get_metadata_content_type(handle, id);
        if (std::strcmp(type, "Exif") == 0 && blocks.exif.isEmpty()) {
            blocks.exif = tiffBlock(metadataBlock(handle, id));
            blocks.readable &= !blocks.exif.isEmpty();
        } else if (std::strcmp(type, "mime") == 0 &&
                   std::strcmp(content, "application/rdf+xml") == 0 && blocks.xmp.isEmpty()) {
            blocks.xmp = metadataBlock(handle, id);
        }
    }
    blocks.icc = iccBytes(handle);
    blocks.nclx = nclxBytes(handle);
    blocks.gainMapSize = gainMapSize(handle);
    blocks.gainMap = blocks.gainMapSize.isValid();
    return blocks;
}

heif_context *newContext()
{
    static const bool initialised = heif_init(nullptr).code == heif_error_Ok;
    Q_UNUSED(initialised);
    return heif_context_alloc();
}

Blocks read(const QString &path)
{
    Blocks blocks;
    if (!withPrimary(path, [&blocks](heif_image_handle *handle) { blocks = read(handle); }))
        blocks.readable = false;
    return blocks;
}

} // namespace HeifMetadata
