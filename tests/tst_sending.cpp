#include "batch/batchreport.h"
#include "batch/outcometext.h"
#include "colour/srgb.h"
#include "formats/registry.h"
#include "formats/jpeg/jpegwriter.h"
#include "row/imageresizer.h"
#include "row/sizelimit.h"
#include "testimages.h"
#include "testmain.h"

#include <QColorSpace>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cstdio>

#include <jpeglib.h>
#include <lcms2.h>

namespace {

// Texture no encoder can flatten, so that a photo's file is as large as a real one.
QImage noisyPhoto(const QSize &size)
{
    QImage image = TestImages::pattern(size);
    QRandomGenerator random(7);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int n = int(random.bounded(48)) - 24;
            const QRgb p = line[x];
            line[x] = qRgb(qBound(0, qRed(p) + n, 255), qBound(0, qGreen(p) + n, 255),
                           qBound(0, qBlue(p) - n, 255));
        }
    }
    return image;
}

PlannedRow row(const QString &source, const QString &output)
{
    return TestImages::planned(source, output);
}

QString exiftool(const QStringList &arguments)
{
    QProcess process;
    process.start("exiftool", arguments);
    process.waitForFinished(60000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// The values the GPS directory of the JPEG's EXIF points to, each as its bytes.
QList<QByteArray> gpsValueBytes(const QByteArray &jpeg)
{
    const int at = jpeg.indexOf(QByteArray("Exif\0\0", 6));
    const QByteArray tiff = jpeg.mid(at + 6);
    const bool little = tiff.startsWith("II");
    const auto u16 = [&](int i) {
        return little ? qFromLittleEndian<quint16>(tiff.constData() + i)
                      : qFromBigEndian<quint16>(tiff.constData() + i);
    };
    const auto u32 = [&](int i) {
        return little ? qFromLittleEndian<quint32>(tiff.constData() + i)
                      : qFromBigEndian<quint32>(tiff.constData() + i);
    };
    QList<QByteArray> values;
    const int ifd0 = int(u32(4));
    for (int i = 0; i < u16(ifd0); ++i) {
        const int entry = ifd0 + 2 + 12 * i;
        if (u16(entry) != 0x8825)
            continue;
        const int gps = int(u32(entry + 8));
        for (int j = 0; j < u16(gps); ++j) {
            const int e = gps + 2 + 12 * j;
            if (u16(e + 2) == 5) // RATIONAL: latitude, longitude, altitude, time
                values.append(tiff.mid(int(u32(e + 8)), int(8 * u32(e + 4))));
        }
    }
    return values;
}

// libjpeg's inks, as Adobe's JPEGs store them (inverted), four bytes a pixel.
QByteArray cmykSamples(const QString &path, QSize *size)
{
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "rb");
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_CMYK;
    jpeg_start_decompress(&info);
    *size = QSize(int(info.output_width), int(info.output_height));
    QByteArray samples(size->width() * size->height() * 4, '\0');
    while (info.output_scanline < info.output_height) {
        JSAMPROW line =
            reinterpret_cast<JSAMPROW>(samples.data() + info.output_scanline * size->width() * 4);
        jpeg_read_scanlines(&info, &line, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return samples;
}

// Little CMS's own conversion to sRGB, with the intent and flags a photo export uses.
QImage lcmsToSrgb(const QByteArray &profile, cmsUInt32Number type, const void *pixels,
                  const QSize &size, int bytesPerLine)
{
    cmsHPROFILE source =
        cmsOpenProfileFromMem(profile.constData(), cmsUInt32Number(profile.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform =
        cmsCreateTransform(source, type, srgb, TYPE_BGRA_8, INTENT_RELATIVE_COLORIMETRIC,
                           cmsFLAGS_BLACKPOINTCOMPENSATION);
    QImage out(size, QImage::Format_RGB32);
    out.fill(Qt::white);
    for (int y = 0; y < size.height(); ++y)
        cmsDoTransform(transform, static_cast<const uchar *>(pixels) + y * bytesPerLine,
                       out.scanLine(y), cmsUInt32Number(size.width()));
    cmsDeleteTransform(transform);
    cmsCloseProfile(source);
    cmsCloseProfile(srgb);
    return out;
}

QImage opaque(const QImage &image)
{
    return image.convertToFormat(QImage::Format_RGB32);
}

} // namespace

class TestSending : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sizeLimit_data();
    void sizeLimit();
    void sizeLimitLevel_data();
    void sizeLimitLevel();
    void metadataTooLarge();
    void noLocation_data();
    void noLocation();
    void colourOnly_data();
    void colourOnly();
    void srgbP3();
    void srgbEveryColour_data();
    void srgbEveryColour();
    void srgbCmyk();
    void frenchSizes_data();
    void frenchSizes();
    void savedSizes();

private:
    QTemporaryDir m_dir;
    QString m_photo, m_gpsPhoto;
};

void TestSending::initTestCase()
{
    m_photo = m_dir.filePath("photo.png");
    QVERIFY(noisyPhoto(QSize(1600, 1200)).save(m_photo));
    m_gpsPhoto = m_dir.filePath("gps.jpg");
    QVERIFY(TestImages::write(m_gpsPhoto, QSize(640, 480)));
    QVERIFY(TestImages::exiftool(m_gpsPhoto,
                                 {"-Artist=Parvimage", "-GPSLatitude=43.46824", "-GPSLatitudeRef=N",
                                  "-GPSLongitude=1.55721", "-GPSLongitudeRef=W",
                                  "-GPSAltitude=123.4", "-XMP-exif:GPSLatitude=43.46824N",
                                  "-XMP-exif:GPSLongitude=1.55721W", "-XMP-dc:Creator=Parvimage"}));
}

void TestSending::sizeLimit_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<int>("kilobytes");
    for (const char *suffix : {"jpg", "webp", "heic", "avif", "jxl", "png"})
        for (int kilobytes : {200, 500, 1000, 2000})
            QTest::addRow("%s %d Ko", suffix, kilobytes) << QString(suffix) << kilobytes;
}

// Every output fits, and uses the limit well where it had to be searched for; a lossless one
// only loses pixels.
void TestSending::sizeLimit()
{
    QFETCH(QString, suffix);
    QFETCH(int, kilobytes);
    const qint64 limit = kilobytes * 1000;
    PlannedRow planned =
        row(m_photo, m_dir.filePath(QString("limited-%1.%2").arg(kilobytes).arg(suffix)));
    planned.options.encoding.maxBytes = limit;
    const RowOutcome outcome = TestImages::process(planned, 2048);
    QCOMPARE(outcome.status, RowOutcome::Written);
    const qint64 size = QFileInfo(planned.outputs[0].path).size();
    QCOMPARE(outcome.outputBytes, size);
    QVERIFY2(size <= limit, qPrintable(QString::number(size)));
    if (outcome.encodes > 1)
        QVERIFY2(size >= limit * 85 / 100, qPrintable(QString::number(size)));
    const QSize pixels = TestImages::uprightSize(planned.outputs[0].path);
    QCOMPARE(outcome.limitedTo.isValid(), pixels != QSize(2048, 1536));
    if (suffix == "png")
        QCOMPARE(outcome.encodes > 1, pixels != QSize(2048, 1536));
    QCOMPARE(OutcomeText::remark(outcome).contains("réduite à"), outcome.limitedTo.isValid());
}

void TestSending::sizeLimitLevel_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("side");
    QTest::addColumn<int>("kilobytes");
    for (const QString &real : TestImages::corpusFiles("odd", "*_photo.jpg") +
                                   TestImages::corpusFiles("odd", "*flower_rgb*.jpg"))
        for (int kilobytes : {40, 60, 90})
            QTest::addRow("%s at 1024, %d Ko", qPrintable(QFileInfo(real).fileName()), kilobytes)
                << real << 1024 << kilobytes;
    for (int kilobytes : {150, 300, 600})
        QTest::addRow("noisy photo at 1600, %d Ko", kilobytes) << m_photo << 1600 << kilobytes;
}

// Under a size limit, JPEG's packing leaves room for a level at least as high as the toolkit's
// standard tables reached, on the same pixels.
void TestSending::sizeLimitLevel()
{
    QFETCH(QString, path);
    QFETCH(int, side);
    QFETCH(int, kilobytes);
    const QImage image =
        QImage(path).scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QVERIFY(!image.isNull());
    const Formats::Writer packed = Formats::writerFor("jpg");
    Formats::Writer standard = packed;
    standard.encode = [](const QImage &image, const Formats::EncodeRequest &request,
                         const PhotoMetadata &, QByteArray *bytes, LeftOuts *,
                         Formats::EncodeError *error) {
        JpegWriter::Settings standard;
        standard.quality = request.setting;
        standard.optimized = false;
        return JpegWriter::encode(image, standard, bytes, &error->words);
    };
    const qint64 limit = kilobytes * 1000;
    Formats::EncodeRequest request{{"jpg"}, packed.defaultSetting, false};
    request.encoding.maxBytes = limit;
    const SizeLimit::Encoded before =
        SizeLimit::encode(image, standard, request, PhotoMetadata(), limit);
    const SizeLimit::Encoded after =
        SizeLimit::encode(image, packed, request, PhotoMetadata(), limit);
    QVERIFY(before.fits && after.fits && after.bytes.size() <= limit);
    // Where both are at the writer's floor, the packed one keeps at least as many pixels.
    const bool asHigh =
        after.setting > before.setting ||
        (after.setting == before.setting && after.pixels.width() >= before.pixels.width());
    QVERIFY2(asHigh, qPrintable(QString("%1 at %2 px against %3 at %4 px")
                                    .arg(after.setting)
                                    .arg(after.pixels.width())
                                    .arg(before.setting)
                                    .arg(before.pixels.width())));
}

// A row whose metadata alone is over the limit is written as small as it can be, and said so.
void TestSending::metadataTooLarge()
{
    const QString source = m_dir.filePath("heavy.jpg");
    QVERIFY(TestImages::write(source, QSize(800, 600)));
    QVERIFY(TestImages::exiftool(source, {"-XMP-dc:Description=" + QString(60000, 'x')}));
    PlannedRow planned = row(source, m_dir.filePath("heavy-out.jpg"));
    planned.options.encoding.maxBytes = 40000;
    const RowOutcome outcome = TestImages::process(planned, 800);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QVERIFY(outcome.overLimit);
    QCOMPARE(qMax(outcome.limitedTo.width(), outcome.limitedTo.height()), 100);
    QVERIFY(OutcomeText::remark(outcome).startsWith("ne tient pas dans 40 Ko"));
    QVERIFY(!outcome.isFailure());
}

void TestSending::noLocation_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<bool>("keepsTags");
    for (const char *suffix : {"jpg", "png", "webp", "heic", "avif", "jxl"})
        QTest::newRow(suffix) << QString(suffix) << true;
    QTest::newRow("tif") << "tif" << false;
}

