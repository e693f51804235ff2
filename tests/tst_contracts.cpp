#include "batch/outcometext.h"
#include "codecfiles.h"
#include "formats/registry.h"
#include "resample/geometry.h"
#include "resample/wholeimage.h"
#include "row/imageresizer.h"
#include "system/sourcefile.h"
#include "testimages.h"
#include "testmain.h"

#include <QColorSpace>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace CodecFiles;
using namespace TestImages;

// What every format promises, one row a format: upright by its orientation, its metadata
// carried, every frame of an animation kept or the row refused, and a damaged file refused with
// nothing written.
class TestContracts : public QObject
{
    Q_OBJECT

private slots:
    void orientationApplied_data();
    void orientationApplied();
    void metadataCarried_data();
    void metadataCarried();
    void animationKept_data();
    void animationKept();
    void damagedRefused_data();
    void damagedRefused();

private:
    QTemporaryDir dir;
};

namespace {

constexpr int Box = 256;

bool isJxl(const QString &path)
{
    return path.endsWith(".jxl");
}

} // namespace

void TestContracts::orientationApplied_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QString>("output");
    for (int orientation = 1; orientation <= 8; ++orientation) {
        for (const char *source : {"webp", "png", "tif"})
            QTest::addRow("%s %d to png", source, orientation)
                << QString(source) << orientation << "png";
        for (const char *output : {"png", "jxl"})
            QTest::addRow("jxl %d to %s", orientation, output)
                << "jxl" << orientation << QString(output);
    }
}

// The EXIF orientation of a WebP, of a PNG's eXIf or a TIFF's own tag, or a JPEG XL
// codestream's, turns the image; the output says 1 in its EXIF and to its decoder.
void TestContracts::orientationApplied()
{
    QFETCH(QString, source);
    QFETCH(int, orientation);
    QFETCH(QString, output);
    const QString in = dir.filePath(QString("turned-%1.%2").arg(orientation).arg(source));
    const QImage stored = pattern(QSize(90, 60));
    if (!QFile::exists(in) && source == "jxl") {
        JxlFile file;
        file.orientation = orientation;
        QVERIFY(writeJxl(in, stored, file));
    } else if (!QFile::exists(in)) {
        QVERIFY(source == "webp" ? writeLosslessWebP(in, stored) : stored.save(in));
        QVERIFY(setOrientation(in, orientation));
    }
    const QString out = dir.filePath("turned-out." + output);
    const RowOutcome outcome = runRow(in, out, Box);
    QVERIFY2(outcome.status == RowOutcome::Written, qPrintable(OutcomeText::reason(outcome)));
    const QImage shown = upright(stored, orientation);
    const QImage expected = sampleNearest(shown, fitInSquare(shown.size(), Box));
    QCOMPARE(difference(decodedWith(out, expected.size()), expected).max, 0);
    if (!isJxl(out)) // the toolkit reads no JPEG XL
        QCOMPARE(difference(QImage(out), expected).max, 0);
    const SourceFile written(out);
    QCOMPARE(int(Formats::open(written)->header().transform), 0);
    QCOMPARE(exifOrientation(out), 1);
}

void TestContracts::metadataCarried_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("profile"); // the source's Display P3 profile, to come out byte for byte
    QTest::newRow("webp to webp") << "a.webp"
                                  << "a-out.webp" << true;
    QTest::newRow("png to png") << "b.png"
                                << "b-out.png" << true;
    QTest::newRow("webp to jpeg") << "c.webp"
                                  << "c-out.jpg" << true;
    QTest::newRow("png to webp") << "d.png"
                                 << "d-out.WEBP" << true;
    QTest::newRow("jpeg to webp") << "e.jpg"
                                  << "e-out.webp" << true;
    QTest::newRow("jpeg to png") << "f.jpeg"
                                 << "f-out.png" << true;
    QTest::newRow("webp to heic") << "g.webp"
                                  << "g-out.heic" << true;
    QTest::newRow("png to jpeg") << "h.png"
                                 << "h-out.jpeg" << true;
    QTest::newRow("jpeg to jxl") << "i.jpg"
                                 << "i-out.jxl" << false;
    QTest::newRow("png to jxl") << "j.png"
                                << "j-out.jxl" << false;
    QTest::newRow("jxl to jpeg") << "k.jxl"
                                 << "k-out.jpg" << false;
    QTest::newRow("jxl to jxl") << "l.jxl"
                                << "l-out.jxl" << false;
    QTest::newRow("jxl with brob boxes to jpeg") << "m-brob.jxl"
                                                 << "m-out.jpg" << false;
    QTest::newRow("jxl with brob boxes to jxl") << "n-brob.jxl"
                                                << "n-out.jxl" << false;
    QTest::newRow("jxl to webp") << "o.jxl"
                                 << "o-out.webp" << false;
    QTest::newRow("heic to heic") << "p.heic"
                                  << "p-out.heic" << true;
    QTest::newRow("avif to avif") << "q.avif"
                                  << "q-out.avif" << true;
    QTest::newRow("heic to jpeg") << "r.heic"
                                  << "r-out.jpg" << true;
    QTest::newRow("avif to heif") << "s.avif"
                                  << "s-out.heif" << true;
}

