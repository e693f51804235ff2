#include "formats/jpeg/jpegwriter.h"
#include "formats/registry.h"
#include "row/imageresizer.h"
#include "system/sourcefile.h"
#include "testimages.h"
#include "testmain.h"

#include <QBuffer>
#include <QColorSpace>
#include <QImageReader>
#include <QImageWriter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <cstdlib>

#include <tiffio.h>

namespace {

const QByteArray XmpMarker("parvimage-xmp-marker");
const QByteArray IptcMarker("IPTCMARK");
// BT.2020 primaries with PQ, which no ICC profile says.
// BT.2020 primaries, PQ, BT.2020 matrix, full range.
const Cicp PqNclx{Cicp::Bt2020, Cicp::Pq, 9, true};

// Half-transparent, 16-bit, in Display P3: what a writer keeps of it shows in its decode.
QImage richImage()
{
    QImage image(16, 12, QImage::Format_RGBA64);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixelColor(x, y,
                                QColor::fromRgba64(quint16(x * 4000 + 257), quint16(y * 5000 + 3),
                                                   12345, x % 2 ? 65535 : 30000));
    image.setColorSpace(QColorSpace::DisplayP3);
    return image;
}

PhotoMetadata richMetadata(const QSize &size)
{
    PhotoMetadata::Record record;
    record.exif = TestImages::exifBlock(1, size);
    record.xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><" + XmpMarker + "/></x:xmpmeta>";
    // One keyword record, which containers that rebuild the records keep too.
    record.iptc = QByteArray("8BIM\x04\x04\x00\x00\x00\x00\x00\x0d\x1c\x02\x19\x00\x08", 17) +
                  IptcMarker + QByteArray(1, '\0');
    return PhotoMetadata(record);
}

struct Encoded
{
    QByteArray bytes;
    LeftOuts leftOut;
    Formats::EncodeError error;
    bool done = false;
};

Encoded encode(const QByteArray &suffix, const QImage &image, const PhotoMetadata &metadata)
{
    Encoded result;
    const Formats::Writer &writer = Formats::writerFor(suffix);
    result.done = writer.encode(image, {{suffix}, writer.setting(Quality::Normal), false}, metadata,
                                &result.bytes, &result.leftOut, &result.error);
    return result;
}

QImage toolkitRead(const QByteArray &bytes)
{
    return QImage::fromData(bytes, "jpeg").convertToFormat(QImage::Format_RGB32);
}

bool isDeep(const QImage &image)
{
    return image.depth() == 64 || image.format() == QImage::Format_Grayscale16;
}

} // namespace

Q_DECLARE_METATYPE(Formats::Encoding)

class TestFormats : public QObject
{
    Q_OBJECT

private slots:
    void abilities_data();
    void abilities();
    void noStaleMemory_data();
    void noStaleMemory();
    void jpegPacking_data();
    void jpegPacking();
    void jpegLayout_data();
    void jpegLayout();
    void referenceDecoders_data();
    void referenceDecoders();

private:
    QTemporaryDir m_dir;
};

// One row for each suffix the program offers to write.
void TestFormats::abilities_data()
{
    QTest::addColumn<QByteArray>("suffix");
    QList<QByteArray> suffixes = ImageResizer::writableFormats();
    std::sort(suffixes.begin(), suffixes.end());
    suffixes.erase(std::unique(suffixes.begin(), suffixes.end()), suffixes.end());
    for (const QByteArray &suffix : suffixes)
        QTest::newRow(suffix.constData()) << suffix;
}

