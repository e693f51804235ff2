#include "batch/outcometext.h"
#include "resample/geometry.h"
#include "resample/wholeimage.h"
#include "row/imageresizer.h"
#include "testimages.h"
#include "testmain.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTransform>
#include <QtEndian>

#include <zlib.h>

#include <tiffio.h>
#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

using namespace TestImages;

// WebP, PNG metadata and the formats of the toolkit's plug-ins: upright, with their metadata,
// every frame of an animation, and refused when damaged or when pages would be lost.
class TestWebP : public QObject
{
    Q_OBJECT

private slots:
    void corpusMatchesDecoder_data();
    void corpusMatchesDecoder();
    void orientationApplied_data();
    void orientationApplied();
    void metadataCarried_data();
    void metadataCarried();
    void metadataLeftOutSaid_data();
    void metadataLeftOutSaid();
    void animationKept_data();
    void animationKept();
    void damagedRefused_data();
    void damagedRefused();

private:
    QTemporaryDir dir;
};

namespace {

constexpr int Box = 256;

// The image as EXIF `orientation` says to show it, by the standard's own words: mirrored
// left to right first where it says so, then turned clockwise.
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

// libwebp's own decode of a still, its chroma taken from the nearest sample.
QImage libwebpDecode(const QString &path)
{
    const QByteArray bytes = readAll(path);
    WebPDecoderConfig config;
    WebPInitDecoderConfig(&config);
    const auto *data = reinterpret_cast<const uint8_t *>(bytes.constData());
    if (WebPGetFeatures(data, size_t(bytes.size()), &config.input) != VP8_STATUS_OK ||
        config.input.has_animation)
        return QImage();
    config.options.no_fancy_upsampling = 1;
    // Opaque where the file says so, whatever values its alpha holds.
    config.output.colorspace = config.input.has_alpha ? MODE_RGBA : MODE_RGB;
    QImage image;
    if (WebPDecode(data, size_t(bytes.size()), &config) == VP8_STATUS_OK)
        image = QImage(config.output.u.RGBA.rgba, config.output.width, config.output.height,
                       config.output.u.RGBA.stride,
                       config.input.has_alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888)
                    .copy();
    WebPFreeDecBuffer(&config.output);
    return image;
}

bool isAnimatedWebP(const QString &path)
{
    const QByteArray bytes = readAll(path);
    WebPBitstreamFeatures features;
    return WebPGetFeatures(reinterpret_cast<const uint8_t *>(bytes.constData()),
                           size_t(bytes.size()), &features) == VP8_STATUS_OK &&
           features.has_animation;
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

struct Frames
{
    int count = 0;
    QList<int> durations;
    int loopCount = -1;
    QSize canvas;
};

Frames framesOf(const QString &path)
{
    const QByteArray bytes = readAll(path);
    const WebPData data{reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size())};
    Frames frames;
    WebPDemuxer *demux = WebPDemux(&data);
    if (!demux)
        return frames;
    frames.count = int(WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT));
    frames.loopCount = int(WebPDemuxGetI(demux, WEBP_FF_LOOP_COUNT));
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

// Frames of the pattern, every other one inverted, with their own durations.
bool writeAnimation(const QString &path, const QSize &size, const QList<int> &durations,
                    int loopCount, bool lossless)
{
    WebPAnimEncoderOptions options;
    WebPAnimEncoderOptionsInit(&options);
    options.anim_params.loop_count = loopCount;
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

// The toolkit's decode, null where it leaves pixels unwritten: decoded into two buffers
// filled beforehand with different colours, the images differ.
QImage toolkitDecode(const QString &path)
{
    const auto readInto = [&path](QImage *image) {
        QImageReader reader(path);
        reader.setAutoTransform(true);
        return reader.read(image);
    };
    QImage first;
    if (!readInto(&first))
        return QImage();
    QImage dark = first.copy(), light = first.copy();
    dark.fill(QColor(1, 2, 3, 4));
    light.fill(QColor(250, 251, 252, 253));
    return readInto(&dark) && readInto(&light) && dark == light ? first : QImage();
}

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

// An animated PNG whose frames all show the pattern: acTL and a frame control before the image
// data, which is the first frame, and each further frame's control and data after it.
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

// The reference for a corpus file: the decoder's own full decode, upright, sampled as the
// program samples; null where the decoder cannot read it either.
bool isTiff(const QString &path)
{
    return path.endsWith(".tif") || path.endsWith(".tiff");
}

// Signed samples libtiff's RGBA conversion reads as unsigned ones, and its Lab conversion is
// its own approximation of what Little CMS computes: no reference for either.
bool libtiffApproximates(const QString &path)
{
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tiff)
        return false;
    quint16 format = SAMPLEFORMAT_UINT, photometric = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFClose(tiff);
    return format == SAMPLEFORMAT_INT || photometric == PHOTOMETRIC_CIELAB ||
           photometric == PHOTOMETRIC_ICCLAB;
}

// The largest difference of two images' premultiplied samples: libtiff premultiplies.
int premultipliedDifference(const QImage &a, const QImage &b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    const QImage y = b.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    int largest = 0;
    for (int row = 0; row < x.height(); ++row)
        for (int i = 0; i < x.width() * 4; ++i)
            largest = qMax(largest, qAbs(x.constScanLine(row)[i] - y.constScanLine(row)[i]));
    return largest;
}

QImage reference(const QString &path)
{
    QImage full;
    if (path.endsWith(".webp")) {
        // exiftool is slow: only asked where the file has an EXIF chunk.
        const bool exif = readAll(path).contains("EXIF");
        full = upright(libwebpDecode(path), exif ? exifOrientation(path) : 1);
    } else if (isTiff(path)) {
        full = upright(TestImages::libtiffRgba(path), exifOrientation(path));
    } else {
        full = toolkitDecode(path);
    }
    return full.isNull() ? full : sampleNearest(full, fitInSquare(full.size(), Box));
}

// Pages by ImageMagick's count, less the reduced copies (thumbnails, overviews) of a TIFF.
int pageCount(const QString &path)
{
    if (path.endsWith(".webp"))
        return framesOf(path).count;
    QProcess identify;
    // Photoshop's layers, which it would count as images, are not pages.
    identify.start("identify", {"-define", "tiff:ignore-layers=true", "-format",
                                "%[tiff:subfiletype]\\n", path});
    identify.waitForFinished();
    int pages = 0;
    for (const QByteArray &type : identify.readAllStandardOutput().split('\n'))
        pages += type.trimmed() != "REDUCEDIMAGE";
    return qMax(1, pages - 1); // the output ends with a line break
}

} // namespace

