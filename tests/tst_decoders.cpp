#include "formats/registry.h"
#include "resample/imagecopy.h"
#include "syntheticdng.h"
#include "system/sourcefile.h"
#include "system/workercores.h"
#include "testimages.h"
#include "testmain.h"

#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <jxl/decode_cxx.h>
#include <libheif/heif.h>
#include <libraw/libraw.h>
#include <webp/decode.h>

#include <memory>

// What every format's decoder promises, whatever its library: the header as the file says it,
// the stored rows as its library's own whole decode gives them, and a cut-short copy refused.
class TestDecoders : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void contract_data();
    void contract();

private:
    QTemporaryDir m_dir;
};

namespace {

using Formats::Status;
using Transform = QImageIOHandler::Transformations;

// How a sample is made, and how its library decodes it whole.
enum class Reference
{
    Toolkit, // the toolkit's plug-in
    Libwebp, // libwebp's decode, its chroma upsampled as dwebp's
    Libheif, // libheif's conversion to RGB
    Libraw,  // libraw's demosaicing, as the decoder asks for it
    Libtiff, // libtiff's RGBA conversion
    Libjxl,  // libjxl's decode of the whole image, at the file's own depth
};

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return QString::fromUtf8(process.readAllStandardError());
    return QString();
}

// The image decoded whole by its own library and turned by `transform`, as 16-bit RGBA.
QImage wholeDecode(const QString &path, Reference reference, Transform transform)
{
    const QByteArray bytes = TestImages::readAll(path);
    switch (reference) {
    case Reference::Libtiff:
        return uprightImage(TestImages::libtiffRgba(path), transform)
            .convertToFormat(QImage::Format_RGBA64);
    case Reference::Toolkit: {
        QImageReader reader(path);
        reader.setAutoTransform(false);
        return uprightImage(reader.read(), transform).convertToFormat(QImage::Format_RGBA64);
    }
    case Reference::Libwebp: {
        WebPDecoderConfig config;
        WebPInitDecoderConfig(&config);
        config.output.colorspace = MODE_RGBA;
        if (WebPDecode(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()),
                       &config) != VP8_STATUS_OK)
            return QImage();
        const WebPRGBABuffer &rgba = config.output.u.RGBA;
        const QImage image = QImage(rgba.rgba, config.output.width, config.output.height,
                                    rgba.stride, QImage::Format_RGBA8888)
                                 .convertToFormat(QImage::Format_RGBA64);
        WebPFreeDecBuffer(&config.output);
        return image;
    }
    case Reference::Libheif: {
        heif_context *context = heif_context_alloc();
        heif_image_handle *handle = nullptr;
        heif_image *image = nullptr;
        QImage result;
        if (heif_context_read_from_memory_without_copy(context, bytes.constData(),
                                                       size_t(bytes.size()), nullptr)
                    .code == heif_error_Ok &&
            heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok &&
            heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA,
                              nullptr)
                    .code == heif_error_Ok) {
            int stride = 0;
            const uint8_t *data =
                heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
            result = QImage(data, heif_image_get_width(image, heif_channel_interleaved),
                            heif_image_get_height(image, heif_channel_interleaved), stride,
                            QImage::Format_RGBA8888)
                         .convertToFormat(QImage::Format_RGBA64);
        }
        heif_image_release(image);
        heif_image_handle_release(handle);
        heif_context_free(context);
        return result;
    }
    case Reference::Libjxl: {
        const JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
        JxlDecoder *d = decoder.get();
        JxlDecoderSubscribeEvents(d, JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE);
        JxlDecoderSetKeepOrientation(d, JXL_TRUE);
        JxlDecoderSetInput(d, reinterpret_cast<const uint8_t *>(bytes.constData()),
                           size_t(bytes.size()));
        JxlDecoderCloseInput(d);
        JxlBasicInfo info{};
        QImage image;
        for (;;) {
            const JxlDecoderStatus status = JxlDecoderProcessInput(d);
            const bool deep = info.bits_per_sample > 8;
            const JxlPixelFormat format{4, deep ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8,
                                        JXL_NATIVE_ENDIAN, 0};
            if (status == JXL_DEC_BASIC_INFO) {
                JxlDecoderGetBasicInfo(d, &info);
            } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
                image = QImage(int(info.xsize), int(info.ysize),
                               deep ? QImage::Format_RGBA64 : QImage::Format_RGBA8888);
                JxlDecoderSetImageOutBuffer(d, &format, image.bits(), size_t(image.sizeInBytes()));
            } else if (status == JXL_DEC_FULL_IMAGE) {
                return uprightImage(image, transform).convertToFormat(QImage::Format_RGBA64);
            } else {
                return QImage();
            }
        }
    }
    case Reference::Libraw: {
        LibRaw raw;
        raw.imgdata.params.use_camera_wb = 1;
        raw.imgdata.params.output_color = 1;
        raw.imgdata.params.output_bps = 16;
        raw.imgdata.params.gamm[0] = 1 / 2.4;
        raw.imgdata.params.gamm[1] = 12.92;
        int code = raw.open_buffer(const_cast<char *>(bytes.constData()), size_t(bytes.size()));
        if (code == LIBRAW_SUCCESS)
            code = raw.unpack();
        if (code == LIBRAW_SUCCESS)
            code = raw.dcraw_process();
        libraw_processed_image_t *image =
            code == LIBRAW_SUCCESS ? raw.dcraw_make_mem_image(&code) : nullptr;
        if (!image)
            return QImage();
        QImage result(image->width, image->height, QImage::Format_RGBA64);
        const auto *in = reinterpret_cast<const quint16 *>(image->data);
        for (int y = 0; y < image->height; ++y)
            for (int x = 0; x < image->width; ++x, in += 3)
                reinterpret_cast<QRgba64 *>(result.scanLine(y))[x] =
                    QRgba64::fromRgba64(in[0], in[1], in[2], 0xffff);
        LibRaw::dcraw_clear_mem(image);
        return result;
    }
    }
    return QImage();
}