// What each writer entry says it keeps is what its encoder keeps, and what it does not keep
// is said to be left out.
void TestFormats::abilities()
{
    QFETCH(QByteArray, suffix);
    const Formats::Writer &writer = Formats::writerFor(suffix);
    const QImage image = richImage();
    const Encoded rich = encode(suffix, image, richMetadata(image.size()));
    QVERIFY2(rich.done || !writer.ownEncoder, qPrintable(rich.error.words));
    if (!rich.done)
        QSKIP("the toolkit's plug-in cannot write it on this machine");
    const QString path = m_dir.filePath("rich." + suffix);
    QVERIFY(TestImages::writeAll(path, rich.bytes));
    RowOutcome outcome;
    const QImage decoded = RowLoad::scaled(path, 16, &outcome);
    if (decoded.isNull())
        QSKIP("the toolkit's plug-in cannot read it back on this machine");
    QCOMPARE(decoded.hasAlphaChannel(), writer.can.alpha);
    QCOMPARE(isDeep(decoded), writer.can.deep);
    QCOMPARE(decoded.colorSpace().isValid(), writer.can.icc);
    QCOMPARE(rich.bytes.contains("Parvimage test"), writer.can.exif);
    QCOMPARE(rich.bytes.contains(XmpMarker), writer.can.xmp);
    QCOMPARE(rich.bytes.contains(IptcMarker), writer.can.iptc);
    QCOMPARE(rich.leftOut.contains(LeftOut::Exif), !writer.can.exif);
    QCOMPARE(rich.leftOut.contains(LeftOut::Iptc), !writer.can.iptc);

    PhotoMetadata::Record nclx;
    nclx.cicp = PqNclx;
    const Encoded described =
        encode(suffix, TestImages::pattern(QSize(16, 12)), PhotoMetadata(nclx));
    QVERIFY(described.done);
    const QString nclxPath = m_dir.filePath("nclx." + suffix);
    QVERIFY(TestImages::writeAll(nclxPath, described.bytes));
    QCOMPARE(RowLoad::metadata(nclxPath).cicp() == PqNclx, writer.can.nclx);
    QCOMPARE(described.leftOut.contains(LeftOut::ColourDescription), !writer.can.nclx);

    QCOMPARE(bool(writer.startAnimation), writer.can.animation);
    if (!writer.startAnimation)
        return;
    Formats::Animation animation;
    const auto frames =
        writer.startAnimation(QSize(16, 12), animation, writer.setting(Quality::Normal));
    QVERIFY(frames->add(TestImages::pattern(QSize(16, 12)), 0));
    QVERIFY(frames->add(TestImages::pattern(QSize(16, 12)).mirrored(), 100));
    QByteArray bytes;
    LeftOuts leftOut;
    QString error;
    QVERIFY(frames->finish(200, PhotoMetadata(), &bytes, &leftOut, &error));
    const QString animated = m_dir.filePath("animated." + suffix);
    QVERIFY(TestImages::writeAll(animated, bytes));
    const SourceFile source(animated);
    QCOMPARE(Formats::open(source)->imageCount(), 2);
}

void TestFormats::noStaleMemory_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("resampling");
    QTest::newRow("bmp, nearest") << "bmp" << int(Resampling::Nearest);
    QTest::newRow("bmp, smooth") << "bmp" << int(Resampling::Smooth);
    QTest::newRow("tif, nearest") << "tif" << int(Resampling::Nearest);
}

// Nothing of the process's memory reaches a file: rows of grey and two-colour pixels of odd
// width, which the writers copy whole with their padding, and a two-colour TIFF's colour map,
// which libtiff takes 256 entries long.
void TestFormats::noStaleMemory()
{
    QFETCH(QString, output);
    QFETCH(int, resampling);
    QImage source(203, 61, output == "tif" ? QImage::Format_Mono : QImage::Format_Grayscale8);
    source.fill(0);
    for (int y = 0; y < source.height(); ++y)
        for (int x = y % 3; x < source.width(); x += 3)
            source.setPixel(x, y, output == "tif" ? 1 : qRgb(200, 200, 200));
    const QString in = m_dir.filePath("stale.png");
    QVERIFY(source.save(in));
    const QString out = m_dir.filePath("stale." + output);
    PlannedRow row = TestImages::planned(in, out);
    row.options.geometry.resampling = Resampling(resampling);
    QCOMPARE(TestImages::process(row, 101).status, RowOutcome::Written);
    const QByteArray bytes = TestImages::readAll(out);
    if (output == "bmp") {
        const qint32 width = qFromLittleEndian<qint32>(bytes.constData() + 18);
        const qint32 height = std::abs(qFromLittleEndian<qint32>(bytes.constData() + 22));
        const int bits = qFromLittleEndian<quint16>(bytes.constData() + 28);
        const int offset = int(qFromLittleEndian<quint32>(bytes.constData() + 10));
        const int used = (width * bits + 7) / 8, stride = (width * bits + 31) / 32 * 4;
        QVERIFY(stride > used);
        for (int y = 0; y < height; ++y)
            QCOMPARE(bytes.mid(offset + y * stride + used, stride - used),
                     QByteArray(stride - used, '\0'));
        return;
    }
    TIFF *tiff = TIFFOpen(QFile::encodeName(out).constData(), "r");
    QVERIFY(tiff);
    quint16 *red = nullptr, *green = nullptr, *blue = nullptr;
    const bool mapped = TIFFGetField(tiff, TIFFTAG_COLORMAP, &red, &green, &blue);
    bool unusedBlack = true;
    for (int i = 2; mapped && i < 256; ++i)
        unusedBlack &= red[i] == 0 && green[i] == 0 && blue[i] == 0;
    TIFFClose(tiff);
    QVERIFY(mapped);
    QVERIFY(unusedBlack);
}

