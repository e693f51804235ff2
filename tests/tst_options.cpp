#include "batch/batchplan.h"
#include "batch/outcometext.h"
#include "row/imageresizer.h"
#include "system/filetime.h"
#include "testimages.h"
#include "testmain.h"

#include <QColorSpace>
#include <QDir>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QStringList OutputFormats{"jpg", "png", "webp", "heic", "avif"};

bool save(const QImage &image, const QString &path)
{
    return RowLoad::save(image, path, QFileInfo(path).suffix().toUtf8()).status ==
           RowOutcome::Written;
}

PlannedRow plannedRow(const QString &source, const QString &output)
{
    return TestImages::planned(source, output);
}

// An AVIF whose colours are described by an nclx box only: the writer's own, unspecified
// values changed in place.
bool writeNclxAvif(const QString &path, int primaries, int transfer)
{
    if (!save(TestImages::pattern(QSize(64, 48)), path))
        return false;
    QByteArray bytes = TestImages::readAll(path);
    const int at = bytes.indexOf("colrnclx") + 8;
    if (at < 8)
        return false;
    bytes[at + 1] = char(primaries);
    bytes[at + 3] = char(transfer);
    return TestImages::writeAll(path, bytes);
}

QColorSpace bt2020Linear()
{
    return QColorSpace(QPointF(0.3127, 0.3290), QPointF(0.708, 0.292), QPointF(0.170, 0.797),
                       QPointF(0.131, 0.046), QColorSpace::TransferFunction::Linear);
}

} // namespace

Q_DECLARE_METATYPE(Resampling)
Q_DECLARE_METATYPE(Frame)

class TestOptions : public QObject
{
    Q_OBJECT

private slots:
    void conversion_data();
    void conversion();
    void nclxBecomesProfile_data();
    void nclxBecomesProfile();
    void transparencyOnWhite_data();
    void transparencyOnWhite();
    void conversionPlan_data();
    void conversionPlan();
    void qualityLevels_data();
    void qualityLevels();
    void noEnlarge_data();
    void noEnlarge();
    void keepDate_data();
    void keepDate();
    void startValuesUnchanged_data();
    void startValuesUnchanged();
    void jpegScans_data();
    void jpegScans();
    void gifAnimation_data();
    void gifAnimation();
    void gifKept_data();
    void gifKept();

private:
    QString source(const QString &format);

    QTemporaryDir dir;
};

// A 160 x 120 photo stored on its side (orientation 6), in Display P3, with an author.
QString TestOptions::source(const QString &format)
{
    const QString path = dir.filePath("source." + format);
    if (QFile::exists(path))
        return path;
    QImage image = TestImages::pattern(QSize(160, 120));
    image.setColorSpace(QColorSpace(QColorSpace::DisplayP3));
    if (!save(image, path) || !TestImages::exiftool(path, {"-Artist=Parvimage", "-Orientation#=6"}))
        return QString();
    return path;
}

void TestOptions::conversion_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    for (const QString &from : OutputFormats)
        for (const QString &to : OutputFormats)
            if (from != to)
                QTest::addRow("%s to %s", qPrintable(from), qPrintable(to)) << from << to;
}

// Every format into every other: upright at the box's size, the author kept, the orientation
// reset, the colour profile carried.
void TestOptions::conversion()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    const QString in = source(from);
    QVERIFY(!in.isEmpty());
    const QString out = dir.filePath(from + "-converted." + to);
    const RowOutcome outcome = TestImages::process(plannedRow(in, out), 80);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QVERIFY2(outcome.leftOut.isEmpty(), qPrintable(OutcomeText::leftOut(outcome)));
    // HEIF turns images with its own boxes: the EXIF orientation there is only informative.
    QCOMPARE(TestImages::uprightSize(out), TestImages::isHeif(in) ? QSize(80, 60) : QSize(60, 80));
    QCOMPARE(TestImages::exifValues(out, {"Artist", "Orientation"}), QString("Parvimage\n1"));
    QCOMPARE(QColorSpace::fromIccProfile(TestImages::profileBytes(out)),
             QColorSpace(QColorSpace::DisplayP3));
}