// EXIF, XMP and ICC profile kept, for exiftool: upright once, every orientation saying 1, the
// output's size, the same tags and the same profile bytes; a JPEG XL's boxes uncompressed,
// compressed ones read too.
void TestContracts::metadataCarried()
{
    QFETCH(QString, source);
    QFETCH(QString, output);
    QFETCH(bool, profile);
    const QSize stored(200, 120);
    const QString in = dir.filePath(source), out = dir.filePath(output);
    if (isHeif(in)) { // turned by irot, EXIF and XMP alike
        QVERIFY(writePhonePhoto(in, in.endsWith(".avif"), pattern(stored)));
    } else if (isJxl(in)) {
        JxlFile file;
        file.lossless = false;
        file.orientation = 6;
        file.exif = exifBlock(6, stored);
        file.xmp = LabelXmp;
        file.compressBoxes = source.contains("brob");
        QVERIFY(writeJxl(in, pattern(stored), file));
    } else {
        const QString icc = dir.filePath("p3.icc");
        QVERIFY(writeAll(icc, QColorSpace(QColorSpace::DisplayP3).iccProfile()));
        QVERIFY(write(in, stored, 95));
        QStringList tags{"-Orientation#=6", "-Make=Parvimage test", "-ExifImageWidth=200",
                         "-ExifImageHeight=120", "-XMP:Label=Vacances"};
        if (profile)
            tags << "-ICC_Profile<=" + icc;
        QVERIFY(exiftool(in, tags));
    }
    const RowOutcome outcome = runRow(in, out, Box);
    QVERIFY2(outcome.status == RowOutcome::Written && outcome.leftOut.isEmpty(),
             qPrintable(OutcomeText::reason(outcome) + OutcomeText::leftOut(outcome)));
    const QSize upright = fitInSquare(stored.transposed(), Box);
    QCOMPARE(uprightSize(out), upright);
    QStringList tags{"EXIF:Orientation", "EXIF:Make", "EXIF:ExifImageWidth", "EXIF:ExifImageHeight",
                     "XMP:Label"};
    QString expected =
        QString("1\nParvimage test\n%1\n%2\nVacances").arg(upright.width()).arg(upright.height());
    if (isHeif(in)) { // the phone's XMP says 6 too
        tags.insert(4, "XMP:Orientation");
        expected.replace("\nVacances", "\n1\nVacances");
    }
    QCOMPARE(exifValues(out, tags), expected);
    if (profile)
        QCOMPARE(profileBytes(out), profileBytes(in));
    QVERIFY(!exifValues(out, {"File:Comment"}).contains("xmpmeta")); // not twice
    QVERIFY(!exifValues(out, {"QuickTime:Rotation"}).contains('9'));
    if (isJxl(out)) {
        const QStringList boxes = jxlBoxTypes(readAll(out));
        QVERIFY2(boxes.contains("Exif") && boxes.contains("xml ") && !boxes.contains("brob"),
                 qPrintable(boxes.join(',')));
    }
}

