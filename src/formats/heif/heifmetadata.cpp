#include "formats/heif/heifmetadata.h"

#include "system/workercores.h"

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

std::optional<Cicp> cicpOf(const heif_image_handle *handle)
{
    heif_color_profile_nclx *nclx = nullptr;
    if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code != heif_error_Ok || !nclx)
        return std::nullopt;
    Cicp cicp;
    cicp.primaries = quint16(nclx->color_primaries);
    cicp.transfer = quint16(nclx->transfer_characteristics);
    cicp.matrix = quint16(nclx->matrix_coefficients);
    cicp.fullRange = nclx->full_range_flag != 0;
    heif_nclx_color_profile_free(nclx);
    return cicp;
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

bool isHeif(const QByteArray &head)
{
    if (head.size() < 8 || head.mid(4, 4) != "ftyp")
        return false;
    // The major brand, the minor version, then the compatible brands.
    const quint32 boxSize = qFromBigEndian<quint32>(head.constData());
    const QByteArray brands =
        head.mid(8, int(qBound(qint64(0), qint64(boxSize) - 8, qint64(4096))));
    static const QList<QByteArray> heifBrands{"mif1", "mif2", "msf1", "heic", "heix", "heim",
                                              "heis", "hevc", "hevx", "hevm", "hevs", "avif",
                                              "avis", "avio", "j2ki", "j2is", "miaf"};
    for (int at = 0; at + 4 <= brands.size(); at += at == 0 ? 8 : 4) {
        if (heifBrands.contains(brands.mid(at, 4)))
            return true;
    }
    return false;
}

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

namespace {

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

} // namespace

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
    blocks.cicp = cicpOf(handle);
    blocks.gainMapSize = gainMapSize(handle);
    blocks.gainMap = blocks.gainMapSize.isValid();
    return blocks;
}

QColorSpace colourSpace(const Blocks &colour)
{
    if (!colour.icc.isEmpty())
        return QColorSpace::fromIccProfile(colour.icc);
    return colour.cicp ? colour.cicp->colorSpace() : QColorSpace();
}

void initialise()
{
    heif_init(nullptr);
}

heif_context *newContext()
{
    heif_context *context = heif_context_alloc();
    // Beside another worker, a grid's tiles are decoded on this one's core only.
    if (context && WorkerCores::forThisThread() == 1)
        heif_context_set_max_decoding_threads(context, 0);
    return context;
}

} // namespace HeifMetadata
