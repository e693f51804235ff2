#include "codecfiles.h"

#include "formats/registry.h"
#include "resample/geometry.h"
#include "resample/wholeimage.h"
#include "system/sourcefile.h"
#include "testimages.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QTransform>
#include <QtEndian>

#include <zlib.h>

#include <jxl/decode_cxx.h>
#include <jxl/encode_cxx.h>
#include <libheif/heif.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cstring>
#include <vector>

using namespace TestImages;

namespace CodecFiles {

QImage upright(const QImage &stored, int orientation)
{
    static const int turns[] = {0, 0, 0, 180, 180, 270, 90, 90, 270};
    const bool mirror =
        orientation == 2 || orientation == 4 || orientation == 5 || orientation == 7;
    QImage image = stored.mirrored(mirror, false);
    if (orientation == 4) // mirrored top to bottom: left to right and turned a half
        image = stored.mirrored(false, true);
    else if (turns[orientation])
        image = image.transformed(QTransform().rotate(turns[orientation]));
    return image;
}

int exifOrientation(const QString &path)
{
    const int value = exifValues(path, {"EXIF:Orientation"}).toInt();
    return value >= 1 && value <= 8 ? value : 1;
}

bool writeLosslessWebP(const QString &path, const QImage &image)
{
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    uint8_t *output = nullptr;
    const size_t size = WebPEncodeLosslessRGBA(rgba.constBits(), rgba.width(), rgba.height(),
                                               int(rgba.bytesPerLine()), &output);
    const bool written =
        size > 0 && writeAll(path, QByteArray(reinterpret_cast<const char *>(output), int(size)));
    WebPFree(output);
    return written;
}

bool writeWebPAnimation(const QString &path, const QSize &size, const QList<int> &durations,
                        int loops, bool lossless)
{
    WebPAnimEncoderOptions options;
    WebPAnimEncoderOptionsInit(&options);
    options.anim_params.loop_count = loops;
    WebPAnimEncoder *encoder = WebPAnimEncoderNew(size.width(), size.height(), &options);
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = lossless;
    bool ok = encoder != nullptr;
    int start = 0;
    for (int i = 0; ok && i < durations.size(); ++i) {
        QImage frame = pattern(size).convertToFormat(QImage::Format_RGBA8888);
        if (i % 2)
            frame.invertPixels();
        WebPPicture picture;
        WebPPictureInit(&picture);
        picture.use_argb = 1;
        picture.width = size.width();
        picture.height = size.height();
        ok = WebPPictureImportRGBA(&picture, frame.constBits(), int(frame.bytesPerLine())) &&
             WebPAnimEncoderAdd(encoder, &picture, start, &config);
        WebPPictureFree(&picture);
        start += durations.at(i);
    }
    WebPData data;
    WebPDataInit(&data);
    ok = ok && WebPAnimEncoderAdd(encoder, nullptr, start, nullptr) &&
         WebPAnimEncoderAssemble(encoder, &data) &&
         writeAll(path, QByteArray(reinterpret_cast<const char *>(data.bytes), int(data.size)));
    WebPDataClear(&data);
    WebPAnimEncoderDelete(encoder);
    return ok;
}

Frames webpFrames(const QString &path)
{
    const QByteArray bytes = readAll(path);
    const WebPData data{reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size())};
    Frames frames;
    WebPDemuxer *demux = WebPDemux(&data);
    if (!demux)
        return frames;
    frames.count = int(WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT));
    frames.loops = int(WebPDemuxGetI(demux, WEBP_FF_LOOP_COUNT));
    frames.canvas = QSize(int(WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH)),
                          int(WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT)));
    WebPIterator it;
    if (WebPDemuxGetFrame(demux, 1, &it)) {
        do
            frames.durations.append(it.duration);
        while (WebPDemuxNextFrame(&it));
        WebPDemuxReleaseIterator(&it);
    }
    WebPDemuxDelete(demux);
    return frames;
}