void TestOptions::nclxBecomesProfile_data()
{
    QTest::addColumn<int>("primaries");
    QTest::addColumn<int>("transfer");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QColorSpace>("expected");
    QTest::addColumn<QString>("leftOut");
    for (const char *to : {"jpg", "png", "webp", "heic"}) {
        QTest::addRow("Display P3 to %s", to)
            << 12 << 13 << QString(to) << QColorSpace(QColorSpace::DisplayP3) << QString();
        QTest::addRow("BT.2020 linear to %s", to)
            << 9 << 8 << QString(to) << bt2020Linear() << QString();
        QTest::addRow("PQ to %s", to) << 9 << 16 << QString(to) << QColorSpace()
                                      << QString("description des couleurs (nclx)");
    }
    QTest::newRow("Display P3 to avif, as nclx")
        << 12 << 13 << QString("avif") << QColorSpace() << QString();
    QTest::newRow("PQ to avif, as nclx")
        << 9 << 16 << QString("avif") << QColorSpace() << QString();
}

// Outputs that hold no nclx (libheif leaves it out of HEIC) get the profile that says the same;
// what no profile can say is named. AVIF keeps the nclx as it was.
void TestOptions::nclxBecomesProfile()
{
    QFETCH(int, primaries);
    QFETCH(int, transfer);
    QFETCH(QString, to);
    QFETCH(QColorSpace, expected);
    QFETCH(QString, leftOut);
    const QString in = dir.filePath(QString("nclx-%1-%2.avif").arg(primaries).arg(transfer));
    QVERIFY(QFile::exists(in) || writeNclxAvif(in, primaries, transfer));
    const QString out = dir.filePath(QFileInfo(in).completeBaseName() + "-out." + to);
    const RowOutcome outcome = TestImages::process(plannedRow(in, out), 32);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QCOMPARE(OutcomeText::leftOut(outcome), leftOut);
    const QByteArray profile = TestImages::profileBytes(out);
    QCOMPARE(profile.isEmpty(), !expected.isValid());
    if (expected.isValid())
        QCOMPARE(QColorSpace::fromIccProfile(profile), expected);
    if (to == "avif")
        QCOMPARE(TestImages::exifValues(out, {"ColorPrimaries", "TransferCharacteristics"}),
                 QString("%1\n%2").arg(primaries).arg(transfer));
}

void TestOptions::transparencyOnWhite_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<Resampling>("resampling");
    QTest::newRow("PNG, nearest") << "png" << Resampling::Nearest;
    QTest::newRow("PNG, smooth") << "png" << Resampling::Smooth;
    QTest::newRow("WebP, nearest") << "webp" << Resampling::Nearest;
    QTest::newRow("HEIC, smooth") << "heic" << Resampling::Smooth;
}

