#include "formats/heif/heifstream.h"

#include "formats/heif/heifmetadata.h"
#include "resample/resampler.h"
#include "resample/sampler.h"
#include "system/peakmemory.h"

#include <QColorSpace>
#include <QFile>
#include <QPointF>
#include <QRgba64>
#include <QtEndian>

#include <algorithm>
#include <cmath>

#include <libheif/heif.h>

namespace HeifStream {

namespace {

// The widest image libheif may even allocate: the pixel limit is checked before decoding.
constexpr int MaxSide = 1 << 16;
// Above this, the freed decoder memory is handed back to the system after each image.
constexpr qint64 LargePixels = 24 * 1000 * 1000;
// What libde265 and dav1d allocate whatever the image's size.
constexpr qint64 DecoderOverhead = 32 * 1024 * 1024;

struct Heif
{
    heif_context *context = HeifMetadata::newContext();
    heif_image_handle *handle = nullptr;
    heif_image *image = nullptr;
    QString error;

    Heif() = default;
    Heif(const Heif &) = delete;
    Heif &operator=(const Heif &) = delete;
    ~Heif()
    {
        heif_image_release(image);
        heif_image_handle_release(handle);
        heif_context_free(context);
    }

    // Codings libheif cannot decode make the file unreadable; anything else is damage.
    Status fail(const heif_error &e)
    {
        error = QString::fromUtf8(e.message);
        const bool unsupported = e.code == heif_error_Unsupported_filetype ||
                                 e.code == heif_error_Unsupported_feature ||
                                 e.subcode == heif_suberror_Unsupported_codec;
        return unsupported ? Status::Failed : Status::Damaged;
    }
    QSize size() const
    {
        return QSize(heif_image_handle_get_width(handle), heif_image_handle_get_height(handle));
    }
};

// The top-level meta box's content, where every item and property is described.
QByteArray metaBox(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    for (qint64 at = 0; at + 8 <= file.size();) {
        file.seek(at);
        const QByteArray header = file.read(16);
        if (header.size() < 8)
            break;
        qint64 size = qFromBigEndian<quint32>(header.constData());
        qint64 headerSize = 8;
        if (size == 1 && header.size() == 16) {
            size = qint64(qFromBigEndian<quint64>(header.constData() + 8));
            headerSize = 16;
        } else if (size == 0) {
            size = file.size() - at;
        }
        if (header.mid(4, 4) == "meta" && size >= headerSize && size <= 16 * 1024 * 1024) {
            file.seek(at + headerSize);
            return file.read(size - headerSize);
        }
        if (size < 8)
            break;
        at += size;
    }
    return QByteArray();
}

// Uncompressed and JPEG 2000 images, which libheif 1.15 takes for missing ones.
bool unknownCoding(const QString &path)
{
    const QByteArray meta = metaBox(path);
    return meta.contains("unci") || meta.contains("j2k1");
}

Status open(const QString &path, Heif *heif)
{
    if (!heif->context)
        return Status::Failed;
    heif_context_set_maximum_image_size_limit(heif->context, MaxSide);
    heif_error e =
        heif_context_read_from_file(heif->context, QFile::encodeName(path).constData(), nullptr);
    if (e.code == heif_error_Ok)
        e = heif_context_get_primary_image_handle(heif->context, &heif->handle);
    if (e.code != heif_error_Ok) {
        const Status status = heif->fail(e);
        return unknownCoding(path) ? Status::Failed : status;
    }
    if (!heif->size().isValid())
        return Status::Damaged;
    return Status::Decoded;
}

// The planes the file's codings store. libheif 1.15 does not tell, so the decoder
// configurations are read from the meta box; where they differ, 4:4:4 keeps every sample.
struct Layout
{
    heif_colorspace colorspace = heif_colorspace_YCbCr;
    heif_chroma chroma = heif_chroma_444;
};

heif_chroma chromaOf(const QByteArray &meta, int at, bool hevc)
{
    if (hevc) {
        if (at + 8 + 17 > meta.size())
            return heif_chroma_undefined;
        static const heif_chroma formats[] = {heif_chroma_monochrome, heif_chroma_420,
                                              heif_chroma_422, heif_chroma_444};
        return formats[uchar(meta.at(at + 8 + 16)) & 3];
    }
    if (at + 8 + 3 > meta.size())
        return heif_chroma_undefined;
    const uchar flags = uchar(meta.at(at + 8 + 2));
    if (flags & 0x10)
        return heif_chroma_monochrome;
    if ((flags & 0x08) && (flags & 0x04))
        return heif_chroma_420;
    return flags & 0x08 ? heif_chroma_422 : heif_chroma_444;
}

Layout nativeLayout(const QString &path)
{
    const QByteArray meta = metaBox(path);
    QList<heif_chroma> colour;
    bool grey = false;
    for (const char *name : {"hvcC", "av1C"}) {
        for (int at = meta.indexOf(name); at >= 4; at = meta.indexOf(name, at + 1)) {
            const heif_chroma chroma = chromaOf(meta, at - 4, name[0] == 'h');
            if (chroma == heif_chroma_monochrome)
                grey = true; // an alpha plane's coding, or a grey image
            else if (chroma != heif_chroma_undefined)
                colour.append(chroma);
        }
    }
    Layout layout;
    if (colour.isEmpty() && grey)
        return {heif_colorspace_monochrome, heif_chroma_monochrome};
    if (colour.isEmpty())
        return {heif_colorspace_RGB, heif_chroma_444}; // codings without a configuration box
    if (std::all_of(colour.begin(), colour.end(), [&](heif_chroma c) { return c == colour[0]; }))
        layout.chroma = colour[0];
    return layout;
}

struct Plane
{
    const uchar *data = nullptr;
    int stride = 0;
    int bits = 8;