namespace {

QByteArray pngChunk(const char *type, const QByteArray &data)
{
    QByteArray chunk(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), chunk.data());
    chunk += QByteArray(type) + data;
    QByteArray crc(4, '\0');
    qToBigEndian<quint32>(quint32(crc32(0, reinterpret_cast<const Bytef *>(chunk.constData() + 4),
                                        uInt(chunk.size() - 4))),
                          crc.data());
    return chunk + crc;
}

QByteArray bigEndian(const QList<int> &values, int width)
{
    QByteArray bytes;
    for (int value : values)
        for (int i = width - 1; i >= 0; --i)
            bytes += char(value >> (8 * i) & 0xff);
    return bytes;
}

} // namespace

// acTL and a frame control before the image data, which is the first frame, and each further
// frame's control and data after it.
bool writeAnimatedPng(const QString &path, const QSize &size, int frames)
{
    QByteArray still;
    QBuffer buffer(&still);
    buffer.open(QIODevice::WriteOnly);
    if (!pattern(size).save(&buffer, "png"))
        return false;
    const int idat = still.indexOf("IDAT") - 4;
    const int length = qFromBigEndian<quint32>(still.constData() + idat);
    const QByteArray data = still.mid(idat + 8, length);
    const auto control = [&size](int sequence) {
        return pngChunk("fcTL", bigEndian({sequence, size.width(), size.height(), 0, 0}, 4) +
                                    bigEndian({1, 10}, 2) + QByteArray(2, '\0'));
    };
    QByteArray animated = still.left(idat) + pngChunk("acTL", bigEndian({frames, 0}, 4)) +
                          control(0) + still.mid(idat, length + 12);
    for (int frame = 1, sequence = 1; frame < frames; ++frame, sequence += 2)
        animated += control(sequence) + pngChunk("fdAT", bigEndian({sequence + 1}, 4) + data);
    return writeAll(path, animated + still.mid(idat + length + 12));
}

namespace {

// The encoder's whole output, written to `path`.
bool finish(JxlEncoder *e, const QString &path)
{
    JxlEncoderCloseInput(e);
    std::vector<uint8_t> out(1 << 16);
    uint8_t *next = out.data();
    size_t avail = out.size();
    JxlEncoderStatus status;
    while ((status = JxlEncoderProcessOutput(e, &next, &avail)) == JXL_ENC_NEED_MORE_OUTPUT) {
        const size_t used = size_t(next - out.data());
        out.resize(out.size() * 2);
        next = out.data() + used;
        avail = out.size() - used;
    }
    out.resize(size_t(next - out.data()));
    return status == JXL_ENC_SUCCESS &&
           writeAll(path, QByteArray(reinterpret_cast<const char *>(out.data()), int(out.size())));
}

} // namespace

bool writeJxl(const QString &path, const QImage &image, const JxlFile &file)
{
    const QImage pixels =
        image.convertToFormat(file.alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    const JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    JxlEncoder *e = encoder.get();
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(image.width());
    info.ysize = uint32_t(image.height());
    info.bits_per_sample = 8;
    info.uses_original_profile = file.lossless;
    info.orientation = JxlOrientation(file.orientation);
    info.num_extra_channels = file.alpha ? 1 : 0;
    info.alpha_bits = file.alpha ? 8 : 0;
    const bool boxes = !file.exif.isEmpty() || !file.xmp.isEmpty();
    if ((boxes && (JxlEncoderUseContainer(e, JXL_TRUE) || JxlEncoderUseBoxes(e))) ||
        JxlEncoderSetBasicInfo(e, &info))
        return false;
    if (file.icc.isEmpty()) {
        JxlColorEncoding srgb;
        JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
        JxlEncoderSetColorEncoding(e, &srgb);
    } else if (JxlEncoderSetICCProfile(e, reinterpret_cast<const uint8_t *>(file.icc.constData()),
                                       size_t(file.icc.size()))) {
        return false;
    }
    const QByteArray exif = QByteArray(4, '\0') + file.exif;
    if (!file.exif.isEmpty())
        JxlEncoderAddBox(e, "Exif", reinterpret_cast<const uint8_t *>(exif.constData()),
                         size_t(exif.size()), file.compressBoxes);
    if (!file.xmp.isEmpty())
        JxlEncoderAddBox(e, "xml ", reinterpret_cast<const uint8_t *>(file.xmp.constData()),
                         size_t(file.xmp.size()), file.compressBoxes);
    JxlEncoderFrameSettings *settings = JxlEncoderFrameSettingsCreate(e, nullptr);
    if (file.lossless)
        JxlEncoderSetFrameLossless(settings, JXL_TRUE);
    else
        JxlEncoderSetFrameDistance(settings, file.distance);
    JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, 3);
    const JxlPixelFormat format{file.alpha ? 4u : 3u, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 4};
    if (JxlEncoderAddImageFrame(settings, &format, pixels.constBits(),
                                size_t(pixels.sizeInBytes())))
        return false;
    return finish(e, path);
}