void TestContracts::animationKept_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::newRow("lossy webp to webp") << "lossy.webp"
                                        << "anim-out.webp";
    QTest::newRow("lossless webp to webp") << "lossless.webp"
                                           << "anim-out.webp";
    QTest::newRow("lossless webp to jxl") << "lossless.webp"
                                          << "anim-out.jxl";
    QTest::newRow("jxl to jxl") << "anim.jxl"
                                << "anim-out.jxl";
    QTest::newRow("jxl to webp") << "anim.jxl"
                                 << "anim-out.webp";
    QTest::newRow("lossy webp to png: refused") << "lossy.webp"
                                                << "anim-out.png";
    QTest::newRow("lossless webp to jpeg: refused") << "lossless.webp"
                                                    << "anim-out.jpg";
    QTest::newRow("png to png: refused") << "anim.png"
                                         << "anim-out.png";
    QTest::newRow("jxl to png: refused") << "anim.jxl"
                                         << "anim-out.png";
}

// Every frame resized, with its duration and the loop count, a JPEG XL lossless as its source
// was; never the first frame alone.
void TestContracts::animationKept()
{
    QFETCH(QString, source);
    QFETCH(QString, output);
    const QString in = dir.filePath(source), out = dir.filePath(output);
    const QList<int> durations{100, 250, 40, 70};
    const QSize canvas(320, 180);
    if (source.endsWith(".png"))
        QVERIFY(writeAnimatedPng(in, canvas, durations.size()));
    else if (isJxl(source))
        QVERIFY(writeJxlAnimation(in, canvas, durations, 3));
    else
        QVERIFY(writeWebPAnimation(in, canvas, durations, 3, source.startsWith("lossless")));
    QFile::remove(out);
    const RowOutcome outcome = runRow(in, out, Box);
    if (!output.endsWith(".webp") && !isJxl(output)) {
        QCOMPARE(outcome.status, RowOutcome::MultipleImages);
        QVERIFY(OutcomeText::reason(outcome).contains("4 images"));
        QVERIFY(!QFile::exists(out));
        return;
    }
    QVERIFY2(outcome.status == RowOutcome::Written, qPrintable(OutcomeText::reason(outcome)));
    const SourceFile written(out);
    const std::unique_ptr<Formats::Decoder> decoder = Formats::open(written);
    QCOMPARE(decoder->imageCount(), durations.size());
    QCOMPARE(decoder->header().stored, fitInSquare(canvas, Box));
    const Frames frames = isJxl(output) ? jxlFrames(out) : webpFrames(out);
    QCOMPARE(frames.count, durations.size());
    QCOMPARE(frames.durations, durations);
    QCOMPARE(frames.loops, 3);
    QCOMPARE(frames.canvas, fitInSquare(canvas, Box));
    if (isJxl(output)) // as every source here was
        QCOMPARE(isLosslessFile(out), true);
}

void TestContracts::damagedRefused_data()
{
    QTest::addColumn<QString>("path"); // a file written here and damaged, or a corpus file
    QTest::addColumn<double>("keep");  // the share of a written file kept, or 1
    QTest::addColumn<QStringList>("outputs");
    QTest::addColumn<QString>("library"); // named in the system's words, where it is given
    QTest::addColumn<bool>("damaged");    // refused as damaged or unreadable, not only refused
    const QStringList webp{"webp"}, jxl{"jxl", "jpg"}, png{"png"};
    QTest::newRow("webp lossy cut at half") << "cut.webp" << 0.5 << webp << "" << true;
    QTest::newRow("webp lossy cut near the end") << "cut.webp" << 0.97 << webp << "" << true;
    QTest::newRow("webp lossless cut at half") << "cut-lossless.webp" << 0.5 << webp << "" << true;
    QTest::newRow("webp animation cut at half") << "cut-anim.webp" << 0.6 << webp << "" << true;
    QTest::newRow("webp header only") << "cut.webp" << 0.01 << webp << "" << true;
    QTest::newRow("jxl lossy cut at half") << "cut.jxl" << 0.5 << jxl << "libjxl" << true;
    QTest::newRow("jxl lossy cut near the end") << "cut.jxl" << 0.97 << jxl << "libjxl" << true;
    QTest::newRow("jxl lossless cut at half")
        << "cut-lossless.jxl" << 0.5 << jxl << "libjxl" << true;
    QTest::newRow("jxl with boxes, cut in the codestream")
        << "cut-boxes.jxl" << 0.6 << jxl << "libjxl" << true;
    QTest::newRow("jxl animation cut at half") << "cut-anim.jxl" << 0.5 << jxl << "libjxl" << true;
    QTest::newRow("jxl header only") << "cut.jxl" << 0.002 << jxl << "libjxl" << true;
    QTest::newRow("jxl codestream header damaged")
        << "header.jxl" << 1.0 << jxl << "libjxl" << true;
    QTest::newRow("heic cut at half") << "cut.heic" << 0.5 << png << "" << true;
    QTest::newRow("heic cut near the end") << "cut.heic" << 0.97 << png << "" << true;
    QTest::newRow("avif cut at half") << "cut.avif" << 0.5 << png << "" << true;
    QTest::newRow("avif cut near the end") << "cut.avif" << 0.97 << png << "" << true;
    QTest::newRow("heic header only") << "cut.heic" << 0.02 << png << "" << true;
    // Some of these say they hold several pages, and are refused for that.
    for (const QString &path : corpusFiles("corrupt", "pillow_*.tif"))
        QTest::newRow(qPrintable(QFileInfo(path).fileName())) << path << 1.0 << webp << "" << false;
    for (const QString &path : corpusFiles("corrupt", "libheif_*"))
        QTest::newRow(qPrintable(QFileInfo(path).fileName())) << path << 1.0 << png << "" << true;
}