void TestWebP::corpusMatchesDecoder_data()
{
    QTest::addColumn<QString>("path");
    const QStringList files = corpusFiles("webp") + corpusFiles("tiff");
    if (files.isEmpty())
        QTest::newRow("no corpus") << QString();
    for (const QString &path : files)
        QTest::newRow(qPrintable(QFileInfo(path).fileName())) << path;
}

// Every corpus file gives its decoder's own image, upright and sampled the same way; or, where
// it holds several pages, all its frames or a refusal; or a reason where the decoder fails too.
void TestWebP::corpusMatchesDecoder()
{
    QFETCH(QString, path);
    if (path.isEmpty())
        QSKIP("no corpus beside the checkout");
    const QByteArray before = digest(path);
    const QString output = dir.filePath("corpus-out.png");
    QFile::remove(output);
    const RowOutcome outcome = runRow(path, output, Box);
    QCOMPARE(digest(path), before);
    const int pages = pageCount(path);
    if (pages > 1) {
        QCOMPARE(outcome.status, RowOutcome::MultipleImages);
        QVERIFY(!QFile::exists(output));
        if (isAnimatedWebP(path)) {
            const QString animated = dir.filePath("corpus-out.webp");
            QCOMPARE(runRow(path, animated, Box).status, RowOutcome::Written);
            QCOMPARE(framesOf(animated).count, pages);
        }
        return;
    }
    const QImage expected = reference(path);
    // libtiff's RGBA conversion reads fewer layouts than libtiff hands out.
    const bool readMore = isTiff(path) && outcome.status == RowOutcome::Written;
    if (expected.isNull() && !readMore) {
        QVERIFY(outcome.status != RowOutcome::Written && !OutcomeText::reason(outcome).isEmpty());
        QVERIFY(!QFile::exists(output));
        return;
    }
    QVERIFY2(outcome.status == RowOutcome::Written, qPrintable(OutcomeText::reason(outcome)));
    if (expected.isNull() || (isTiff(path) && libtiffApproximates(path)))
        return;
    const QImage written(output);
    QCOMPARE(written.size(), expected.size());
    const int largest = isTiff(path) ? premultipliedDifference(written, expected)
                                     : difference(written, expected).max;
    QVERIFY2(largest <= 1, qPrintable(QString("largest difference %1").arg(largest)));
}

