#include "batch/batchplan.h"
#include "formats/raw/rawdecoder.h"
#include "resample/geometry.h"
#include "resample/wholeimage.h"
#include "row/imageresizer.h"
#include "syntheticdng.h"
#include "system/sourcefile.h"
#include "testimages.h"
#include "testmain.h"

#include <QBuffer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

Q_DECLARE_METATYPE(MetadataKeep)
Q_DECLARE_METATYPE(RowOutcome::Status)

namespace {

QString corpusFile(const QString &folder, const QString &name)
{
    const QStringList files = TestImages::corpusFiles(folder, name);
    return files.isEmpty() ? QString() : files.first();
}

// A JPEG with a gain map after it, as its MPF index points it out.
struct GainMapped
{
    QByteArray primary, map;
    qint64 declaredLength = -1; // the XMP container directory's, where it has one
};

quint32 mpfValue(const QByteArray &tiff, int at)
{
    return tiff.startsWith("II") ? qFromLittleEndian<quint32>(tiff.constData() + at)
                                 : qFromBigEndian<quint32>(tiff.constData() + at);
}

// Split where the index says, or nothing where its offsets and lengths disagree with the file.
GainMapped splitByMpf(const QByteArray &bytes)
{
    GainMapped split;
    const int tiffAt = bytes.indexOf(QByteArray("MPF\0", 4)) + 4;
    const QByteArray tiff = bytes.mid(tiffAt, 200);
    const int entries = bytes.indexOf(QByteArray("\xb0\x02", 2), tiffAt) - tiffAt;
    if (tiffAt < 4 || entries < 0 || mpfValue(tiff, entries + 4) != 32)
        return split;
    const int at = int(mpfValue(tiff, entries + 8));
    const quint32 primaryLength = mpfValue(tiff, at + 4), mapLength = mpfValue(tiff, at + 20);
    const quint32 mapAt = tiffAt + mpfValue(tiff, at + 24);
    if (mapAt != primaryLength || primaryLength + mapLength != quint32(bytes.size()))
        return split;
    split.primary = bytes.left(int(primaryLength));
    split.map = bytes.mid(int(mapAt));
    const QRegularExpression length(
        QStringLiteral("Item:Semantic=\"GainMap\"[^>]*Item:Length=\"(\\d+)\""));
    const QRegularExpressionMatch m =
        length.match(QString::fromLatin1(split.primary.constData(), split.primary.size()));
    if (m.hasMatch())
        split.declaredLength = m.captured(1).toLongLong();
    return split;
}

// The JPEG with the type of its MPF index's second image set to `type`, its flags kept.
QByteArray withMapType(QByteArray bytes, quint32 type)
{
    const int tiffAt = bytes.indexOf(QByteArray("MPF\0", 4)) + 4;
    const QByteArray tiff = bytes.mid(tiffAt, 200);
    const int entries = bytes.indexOf(QByteArray("\xb0\x02", 2), tiffAt) - tiffAt;
    const int second = tiffAt + int(mpfValue(tiff, entries + 8)) + 16;
    const quint32 attribute = (mpfValue(bytes.mid(tiffAt), second - tiffAt) & 0xFF000000) | type;
    if (tiff.startsWith("II"))
        qToLittleEndian(attribute, bytes.data() + second);
    else
        qToBigEndian(attribute, bytes.data() + second);
    return bytes;
}

QSize decodedSize(const QByteArray &jpeg)
{
    return QImage::fromData(jpeg, "JPEG").size();
}

QByteArray encoded(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "jpg");
    return bytes;
}

QByteArray app2(const QByteArray &payload)
{
    QByteArray segment("\xff\xe2\0\0", 4);
    qToBigEndian<quint16>(quint16(payload.size() + 2), segment.data() + 2);
    return segment + payload;
}

const QByteArray IsoSignature("urn:iso:std:iso:ts:21496:-1\0", 28);

// An ISO 21496-1 photo as a camera writes one: a version block and an MPF index in the primary,
// the map's own block in the map, and nothing of Ultra HDR's XMP.
QByteArray isoGainMapped(const QSize &size)
{
    const QByteArray map = encoded(TestImages::pattern(size / 2, QImage::Format_Grayscale8))
                               .insert(2, app2(IsoSignature + QByteArray("\0\0\0\0\x01map", 8)));
    const QByteArray picture = encoded(TestImages::pattern(size)).mid(2);
    const auto primary = [&](quint32 length) {
        QByteArray tiff("MM\0\x2a\0\0\0\x08\0\x01\xb0\x02\0\x07\0\0\0\x20\0\0\0\x1a\0\0\0\0", 26);
        QByteArray entries(32, '\0');
        qToBigEndian<quint32>(0x030000, entries.data());
        qToBigEndian<quint32>(length, entries.data() + 4);
        qToBigEndian<quint32>(quint32(map.size()), entries.data() + 20);
        const QByteArray head = "\xff\xd8" + app2(IsoSignature + QByteArray(4, '\0'));
        qToBigEndian<quint32>(length - quint32(head.size() + 8), entries.data() + 24);
        return head + app2("MPF" + QByteArray(1, '\0') + tiff + entries) + picture;
    };
    return primary(quint32(primary(0).size())) + map;
}