// What shows through a transparent source's JPEG is white, half-transparent red turns pink,
// and the colour hidden under transparent pixels never shows.
void TestOptions::transparencyOnWhite()
{
    QFETCH(QString, from);
    QFETCH(Resampling, resampling);
    QImage image(64, 64, QImage::Format_ARGB32);
    image.fill(qRgba(0, 0, 0, 0));
    for (int y = 32; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            image.setPixel(x, y, qRgba(255, 0, 0, 128));
    const QString in = dir.filePath("transparent." + from);
    QVERIFY(save(image, in));
    const QString out = dir.filePath("transparent-" + from + ".jpg");
    PlannedRow row = plannedRow(in, out);
    row.options.geometry.resampling = resampling;
    QCOMPARE(TestImages::process(row, 32).status, RowOutcome::Written);
    const QImage written(out);
    const QRgb clear = written.pixel(16, 4), pink = written.pixel(16, 28);
    QVERIFY2(qRed(clear) > 245 && qGreen(clear) > 245 && qBlue(clear) > 245,
             qPrintable(QString::number(clear, 16)));
    QVERIFY2(qRed(pink) > 240 && qAbs(qGreen(pink) - 127) < 16 && qAbs(qBlue(pink) - 127) < 16,
             qPrintable(QString::number(pink, 16)));
}

void TestOptions::conversionPlan_data()
{
    QTest::addColumn<QStringList>("sources");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<bool>("toDestination");
    QTest::addColumn<QStringList>("outputs"); // name, then status, then whether it replaces
    QTest::newRow("HEIC beside a JPEG of its name")
        << QStringList{"a.heic", "a.jpg"} << QByteArray("jpg") << false
        << QStringList{"a.jpg refused new", "a.jpg pending replaces"};
    QTest::newRow("two folders, one destination")
        << QStringList{"x/a.heic", "y/a.png"} << QByteArray("jpg") << true
        << QStringList{"a.jpg pending new", "a.jpg refused new"};
    QTest::newRow("dotted name") << QStringList{"vacances.2019.HEIC"} << QByteArray("jpg") << false
                                 << QStringList{"vacances.2019.jpg pending new"};
    QTest::newRow("no suffix") << QStringList{"photo"} << QByteArray("png") << false
                               << QStringList{"photo.png pending new"};
    QTest::newRow("already that format")
        << QStringList{"a.JPEG", "b.heic"} << QByteArray("jpg") << false
        << QStringList{"a.jpg pending new", "b.jpg pending new"};
    QTest::newRow("its own format, as it starts")
        << QStringList{"a.JPEG", "b.heic"} << QByteArray() << false
        << QStringList{"a.JPEG pending replaces", "b.heic pending replaces"};
}

// The chosen format's suffix replaces the last one; a converted output never replaces another
// listed source, and two rows never write one file.
void TestOptions::conversionPlan()
{
    QFETCH(QStringList, sources);
    QFETCH(QByteArray, format);
    QFETCH(bool, toDestination);
    QFETCH(QStringList, outputs);
    QStringList paths;
    for (const QString &name : sources)
        paths.append(dir.filePath("plan/" + name));
    BatchSettings settings;
    settings.options.encoding.format = format;
    if (toDestination)
        settings.destination = dir.filePath("plan/out");
    const QVector<PlannedRow> plan = planBatch(paths, settings);
    QStringList described;
    for (const PlannedRow &row : plan)
        described.append(
            QFileInfo(row.outputs[0].path).fileName() +
            (row.outputs[0].outcome.status == RowOutcome::Pending ? " pending" : " refused") +
            (row.replacesSource ? " replaces" : " new"));
    QCOMPARE(described, outputs);
    QCOMPARE(replacesASource(plan), outputs.join(' ').contains("pending replaces"));
}

void TestOptions::qualityLevels_data()
{
    QTest::addColumn<QString>("format");
    for (const char *format : {"jpg", "webp", "heic", "avif", "jxl"})
        QTest::newRow(format) << QString(format);
}

// Each level down gives a strictly smaller file, in every lossy format.
void TestOptions::qualityLevels()
{
    QFETCH(QString, format);
    const QString in = dir.filePath("levels.png");
    QVERIFY(QFile::exists(in) || TestImages::pattern(QSize(320, 240)).save(in));
    qint64 previous = std::numeric_limits<qint64>::max();
    for (Quality quality : {Quality::Maximum, Quality::High, Quality::Normal, Quality::Compact}) {
        const QString out = dir.filePath(QString("level%1.").arg(int(quality)) + format);
        PlannedRow row = plannedRow(in, out);
        row.options.encoding.quality = quality;
        QCOMPARE(TestImages::process(row, 320).status, RowOutcome::Written);
        const qint64 size = QFileInfo(out).size();
        QVERIFY2(size < previous, qPrintable(QString("%1 >= %2").arg(size).arg(previous)));
        previous = size;
    }
}

void TestOptions::noEnlarge_data()
{
    QTest::addColumn<QSize>("stored");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<bool>("enlarge");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("small, kept") << QSize(300, 200) << 1 << false << QSize(300, 200);
    QTest::newRow("small on its side, kept") << QSize(300, 200) << 6 << false << QSize(200, 300);
    QTest::newRow("small, enlarged as it starts")
        << QSize(300, 200) << 1 << true << QSize(512, 341);
    QTest::newRow("one side at the box") << QSize(512, 100) << 1 << false << QSize(512, 100);
    QTest::newRow("larger, reduced") << QSize(800, 600) << 1 << false << QSize(512, 384);
}

// An image that fits is written at its own size, still renamed, placed, upright and with its
// EXIF dimensions corrected.
void TestOptions::noEnlarge()
{
    QFETCH(QSize, stored);
    QFETCH(int, orientation);
    QFETCH(bool, enlarge);
    QFETCH(QSize, expected);
    const QString in =
        dir.filePath(QString("small-%1-%2.jpg").arg(stored.width()).arg(orientation));
    QVERIFY(TestImages::write(in, stored));
    QVERIFY(TestImages::exiftool(in, {QString("-Orientation#=%1").arg(orientation),
                                      QString("-ExifImageWidth=%1").arg(stored.width())}));
    BatchSettings settings;
    settings.rename = true;
    settings.pattern = "petite";
    settings.destination = dir.filePath("kept");
    settings.options.geometry.enlarge = enlarge;
    settings.options.encoding.format = "png";
    QVERIFY(QDir().mkpath(settings.destination));
    const PlannedRow row = planBatch({in}, settings).value(0);
    QCOMPARE(row.outputs[0].path, settings.destination + "/petite000.png");
    QCOMPARE(TestImages::process(row, 512).status, RowOutcome::Written);
    QCOMPARE(TestImages::uprightSize(row.outputs[0].path), expected);
    QCOMPARE(TestImages::exifValues(row.outputs[0].path, {"ExifImageWidth", "Orientation"}),
             QString("%1\n1").arg(expected.width()));
}

void TestOptions::keepDate_data()
{
    QTest::addColumn<bool>("keep");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<bool>("inPlace");
    QTest::newRow("kept, to a destination") << true << QByteArray() << false;
    QTest::newRow("kept, converted beside") << true << QByteArray("webp") << true;
    QTest::newRow("kept, over its own source") << true << QByteArray() << true;
    QTest::newRow("not kept, as it starts") << false << QByteArray() << false;
}

// The output takes its source's modification time to the nanosecond, read before the output
// could replace the source.
void TestOptions::keepDate()
{
    QFETCH(bool, keep);
    QFETCH(QByteArray, format);
    QFETCH(bool, inPlace);
    const QString in = dir.filePath(QString("dated-%1.jpg").arg(QTest::currentDataTag()));
    QVERIFY(TestImages::write(in, QSize(200, 150)));
    const FileTime::Stamp old{1000000000, 123456789, true};
    QVERIFY(FileTime::setModified(in, old));
    BatchSettings settings;
    settings.options.carrying.keepDate = keep;
    settings.options.encoding.format = format;
    if (!inPlace)
        settings.destination = dir.filePath("dated");
    QVERIFY(QDir().mkpath(dir.filePath("dated")));
    const PlannedRow row = planBatch({in}, settings).value(0);
    QCOMPARE(TestImages::process(row, 100).status, RowOutcome::Written);
    const FileTime::Stamp written = FileTime::modified(row.outputs[0].path);
    QCOMPARE(written.seconds == old.seconds && written.nanoseconds == old.nanoseconds, keep);
}

void TestOptions::startValuesUnchanged_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("box");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("jpg reduced") << "jpg" << 96 << QByteArray("af2336ea3424903f");
    QTest::newRow("jpg enlarged") << "jpg" << 240 << QByteArray("53e2edb3c9437a07");
    QTest::newRow("png reduced") << "png" << 96 << QByteArray("df214fa780510394");
    QTest::newRow("png enlarged") << "png" << 240 << QByteArray("158021354c5645cf");
    // WebP, HEIC and AVIF since read as dwebp and heif-convert read them: the bytes written from
    // those tools' pixels.
    QTest::newRow("webp reduced") << "webp" << 96 << QByteArray("eb81258aa724ab57");
    QTest::newRow("webp enlarged") << "webp" << 240 << QByteArray("0c581e6324c8cac5");
    QTest::newRow("heic reduced") << "heic" << 96 << QByteArray("ac21410f71410bf1");
    QTest::newRow("heic enlarged") << "heic" << 240 << QByteArray("24a37d4309ed3bae");
    QTest::newRow("avif reduced") << "avif" << 96 << QByteArray("8c7ba0f937a0f1d4");
    QTest::newRow("avif enlarged") << "avif" << 240 << QByteArray("18602a9f4d176ec0");
}