    bool load(const heif_image *image, heif_channel channel)
    {
        if (!heif_image_has_channel(image, channel))
            return false;
        data = heif_image_get_plane_readonly(image, channel, &stride);
        bits = heif_image_get_bits_per_pixel_range(image, channel);
        return data && bits >= 1 && bits <= 16;
    }
    int max() const { return (1 << bits) - 1; }
    int at(int x, int y) const
    {
        const uchar *line = data + qint64(y) * stride;
        return bits > 8 ? qFromLittleEndian<quint16>(line + 2 * x) : line[x];
    }
};

// YCbCr to RGB after the matrix the file names (BT.601 where it names none). libheif 1.15
// converts at full range whatever the nclx says, and so does this, so that the output shows what
// every libheif-based viewer shows.
struct Matrix
{
    bool identity = false;
    float rCr = 1.402f, gCb = 0.344136f, gCr = 0.714136f, bCb = 1.772f;

    // The decoded image's own description, else the file's.
    static Matrix of(const heif_image *image, const heif_image_handle *handle)
    {
        Matrix m;
        heif_color_profile_nclx *nclx = nullptr;
        if (heif_image_get_nclx_color_profile(image, &nclx).code != heif_error_Ok &&
            heif_image_handle_get_nclx_color_profile(handle, &nclx).code != heif_error_Ok)
            return m;
        if (!nclx)
            return m;
        float kr = 0.299f, kb = 0.114f;
        switch (nclx->matrix_coefficients) {
        case heif_matrix_coefficients_RGB_GBR:
            m.identity = true;
            break;
        case heif_matrix_coefficients_ITU_R_BT_709_5:
            kr = 0.2126f, kb = 0.0722f;
            break;
        case heif_matrix_coefficients_US_FCC_T47:
            kr = 0.30f, kb = 0.11f;
            break;
        case heif_matrix_coefficients_SMPTE_240M:
            kr = 0.212f, kb = 0.087f;
            break;
        case heif_matrix_coefficients_ITU_R_BT_2020_2_non_constant_luminance:
        case heif_matrix_coefficients_ITU_R_BT_2020_2_constant_luminance:
            kr = 0.2627f, kb = 0.0593f;
            break;
        default:
            break;
        }
        heif_nclx_color_profile_free(nclx);
        const float kg = 1 - kr - kb;
        m.rCr = 2 * (1 - kr);
        m.bCb = 2 * (1 - kb);
        m.gCb = 2 * kb * (1 - kb) / kg;
        m.gCr = 2 * kr * (1 - kr) / kg;
        return m;
    }
};

// The decoded planes, read at upright coordinates.
struct Source
{
    Plane y, cb, cr, alpha;
    bool rgb = false, grey = false, hasAlpha = false;
    int shiftX = 0, shiftY = 0;
    Matrix matrix;