// No coordinate in any output, neither as a tag nor as bytes left behind; the rest is kept.
void TestSending::noLocation()
{
    QFETCH(QString, suffix);
    QFETCH(bool, keepsTags);
    const QList<QByteArray> gps = gpsValueBytes(TestImages::readAll(m_gpsPhoto));
    QCOMPARE(gps.size(), 3);
    PlannedRow planned = row(m_gpsPhoto, m_dir.filePath("nogps." + suffix));
    planned.options.carrying.metadata = MetadataKeep::NoLocation;
    QCOMPARE(TestImages::process(planned, 320).status, RowOutcome::Written);
    const QByteArray bytes = TestImages::readAll(planned.outputs[0].path);
    for (const QByteArray &value : gps)
        QVERIFY(!bytes.contains(value));
    QVERIFY(!bytes.contains("GPSLatitude"));
    QCOMPARE(exiftool({"-a", "-s", "-GPS:all", "-XMP-exif:all", planned.outputs[0].path}),
             QString());
    if (keepsTags) {
        QCOMPARE(exiftool({"-s3", "-EXIF:Artist", planned.outputs[0].path}), QString("Parvimage"));
        QCOMPARE(exiftool({"-s3", "-XMP-dc:Creator", planned.outputs[0].path}),
                 QString("Parvimage"));
    }
}