// With every option at its start value, the bytes written are those of the program before
// the options existed (under Qt 5 and 6 alike, at the tests' 96 dpi); a JPEG's pixels are, its
// Huffman tables now made for the picture.
void TestOptions::startValuesUnchanged()
{
    QFETCH(QString, format);
    QFETCH(int, box);
    QFETCH(QByteArray, expected);
    const QString in = dir.filePath("golden." + format);
    if (!QFile::exists(in)) {
        QVERIFY(TestImages::write(in, QSize(160, 120)));
        if (format == "jpg")
            QVERIFY(TestImages::exiftool(in, {"-Artist=Parvimage", "-Orientation#=6"}));
    }
    const QString out = dir.filePath(QString("golden%1.").arg(box) + format);
    QCOMPARE(TestImages::runRow(in, out, box).status, RowOutcome::Written);
    QCOMPARE(TestImages::digest(out).toHex().left(16), expected);
}

void TestOptions::jpegScans_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<int>("marker");
    QTest::addColumn<int>("note"); // -1: encoded
    QTest::newRow("start values") << "start" << 0xc0 << -1;
    QTest::newRow("quality") << "quality" << 0xc2 << -1;
    QTest::newRow("format") << "format" << 0xc2 << -1;
    QTest::newRow("size limit, searched") << "limit" << 0xc2 << -1;
    QTest::newRow("quality, sequential asked") << "quality baseline" << 0xc0 << -1;
    QTest::newRow("size limit, sequential asked") << "limit baseline" << 0xc0 << -1;
    QTest::newRow("copied, quality chosen")
        << "quality copy" << 0xc0 << int(RowOutcome::Note::CopiedAsIs);
    QTest::newRow("turned, quality chosen")
        << "quality copy turn" << 0xc0 << int(RowOutcome::Note::TurnedLossless);
}

