#include "batch/outcometext.h"
#include "codecfiles.h"
#include "formats/registry.h"
#include "resample/geometry.h"
#include "row/imageresizer.h"
#include "system/sourcefile.h"
#include "testimages.h"
#include "testmain.h"

#include <QColorSpace>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace CodecFiles;
using namespace TestImages;

// JPEG XL: read with its colours, written back lossy or lossless as the source was, kept as it is
// where it needs nothing, and a JPEG carried over as its own coefficients.
class TestJxl : public QObject
{
    Q_OBJECT

private slots:
    void pixelsKept_data();
    void pixelsKept();
    void coloursCarried_data();
    void coloursCarried();
    void keptAsItIs_data();
    void keptAsItIs();
    void jpegTranscoded_data();
    void jpegTranscoded();

private:
    QTemporaryDir dir;
};

namespace {

constexpr int Box = 256;

// Smooth light and colour, as a photo has, where the pattern's sharp edges would test the
// encoder's worst case rather than the program.
QImage photo(const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y,
                           qRgb(x * 255 / size.width(), y * 255 / size.height(),
                                int(128 + 100 * std::sin(x / 9.0) * std::cos(y / 7.0))));
    return image;
}

} // namespace

void TestJxl::pixelsKept_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("lossless"); // the output, as the source was
    QTest::addColumn<double>("mean");   // the mean difference allowed, in levels
    QTest::newRow("lossless jxl to jxl") << "l.jxl"
                                         << "l-out.jxl" << true << 0.0;
    QTest::newRow("lossless jxl with alpha to jxl") << "la.jxl"
                                                    << "la-out.jxl" << true << 0.0;
    QTest::newRow("lossless webp to jxl") << "w.webp"
                                          << "w-out.jxl" << true << 0.0;
    QTest::newRow("lossy jxl to jxl") << "y.jxl"
                                      << "y-out.jxl" << false << 3.0;
    QTest::newRow("png to jxl") << "p.png"
                                << "p-out.jxl" << false << 3.0;
    QTest::newRow("16-bit png to jxl") << "d.png"
                                       << "d-out.jxl" << false << 3.0;
    QTest::newRow("lossy jxl to png") << "z.jxl"
                                      << "z-out.png" << true << 0.0;
}

// A lossless source comes out lossless and exact, a lossy one within a few levels of its
// source as decoded; what is decoded is what libjxl's own decode gives.
void TestJxl::pixelsKept()
{
    QFETCH(QString, source);
    QFETCH(QString, output);
    QFETCH(bool, lossless);
    QFETCH(double, mean);
    const QString in = dir.filePath(source), out = dir.filePath(output);
    // Lossless rows test every pixel's sharp edge, lossy ones a photo's smooth light.
    const QImage picture = lossless ? pattern(QSize(300, 200)) : photo(QSize(300, 200));
    JxlFile file;
    if (source.startsWith("la")) {
        QImage transparent = picture.convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < transparent.height(); y += 3)
            for (int x = 0; x < transparent.width(); ++x)
                transparent.setPixel(x, y, qRgba(x % 256, y, 40, (x * 3) % 256));
        file.alpha = true;
        QVERIFY(writeJxl(in, transparent, file));
    } else if (source.endsWith(".jxl")) {
        file.lossless = source.startsWith("l");
        QVERIFY(writeJxl(in, picture, file));
    } else if (source.endsWith(".webp")) {
        QVERIFY(picture.save(dir.filePath("w.png")));
        QCOMPARE(
            QProcess::execute("cwebp", {"-quiet", "-lossless", dir.filePath("w.png"), "-o", in}),
            0);
    } else if (source.startsWith("d")) {
        QVERIFY(picture.convertToFormat(QImage::Format_RGBX64).save(in));
    } else {
        QVERIFY(picture.save(in));
    }
    QCOMPARE(isLosslessFile(in), source.startsWith("l") || source.endsWith(".webp"));
    const RowOutcome outcome = runRow(in, out, Box);
    QVERIFY2(outcome.status == RowOutcome::Written, qPrintable(OutcomeText::reason(outcome)));
    const QImage before = decodedWith(in, fitInSquare(picture.size(), Box));
    const QImage after = decodedWith(out, before.size());
    QCOMPARE(after.size(), before.size());
    QCOMPARE(after.hasAlphaChannel(), before.hasAlphaChannel());
    const Difference d = difference(after, before);
    QVERIFY2(d.mean <= mean, qPrintable(QString("mean difference %1").arg(d.mean)));
    if (lossless)
        QCOMPARE(d.max, 0);
    if (output.endsWith(".jxl"))
        QCOMPARE(isLosslessFile(out), lossless);
    if (source.startsWith("d"))
        QCOMPARE(after.depth(), 64); // kept above 8 bits
}