void TestSending::colourOnly_data()
{
    QTest::addColumn<QString>("suffix");
    for (const char *suffix : {"jpg", "png", "webp", "heic", "avif"})
        QTest::newRow(suffix) << QString(suffix);
}

// Nothing but the profile the pixels need.
void TestSending::colourOnly()
{
    QFETCH(QString, suffix);
    const QString source = m_dir.filePath("p3-tagged.jpg");
    QImage image = TestImages::pattern(QSize(320, 240));
    image.setColorSpace(QColorSpace::DisplayP3);
    image.setText("Description", "Parvimage comment");
    QVERIFY(image.save(source));
    QVERIFY(TestImages::exiftool(source, {"-Artist=Parvimage", "-XMP-dc:Creator=Parvimage",
                                          "-IPTC:Keywords=Parvimage", "-GPSLatitude=43.5"}));
    PlannedRow planned = row(source, m_dir.filePath("bare." + suffix));
    planned.options.carrying.metadata = MetadataKeep::ColourOnly;
    QCOMPARE(TestImages::process(planned, 160).status, RowOutcome::Written);
    QVERIFY(!TestImages::profileBytes(planned.outputs[0].path).isEmpty());
    const QString groups = exiftool({"-a", "-G0", "-s", "-EXIF:all", "-XMP:all", "-IPTC:all",
                                     "-Comment", "-MakerNotes:all", planned.outputs[0].path});
    QCOMPARE(groups, QString());
    QVERIFY(!TestImages::readAll(planned.outputs[0].path).contains("Parvimage"));
}