// A JPEG is progressive wherever a choice beyond the start values was made, unless sequential
// files were asked for, the size limit's search included; a photo written out as it is, or
// turned without coding it again, keeps its own scans.
void TestOptions::jpegScans()
{
    QFETCH(QString, choice);
    QFETCH(int, marker);
    QFETCH(int, note);
    const QString tag = QString(QTest::currentDataTag()).remove(',').replace(' ', '-');
    const QString in = dir.filePath("scans-" + tag + ".jpg");
    QVERIFY(TestImages::write(in, QSize(320, 240)));
    if (choice.contains("turn"))
        QVERIFY(TestImages::setOrientation(in, 6));
    const QString out = dir.filePath("scans-" + tag + "-out.jpg");
    PlannedRow row = plannedRow(in, out);
    Formats::Encoding &encoding = row.options.encoding;
    if (choice.contains("quality"))
        encoding.quality = Quality::High;
    encoding.formatChosen = choice.contains("format");
    encoding.baseline = choice.contains("baseline");
    if (choice.contains("limit"))
        encoding.maxBytes = 6000;
    row.options.geometry.enlarge = !choice.contains("copy");
    const RowOutcome outcome = TestImages::process(row, choice.contains("copy") ? 400 : 200);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QCOMPARE(outcome.notes.contains(RowOutcome::Note(note)), note >= 0);
    if (choice.contains("limit"))
        QVERIFY(outcome.encodes > 1 && QFileInfo(out).size() <= encoding.maxBytes);
    QCOMPARE(TestImages::jpegFrameMarker(TestImages::readAll(out)), marker);
}

void TestOptions::gifAnimation_data()
{
    QTest::addColumn<QString>("to");
    QTest::addColumn<int>("frames"); // 0: refused
    QTest::newRow("into WebP, every frame") << "webp" << 3;
    QTest::newRow("into GIF, every frame") << "gif" << 3;
    QTest::newRow("into JPEG, refused") << "jpg" << 0;
    QTest::newRow("into HEIC, refused") << "heic" << 0;
}