void TestJxl::coloursCarried_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QColorSpace>("expected");
    const QColorSpace p3(QColorSpace::DisplayP3), adobe(QColorSpace::AdobeRgb);
    QTest::newRow("P3 png to jxl") << "p3.png"
                                   << "p3-out.jxl" << p3;
    QTest::newRow("Adobe RGB png to jxl") << "adobe.png"
                                          << "adobe-out.jxl" << adobe;
    QTest::newRow("P3 lossless webp to jxl") << "p3.webp"
                                             << "p3w-out.jxl" << p3;
    QTest::newRow("P3 jxl to png") << "p3.jxl"
                                   << "p3j-out.png" << p3;
    QTest::newRow("sRGB jxl to jpeg") << "srgb.jxl"
                                      << "srgb-out.jpg" << QColorSpace(QColorSpace::SRgb);
}

// A profile, or the encoding that says the same, comes out as the colour space it was in.
void TestJxl::coloursCarried()
{
    QFETCH(QString, source);
    QFETCH(QString, output);
    QFETCH(QColorSpace, expected);
    const QString in = dir.filePath(source), out = dir.filePath(output);
    QImage picture = pattern(QSize(120, 80));
    if (source.endsWith(".jxl")) {
        JxlFile file;
        file.lossless = false;
        if (source.startsWith("p3"))
            file.icc = expected.iccProfile();
        QVERIFY(writeJxl(in, picture, file));
    } else {
        picture.setColorSpace(expected);
        QVERIFY(source.endsWith(".webp")
                    ? RowLoad::save(picture, in, "webp").status == RowOutcome::Written
                    : picture.save(in));
    }
    const RowOutcome outcome = runRow(in, out, Box);
    QVERIFY2(outcome.status == RowOutcome::Written && outcome.leftOut.isEmpty(),
             qPrintable(OutcomeText::reason(outcome) + OutcomeText::leftOut(outcome)));
    QCOMPARE(decodedWith(out, QSize(Box, Box)).colorSpace(), expected);
    if (!output.endsWith(".jxl")) // exiftool reads no profile inside a codestream
        QCOMPARE(QColorSpace::fromIccProfile(profileBytes(out)), expected);
}

void TestJxl::keptAsItIs_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("copied");
    QTest::newRow("bare codestream: copied") << "bare" << true;
    QTest::newRow("container with boxes: copied") << "boxes" << true;
    QTest::newRow("bytes after the last box: coded again") << "trailing" << false;
    QTest::newRow("turned: coded again, upright") << "turned" << false;
}

// With "Ne pas agrandir", a JPEG XL that fits and needs nothing is copied byte for byte; one
// that would not come out whole or upright is coded again.
void TestJxl::keptAsItIs()
{
    QFETCH(QString, kind);
    QFETCH(bool, copied);
    const QString in = dir.filePath("kept-" + kind + ".jxl");
    const QString out = dir.filePath("kept-" + kind + "-out.jxl");
    const QSize size(120, 90);
    JxlFile file;
    file.lossless = false;
    if (kind == "boxes" || kind == "trailing") {
        file.exif = exifBlock(1, size);
        file.xmp = LabelXmp;
    }
    file.orientation = kind == "turned" ? 6 : 1;
    QVERIFY(writeJxl(in, photo(size), file));
    if (kind == "trailing")
        QVERIFY(writeAll(in, readAll(in) + QByteArray(100, 'x')));
    PlannedRow row = TestImages::planned(in, out);
    row.options.geometry.enlarge = false;
    const RowOutcome outcome = TestImages::process(row, Box);
    QVERIFY2(outcome.status == RowOutcome::Written, qPrintable(OutcomeText::reason(outcome)));
    QCOMPARE(outcome.notes.contains(RowOutcome::Note::CopiedAsIs), copied);
    QCOMPARE(readAll(out) == readAll(in), copied);
    QCOMPARE(uprightSize(out), kind == "turned" ? size.transposed() : size);
    const SourceFile written(out);
    QCOMPARE(int(Formats::open(written)->header().transform), 0);
}