void TestWebP::orientationApplied_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<int>("orientation");
    for (const char *suffix : {"webp", "png", "tif"})
        for (int orientation = 1; orientation <= 8; ++orientation)
            QTest::addRow("%s %d", suffix, orientation) << QString(suffix) << orientation;
}

// The EXIF orientation of a WebP, of a PNG's eXIf or a TIFF's own tag turns the image, and the
// output says 1.
void TestWebP::orientationApplied()
{
    QFETCH(QString, suffix);
    QFETCH(int, orientation);
    const QString source = dir.filePath("turned." + suffix);
    const QImage stored = pattern(QSize(90, 60));
    QVERIFY(suffix == "webp" ? writeLosslessWebP(source, stored) : stored.save(source));
    QVERIFY(setOrientation(source, orientation));
    const QString output = dir.filePath("turned-out.png");
    const RowOutcome outcome = runRow(source, output, Box);
    QVERIFY2(outcome.status == RowOutcome::Written, qPrintable(OutcomeText::reason(outcome)));
    const QImage shown = upright(stored, orientation);
    const QImage expected = sampleNearest(shown, fitInSquare(shown.size(), Box));
    QCOMPARE(difference(QImage(output), expected).max, 0);
    QCOMPARE(exifOrientation(output), 1);
}

void TestWebP::metadataCarried_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::newRow("webp to webp") << "a.webp"
                                  << "a-out.webp";
    QTest::newRow("png to png") << "b.png"
                                << "b-out.png";
    QTest::newRow("webp to jpeg") << "c.webp"
                                  << "c-out.jpg";
    QTest::newRow("png to webp") << "d.png"
                                 << "d-out.WEBP";
    QTest::newRow("jpeg to webp") << "e.jpg"
                                  << "e-out.webp";
    QTest::newRow("jpeg to png") << "f.jpeg"
                                 << "f-out.png";
    QTest::newRow("webp to heic") << "g.webp"
                                  << "g-out.heic";
    QTest::newRow("png to jpeg") << "h.png"
                                 << "h-out.jpeg";
}

// EXIF, XMP and ICC profile kept, for exiftool: orientation 1, the output's size, the same
// tags and the same profile bytes.
void TestWebP::metadataCarried()
{
    QFETCH(QString, source);
    QFETCH(QString, output);
    const QSize stored(200, 120);
    const QString in = dir.filePath(source), out = dir.filePath(output);
    const QString profile = dir.filePath("p3.icc");
    QVERIFY(writeAll(profile, QColorSpace(QColorSpace::DisplayP3).iccProfile()));
    QVERIFY(write(in, stored, 95));
    QVERIFY(
        exiftool(in, {"-Orientation#=6", "-Make=Parvimage test", "-ExifImageWidth=200",
                      "-ExifImageHeight=120", "-XMP:Label=Vacances", "-ICC_Profile<=" + profile}));
    const RowOutcome outcome = runRow(in, out, Box);
    QVERIFY2(outcome.status == RowOutcome::Written && outcome.leftOut.isEmpty(),
             qPrintable(OutcomeText::reason(outcome) + OutcomeText::leftOut(outcome)));
    const QSize upright = fitInSquare(stored.transposed(), Box);
    QCOMPARE(uprightSize(out), upright);
    const QStringList tags{"EXIF:Orientation", "EXIF:Make", "EXIF:ExifImageWidth",
                           "EXIF:ExifImageHeight", "XMP:Label"};
    QCOMPARE(
        exifValues(out, tags),
        QString("1\nParvimage test\n%1\n%2\nVacances").arg(upright.width()).arg(upright.height()));
    QCOMPARE(profileBytes(out), profileBytes(in));
    QVERIFY(!exifValues(out, {"File:Comment"}).contains("xmpmeta")); // not twice
}

void TestWebP::metadataLeftOutSaid_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("said");
    QTest::newRow("tiff to bmp") << "i.tif"
                                 << "i-out.bmp"
                                 << "EXIF, XMP";
    QTest::newRow("jpeg to bmp") << "j.jpg"
                                 << "j-out.bmp"
                                 << "EXIF, XMP";
    QTest::newRow("webp to bmp") << "k.webp"
                                 << "k-out.bmp"
                                 << "EXIF, XMP";
}