// A GIF animation converted to WebP keeps its frames and their timing; a format of one image
// refuses it rather than keep its first frame.
void TestOptions::gifAnimation()
{
    QFETCH(QString, to);
    QFETCH(int, frames);
    const QString in = dir.filePath("animation.gif");
    QVERIFY(QFile::exists(in) ||
            QProcess::execute("convert", {"-delay", "20", "-size", "120x90", "xc:red", "xc:blue",
                                          "xc:lime", "-loop", "0", in}) == 0);
    const QString out = dir.filePath("animation." + to);
    const RowOutcome outcome = TestImages::process(plannedRow(in, out), 60);
    QCOMPARE(outcome.status, frames ? RowOutcome::Written : RowOutcome::MultipleImages);
    QCOMPARE(QFile::exists(out), frames > 0);
    if (frames) {
        QImageReader reader(out);
        QCOMPARE(reader.imageCount(), frames);
        QCOMPARE(reader.read().size(), QSize(60, 45));
        QCOMPARE(reader.nextImageDelay(), 200);
    }
}

void TestOptions::gifKept_data()
{
    QTest::addColumn<QStringList>("convert"); // ImageMagick's arguments before the file
    QTest::addColumn<QList<int>>("delays");
    QTest::addColumn<bool>("transparent");
    QTest::addColumn<Frame>("frame");
    QTest::newRow("still") << QStringList{"-size", "200x100", "gradient:red-blue"} << QList<int>{0}
                           << false << Frame::Whole;
    QTest::newRow("still with a transparent corner") << QStringList{"-size",
                                                                    "200x100",
                                                                    "xc:none",
                                                                    "-fill",
                                                                    "red",
                                                                    "-draw",
                                                                    "rectangle 60,20 199,99"}
                                                     << QList<int>{0} << true << Frame::Whole;
    QTest::newRow("animated, three plays")
        << QStringList{"-size",  "200x100", "-delay", "20",
                       "xc:red", "-delay",  "50",     "gradient:lime-blue",
                       "-loop",  "3"}
        << QList<int>{200, 500} << false << Frame::Whole;
    // Each frame cut as a still is: the left half red, the right half blue, not squeezed.
    QTest::newRow("animated, framed square")
        << QStringList{"-size",  "400x100",    "-delay",
                       "20",     "canvas:red", "-fill",
                       "blue",   "-draw",      "rectangle 200,0 399,99",
                       "-delay", "20",         "canvas:red",
                       "-loop",  "0"}
        << QList<int>{200, 200} << false << Frame::Square;
}

// A GIF comes back as a GIF: its frames at the output's size, their delays, its loops and its
// transparent pixels.
void TestOptions::gifKept()
{
    QFETCH(QStringList, convert);
    QFETCH(QList<int>, delays);
    QFETCH(bool, transparent);
    QFETCH(Frame, frame);
    const QString in = dir.filePath(QString("kept-%1.gif").arg(QTest::currentDataTag()));
    const QString out = dir.filePath(QString("kept-out-%1.gif").arg(QTest::currentDataTag()));
    QCOMPARE(QProcess::execute("convert", convert + QStringList{in}), 0);
    PlannedRow row = plannedRow(in, out);
    row.options.geometry.frame = frame;
    QCOMPARE(TestImages::process(row, 100).status, RowOutcome::Written);
    QImageReader source(in), reader(out);
    QCOMPARE(reader.imageCount(), delays.size());
    for (const int delay : delays) {
        const QImage picture = reader.read();
        if (frame == Frame::Square) {
            QCOMPARE(picture.size(), QSize(100, 100));
            QCOMPARE(QColor(picture.pixel(5, 50)).red() > 200, true);
            continue;
        }
        QCOMPARE(picture.size(), QSize(100, 50));
        if (delays.size() > 1)
            QCOMPARE(reader.nextImageDelay(), delay);
        QCOMPARE(qAlpha(picture.pixel(2, 2)) == 0, transparent);
        QCOMPARE(qAlpha(picture.pixel(80, 40)), 255);
    }
    QCOMPARE(reader.loopCount(), source.loopCount());
}

PARVIMAGE_TEST_MAIN(TestOptions)
#include "tst_options.moc"