// The largest difference between two images' samples, in 8-bit levels.
int largestDifference(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return 256;
    return TestImages::difference(a, b).max;
}

} // namespace

void TestDecoders::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestDecoders::contract_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("make"); // the program and its arguments, {in} and {out}
    QTest::addColumn<int>("orientation");  // set with exiftool where not 1
    QTest::addColumn<QSize>("stored");
    QTest::addColumn<int>("transform"); // what the header says turns it upright
    QTest::addColumn<int>("reference");
    QTest::addColumn<int>("tolerance"); // levels the library's own conversion may differ by

    const int toolkit = int(Reference::Toolkit);
    const QStringList convert{"convert", "{in}"};
    QTest::newRow("jpeg, turned a quarter")
        << "turned.jpg" << convert + QStringList{"-quality", "92", "{out}"} << 6 << QSize(161, 97)
        << int(QImageIOHandler::TransformationRotate90) << toolkit << 0;
    QTest::newRow("jpeg, progressive grey")
        << "grey.jpg" << convert + QStringList{"-colorspace", "Gray", "-interlace", "JPEG", "{out}"}
        << 3 << QSize(161, 97) << int(QImageIOHandler::TransformationRotate180) << toolkit << 0;
    QTest::newRow("jpeg, cmyk") << "inks.jpg"
                                << convert + QStringList{"-colorspace", "CMYK", "{out}"} << 1
                                << QSize(161, 97) << 0 << toolkit << 0;
    QTest::newRow("png, 16-bit with alpha")
        << "deep.png" << convert + QStringList{"-alpha", "set", "-depth", "16", "PNG64:{out}"} << 1
        << QSize(161, 97) << 0 << toolkit << 0;
    QTest::newRow("png, palette interlaced")
        << "palette.png"
        << convert + QStringList{"-colors", "16", "-interlace", "PNG", "PNG8:{out}"} << 8
        << QSize(161, 97) << int(QImageIOHandler::TransformationRotate270) << toolkit << 0;
    QTest::newRow("webp, lossy") << "lossy.webp" << QStringList{"cwebp", "-quiet", "-q",   "80",
                                                                "{in}",  "-o",     "{out}"}
                                 << 1 << QSize(161, 97) << 0 << int(Reference::Libwebp) << 0;
    QTest::newRow("webp, lossless with alpha")
        << "lossless.webp"
        << QStringList{"cwebp", "-quiet", "-lossless", "-exact", "{in}", "-o", "{out}"} << 1
        << QSize(161, 97) << 0 << toolkit << 0;
    // Subsampled chroma, converted as libheif converts it.
    QTest::newRow("heic") << "photo.heic"
                          << QStringList{"heif-enc", "-q", "80", "{in}", "-o", "{out}"} << 1
                          << QSize(161, 97) << 0 << int(Reference::Libheif) << 0;
    QTest::newRow("avif") << "photo.avif"
                          << QStringList{"heif-enc", "-A", "-q", "80", "{in}", "-o", "{out}"} << 1
                          << QSize(161, 97) << 0 << int(Reference::Libheif) << 0;
    // JPEG XL: XYB (lossy), modular (lossless), above 8 bits, and a JPEG's own coefficients.
    const int libjxl = int(Reference::Libjxl);
    QTest::newRow("jxl, lossy") << "lossy.jxl" << QStringList{"cjxl", "-d", "1", "{in}", "{out}"}
                                << 1 << QSize(161, 97) << 0 << libjxl << 0;
    QTest::newRow("jxl, lossless with alpha")
        << "lossless.jxl" << QStringList{"cjxl", "-d", "0", "{in}", "{out}"} << 1 << QSize(161, 97)
        << 0 << libjxl << 0;
    QTest::newRow("jxl, 16-bit lossless")
        << "deep.jxl"
        << QStringList{"sh", "-c",
                       "convert {in} -depth 16 PNG48:{out}.png && "
                       "cjxl -d 0 {out}.png {out}"}
        << 1 << QSize(161, 97) << 0 << libjxl << 0;
    QTest::newRow("jxl, a jpeg's coefficients")
        << "transcoded.jxl"
        << QStringList{"sh", "-c",
                       "convert {in} -quality 90 {out}.jpg && "
                       "cjxl --lossless_jpeg=1 {out}.jpg {out}"}
        << 1 << QSize(161, 97) << 0 << libjxl << 0;
    QTest::newRow("tiff, 16-bit") << "deep.tif" << convert + QStringList{"-depth", "16", "{out}"}
                                  << 1 << QSize(161, 97) << 0 << toolkit << 0;
    const int libtiff = int(Reference::Libtiff);
    QTest::newRow("tiff, 16-bit planar tiled, turned a quarter")
        << "planar.tif" << convert + QStringList{"-depth",    "16",      "-interlace",
                                                 "plane",     "-define", "tiff:tile-geometry=32x32",
                                                 "-compress", "zip",     "{out}"}
        << 6 << QSize(161, 97) << int(QImageIOHandler::TransformationRotate90) << libtiff << 1;
    QTest::newRow("tiff, cmyk lzw")
        << "inks.tif" << convert + QStringList{"-colorspace", "CMYK", "-compress", "lzw", "{out}"}
        << 1 << QSize(161, 97) << 0 << libtiff << 1;
    QTest::newRow("tiff, palette, turned a half")
        << "palette.tif" << convert + QStringList{"-colors", "16", "-type", "Palette", "{out}"} << 3
        << QSize(161, 97) << int(QImageIOHandler::TransformationRotate180) << libtiff << 1;
    QTest::newRow("gif") << "flat.gif" << convert + QStringList{"{out}"} << 1 << QSize(161, 97) << 0
                         << toolkit << 0;
    QTest::newRow("bmp") << "flat.bmp" << convert + QStringList{"{out}"} << 1 << QSize(161, 97) << 0
                         << toolkit << 0;
    QTest::newRow("camera raw") << "mosaic.dng" << QStringList{} << 1 << QSize(160, 96) << 0
                                << int(Reference::Libraw) << 0;
}

