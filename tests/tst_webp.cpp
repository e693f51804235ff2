#include "batch/outcometext.h"
#include "codecfiles.h"
#include "resample/geometry.h"
#include "resample/wholeimage.h"
#include "row/imageresizer.h"
#include "testimages.h"
#include "testmain.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <tiffio.h>
#include <webp/decode.h>

using namespace CodecFiles;
using namespace TestImages;

// WebP, TIFF and the formats of the toolkit's plug-ins read as their own decoders read them, or
// refused when pages would be lost; metadata an output cannot hold said in the report.
class TestWebP : public QObject
{
    Q_OBJECT

private slots:
    void corpusMatchesDecoder_data();
    void corpusMatchesDecoder();
    void metadataLeftOutSaid_data();
    void metadataLeftOutSaid();
    void sharpChromaAsLibwebp_data();
    void sharpChromaAsLibwebp();

private:
    QTemporaryDir dir;
};

namespace {

constexpr int Box = 256;

// libwebp's own decode of a still, its chroma upsampled as dwebp upsamples it.
QImage libwebpDecode(const QString &path)
{
    const QByteArray bytes = readAll(path);
    WebPDecoderConfig config;
    WebPInitDecoderConfig(&config);
    const auto *data = reinterpret_cast<const uint8_t *>(bytes.constData());
    if (WebPGetFeatures(data, size_t(bytes.size()), &config.input) != VP8_STATUS_OK ||
        config.input.has_animation)
        return QImage();
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
        return webpFrames(path).count;
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
            QCOMPARE(webpFrames(animated).count, pages);
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

void TestWebP::sharpChromaAsLibwebp_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("alpha");
    QTest::newRow("odd sides") << QSize(41, 27) << false;
    QTest::newRow("even sides, alpha") << QSize(40, 26) << true;
    QTest::newRow("one column") << QSize(1, 9) << false;
}

// Stripes of saturated colours a few pixels wide, their chroma upsampled at full size to
// libwebp's own pixels, first and last rows and columns included.
void TestWebP::sharpChromaAsLibwebp()
{
    QFETCH(QSize, size);
    QFETCH(bool, alpha);
    QImage stripes(size, QImage::Format_ARGB32);
    const QRgb colours[] = {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(255, 255, 0)};
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            stripes.setPixel(x, y,
                             colours[(x / 3 + y / 2) % 4] & (alpha && x % 5 ? 0x80ffffff : ~0u));
    const QString path = dir.filePath(QString("stripes-%1.webp").arg(QTest::currentDataTag()));
    QCOMPARE(RowLoad::save(stripes, path, "webp").status, RowOutcome::Written);
    const QImage ours = decoded(path, qMax(size.width(), size.height()));
    QCOMPARE(ours.convertToFormat(QImage::Format_ARGB32),
             libwebpDecode(path).convertToFormat(QImage::Format_ARGB32));
}

PARVIMAGE_TEST_MAIN(TestWebP)
#include "tst_webp.moc"