// Written, and the closing message says what the output's container could not take.
void TestWebP::metadataLeftOutSaid()
{
    QFETCH(QString, source);
    QFETCH(QString, output);
    QFETCH(QString, said);
    const QString in = dir.filePath(source);
    QVERIFY(write(in, QSize(60, 40)));
    QVERIFY(exiftool(in, {"-DateTimeOriginal=2020:07:14 10:00:00", "-XMP:Label=Vacances"}));
    const RowOutcome outcome = runRow(in, dir.filePath(output), Box);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QVERIFY(!outcome.leftOut.isEmpty());
    QCOMPARE(OutcomeText::leftOut(outcome), said);
}

void TestWebP::animationKept_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::newRow("lossy") << "lossy.webp"
                           << "anim-out.webp";
    QTest::newRow("lossless") << "lossless.webp"
                              << "anim-out.webp";
    QTest::newRow("to png: refused") << "lossy.webp"
                                     << "anim-out.png";
    QTest::newRow("to jpeg: refused") << "lossless.webp"
                                      << "anim-out.jpg";
    QTest::newRow("animated png: refused") << "anim.png"
                                           << "anim-out.png";
}

// Every frame resized, with its duration and the loop count; never the first frame alone.
void TestWebP::animationKept()
{
    QFETCH(QString, source);
    QFETCH(QString, output);
    const QString in = dir.filePath(source), out = dir.filePath(output);
    const QList<int> durations{100, 250, 40, 70};
    const QSize canvas(320, 180);
    if (source.endsWith(".png"))
        QVERIFY(writeAnimatedPng(in, canvas, durations.size()));
    else
        QVERIFY(writeAnimation(in, canvas, durations, 3, source.startsWith("lossless")));
    QFile::remove(out);
    const RowOutcome outcome = runRow(in, out, Box);
    if (!output.endsWith(".webp")) {
        QCOMPARE(outcome.status, RowOutcome::MultipleImages);
        QVERIFY(OutcomeText::reason(outcome).contains("4 images"));
        QVERIFY(!QFile::exists(out));
        return;
    }
    QVERIFY2(outcome.status == RowOutcome::Written, qPrintable(OutcomeText::reason(outcome)));
    const Frames frames = framesOf(out);
    QCOMPARE(frames.count, durations.size());
    QCOMPARE(frames.durations, durations);
    QCOMPARE(frames.loopCount, 3);
    QCOMPARE(frames.canvas, fitInSquare(canvas, Box));
}

void TestWebP::damagedRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<double>("keep"); // the share of a generated file kept, or 1 for a corpus file
    QTest::newRow("lossy cut at half") << "cut.webp" << 0.5;
    QTest::newRow("lossy cut near the end") << "cut.webp" << 0.97;
    QTest::newRow("lossless cut at half") << "cut-lossless.webp" << 0.5;
    QTest::newRow("animation cut at half") << "cut-anim.webp" << 0.6;
    QTest::newRow("header only") << "cut.webp" << 0.01;
    for (const QString &path : corpusFiles("corrupt", "pillow_*.tif"))
        QTest::newRow(qPrintable(QFileInfo(path).fileName())) << path << 1.0;
}

// A cut-short WebP is refused as damaged, never written with its bottom missing; the damaged
// TIFFs are refused too, and nothing is written.
void TestWebP::damagedRefused()
{
    QFETCH(QString, path);
    QFETCH(double, keep);
    QString source = path;
    if (keep < 1) {
        const QString whole = dir.filePath("whole-" + path);
        const QSize size(640, 480);
        if (path.contains("anim"))
            QVERIFY(writeAnimation(whole, size, {100, 100, 100}, 0, false));
        else if (path.contains("lossless"))
            QVERIFY(writeLosslessWebP(whole, pattern(size)));
        else
            QVERIFY(write(whole, size));
        source = dir.filePath(path);
        QVERIFY(writeCut(whole, source, keep));
    }
    const QString output = dir.filePath("damaged-out.webp");
    QFile::remove(output);
    const RowOutcome outcome = runRow(source, output, Box);
    QVERIFY2(outcome.isFailure() && !OutcomeText::reason(outcome).isEmpty(),
             qPrintable(OutcomeText::reason(outcome)));
    if (keep >= 0.5 && keep < 1)
        QCOMPARE(OutcomeText::reason(outcome), QString("fichier endommagé ou incomplet"));
    QVERIFY(!QFile::exists(output));
}

PARVIMAGE_TEST_MAIN(TestWebP)
#include "tst_webp.moc"