    bool load(const heif_image *image, const heif_image_handle *handle)
    {
        const heif_colorspace space = heif_image_get_colorspace(image);
        rgb = space == heif_colorspace_RGB;
        grey = space == heif_colorspace_monochrome;
        const bool planes =
            rgb ? y.load(image, heif_channel_R) && cb.load(image, heif_channel_G) &&
                      cr.load(image, heif_channel_B)
                : y.load(image, heif_channel_Y) && (grey || (cb.load(image, heif_channel_Cb) &&
                                                             cr.load(image, heif_channel_Cr)));
        hasAlpha = alpha.load(image, heif_channel_Alpha);
        const heif_chroma chroma = heif_image_get_chroma_format(image);
        shiftX = chroma == heif_chroma_420 || chroma == heif_chroma_422;
        shiftY = chroma == heif_chroma_420;
        if (!rgb && !grey)
            matrix = Matrix::of(image, handle);
        return planes;
    }

    // Red, green and blue in [0, 1].
    void rgbAt(int x, int y0, float out[3]) const
    {
        const float max = float(y.max());
        if (rgb) {
            out[0] = y.at(x, y0) / max, out[1] = cb.at(x, y0) / max, out[2] = cr.at(x, y0) / max;
            return;
        }
        const float luma = y.at(x, y0);
        if (grey) {
            out[0] = out[1] = out[2] = luma / max;
            return;
        }
        const int cx = x >> shiftX, cy = y0 >> shiftY;
        const float half = float(1 << (cb.bits - 1));
        const float u = cb.at(cx, cy) - half, v = cr.at(cx, cy) - half;
        if (matrix.identity) {
            out[0] = (v + half) / max, out[1] = luma / max, out[2] = (u + half) / max;
            return;
        }
        out[0] = (luma + matrix.rCr * v) / max;
        out[1] = (luma - matrix.gCb * u - matrix.gCr * v) / max;
        out[2] = (luma + matrix.bCb * u) / max;
    }
    float alphaAt(int x, int y0) const
    {
        return hasAlpha ? alpha.at(x, y0) / float(alpha.max()) : 1;
    }
};

int toRange(float value, int max)
{
    return int(std::lround(std::clamp(value, 0.0f, 1.0f) * max));
}

QImage::Format outputFormat(const Source &source, bool premultiplied)
{
    const bool deep = source.y.bits > 8;
    if (source.grey && !source.hasAlpha)
        return deep ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8;
    if (!source.hasAlpha)
        return deep ? QImage::Format_RGBX64 : QImage::Format_RGB32;
    if (deep)
        return premultiplied ? QImage::Format_RGBA64_Premultiplied : QImage::Format_RGBA64;
    return premultiplied ? QImage::Format_ARGB32_Premultiplied : QImage::Format_ARGB32;
}

void storePixel(QImage *out, int x, int y, const float rgb[3], float alpha)
{
    switch (out->format()) {
    case QImage::Format_Grayscale8:
        out->scanLine(y)[x] = uchar(toRange(rgb[0], 255));
        break;
    case QImage::Format_Grayscale16:
        reinterpret_cast<quint16 *>(out->scanLine(y))[x] = quint16(toRange(rgb[0], 65535));
        break;
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
        reinterpret_cast<QRgb *>(out->scanLine(y))[x] = qRgba(
            toRange(rgb[0], 255), toRange(rgb[1], 255), toRange(rgb[2], 255), toRange(alpha, 255));
        break;
    default:
        reinterpret_cast<QRgba64 *>(out->scanLine(y))[x] =
            QRgba64::fromRgba64(quint16(toRange(rgb[0], 65535)), quint16(toRange(rgb[1], 65535)),
                                quint16(toRange(rgb[2], 65535)), quint16(toRange(alpha, 65535)));
        break;
    }
}

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
QColorSpace colourSpace(const HeifMetadata::Blocks &colour)
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

QImage sampled(const Heif &heif, const Source &source, int box)
{
    const int width = heif_image_get_primary_width(heif.image);
    const int height = heif_image_get_primary_height(heif.image);
    const QSize size = fitInSquare(QSize(width, height), box);
    QImage out(size, outputFormat(source, heif_image_handle_is_premultiplied_alpha(heif.handle)));
    if (out.isNull())
        return out;
    QVector<int> columns(size.width());
    for (int x = 0; x < size.width(); ++x)
        columns[x] = nearestIndex(x, width, size.width());
    float rgb[3];
    for (int y = 0; y < size.height(); ++y) {
        const int row = nearestIndex(y, height, size.height());
        for (int x = 0; x < size.width(); ++x) {
            source.rgbAt(columns.at(x), row, rgb);
            storePixel(&out, x, y, rgb, source.alphaAt(columns.at(x), row));
        }
    }
    return out;
}

// Every pixel converted, row by row, through the filter.
// The common photo: 8-bit YCbCr without alpha, converted a row at a time without the general
// case's per-pixel choices.
bool plainYCbCr(const Source &source)
{
    return !source.rgb && !source.grey && !source.hasAlpha && !source.matrix.identity &&
           source.y.bits == 8 && source.cb.bits == 8 && source.cr.bits == 8;
}

// The file's matrix at full range, chroma centred on 128, as the filter's conversion takes it.
SmoothRows::YCbCr filterMatrix(const Matrix &m)
{
    SmoothRows::YCbCr matrix;
    matrix.redCr = m.rCr, matrix.greenCb = m.gCb, matrix.greenCr = m.gCr, matrix.blueCb = m.bCb;
    matrix.redOffset = -128 * m.rCr;
    matrix.greenOffset = 128 * (m.gCb + m.gCr);
    matrix.blueOffset = -128 * m.bCb;
    return matrix;
}

void pushYCbCrRow(const Source &source, int y, QVector<float> *samples, SmoothRows *rows)
{
    const int width = samples->size() / 3;
    float *luma = samples->data(), *cb = luma + width, *cr = cb + width;
    const uchar *lumaRow = source.y.data + qint64(y) * source.y.stride;
    const int cy = y >> source.shiftY;
    const uchar *cbRow = source.cb.data + qint64(cy) * source.cb.stride;
    const uchar *crRow = source.cr.data + qint64(cy) * source.cr.stride;
    for (int x = 0; x < width; ++x) {
        const int cx = x >> source.shiftX;
        luma[x] = lumaRow[x], cb[x] = cbRow[cx], cr[x] = crRow[cx];
    }
    rows->pushYCbCr(luma, cb, cr, nullptr, filterMatrix(source.matrix));
}

void pushRow(const Source &source, int y, int width, SmoothRows *rows)
{
    const float max = rows->maximum();
    const auto scaled = [max](float v) { return std::clamp(v, 0.0f, 1.0f) * max; };
    float *in = rows->inputRow();
    float rgb[3];
    for (int x = 0; x < width; ++x) {
        source.rgbAt(x, y, rgb);
        if (rows->channels() == 1)
            in[x] = scaled(rgb[0]);
        else
            rows->put(x, scaled(rgb[0]), scaled(rgb[1]), scaled(rgb[2]),
                      source.alphaAt(x, y) * max);
    }
    rows->pushRow();
}

// Every pixel converted, row by row, through the filter.
QImage filtered(const Heif &heif, const Source &source, int box)
{
    const QSize size(heif_image_get_primary_width(heif.image),
                     heif_image_get_primary_height(heif.image));
    SmoothRows rows(size, {}, box,
                    outputFormat(source, heif_image_handle_is_premultiplied_alpha(heif.handle)));
    if (!rows.isValid())
        return QImage();
    const bool plain = plainYCbCr(source) && rows.maximum() == 255.0f;
    QVector<float> samples(plain ? 3 * size.width() : 0);
    for (int y = 0; y < size.height(); ++y) {
        if (plain)
            pushYCbCrRow(source, y, &samples, &rows);
        else
            pushRow(source, y, size.width(), &rows);
    }
    return rows.result();
}

qint64 planeBytes(const QSize &size, const Layout &layout, int bits, bool alpha)
{
    const qint64 luma = qint64(size.width()) * size.height() * (bits > 8 ? 2 : 1);
    const qint64 chroma = layout.chroma == heif_chroma_420   ? luma / 2
                          : layout.chroma == heif_chroma_422 ? luma
                          : layout.chroma == heif_chroma_444 ? 2 * luma
                                                             : 0;
    return luma + chroma + (alpha ? luma : 0);
}

Status decodeWith(Heif &heif, const QString &path, int box, Resampling resampling, QImage *out)
{
    Status status = open(path, &heif);
    if (status == Status::Decoded) {
        const Layout layout = nativeLayout(path);
        heif_decoding_options *options = heif_decoding_options_alloc();
        options->strict_decoding = 1;
        const heif_error e =
            heif_decode_image(heif.handle, &heif.image, layout.colorspace, layout.chroma, options);
        heif_decoding_options_free(options);
        if (e.code != heif_error_Ok)
            status = heif.fail(e);
    }
    Source source;
    if (status == Status::Decoded && !source.load(heif.image, heif.handle))
        status = Status::Damaged;
    if (status == Status::Decoded) {
        *out = resampling == Resampling::Smooth ? filtered(heif, source, box)
                                                : sampled(heif, source, box);
        out->setColorSpace(colourSpace(HeifMetadata::read(heif.handle)));
    }
    return status == Status::Decoded && out->isNull() ? Status::Failed : status;
}

} // namespace

Status decodeScaled(const QString &path, QImageIOHandler::Transformations, int box,
                    Resampling resampling, QImage *out, QString *error)
{
    Status status;
    qint64 pixels = 0;
    {
        Heif heif;
        status = decodeWith(heif, path, box, resampling, out);
        *error = heif.error;
        pixels = heif.handle ? qint64(heif.size().width()) * heif.size().height() : 0;
    }
    // The decoder frees a large photo's pictures in pieces that the heap keeps: without handing
    // them back, each would add to the next one's peak. Small ones are cheaper to keep.
    if (pixels > LargePixels)
        releaseFreedMemory();
    return status;
}

qint64 memoryEstimate(const QString &path, int box, Resampling resampling)
{
    Heif heif;
    if (open(path, &heif) != Status::Decoded)
        return 0;
    const QSize size = heif.size();
    const int bits = qMax(8, heif_image_handle_get_luma_bits_per_pixel(heif.handle));
    const bool alpha = heif_image_handle_has_alpha_channel(heif.handle);
    const qint64 planes = planeBytes(size, nativeLayout(path), bits, alpha);
    const QSize outSize = fitInSquare(size, box);
    // The decoder's own pictures and threads, the grid's or libheif's copy of the planes, and
    // the output: measured at 6 to 16 bytes a pixel on the conformance files.
    const qint64 filter = resampling == Resampling::Smooth
                              ? SmoothRows::memoryEstimate(size, outSize, QImage::Format_RGBA64)
                              : 0;
    return 4 * planes + DecoderOverhead + qint64(outSize.width()) * outSize.height() * 8 + filter;
}

QSize uprightSize(const QString &path)
{
    Heif heif;
    return open(path, &heif) == Status::Decoded ? heif.size() : QSize();
}

} // namespace HeifStream
