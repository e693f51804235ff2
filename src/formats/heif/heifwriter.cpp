#include "formats/heif/heifwriter.h"

#include "formats/heif/heifmetadata.h"

#include "metadata/photometadata.h"
#include "system/peakmemory.h"

#include <QColorSpace>
#include <QtEndian>

#include <cstring>

#include <libheif/heif.h>

namespace HeifWriter {

namespace {

// Encoder speeds that keep the encode well under the decode of a 12-megapixel source. Slower
// ones pack better but cost too much (bench/parvimage_levels, fourteen photos at 1024): x265's
// superfast, 9.5 % fewer bytes at the same SSIM for 3 to 4 times the encode; aom's speed 8,
// 5.4 % fewer for 3 times. Neither libheif plug-in here changes a byte with tune=ssim.
const char *const X265Preset = "ultrafast";
constexpr int AomSpeed = 9;
constexpr qint64 LargeOutputPixels = 2 * 1000 * 1000;

struct Encoder
{
    heif_context *context = HeifMetadata::newContext();
    heif_encoder *encoder = nullptr;
    heif_image *image = nullptr;
    heif_image_handle *handle = nullptr;
    heif_encoding_options *options = heif_encoding_options_alloc();
    QString error;

    Encoder() = default;
    Encoder(const Encoder &) = delete;
    Encoder &operator=(const Encoder &) = delete;
    ~Encoder()
    {
        heif_encoding_options_free(options);
        heif_image_handle_release(handle);
        heif_image_release(image);
        heif_encoder_release(encoder);
        heif_context_free(context);
    }
    bool check(const heif_error &e)
    {
        if (e.code != heif_error_Ok && error.isEmpty())
            error = QString::fromUtf8(e.message);
        return e.code == heif_error_Ok;
    }
};

bool isAvif(const QByteArray &format)
{
    return format == "avif";
}

bool openEncoder(const QByteArray &format, int quality, Encoder *e)
{
    const heif_compression_format compression =
        isAvif(format) ? heif_compression_AV1 : heif_compression_HEVC;
    if (!e->context || !e->options ||
        !e->check(heif_context_get_encoder_for_format(e->context, compression, &e->encoder)))
        return false;
    if (!e->check(heif_encoder_set_lossy_quality(e->encoder, quality)))
        return false;
    // A parameter this build's plugin does not know only costs speed.
    if (isAvif(format))
        heif_encoder_set_parameter_integer(e->encoder, "speed", AomSpeed);
    else
        heif_encoder_set_parameter_string(e->encoder, "preset", X265Preset);
    return true;
}

// 8-bit images as RGB or RGBA bytes; deeper ones as 10-bit HEIC or 12-bit AVIF samples, which
// keep what a 10 or 12-bit source had above 8 bits. (Debian 12's aom aborts on 10-bit input.)
bool fillImage(const QImage &source, const QByteArray &format, Encoder *e)
{
    const bool alpha = source.hasAlphaChannel();
    const bool deep = source.depth() == 64 || source.format() == QImage::Format_Grayscale16;
    const QImage pixels =
        source.convertToFormat(deep ? (alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64)
                                    : (alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888));
    const heif_chroma chroma =
        deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
             : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    const int width = pixels.width(), height = pixels.height();
    const int bits = deep ? (isAvif(format) ? 12 : 10) : 8;
    if (pixels.isNull() ||
        !e->check(heif_image_create(width, height, heif_colorspace_RGB, chroma, &e->image)) ||
        !e->check(heif_image_add_plane(e->image, heif_channel_interleaved, width, height, bits)))
        return false;
    int stride = 0;
    uchar *plane = heif_image_get_plane(e->image, heif_channel_interleaved, &stride);
    const int channels = alpha ? 4 : 3;
    for (int y = 0; y < height; ++y) {
        uchar *line = plane + qint64(y) * stride;
        if (!deep) {
            std::memcpy(line, pixels.constScanLine(y), size_t(width) * channels);
            continue;
        }
        const auto *in = reinterpret_cast<const quint16 *>(pixels.constScanLine(y));
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                qToLittleEndian<quint16>(quint16(in[4 * x + c] >> (16 - bits)),
                                         line + 2 * (channels * x + c));
    }
    return true;
}

// A HEIF source's own description as it was, ICC or nclx; else the profile the pixels carry.
// libheif leaves the nclx out of HEIC files, which some of Apple's readers refuse: there it
// becomes the profile that says the same.
void setColour(const QImage &source, const QByteArray &format, const PhotoMetadata &metadata,
               Encoder *e, LeftOuts *leftOut)
{
    const bool keepsNclx = isAvif(format);
    const QByteArray icc = metadata.profileFor(source.colorSpace(), keepsNclx);
    if (!icc.isEmpty())
        heif_image_set_raw_color_profile(e->image, "prof", icc.constData(), size_t(icc.size()));
    const std::optional<Cicp> cicp = metadata.cicp();
    if (!keepsNclx) {
        *leftOut += metadata.colourLeftOut(source.colorSpace(), true);
        return;
    }
    if (!cicp)
        return;
    heif_color_profile_nclx *profile = heif_nclx_color_profile_alloc();
    if (!profile)
        return;
    profile->color_primaries = heif_color_primaries(cicp->primaries);
    profile->transfer_characteristics = heif_transfer_characteristics(cicp->transfer);
    profile->matrix_coefficients = heif_matrix_coefficients(cicp->matrix);
    profile->full_range_flag = cicp->fullRange ? 1 : 0;
    heif_image_set_nclx_color_profile(e->image, profile);
    e->options->save_two_colr_boxes_when_ICC_and_nclx_available = !icc.isEmpty();
    heif_nclx_color_profile_free(profile);
}

void addMetadata(const QSize &size, const PhotoMetadata &metadata, Encoder *e, LeftOuts *leftOut)
{
    const PhotoMetadata::Corrected fixed = metadata.corrected(size);
    *leftOut += fixed.leftOut;
    if (!fixed.exif.isEmpty() &&
        heif_context_add_exif_metadata(e->context, e->handle, fixed.exif.constData(),
                                       fixed.exif.size())
                .code != heif_error_Ok)
        leftOut->append(LeftOut::ExifNotWritten);
    if (!fixed.xmp.isEmpty() && heif_context_add_XMP_metadata(
                                    e->context, e->handle, fixed.xmp.constData(), fixed.xmp.size())
                                        .code != heif_error_Ok)
        leftOut->append(LeftOut::XmpNotWritten);
    *leftOut += metadata.jpegOnly();
}

heif_error appendBytes(heif_context *, const void *data, size_t size, void *bytes)
{
    static_cast<QByteArray *>(bytes)->append(static_cast<const char *>(data), int(size));
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "Success"};
}

bool encodeWith(const QImage &image, const QByteArray &format, int quality,
                const PhotoMetadata &metadata, QByteArray *bytes, LeftOuts *leftOut, QString *error)
{
    Encoder e;
    bool done = openEncoder(format, quality, &e) && fillImage(image, format, &e);
    if (done) {
        setColour(image, format, metadata, &e, leftOut);
        done =
            e.check(heif_context_encode_image(e.context, e.image, e.encoder, e.options, &e.handle));
    }
    if (done) {
        addMetadata(image.size(), metadata, &e, leftOut);
        heif_writer writer{1, appendBytes};
        bytes->clear();
        done = e.check(heif_context_write(e.context, &writer, bytes));
    }
    *error = e.error;
    return done;
}

} // namespace

qint64 memoryEstimate(const QSize &size)
{
    return qint64(size.width()) * size.height() * 20 + 8 * 1024 * 1024;
}

bool encode(const QImage &image, const QByteArray &format, int quality,
            const PhotoMetadata &metadata, QByteArray *bytes, LeftOuts *leftOut, QString *error)
{
    const bool done = encodeWith(image, format, quality, metadata, bytes, leftOut, error);
    // A large encode's freed buffers would otherwise stay resident under the next decode;
    // small ones are cheaper to keep.
    if (qint64(image.width()) * image.height() > LargeOutputPixels)
        releaseFreedMemory();
    return done;
}

} // namespace HeifWriter
