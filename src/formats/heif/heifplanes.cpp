#include "formats/heif/heifplanes.h"

#include "formats/heif/heifboxes.h"

#include "resample/rowsink.h"

#include <QList>
#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace HeifPlanes {

using Formats::Status;

namespace {

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

// YCbCr to RGB after the matrix the file names (BT.601 where it names none), at full range, for
// planes libheif would hand out as YCbCr: 1.15 hands out the RGB it converts them to.
struct Matrix
{
    bool identity = false;
    float rCr = 1.402f, gCb = 0.344136f, gCr = 0.714136f, bCb = 1.772f;

    // The decoded image's own description, else the file's.
    static Matrix of(const heif_image *image, const heif_image_handle *handle)
    {
        Matrix m;
        heif_color_profile_nclx *nclx = nullptr;
        if ((!image || heif_image_get_nclx_color_profile(image, &nclx).code != heif_error_Ok) &&
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

    // Red, green and blue in [0, 1] from samples of `bits` bits, where `max` is the luma's top.
    void toRgb(float luma, int cb, int cr, int chromaBits, float max, float out[3]) const
    {
        const float half = float(1 << (chromaBits - 1));
        const float u = cb - half, v = cr - half;
        if (identity) {
            out[0] = (v + half) / max, out[1] = luma / max, out[2] = (u + half) / max;
            return;
        }
        out[0] = (luma + rCr * v) / max;
        out[1] = (luma - gCb * u - gCr * v) / max;
        out[2] = (luma + bCb * u) / max;
    }
};

// The decoded planes.
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
        matrix.toRgb(luma, cb.at(cx, cy), cr.at(cx, cy), cb.bits, max, out);
    }
    float alphaAt(int x, int y0) const
    {
        return hasAlpha ? alpha.at(x, y0) / float(alpha.max()) : 1;
    }
    // The common photo: 8-bit RGB without alpha, as libheif converts it, whose rows go to the
    // sink as they are.
    bool plainRgb() const
    {
        return rgb && !hasAlpha && y.bits == 8 && cb.bits == 8 && cr.bits == 8;
    }
};

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

// Rows of libheif's own RGB pixels.
void pushRgbRows(const Source &source, int width, RowSink *sink)
{
    QVector<QRgb> pixels(width);
    for (int y = sink->nextRow(0); y < sink->rowCount(); y = sink->nextRow(y + 1)) {
        const uchar *r = source.y.data + qint64(y) * source.y.stride;
        const uchar *g = source.cb.data + qint64(y) * source.cb.stride;
        const uchar *b = source.cr.data + qint64(y) * source.cr.stride;
        for (int x : sink->columns())
            pixels[x] = qRgb(r[x], g[x], b[x]);
        sink->pushImageRow(y, reinterpret_cast<const uchar *>(pixels.constData()));
    }
}

// Rows of red, green, blue and alpha floats in the output's scale, or grey.
void pushFloatRows(const Source &source, int width, bool grey, float max, RowSink *sink)
{
    const int channels = grey ? 1 : 4;
    QVector<float> samples(channels * width);
    const auto scaled = [max](float v) { return std::clamp(v, 0.0f, 1.0f) * max; };
    float rgb[3];
    for (int y = sink->nextRow(0); y < sink->rowCount(); y = sink->nextRow(y + 1)) {
        for (int x : sink->columns()) {
            source.rgbAt(x, y, rgb);
            float *p = samples.data() + channels * x;
            p[0] = scaled(rgb[0]);
            if (grey)
                continue;
            p[1] = scaled(rgb[1]), p[2] = scaled(rgb[2]);
            p[3] = source.alphaAt(x, y) * max;
        }
        sink->pushFloatRow(y, samples.constData());
    }
}

} // namespace

Layout nativeLayout(const QByteArray &meta)
{
    QList<heif_chroma> colour;
    bool grey = false;
    for (const HeifBoxes::Box &box : HeifBoxes::properties(meta)) {
        if (box.type != "hvcC" && box.type != "av1C")
            continue;
        const heif_chroma chroma = chromaOf(meta, box.content - 8, box.type == "hvcC");
        if (chroma == heif_chroma_monochrome)
            grey = true; // an alpha plane's coding, or a grey image
        else if (chroma != heif_chroma_undefined)
            colour.append(chroma);
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

qint64 planeBytes(const QSize &size, const Layout &layout, int bits, bool alpha)
{
    const qint64 luma = qint64(size.width()) * size.height() * (bits > 8 ? 2 : 1);
    const qint64 chroma = layout.chroma == heif_chroma_420   ? luma / 2
                          : layout.chroma == heif_chroma_422 ? luma
                          : layout.chroma == heif_chroma_444 ? 2 * luma
                                                             : 0;
    return luma + chroma + (alpha ? luma : 0);
}

Status statusOf(const heif_error &e)
{
    const bool unsupported = e.code == heif_error_Unsupported_filetype ||
                             e.code == heif_error_Unsupported_feature ||
                             e.subcode == heif_suberror_Unsupported_codec;
    return unsupported ? Status::Failed : Status::Damaged;
}

Status push(const heif_image *image, const heif_image_handle *handle, const Target &target,
            bool premultiplied, QImage *out, Formats::Damage *damage)
{
    Source source;
    if (!source.load(image, handle))
        return Status::Damaged;
    // libheif lays a coded alpha plane over the picture whatever its size; it is read at the
    // picture's coordinates.
    const heif_channel first = source.rgb ? heif_channel_R : heif_channel_Y;
    if (source.hasAlpha &&
        (heif_image_get_width(image, heif_channel_Alpha) != heif_image_get_width(image, first) ||
         heif_image_get_height(image, heif_channel_Alpha) != heif_image_get_height(image, first))) {
        *damage = Formats::Damage::AlphaSize;
        return Status::Damaged;
    }
    const QSize size(heif_image_get_primary_width(image), heif_image_get_primary_height(image));
    const QImage::Format format = outputFormat(source, premultiplied);
    const bool plain = source.plainRgb();
    const RowLayout layout =
        plain ? RowLayout::image(QImage::Format_RGB32) : RowLayout::floats(format, source.hasAlpha);
    const std::unique_ptr<RowSink> sink =
        target.sink(size, size, QImageIOHandler::TransformationNone, layout);
    if (!sink->isValid())
        return Status::Failed;
    const bool deep = source.y.bits > 8;
    if (plain)
        pushRgbRows(source, size.width(), sink.get());
    else
        pushFloatRows(source, size.width(), source.grey && !source.hasAlpha,
                      deep ? 65535.0f : 255.0f, sink.get());
    *out = sink->result();
    return out->isNull() ? Status::Failed : Status::Decoded;
}

} // namespace HeifPlanes