void TestJxl::jpegTranscoded_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("transcoded");
    QTest::newRow("kept at its size: its coefficients") << "plain" << true;
    QTest::newRow("grey: its coefficients") << "grey" << true;
    QTest::newRow("turned: coded from its pixels, upright") << "turned" << false;
    QTest::newRow("larger than the box: reduced") << "large" << false;
    QTest::newRow("cmyk: coded from its pixels") << "cmyk" << false;
    QTest::newRow("cut short: refused") << "cut" << false;
}

// With "Ne pas agrandir", a JPEG that fits goes into JPEG XL as its own coefficients: not a
// pixel lost, its EXIF and XMP corrected in uncompressed boxes, and the JPEG itself rebuilt by
// djxl; others are coded from their pixels, and a damaged one is refused.
void TestJxl::jpegTranscoded()
{
    QFETCH(QString, kind);
    QFETCH(bool, transcoded);
    const QSize size = kind == "large" ? QSize(400, 300) : QSize(200, 150);
    const QString in = dir.filePath("photo-" + kind + ".jpg");
    const QString out = dir.filePath("photo-" + kind + ".jxl");
    QImage picture = photo(size);
    if (kind == "grey")
        picture = picture.convertToFormat(QImage::Format_Grayscale8);
    QVERIFY(picture.save(in, nullptr, 90));
    if (kind == "cmyk")
        QCOMPARE(QProcess::execute("convert", {in, "-colorspace", "CMYK", in}), 0);
    QVERIFY(exiftool(in, {"-Make=Parvimage test",
                          QString("-Orientation#=%1").arg(kind == "turned" ? 6 : 1),
                          "-XMP:Label=Vacances"}));
    if (kind == "cut")
        QVERIFY(writeCut(in, in, 0.6));
    PlannedRow row = TestImages::planned(in, out);
    row.options.geometry.enlarge = false;
    QFile::remove(out);
    const RowOutcome outcome = TestImages::process(row, Box);
    if (kind == "cut") {
        QCOMPARE(outcome.status, RowOutcome::Damaged);
        QVERIFY(!QFile::exists(out));
        return;
    }
    QVERIFY2(outcome.status == RowOutcome::Written && outcome.leftOut.isEmpty(),
             qPrintable(OutcomeText::reason(outcome) + OutcomeText::leftOut(outcome)));
    QCOMPARE(outcome.notes.contains(RowOutcome::Note::Transcoded), transcoded);
    QCOMPARE(isLosslessFile(out), false);
    const QSize expected = kind == "turned"  ? size.transposed()
                           : kind == "large" ? QSize(256, 192)
                                             : size;
    QCOMPARE(uprightSize(out), expected);
    QCOMPARE(exifValues(out, {"EXIF:Orientation", "EXIF:Make", "XMP:Label"}),
             QString("1\nParvimage test\nVacances"));
    QVERIFY(!jxlBoxTypes(readAll(out)).contains("brob"));
    if (!transcoded)
        return;
    // libjxl's own decode of the coefficients against libjpeg-turbo's: their inverse DCTs and
    // chroma upsampling differ by a level here and there.
    const Difference d = difference(decodedWith(out, size), decodedWith(in, size));
    QVERIFY2(d.mean < 0.5 && d.max <= 4, qPrintable(QString("%1, %2").arg(d.mean).arg(d.max)));
    const QString rebuilt = dir.filePath("rebuilt-" + kind + ".jpg");
    QCOMPARE(QProcess::execute("djxl", {"--quiet", out, rebuilt}), 0);
    QCOMPARE(difference(QImage(rebuilt), QImage(in)).max, 0);
}

PARVIMAGE_TEST_MAIN(TestJxl)
#include "tst_jxl.moc"
