#include "formats/heif/heifmetadata.h"

#include <QPointF>
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
    blocks.nclx = nclxBytes(handle);
    blocks.gainMapSize = gainMapSize(handle);
    blocks.gainMap = blocks.gainMapSize.isValid();
    return blocks;
}

namespace {

struct Chromaticities
{
    QPointF white, red, green, blue;
};

// The primaries an nclx names, where a profile can express them.
bool chromaticities(quint16 primaries, Chromaticities *c)
{
    const QPointF d65(0.3127, 0.3290);
    switch (primaries) {
    case heif_color_primaries_ITU_R_BT_709_5:
    case heif_color_primaries_unspecified:
        *c = {d65, {0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}};
        return true;
    case heif_color_primaries_ITU_R_BT_470_6_System_B_G:
        *c = {d65, {0.64, 0.33}, {0.29, 0.60}, {0.15, 0.06}};
        return true;
    case heif_color_primaries_ITU_R_BT_601_6:
    case heif_color_primaries_SMPTE_240M:
        *c = {d65, {0.630, 0.340}, {0.310, 0.595}, {0.155, 0.070}};
        return true;
    case heif_color_primaries_EBU_Tech_3213_E:
        *c = {d65, {0.630, 0.340}, {0.295, 0.605}, {0.155, 0.077}};
        return true;
    case heif_color_primaries_ITU_R_BT_2020_2_and_2100_0:
        *c = {d65, {0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}};
        return true;
    case heif_color_primaries_SMPTE_RP_431_2:
        *c = {{0.314, 0.351}, {0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}};
        return true;
    case heif_color_primaries_SMPTE_EG_432_1:
        *c = {d65, {0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}};
        return true;
    default:
        return false;
    }
}

// The transfer an nclx names, where a profile can express it. The video curves of the BT.709
// family are read as sRGB's, as the decode reads every nclx at full range; PQ and HLG have no
// profile of this kind.
bool transfer(quint16 characteristics, QColorSpace::TransferFunction *function, float *gamma)
{
    *gamma = 0;
    switch (characteristics) {
    case heif_transfer_characteristic_IEC_61966_2_1:
    case heif_transfer_characteristic_unspecified:
    case heif_transfer_characteristic_ITU_R_BT_709_5:
    case heif_transfer_characteristic_ITU_R_BT_601_6:
    case heif_transfer_characteristic_ITU_R_BT_2020_2_10bit:
    case heif_transfer_characteristic_ITU_R_BT_2020_2_12bit:
        *function = QColorSpace::TransferFunction::SRgb;
        return true;
    case heif_transfer_characteristic_linear:
        *function = QColorSpace::TransferFunction::Linear;
        return true;
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_M:
        *function = QColorSpace::TransferFunction::Gamma;
        *gamma = 2.2f;
        return true;
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_B_G:
        *function = QColorSpace::TransferFunction::Gamma;
        *gamma = 2.8f;
        return true;
    default:
        return false;
    }
}

// The colour space an ICC profile or an nclx describes; an nclx as the profile that says the
// same, so that an output without nclx keeps the source's colours.
} // namespace

QColorSpace colourSpace(const Blocks &colour)
{
    if (!colour.icc.isEmpty())
        return QColorSpace::fromIccProfile(colour.icc);
    if (colour.nclx.size() < 6)
        return QColorSpace();
    const quint16 primaries = qFromBigEndian<quint16>(colour.nclx.constData());
    const quint16 characteristics = qFromBigEndian<quint16>(colour.nclx.constData() + 2);
    if (primaries == heif_color_primaries_ITU_R_BT_709_5 &&
        characteristics == heif_transfer_characteristic_IEC_61966_2_1)
        return QColorSpace(QColorSpace::SRgb);
    if (primaries == heif_color_primaries_SMPTE_EG_432_1 &&
        characteristics == heif_transfer_characteristic_IEC_61966_2_1)
        return QColorSpace(QColorSpace::DisplayP3);
    Chromaticities c;
    QColorSpace::TransferFunction function;
    float gamma;
    if (!chromaticities(primaries, &c) || !transfer(characteristics, &function, &gamma))
        return QColorSpace();
    return QColorSpace(c.white, c.red, c.green, c.blue, function, gamma);
}

void initialise()
{
    heif_init(nullptr);
}

heif_context *newContext()
{
    return heif_context_alloc();
}

} // namespace HeifMetadata