void TestFormats::jpegPacking_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("grey");
    QTest::addColumn<Formats::Encoding>("encoding");
    QTest::addColumn<int>("marker");
    QTest::addColumn<bool>("fullChroma");
    const auto chosen = [](Quality quality, bool format, qint64 maxBytes, bool baseline) {
        Formats::Encoding encoding;
        encoding.format = "jpg";
        encoding.quality = quality;
        encoding.formatChosen = format;
        encoding.maxBytes = maxBytes;
        encoding.baseline = baseline;
        return encoding;
    };
    const Formats::Encoding start = chosen(Quality::Normal, false, 0, false);
    QTest::newRow("start values, odd size") << QSize(161, 97) << false << start << 0xc0 << false;
    QTest::newRow("start values, grey") << QSize(33, 301) << true << start << 0xc0 << false;
    QTest::newRow("start values, one pixel") << QSize(1, 1) << false << start << 0xc0 << false;
    QTest::newRow("Maximale") << QSize(161, 97) << false
                              << chosen(Quality::Maximum, false, 0, false) << 0xc2 << true;
    QTest::newRow("Haute") << QSize(161, 97) << false << chosen(Quality::High, false, 0, false)
                           << 0xc2 << false;
    QTest::newRow("Compacte, grey")
        << QSize(97, 161) << true << chosen(Quality::Compact, false, 0, false) << 0xc2 << false;
    QTest::newRow("format chosen")
        << QSize(250, 17) << false << chosen(Quality::Normal, true, 0, false) << 0xc2 << false;
    QTest::newRow("size limit") << QSize(161, 97) << false
                                << chosen(Quality::Normal, false, 20000, false) << 0xc2 << false;
    QTest::newRow("Maximale, sequential asked")
        << QSize(161, 97) << false << chosen(Quality::Maximum, true, 0, true) << 0xc0 << true;
    QTest::newRow("Maximale, grey")
        << QSize(33, 301) << true << chosen(Quality::Maximum, false, 0, false) << 0xc2 << false;
    QTest::newRow("size limit, grey, sequential asked")
        << QSize(33, 301) << true << chosen(Quality::High, false, 20000, true) << 0xc0 << false;
}

namespace {

// The toolkit's own JPEG of `image`; empty where it writes none.
QByteArray toolkitJpeg(const QImage &image, int quality, bool optimized, bool progressive)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    writer.setOptimizedWrite(optimized);
    writer.setProgressiveScanWrite(progressive);
    return writer.write(image) ? bytes : QByteArray();
}

// The first component's sampling factors in the frame header, 0x22 for 4:2:0 colour.
int lumaSampling(const QByteArray &jpeg)
{
    for (int at = 2; at + 12 <= jpeg.size() && uchar(jpeg[at]) == 0xff;) {
        if (uchar(jpeg[at + 1]) == TestImages::jpegFrameMarker(jpeg))
            return uchar(jpeg[at + 11]);
        at += 2 + (uchar(jpeg[at + 2]) << 8 | uchar(jpeg[at + 3]));
    }
    return 0;
}

qint64 distance(const QImage &a, const QImage &b)
{
    qint64 sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum +=
                qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) + qAbs(qBlue(p) - qBlue(q));
        }
    return sum;
}

} // namespace