// The row as the window plans it with each source in its own format.
PlannedRow plannedInPlace(const QString &source, const QString &folder)
{
    BatchSettings settings;
    settings.destination = folder;
    return planBatch({source}, settings).first();
}

} // namespace

class TestCameras : public QObject
{
    Q_OBJECT

private slots:
    void raws_data();
    void raws();
    void shrinkOnLoad_data();
    void shrinkOnLoad();
    void damagedRaw();
    void syntheticRaws_data();
    void syntheticRaws();
    void gainMapDeclarations_data();
    void gainMapDeclarations();
    void gainMapsKept_data();
    void gainMapsKept();
    void isoGainMap();

private:
    QTemporaryDir m_dir;
};

void TestCameras::raws_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("suffix"); // the chosen format; empty for the source's own
    QTest::addColumn<bool>("written");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("make");
    const struct
    {
        const char *row, *name;
        bool written;
        QSize size;
        const char *make;
    } raws[] = {
        {"lossy DNG", "Magick.NET_DSC8695.dng", true, QSize(600, 400), "NIKON CORPORATION"},
        {"CinemaDNG", "imageio-test_images_Blackmagic.dng", true, QSize(4128, 2176), ""},
        {"scanner NEF", "imageio-test_images_Nikon_uncompressed.nef", true, QSize(869, 593),
         "Nikon"},
        {"JPEG named NEF", "metadata-extractor-images_Issue_247-1.nef", true, QSize(680, 1024),
         "NIKON CORPORATION"},
        {"JPEG XL DNG",
         "exif-py_nikon_z_9_high_efficiency_compressed_dx_cropped_max_overexposed.dng", false,
         QSize(), ""},
    };
    for (const auto &raw : raws)
        for (const char *suffix : {"", "webp"})
            QTest::addRow("%s%s%s", raw.row, *suffix ? " to " : "", suffix)
                << QString(raw.name) << QString(suffix) << raw.written << raw.size
                << QString(raw.make);
}

// Each raw becomes an upright JPEG beside a name that says so, or the chosen format, with its
// camera's tags; one libraw cannot read is refused, never replaced by one of its previews.
void TestCameras::raws()
{
    QFETCH(QString, name);
    QFETCH(QString, suffix);
    QFETCH(bool, written);
    QFETCH(QSize, size);
    QFETCH(QString, make);
    const QString source = corpusFile("raw", name);
    if (source.isEmpty())
        QSKIP("no corpus beside the checkout");
    QVERIFY(ImageResizer::handlesSuffix(QFileInfo(source).suffix().toUpper()));
    BatchSettings settings;
    settings.destination = m_dir.path();
    settings.options.encoding.format = suffix.toUtf8();
    const PlannedRow row = planBatch({source}, settings).first();
    QCOMPARE(QFileInfo(row.outputs[0].path).suffix(), suffix.isEmpty() ? QString("jpg") : suffix);
    const RowOutcome outcome = TestImages::process(row, 1024);
    QCOMPARE(outcome.status == RowOutcome::Written, written);
    if (!written) {
        QCOMPARE(outcome.status, RowOutcome::Unreadable);
        QVERIFY(!QFile::exists(row.outputs[0].path));
        return;
    }
    QCOMPARE(TestImages::uprightSize(row.outputs[0].path), fitInSquare(size, 1024));
    if (!make.isEmpty())
        QCOMPARE(TestImages::exifValues(row.outputs[0].path, {"Make", "Orientation"}),
                 make + QString("\n1"));
}

void TestCameras::shrinkOnLoad_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("box");
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("preview") << "Magick.NET_DSC8695.dng" << 256 << QByteArray("preview");
    QTest::newRow("full beyond the preview")
        << "Magick.NET_DSC8695.dng" << 1024 << QByteArray("full");
    QTest::newRow("half size") << "imageio-test_images_Blackmagic.dng" << 1024
                               << QByteArray("half");
    QTest::newRow("full") << "imageio-test_images_Blackmagic.dng" << 4096 << QByteArray("full");
}

