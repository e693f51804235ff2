#include "batch/outcometext.h"
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
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTransform>

#include <jxl/decode_cxx.h>
#include <jxl/encode_cxx.h>

#include <cmath>
#include <vector>

using namespace TestImages;

// JPEG XL: read upright by the codestream's orientation with its boxes' metadata and its colours,
// written back lossy or lossless with EXIF and XMP in boxes every reader reads, every frame of an
// animation kept, and a damaged file refused with nothing written.
class TestJxl : public QObject
{
    Q_OBJECT

private slots:
    void orientationApplied_data();
    void orientationApplied();
    void pixelsKept_data();
    void pixelsKept();
    void metadataCarried_data();
    void metadataCarried();
    void coloursCarried_data();
    void coloursCarried();
    void keptAsItIs_data();
    void keptAsItIs();
    void jpegTranscoded_data();
    void jpegTranscoded();
    void animationKept_data();
    void animationKept();
    void damagedRefused_data();
    void damagedRefused();

private:
    QTemporaryDir dir;
};

namespace {

constexpr int Box = 256;

// How a test file is written: what libjxl is asked for.
struct JxlFile
{
    bool lossless = true;
    float distance = 1;
    int orientation = 1;
    bool alpha = false;
    QByteArray exif; // the TIFF block, put in an Exif box after its 4-byte offset
    QByteArray xmp;
    bool compressBoxes = false; // as brob boxes, which exiftool cannot read
    QByteArray icc;
};

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

// libjxl's own encode of `image` as `file` says, 8 bits a sample.
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

// Frames of the pattern, every other one inverted, with their own durations, lossless.
bool writeAnimatedJxl(const QString &path, const QSize &size, const QList<int> &durations,
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

struct Frames
{
    int count = 0;
    QList<int> durations; // in ticks of a millisecond, as the files here are written
    int loops = -1;
    QSize size;
};

// libjxl's own reading of an animation's frames.
Frames framesOf(const QString &path)
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
            frames.size = QSize(int(info.xsize), int(info.ysize));
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

// The image as EXIF `orientation` says to show it, by the standard's own words.
QImage upright(const QImage &stored, int orientation)
{
    static const int turns[] = {0, 0, 0, 180, 180, 270, 90, 90, 270};
    const bool mirror =
        orientation == 2 || orientation == 4 || orientation == 5 || orientation == 7;
    QImage image = stored.mirrored(mirror, false);
    if (orientation == 4)
        image = stored.mirrored(false, true);
    else if (turns[orientation])
        image = image.transformed(QTransform().rotate(turns[orientation]));
    return image;
}

// Every box of a container file, by type: what a reader that knows no Brotli finds.
QStringList boxTypes(const QByteArray &file)
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

const QByteArray Xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
                       "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
                       "<rdf:Description xmlns:xmp='http://ns.adobe.com/xap/1.0/' "
                       "xmp:Label='Vacances'/></rdf:RDF></x:xmpmeta>";

} // namespace

void TestJxl::orientationApplied_data()
{
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QString>("output");
    for (int orientation = 1; orientation <= 8; ++orientation) {
        QTest::addRow("%d to png", orientation) << orientation << "turned-out.png";
        QTest::addRow("%d to jxl", orientation) << orientation << "turned-out.jxl";
    }
}

// The codestream's orientation turns the image; a JPEG XL written says 1, losslessly here.
void TestJxl::orientationApplied()
{
    QFETCH(int, orientation);
    QFETCH(QString, output);
    const QString source = dir.filePath(QString("turned-%1.jxl").arg(orientation));
    const QImage stored = pattern(QSize(90, 60));
    JxlFile file;
    file.orientation = orientation;
    QVERIFY(QFile::exists(source) || writeJxl(source, stored, file));
    const QString out = dir.filePath(output);
    const RowOutcome outcome = runRow(source, out, Box);
    QVERIFY2(outcome.status == RowOutcome::Written, qPrintable(OutcomeText::reason(outcome)));
    const QImage shown = upright(stored, orientation);
    const QImage expected = sampleNearest(shown, fitInSquare(shown.size(), Box));
    QCOMPARE(difference(decodedWith(out, expected.size()), expected).max, 0);
    const SourceFile written(out);
    QCOMPARE(int(Formats::open(written)->header().transform), 0);
}

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

void TestJxl::metadataCarried_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::newRow("jpeg to jxl") << "a.jpg"
                                 << "a-out.jxl";
    QTest::newRow("png to jxl") << "b.png"
                                << "b-out.jxl";
    QTest::newRow("jxl to jpeg") << "c.jxl"
                                 << "c-out.jpg";
    QTest::newRow("jxl to jxl") << "d.jxl"
                                << "d-out.jxl";
    QTest::newRow("jxl with brob boxes to jpeg") << "e-brob.jxl"
                                                 << "e-out.jpg";
    QTest::newRow("jxl with brob boxes to jxl") << "f-brob.jxl"
                                                << "f-out.jxl";
    QTest::newRow("jxl to webp") << "g.jxl"
                                 << "g-out.webp";
}