// Every JPEG is packed with tables made for its picture, and progressive where anything beyond
// the start values was chosen unless sequential files were asked for: the toolkit's own pixels
// at the same setting, in fewer bytes, which libjpeg's own decoder reads the same. At
// Maximale colour keeps its full resolution, nearer the picture than the toolkit's.
void TestFormats::jpegPacking()
{
    QFETCH(QSize, size);
    QFETCH(bool, grey);
    QFETCH(Formats::Encoding, encoding);
    QFETCH(int, marker);
    QFETCH(bool, fullChroma);
    QImage image = TestImages::pattern(size);
    if (grey)
        image = image.convertToFormat(QImage::Format_Grayscale8);
    const Formats::Writer &writer = Formats::writerFor("jpg");
    const int setting = writer.setting(encoding.quality);
    QByteArray ours;
    LeftOuts leftOut;
    Formats::EncodeError error;
    QVERIFY(
        writer.encode(image, {encoding, setting, false}, PhotoMetadata(), &ours, &leftOut, &error));
    const QByteArray toolkit = toolkitJpeg(image, setting, false, false);
    const QByteArray scans = toolkitJpeg(image, setting, true, true);
    QVERIFY(!toolkit.isEmpty() && !scans.isEmpty());
    if (marker == 0xc2 && !fullChroma)
        QVERIFY2(ours.size() <= scans.size(),
                 qPrintable(QString("%1 > %2").arg(ours.size()).arg(scans.size())));

    QCOMPARE(TestImages::jpegFrameMarker(ours), marker);
    QCOMPARE(lumaSampling(ours), grey || fullChroma ? 0x11 : 0x22);
    const QImage read = toolkitRead(ours);
    QCOMPARE(read.size(), size);
    if (fullChroma) {
        const QImage source = image.convertToFormat(QImage::Format_RGB32);
        QVERIFY(distance(read, source) < distance(toolkitRead(toolkit), source));
    } else {
        QVERIFY(read == toolkitRead(toolkit));
        QVERIFY2(ours.size() < toolkit.size(),
                 qPrintable(QString("%1 >= %2").arg(ours.size()).arg(toolkit.size())));
    }

    const QString in = m_dir.filePath(QString("packed-%1.jpg").arg(QTest::currentDataTag()));
    const QString out = in + ".pnm";
    QVERIFY(TestImages::writeAll(in, ours));
    if (QProcess::execute("djpeg", {"-outfile", out, in}) != 0)
        QSKIP("djpeg is not installed");
    QVERIFY(QImageReader(out).read().convertToFormat(QImage::Format_RGB32) == read);
}

void TestFormats::jpegLayout_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<int>("quality");
    QTest::addColumn<bool>("optimized");
    QTest::addColumn<bool>("progressive");
    const QImage pattern = TestImages::pattern(QSize(161, 97));
    QImage described = pattern;
    described.setText("Title", QString::fromUtf8("Été à Sète"));
    described.setText("Author", "Parvimage test");
    described.setColorSpace(QColorSpace::DisplayP3);
    described.setDotsPerMeterX(11811); // 300 dpi
    described.setDotsPerMeterY(11811);
    QImage perCm = pattern.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    perCm.setDotsPerMeterX(5000);
    perCm.setDotsPerMeterY(7000);
    QImage greyTable =
        pattern.convertToFormat(QImage::Format_Grayscale8).convertToFormat(QImage::Format_Indexed8);
    QTest::newRow("colour, standard tables") << pattern << 75 << false << false;
    QTest::newRow("texts, profile, 300 dpi, optimised") << described << 95 << true << false;
    QTest::newRow("premultiplied, density in cm") << perCm << 40 << true << false;
    QTest::newRow("grey, progressive")
        << pattern.convertToFormat(QImage::Format_Grayscale8) << 55 << true << true;
    QTest::newRow("grey colour table") << greyTable << 90 << true << false;
    QTest::newRow("colour table") << pattern.convertToFormat(QImage::Format_Indexed8) << 75 << false
                                  << false;
    QTest::newRow("one bit") << pattern.convertToFormat(QImage::Format_Mono) << 75 << true << false;
    QTest::newRow("three bytes, odd size")
        << TestImages::pattern(QSize(1, 17)).convertToFormat(QImage::Format_RGB888) << 75 << true
        << false;
    QTest::newRow("16 bits a channel")
        << pattern.convertToFormat(QImage::Format_RGBA64) << 90 << false << false;
}