bool writeJxlAnimation(const QString &path, const QSize &size, const QList<int> &durations,
                       int loops)
{
    const JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    JxlEncoder *e = encoder.get();
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(size.width());
    info.ysize = uint32_t(size.height());
    info.bits_per_sample = 8;
    info.uses_original_profile = JXL_TRUE;
    info.have_animation = JXL_TRUE;
    info.animation.tps_numerator = 1000;
    info.animation.tps_denominator = 1;
    info.animation.num_loops = uint32_t(loops);
    if (JxlEncoderSetBasicInfo(e, &info))
        return false;
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    JxlEncoderSetColorEncoding(e, &srgb);
    JxlEncoderFrameSettings *settings = JxlEncoderFrameSettingsCreate(e, nullptr);
    JxlEncoderSetFrameLossless(settings, JXL_TRUE);
    JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, 1);
    const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 4};
    for (int i = 0; i < durations.size(); ++i) {
        QImage frame = pattern(size).convertToFormat(QImage::Format_RGB888);
        if (i % 2)
            frame.invertPixels();
        JxlFrameHeader header;
        JxlEncoderInitFrameHeader(&header);
        header.duration = uint32_t(durations.at(i));
        if (JxlEncoderSetFrameHeader(settings, &header) ||
            JxlEncoderAddImageFrame(settings, &format, frame.constBits(),
                                    size_t(frame.sizeInBytes())))
            return false;
    }
    return finish(e, path);
}

Frames jxlFrames(const QString &path)
{
    const QByteArray bytes = readAll(path);
    const JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    JxlDecoder *d = decoder.get();
    Frames frames;
    JxlDecoderSubscribeEvents(d, JXL_DEC_BASIC_INFO | JXL_DEC_FRAME);
    JxlDecoderSetInput(d, reinterpret_cast<const uint8_t *>(bytes.constData()),
                       size_t(bytes.size()));
    JxlDecoderCloseInput(d);
    JxlBasicInfo info{};
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(d);
        if (status == JXL_DEC_BASIC_INFO) {
            JxlDecoderGetBasicInfo(d, &info);
            frames.loops = int(info.animation.num_loops);
            frames.canvas = QSize(int(info.xsize), int(info.ysize));
        } else if (status == JXL_DEC_FRAME) {
            JxlFrameHeader header;
            JxlDecoderGetFrameHeader(d, &header);
            ++frames.count;
            const double ms = info.animation.tps_numerator
                                  ? 1000.0 * header.duration * info.animation.tps_denominator /
                                        info.animation.tps_numerator
                                  : 0;
            frames.durations.append(int(ms + 0.5));
        } else {
            break;
        }
    }
    return frames;
}