// A Display P3 photo comes out as Little CMS converts it, within a code value, tagged sRGB.
void TestSending::srgbP3()
{
    const QString source = m_dir.filePath("p3.png");
    QImage image = noisyPhoto(QSize(120, 90));
    image.setColorSpace(QColorSpace::DisplayP3);
    QVERIFY(image.save(source));
    PlannedRow planned = row(source, m_dir.filePath("p3-srgb.png"));
    planned.options.carrying.srgb = true;
    QCOMPARE(TestImages::process(planned, 120).status, RowOutcome::Written);
    const QImage out(planned.outputs[0].path);
    QCOMPARE(out.colorSpace(), QColorSpace(QColorSpace::SRgb));
    const QImage pixels = image.convertToFormat(QImage::Format_RGB32);
    const QImage expected =
        lcmsToSrgb(QColorSpace(QColorSpace::DisplayP3).iccProfile(), TYPE_BGRA_8,
                   pixels.constBits(), pixels.size(), int(pixels.bytesPerLine()));
    QVERIFY(TestImages::difference(opaque(out), expected).max <= 1);

    planned.outputs[0].path = m_dir.filePath("p3-kept.png");
    planned.options.carrying.srgb = false;
    QCOMPARE(TestImages::process(planned, 120).status, RowOutcome::Written);
    QCOMPARE(QImage(planned.outputs[0].path).colorSpace(), QColorSpace(QColorSpace::DisplayP3));
}

void TestSending::srgbEveryColour_data()
{
    QTest::addColumn<QColorSpace>("space");
    QTest::newRow("Display P3") << QColorSpace(QColorSpace::DisplayP3);
    QTest::newRow("Adobe RGB") << QColorSpace(QColorSpace::AdobeRgb);
    QTest::newRow("ProPhoto, gamma 1.8") << QColorSpace(QColorSpace::ProPhotoRgb);
    QTest::newRow("P3 primaries, linear")
        << QColorSpace(QColorSpace::Primaries::DciP3D65, QColorSpace::TransferFunction::Linear);
}