void TestDecoders::contract()
{
    QFETCH(QString, name);
    QFETCH(QStringList, make);
    QFETCH(int, orientation);
    QFETCH(QSize, stored);
    QFETCH(int, transform);
    QFETCH(int, reference);
    QFETCH(int, tolerance);
    const QString path = m_dir.filePath(name);
    const QImage picture = TestImages::pattern(QSize(161, 97), QImage::Format_ARGB32);
    if (make.isEmpty()) {
        QVERIFY(writeSyntheticDng(path, picture.copy(0, 0, 160, 96)));
    } else {
        const QString in = m_dir.filePath(name + ".in.png");
        QVERIFY(picture.save(in));
        make.replaceInStrings("{in}", in);
        make.replaceInStrings("{out}", path);
        const QString failed = run(make.takeFirst(), make);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        if (orientation != 1)
            QVERIFY(TestImages::setOrientation(path, orientation));
    }

    // The header.
    const SourceFile source(path);
    const std::unique_ptr<Formats::Decoder> decoder = Formats::open(source);
    QCOMPARE(decoder->refusal(), Status::Decoded);
    QCOMPARE(decoder->header().stored, stored);
    QCOMPARE(int(decoder->header().transform), transform);

    // At its own size, each pushed row is copied as it is: the output is the rows, upright.
    const QSize upright = decoder->header().upright();
    QImage rows;
    QString words;
    QCOMPARE(decoder->decode(Target(qMax(upright.width(), upright.height()), Resampling::Nearest),
                             &rows, &words),
             Status::Decoded);
    const QImage whole = wholeDecode(path, Reference(reference), Transform(transform));
    QVERIFY(!whole.isNull());
    QVERIFY2(largestDifference(rows.convertToFormat(QImage::Format_RGBA64), whole) <= tolerance,
             qPrintable(QString("%1 levels apart").arg(largestDifference(rows, whole))));

    // A photo alone, on two cores, comes out as on one, in both modes.
    for (const Resampling mode : {Resampling::Nearest, Resampling::Smooth}) {
        Status one = Status::Failed, two = Status::Failed;
        const QImage serial = TestImages::decoded(path, 64, mode, &one);
        const WorkerCores::Scope cores(2, 0);
        QCOMPARE(TestImages::decoded(path, 64, mode, &two), serial);
        QCOMPARE(two, one);
    }

    // Cut short, refused rather than made up, on one core or two.
    const QString cut = m_dir.filePath("cut-" + name);
    QVERIFY(TestImages::writeCut(path, cut, 0.6));
    Status status;
    TestImages::decoded(cut, 64, Resampling::Nearest, &status);
    QVERIFY(status != Status::Decoded);
    const WorkerCores::Scope cores(2, 0);
    TestImages::decoded(cut, 64, Resampling::Nearest, &status);
    QVERIFY(status != Status::Decoded);
}

PARVIMAGE_TEST_MAIN(TestDecoders)
#include "tst_decoders.moc"