// Each way of shrinking on load is taken where it should be, and gives the output's size.
void TestCameras::shrinkOnLoad()
{
    QFETCH(QString, name);
    QFETCH(int, box);
    QFETCH(QByteArray, path);
    const QString source = corpusFile("raw", name);
    if (source.isEmpty())
        QSKIP("no corpus beside the checkout");
    QCOMPARE(RawDecoder::pathFor(SourceFile(source), box), path);
    RowOutcome outcome;
    const QImage image = RowLoad::scaled(source, box, &outcome);
    QCOMPARE(qMax(image.width(), image.height()), box);
    QVERIFY(RowLoad::memoryEstimate(source, box) > qint64(image.width()) * image.height() * 4);
}

void TestCameras::damagedRaw()
{
    const QString source = corpusFile("raw", "Magick.NET_DSC8695.dng");
    if (source.isEmpty())
        QSKIP("no corpus beside the checkout");
    const QString cut = m_dir.filePath("cut.dng");
    QVERIFY(TestImages::writeCut(source, cut, 0.5));
    const RowOutcome outcome = TestImages::process(plannedInPlace(cut, m_dir.path()), 1024);
    QCOMPARE(outcome.status, RowOutcome::Damaged);
}

void TestCameras::syntheticRaws_data()
{
    QTest::addColumn<bool>("preview");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<int>("box");
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("mosaic, half size") << false << 1 << 256 << QByteArray("half");
    QTest::newRow("mosaic, full") << false << 1 << 500 << QByteArray("full");
    QTest::newRow("mosaic turned, half size") << false << 6 << 256 << QByteArray("half");
    QTest::newRow("mosaic turned, full") << false << 8 << 500 << QByteArray("full");
    QTest::newRow("preview") << true << 1 << 256 << QByteArray("preview");
    QTest::newRow("preview turned") << true << 6 << 500 << QByteArray("preview");
}

// A grey ramp shot as a sensor sees it comes out grey (the camera's white balance and colour
// matrix applied), upright, brightening the way the camera saw it; at nearest, the pixels a
// copy at the path's own size would give.
void TestCameras::syntheticRaws()
{
    QFETCH(bool, preview);
    QFETCH(int, orientation);
    QFETCH(int, box);
    QFETCH(QByteArray, path);
    QImage ramp(600, 400, QImage::Format_RGB32);
    for (int x = 0; x < ramp.width(); ++x)
        for (int y = 0; y < ramp.height(); ++y)
            ramp.setPixel(x, y, qRgb(x * 200 / 599, x * 200 / 599, x * 200 / 599));
    const QString source = m_dir.filePath(QString("ramp-%1.dng").arg(QTest::currentDataTag()));
    QVERIFY(writeSyntheticDng(source, ramp, preview, orientation));
    QCOMPARE(RawDecoder::pathFor(SourceFile(source), box), path);
    RowOutcome outcome;
    const QImage image = RowLoad::scaled(source, box, &outcome);
    const bool turned = orientation >= 5;
    QCOMPARE(image.size(), fitInSquare(turned ? QSize(400, 600) : QSize(600, 400), box));
    int previous = -1;
    for (int step = 1; step < 8; ++step) {
        // Orientation 6 puts the ramp's dark end at the top, 8 at the bottom.
        const int along = (turned ? image.height() : image.width()) * step / 8;
        const int at = orientation == 8 ? image.height() - 1 - along : along;
        const QRgb p =
            turned ? image.pixel(image.width() / 2, at) : image.pixel(at, image.height() / 2);
        QVERIFY2(qAbs(qRed(p) - qGreen(p)) <= 3 && qAbs(qBlue(p) - qGreen(p)) <= 3,
                 qPrintable(QString("%1,%2,%3").arg(qRed(p)).arg(qGreen(p)).arg(qBlue(p))));
        QVERIFY(qGreen(p) > previous);
        previous = qGreen(p);
    }
    if (preview)
        return;
    const QSize own = path == "half" ? QSize(300, 200) : QSize(600, 400);
    const QImage whole = RowLoad::scaled(source, qMax(own.width(), own.height()), &outcome);
    QCOMPARE(image, sampleNearest(whole, image.size()));
}