// EXIF and XMP kept for exiftool, in uncompressed boxes: orientation 1, the output's size, the
// same tags; compressed boxes are read too.
void TestJxl::metadataCarried()
{
    QFETCH(QString, source);
    QFETCH(QString, output);
    const QSize stored(200, 120);
    const QString in = dir.filePath(source), out = dir.filePath(output);
    if (source.endsWith(".jxl")) {
        JxlFile file;
        file.lossless = false;
        file.orientation = 6;
        file.exif = exifBlock(6, stored);
        file.xmp = Xmp;
        file.compressBoxes = source.contains("brob");
        QVERIFY(writeJxl(in, pattern(stored), file));
    } else {
        QVERIFY(write(in, stored, 95));
        QVERIFY(exiftool(in, {"-Orientation#=6", "-Make=Parvimage test", "-ExifImageWidth=200",
                              "-ExifImageHeight=120", "-XMP:Label=Vacances"}));
    }
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
    if (output.endsWith(".jxl")) {
        const QStringList boxes = boxTypes(readAll(out));
        QVERIFY2(boxes.contains("Exif") && boxes.contains("xml ") && !boxes.contains("brob"),
                 qPrintable(boxes.join(',')));
    }
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
        file.xmp = Xmp;
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
    QVERIFY(!boxTypes(readAll(out)).contains("brob"));
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

void TestJxl::animationKept_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::newRow("jxl to jxl") << "anim.jxl"
                                << "anim-out.jxl";
    QTest::newRow("jxl to webp") << "anim.jxl"
                                 << "anim-out.webp";
    QTest::newRow("webp to jxl") << "anim.webp"
                                 << "anim-out.jxl";
    QTest::newRow("jxl to png: refused") << "anim.jxl"
                                         << "anim-out.png";
}

// Every frame resized, with its duration and the loop count; never the first frame alone.
void TestJxl::animationKept()
{
    QFETCH(QString, source);
    QFETCH(QString, output);
    const QString in = dir.filePath(source), out = dir.filePath(output);
    const QList<int> durations{100, 250, 40, 70};
    const QSize canvas(320, 180);
    if (source.endsWith(".jxl")) {
        QVERIFY(writeAnimatedJxl(in, canvas, durations, 3));
    } else {
        QStringList args{"-lossless", "-loop", "3"};
        for (int i = 0; i < durations.size(); ++i) {
            const QString frame = dir.filePath(QString("f%1.png").arg(i));
            QImage image = pattern(canvas);
            if (i % 2)
                image.invertPixels();
            QVERIFY(image.save(frame));
            args << "-d" << QString::number(durations.at(i)) << frame;
        }
        QCOMPARE(QProcess::execute("img2webp", args << "-o" << in), 0);
    }
    QFile::remove(out);
    const RowOutcome outcome = runRow(in, out, Box);
    if (output.endsWith(".png")) {
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
    if (output.endsWith(".jxl")) {
        const Frames frames = framesOf(out);
        QCOMPARE(frames.durations, durations);
        QCOMPARE(frames.loops, 3);
        QCOMPARE(isLosslessFile(out), true); // as the source was
    }
}

void TestJxl::damagedRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<double>("keep"); // the share of the file kept
    QTest::newRow("lossy cut at half") << "lossy" << 0.5;
    QTest::newRow("lossy cut near the end") << "lossy" << 0.97;
    QTest::newRow("lossless cut at half") << "lossless" << 0.5;
    QTest::newRow("with boxes, cut in the codestream") << "boxes" << 0.6;
    QTest::newRow("animation cut at half") << "anim" << 0.5;
    QTest::newRow("header only") << "lossy" << 0.002;
    QTest::newRow("codestream header damaged") << "header" << 1.0;
}

// A cut-short or damaged JPEG XL is refused with libjxl's words, never written with its bottom
// missing, and nothing is written.
void TestJxl::damagedRefused()
{
    QFETCH(QString, kind);
    QFETCH(double, keep);
    const QString whole = dir.filePath("whole-" + kind + ".jxl");
    const QSize size(640, 480);
    JxlFile file;
    file.lossless = kind == "lossless";
    if (kind == "boxes") {
        file.exif = exifBlock(1, size);
        file.xmp = Xmp;
    }
    QVERIFY(kind == "anim" ? writeAnimatedJxl(whole, size, {100, 100, 100}, 0)
                           : writeJxl(whole, pattern(size), file));
    const QString source = dir.filePath("damaged-" + kind + ".jxl");
    if (kind == "header") {
        QByteArray bytes = readAll(whole);
        for (int i = 2; i < 12; ++i)
            bytes[i] = char(0xff);
        QVERIFY(writeAll(source, bytes));
    } else {
        QVERIFY(writeCut(whole, source, keep));
    }
    for (const char *suffix : {"jxl", "jpg"}) {
        const QString output = dir.filePath(QString("damaged-out.") + suffix);
        QFile::remove(output);
        const RowOutcome outcome = runRow(source, output, Box);
        QVERIFY2(outcome.isFailure() && !OutcomeText::reason(outcome).isEmpty(),
                 qPrintable(OutcomeText::reason(outcome)));
        QVERIFY2(outcome.systemError.contains("libjxl"),
                 qPrintable(OutcomeText::reason(outcome) + " / " + outcome.systemError));
        if (keep >= 0.5 && keep < 1)
            QCOMPARE(OutcomeText::reason(outcome), QString("fichier endommagé ou incomplet"));
        QVERIFY(!QFile::exists(output));
    }
}

PARVIMAGE_TEST_MAIN(TestJxl)
#include "tst_jxl.moc"