// With 4:2:0 colour the encoder lays out its file byte for byte as the toolkit's writer does,
// headers included; progressive colour has scans of its own.
void TestFormats::jpegLayout()
{
    QFETCH(QImage, image);
    QFETCH(int, quality);
    QFETCH(bool, optimized);
    QFETCH(bool, progressive);
    QByteArray ours;
    QString error;
    QVERIFY(JpegWriter::encode(image, {quality, optimized, progressive, false}, &ours, &error));
    const QByteArray toolkit = toolkitJpeg(image, quality, optimized, progressive);
    QVERIFY(!toolkit.isEmpty());
    QCOMPARE(ours.size(), toolkit.size());
    QVERIFY(ours == toolkit);
}

void TestFormats::referenceDecoders_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QStringList>("command"); // %1: the file, %2: the reference's PNM or PNG
    QTest::addColumn<int>("quality");
    const QStringList djpeg{"djpeg", "-outfile", "%2", "%1"};
    for (const Quality quality : {Quality::Maximum, Quality::Normal, Quality::Compact})
        QTest::addRow("JPEG, level %d", int(quality)) << "jpg" << djpeg << int(quality);
    // Large enough for its image data to be packed in shares here.
    QTest::newRow("PNG, packed in shares")
        << "png" << QStringList{"convert", "%1", "%2"} << int(Quality::Normal);
    for (const Quality quality : {Quality::Maximum, Quality::Compact})
        QTest::addRow("JPEG XL, level %d", int(quality))
            << "jxl" << QStringList{"djxl", "--quiet", "%1", "%2"} << int(quality);
    // Their chroma upsampled and converted as libwebp's and libheif's own tools do.
    QTest::newRow("WebP, lossy") << "webp"
                                 << QStringList{"dwebp", "-quiet", "%1", "-ppm", "-o", "%2"}
                                 << int(Quality::Normal);
    const QStringList heifConvert{"heif-convert", "%1", "%2"};
    QTest::newRow("HEIC") << "heic" << heifConvert << int(Quality::Normal);
    QTest::newRow("AVIF") << "avif" << heifConvert << int(Quality::Normal);
}

// JPEG files, progressive at every level chosen, PNG files packed in shares, lossy WebP, HEIC,
// AVIF and JPEG XL, read by the reference decoders to the pixels the program reads back at full
// size.
void TestFormats::referenceDecoders()
{
    QFETCH(QString, suffix);
    QFETCH(QStringList, command);
    QFETCH(int, quality);
    const QString tag = QString(QTest::currentDataTag()).remove(',').replace(' ', '-');
    const QString in = m_dir.filePath("reference-" + tag + ".png");
    QVERIFY(TestImages::pattern(QSize(1000, 700)).save(in));
    const QString out = m_dir.filePath("reference-" + tag + "-out." + suffix);
    PlannedRow row = TestImages::planned(in, out);
    row.options.encoding.quality = Quality(quality);
    row.options.encoding.formatChosen = true;
    QCOMPARE(TestImages::process(row, 1000).status, RowOutcome::Written);
    const QString reference = out + (suffix == "jpg" || suffix == "webp" ? ".pnm" : ".png");
    const QStringList args =
        command.mid(1).replaceInStrings("%1", out).replaceInStrings("%2", reference);
    if (QProcess::execute(command.first(), args) != 0)
        QSKIP("the reference decoder is not installed");
    // Pixels alone: ImageMagick tags its PNG as sRGB, and Qt 6 compares colour spaces too.
    QImage theirs = QImage(reference).convertToFormat(QImage::Format_RGB32);
    QImage ours = TestImages::decoded(out, 1000).convertToFormat(QImage::Format_RGB32);
    theirs.setColorSpace(QColorSpace());
    ours.setColorSpace(QColorSpace());
    QCOMPARE(theirs, ours);
}

PARVIMAGE_TEST_MAIN(TestFormats)
#include "tst_formats.moc"