void TestCameras::gainMapDeclarations_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<MetadataKeep>("keep");
    QTest::addColumn<RowOutcome::Status>("status");
    QTest::addColumn<int>("cut"); // bytes taken off the end of a copy
    const auto all = MetadataKeep::All;
    for (const char *name :
         {"libvips_ultra-hdr.jpg", "libavif_seine_sdr_gainmap_srgb.jpg",
          "libavif_apple_gainmap_new.jpg", "exif-samples_iphone_13_pro_max.HEIC"})
        QTest::addRow("%s to webp", name)
            << QString(name) << QString("webp") << all << RowOutcome::Written << 0;
    QTest::newRow("iPhone HEIC to HEIC") << "exif-samples_iphone_13_pro_max.HEIC"
                                         << "heic" << all << RowOutcome::Written << 0;
    QTest::newRow("Ultra HDR to JPEG, no metadata")
        << "libvips_ultra-hdr.jpg"
        << "jpg" << MetadataKeep::ColourOnly << RowOutcome::Written << 0;
    QTest::newRow("Ultra HDR cut short") << "Pillow_ultrahdr.jpg"
                                         << "jpg" << all << RowOutcome::Damaged << 0;
    QTest::newRow("Ultra HDR, its gain map cut short")
        << "libvips_ultra-hdr.jpg"
        << "jpg" << all << RowOutcome::Written << 20000;
    QTest::newRow("stereo MPO") << "Pillow_frozenpond.mpo" << QString() << all
                                << RowOutcome::Written << 0;
}

// An output without the gain map declares none, and says it was left out; a stereo MPO is the
// JPEG of its first picture, with nothing said; a cut-short one is refused.
void TestCameras::gainMapDeclarations()
{
    QFETCH(QString, name);
    QFETCH(QString, suffix);
    QFETCH(MetadataKeep, keep);
    QFETCH(RowOutcome::Status, status);
    QFETCH(int, cut);
    QString source = corpusFile("hdr", name);
    if (source.isEmpty())
        QSKIP("no corpus beside the checkout");
    if (cut > 0) {
        const QByteArray whole = TestImages::readAll(source);
        source = m_dir.filePath("cut-" + name);
        QVERIFY(TestImages::writeAll(source, whole.left(whole.size() - cut)));
    }
    PlannedRow row = plannedInPlace(source, m_dir.path());
    if (!suffix.isEmpty()) {
        row.outputs[0].path = m_dir.filePath(QFileInfo(source).completeBaseName() + "." + suffix);
        row.options.encoding.format = suffix.toUtf8();
    }
    row.options.carrying.metadata = keep;
    const RowOutcome outcome = TestImages::process(row, 512);
    QCOMPARE(outcome.status, status);
    if (status != RowOutcome::Written) {
        QVERIFY(!QFile::exists(row.outputs[0].path));
        return;
    }
    QCOMPARE(outcome.leftOut.contains(LeftOut::GainMap), !suffix.isEmpty());
    const QByteArray bytes = TestImages::readAll(row.outputs[0].path);
    QVERIFY(!bytes.contains("hdrgm:Version"));
    QVERIFY(!bytes.contains("Container:Directory"));
    QVERIFY(!bytes.contains("MPF"));
    QVERIFY(suffix == "webp"   ? bytes.startsWith("RIFF")
            : suffix == "heic" ? bytes.mid(4, 4) == "ftyp"
                               : bytes.startsWith("\xff\xd8"));
}

void TestCameras::gainMapsKept_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("orientation"); // given to a copy; 0 leaves the sample as it is
    QTest::addColumn<int>("maxBytes");
    QTest::addColumn<QSize>("picture");  // empty under a limit: smaller than asked
    QTest::addColumn<double>("scale");   // the map's side over the picture's
    QTest::addColumn<bool>("directory"); // the primary declares Ultra HDR
    // Given to the map in a copy's index; 0 as it is, 1 as it is and the output framed square.
    QTest::addColumn<quint32>("mapType");
    QTest::newRow("Ultra HDR") << "libvips_ultra-hdr.jpg" << 0 << 0 << QSize(512, 288) << 0.25
                               << true << 0u;
    QTest::newRow("Ultra HDR, its map's type declared")
        << "libvips_ultra-hdr.jpg" << 0 << 0 << QSize(512, 288) << 0.25 << true << 0x050000u;
    QTest::newRow("Ultra HDR framed square, its map cut alike")
        << "libvips_ultra-hdr.jpg" << 0 << 0 << QSize(512, 512) << 0.25 << true << 1u;
    QTest::newRow("Apple JPEG, its map's type declared")
        << "libavif_apple_gainmap_new.jpg" << 0 << 0 << QSize(384, 512) << 0.5 << false
        << 0x050000u;
    QTest::newRow("Ultra HDR under 8 Ko, fewer pixels")
        << "libvips_ultra-hdr.jpg" << 0 << 8000 << QSize() << 0.25 << true << 0u;
    QTest::newRow("map as large, turned")
        << "libavif_seine_sdr_gainmap_srgb.jpg" << 6 << 0 << QSize(384, 512) << 1.0 << true << 0u;
    QTest::newRow("map larger, little-endian MPF")
        << "libavif_paris_exif_xmp_gainmap_littleendian.jpg" << 0 << 0 << QSize(512, 383)
        << 512.0 / 403 << true << 0u;
    QTest::newRow("stale primary length") << "libavif_paris_exif_xmp_icc_gainmap_bigendian.jpg" << 0
                                          << 0 << QSize(512, 383) << 512.0 / 403 << true << 0u;
    QTest::newRow("Apple JPEG") << "libavif_apple_gainmap_new.jpg" << 0 << 0 << QSize(384, 512)
                                << 0.5 << false << 0u;
    QTest::newRow("Apple JPEG, old")
        << "libavif_apple_gainmap_old.jpg" << 0 << 0 << QSize(384, 512) << 0.5 << false << 0u;
    QTest::newRow("iPhone HEIC") << "exif-samples_iphone_13_pro_max.HEIC" << 0 << 0
                                 << QSize(384, 512) << 0.5 << false << 0u;
}