QStringList jxlBoxTypes(const QByteArray &file)
{
    QStringList types;
    for (qint64 at = 0; at + 8 <= file.size();) {
        const auto *p = reinterpret_cast<const uchar *>(file.constData() + at);
        const qint64 length = qint64(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
        types.append(QString::fromLatin1(file.mid(int(at) + 4, 4)));
        if (length < 8)
            break;
        at += length;
    }
    return types;
}

const QByteArray LabelXmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
                            "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
                            "<rdf:Description xmlns:xmp='http://ns.adobe.com/xap/1.0/' "
                            "xmp:Label='Vacances'/></rdf:RDF></x:xmpmeta>";

bool writePhonePhoto(const QString &path, bool avif, const QImage &stored)
{
    static const QByteArray xmp =
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
        "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
        "<rdf:Description rdf:about=\"\" xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" "
        "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" tiff:Orientation=\"6\" "
        "xmp:Label=\"Vacances\"/></rdf:RDF></x:xmpmeta>";
    heif_context *context = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    heif_image *image = nullptr;
    heif_image_handle *handle = nullptr;
    heif_encoding_options *options = heif_encoding_options_alloc();
    options->image_orientation = heif_orientation_rotate_90_cw;
    const QImage rgb = stored.convertToFormat(QImage::Format_RGB888);
    const QByteArray icc = QColorSpace(QColorSpace::DisplayP3).iccProfile();
    const QByteArray exif = exifBlock(6, stored.size());
    bool ok =
        heif_context_get_encoder_for_format(
            context, avif ? heif_compression_AV1 : heif_compression_HEVC, &encoder)
                .code == 0 &&
        heif_image_create(rgb.width(), rgb.height(), heif_colorspace_RGB,
                          heif_chroma_interleaved_RGB, &image)
                .code == 0 &&
        heif_image_add_plane(image, heif_channel_interleaved, rgb.width(), rgb.height(), 8).code ==
            0;
    if (ok) {
        int stride = 0;
        uint8_t *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
        for (int y = 0; y < rgb.height(); ++y)
            memcpy(plane + y * stride, rgb.constScanLine(y), size_t(rgb.width()) * 3);
        heif_image_set_raw_color_profile(image, "prof", icc.constData(), size_t(icc.size()));
        heif_encoder_set_lossy_quality(encoder, 90);
        ok =
            heif_context_encode_image(context, image, encoder, options, &handle).code == 0 &&
            heif_context_add_exif_metadata(context, handle, exif.constData(), exif.size()).code ==
                0 &&
            heif_context_add_XMP_metadata(context, handle, xmp.constData(), xmp.size()).code == 0 &&
            heif_context_write_to_file(context, QFile::encodeName(path)).code == 0;
    }
    heif_encoding_options_free(options);
    heif_image_handle_release(handle);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(context);
    return ok;
}

QImage libheifDecode(const QString &path, int box)
{
    heif_context *context = heif_context_alloc();
    heif_image_handle *handle = nullptr;
    heif_image *image = nullptr;
    QImage result;
    if (heif_context_read_from_file(context, QFile::encodeName(path), nullptr).code == 0 &&
        heif_context_get_primary_image_handle(context, &handle).code == 0 &&
        heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA,
                          nullptr)
                .code == 0) {
        int stride = 0;
        const uint8_t *data =
            heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
        const QImage full(data, heif_image_get_width(image, heif_channel_interleaved),
                          heif_image_get_height(image, heif_channel_interleaved), stride,
                          QImage::Format_RGBA8888);
        result = sampleNearest(full, fitInSquare(full.size(), box)).copy();
    }
    heif_image_release(image);
    heif_image_handle_release(handle);
    heif_context_free(context);
    return result;
}

QImage decodedWith(const QString &path, const QSize &size)
{
    Formats::Status status;
    const QImage image =
        decoded(path, qMax(size.width(), size.height()), Resampling::Nearest, &status);
    return status == Formats::Status::Decoded ? image : QImage();
}

bool isLosslessFile(const QString &path)
{
    const SourceFile source(path);
    return Formats::open(source)->isLossless();
}

} // namespace CodecFiles