// Every colour, in steps of 3, as Little CMS converts it within a code value, its alpha kept.
void TestSending::srgbEveryColour()
{
    QFETCH(QColorSpace, space);
    QImage grid(86 * 86, 86, QImage::Format_ARGB32);
    for (int y = 0; y < 86; ++y)
        for (int x = 0; x < grid.width(); ++x)
            grid.setPixel(x, y, qRgba(3 * (x % 86), 3 * (x / 86), 3 * y, x % 251));
    QImage converted = grid;
    QCOMPARE(Srgb::convert(&converted, space.iccProfile()), Srgb::Result::Converted);
    const QImage expected = lcmsToSrgb(space.iccProfile(), TYPE_BGRA_8, grid.constBits(),
                                       grid.size(), int(grid.bytesPerLine()));
    QVERIFY(TestImages::difference(opaque(converted), expected).max <= 1);
    QCOMPARE(converted.pixel(300, 40) >> 24, grid.pixel(300, 40) >> 24);
}

// A CMYK photo's inks go through its own profile.
void TestSending::srgbCmyk()
{
    const QStringList files = TestImages::corpusFiles("odd", "jdec_ycck.jpg");
    if (files.isEmpty())
        QSKIP("no corpus beside the checkout");
    const QString source = files.first();
    QSize size;
    const QByteArray inks = cmykSamples(source, &size);
    const QByteArray profile = TestImages::profileBytes(source);
    QVERIFY(!profile.isEmpty());
    PlannedRow planned = row(source, m_dir.filePath("cmyk-srgb.png"));
    planned.options.carrying.srgb = true;
    QCOMPARE(TestImages::process(planned, qMax(size.width(), size.height())).status,
             RowOutcome::Written);
    const QImage out(planned.outputs[0].path);
    QCOMPARE(out.colorSpace(), QColorSpace(QColorSpace::SRgb));
    const QImage expected =
        lcmsToSrgb(profile, TYPE_CMYK_8_REV, inks.constData(), size, size.width() * 4);
    QCOMPARE(TestImages::difference(opaque(out), expected).max, 0);
}

void TestSending::frenchSizes_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("bytes") << qint64(999) << "999 octets";
    QTest::newRow("one decimal") << qint64(9540) << "9,5 Ko";
    QTest::newRow("whole kilobytes") << qint64(182400) << "182 Ko";
    QTest::newRow("limit") << qint64(200000) << "200 Ko";
    QTest::newRow("megabytes") << qint64(48300000) << "48,3 Mo";
    QTest::newRow("round megabyte") << qint64(1000000) << "1 Mo";
    QTest::newRow("up to the next unit") << qint64(999990) << "1 Mo";
    QTest::newRow("gigabytes") << qint64(2500000000) << "2,5 Go";
}

void TestSending::frenchSizes()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(OutcomeText::frenchSize(bytes), text);
}

// The closing box's sizes count what was read and written, and only the rows written.
void TestSending::savedSizes()
{
    QVector<PlannedRow> plan(3);
    QVector<RowOutcome> outcomes(3);
    const qint64 sizes[][2] = {{30000000, 1200000}, {18300000, 900000}, {5000000, 0}};
    for (int i = 0; i < 3; ++i) {
        plan[i].source = QString("/photos/%1.jpg").arg(i);
        outcomes[i].status = i < 2 ? RowOutcome::Written : RowOutcome::Unreadable;
        outcomes[i].sourceBytes = sizes[i][0];
        outcomes[i].outputBytes = sizes[i][1];
    }
    const BatchReport report = BatchReport::make(plan, outcomes);
    QCOMPARE(report.informative, QString("2 images : 48,3 Mo → 2,1 Mo (\u221296 %)"));
    QVERIFY(report.details.contains("/photos/1.jpg : 18,3 Mo → 900 Ko"));
    QVERIFY(!report.details.contains("/photos/2.jpg : 5 Mo"));
}

PARVIMAGE_TEST_MAIN(TestSending)
#include "tst_sending.moc"