// A JPEG output keeps the gain map: after the primary where its index says, of the length its
// directory declares, turned and reduced with the picture, within the file-size limit too.
void TestCameras::gainMapsKept()
{
    QFETCH(QString, name);
    QFETCH(int, orientation);
    QFETCH(int, maxBytes);
    QFETCH(QSize, picture);
    QFETCH(double, scale);
    QFETCH(bool, directory);
    QFETCH(quint32, mapType);
    QString source = corpusFile("hdr", name);
    if (source.isEmpty())
        QSKIP("no corpus beside the checkout");
    if (mapType > 1) {
        const QString typed = m_dir.filePath("typed-" + name);
        QVERIFY(TestImages::writeAll(typed, withMapType(TestImages::readAll(source), mapType)));
        source = typed;
    }
    if (orientation != 0) {
        const QString turned = m_dir.filePath("turned-" + name);
        QVERIFY(QFile::copy(source, turned));
        QVERIFY(TestImages::setOrientation(turned, orientation));
        source = turned;
    }
    PlannedRow row = plannedInPlace(source, m_dir.path());
    row.outputs[0].path = m_dir.filePath(QFileInfo(source).completeBaseName() + "-kept.jpg");
    row.options.encoding.format = "jpg";
    row.options.encoding.maxBytes = maxBytes;
    if (mapType == 1) // the frame's row
        row.options.geometry.frame = Frame::Square;
    const RowOutcome outcome = TestImages::process(row, 512);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QVERIFY(!outcome.leftOut.contains(LeftOut::GainMap));
    const QByteArray bytes = TestImages::readAll(row.outputs[0].path);
    const GainMapped split = splitByMpf(bytes);
    QVERIFY(!split.map.isEmpty());
    const QSize primary = decodedSize(split.primary), map = decodedSize(split.map);
    if (maxBytes > 0)
        QVERIFY(bytes.size() <= maxBytes && primary.width() < 512);
    else
        QCOMPARE(primary, picture);
    QVERIFY(qAbs(map.width() - primary.width() * scale) <= 1);
    QVERIFY(qAbs(map.height() - primary.height() * scale) <= 1);
    QCOMPARE(split.declaredLength, directory ? split.map.size() : -1);
}

// An ISO 21496-1 gain map keeps its blocks, the primary's and its own, in a JPEG output.
void TestCameras::isoGainMap()
{
    const QString source = m_dir.filePath("iso.jpg");
    QVERIFY(TestImages::writeAll(source, isoGainMapped(QSize(640, 480))));
    QVERIFY(!splitByMpf(TestImages::readAll(source)).map.isEmpty());
    PlannedRow row = plannedInPlace(source, m_dir.path());
    row.outputs[0].path = m_dir.filePath("iso-out.jpg");
    QCOMPARE(TestImages::process(row, 320).status, RowOutcome::Written);
    const GainMapped split = splitByMpf(TestImages::readAll(row.outputs[0].path));
    QCOMPARE(decodedSize(split.map), QSize(160, 120));
    QVERIFY(split.primary.contains(IsoSignature + QByteArray(4, '\0')));
    QVERIFY(split.map.contains(IsoSignature + QByteArray("\0\0\0\0\x01map", 8)));
    QCOMPARE(split.declaredLength, -1);
}

PARVIMAGE_TEST_MAIN(TestCameras)
#include "tst_cameras.moc"