// A cut-short or damaged file is refused with a reason, never written with its bottom missing,
// whatever the output; nothing is written. A damaged corpus HEIF that libheif itself decodes
// whole is written.
void TestContracts::damagedRefused()
{
    QFETCH(QString, path);
    QFETCH(double, keep);
    QFETCH(QStringList, outputs);
    QFETCH(QString, library);
    QFETCH(bool, damaged);
    QString source = path;
    if (QFileInfo(path).isRelative()) {
        const QString whole = dir.filePath("whole-" + path);
        const QSize size(640, 480);
        if (path.contains("anim")) {
            QVERIFY(isJxl(path) ? writeJxlAnimation(whole, size, {100, 100, 100}, 0)
                                : writeWebPAnimation(whole, size, {100, 100, 100}, 0, false));
        } else if (isJxl(path)) {
            JxlFile file;
            file.lossless = path.contains("lossless");
            if (path.contains("boxes")) {
                file.exif = exifBlock(1, size);
                file.xmp = LabelXmp;
            }
            QVERIFY(writeJxl(whole, pattern(size), file));
        } else {
            QVERIFY(path.contains("lossless") ? writeLosslessWebP(whole, pattern(size))
                                              : write(whole, size));
        }
        source = dir.filePath("damaged-" + path);
        if (path.startsWith("header")) {
            QByteArray bytes = readAll(whole);
            for (int i = 2; i < 12; ++i)
                bytes[i] = char(0xff);
            QVERIFY(writeAll(source, bytes));
        } else {
            QVERIFY(writeCut(whole, source, keep));
        }
    }
    const bool libheifReads = source == path && !libheifDecode(path, Box).isNull();
    for (const QString &suffix : outputs) {
        const QString output = dir.filePath("damaged-out." + suffix);
        QFile::remove(output);
        const RowOutcome outcome = runRow(source, output, Box);
        if (libheifReads) {
            QCOMPARE(outcome.status, RowOutcome::Written);
            continue;
        }
        QVERIFY2(outcome.isFailure() && !OutcomeText::reason(outcome).isEmpty(),
                 qPrintable(OutcomeText::reason(outcome)));
        if (damaged)
            QVERIFY2(outcome.status == RowOutcome::Damaged ||
                         outcome.status == RowOutcome::Unreadable,
                     qPrintable(OutcomeText::reason(outcome)));
        if (!library.isEmpty())
            QVERIFY2(outcome.systemError.contains(library),
                     qPrintable(OutcomeText::reason(outcome) + " / " + outcome.systemError));
        if (keep >= 0.5 && keep < 1)
            QCOMPARE(OutcomeText::reason(outcome), QString("fichier endommagé ou incomplet"));
        QVERIFY(!QFile::exists(output));
    }
}

PARVIMAGE_TEST_MAIN(TestContracts)
#include "tst_contracts.moc"
