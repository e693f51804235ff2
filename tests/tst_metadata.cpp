#include "batch/batchreport.h"
#include "batch/outcometext.h"
#include "row/imageresizer.h"
#include "testimages.h"
#include "testmain.h"

#include <QColorSpace>
#include <QDir>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <exiv2/exiv2.hpp>

#include <memory>

// The metadata of a written file, read back with the library that wrote it.
struct ReadBack
{
    explicit ReadBack(const QString &path)
        : image(Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString()).release())
    {
        image->readMetadata();
    }
    QString exif(const char *key) const
    {
        const auto found = image->exifData().findKey(Exiv2::ExifKey(key));
        return found == image->exifData().end() ? QString()
                                                : QString::fromStdString(found->toString());
    }
    bool hasThumbnail() const { return Exiv2::ExifThumbC(image->exifData()).copy().size_ > 0; }
    bool isEmpty() const
    {
        return image->exifData().empty() && image->xmpData().empty() && image->iptcData().empty();
    }
    std::unique_ptr<Exiv2::Image> image;
};

class TestMetadata : public QObject
{
    Q_OBJECT

private slots:
    void copiedAndCorrected_data();
    void copiedAndCorrected();
    void noMetadataGivesNone();
    void damagedExifStillWritesImage_data();
    void damagedExifStillWritesImage();
    void unusualXmpCarried_data();
    void unusualXmpCarried();
    void oddEntriesCorrected_data();
    void oddEntriesCorrected();
    void brokenExifPointerDropped_data();
    void brokenExifPointerDropped();
    void corpusMetadataCarried_data();
    void corpusMetadataCarried();

private:
    QString photoWithMetadata(const QString &name);
    RowOutcome run(const QString &source, const QString &output);

    QTemporaryDir dir;
};

// A maker note as a Nikon camera writes it: its own small TIFF block, offsets and all.
const QByteArray MakerNote("Nikon\0\x02\x10\0\0MM\0\x2a\0\0\0\x08\0\x01\0\x01\0\x07\0\0\0\x04"
                           "0210\0\0\0\0",
                           34);

QString TestMetadata::photoWithMetadata(const QString &name)
{
    const QString path = dir.filePath(name);
    const QString thumbnail = dir.filePath("thumbnail.jpg");
    const QString makerNote = dir.filePath("makernote.bin");
    if (!TestImages::write(path, QSize(400, 300)) ||
        !TestImages::write(thumbnail, QSize(160, 120)) ||
        !TestImages::writeAll(makerNote, MakerNote))
        return QString();
    const bool tagged = TestImages::exiftool(
        path,
        {"-DateTimeOriginal=2023:07:14 10:30:00", "-Make=NIKON", "-Model=Test Camera X1",
         "-Artist=Marie Curie", "-GPSLatitude=48.8584", "-GPSLatitudeRef=N", "-GPSLongitude=2.2945",
         "-GPSLongitudeRef=E", "-Orientation#=6", "-ExifImageWidth=400", "-ExifImageHeight=300",
         "-MakerNoteNikon<=" + makerNote, "-ThumbnailImage<=" + thumbnail,
         "-XMP-dc:Creator=Marie Curie", "-XMP-tiff:Orientation#=6", "-IPTC:Keywords=Paris"});
    return tagged ? path : QString();
}

// A 400 x 300 JPEG at `path` whose EXIF segment holds the TIFF block `tiff`.
bool photoWithExif(const QString &path, const QByteArray &tiff)
{
    if (!TestImages::write(path, QSize(400, 300)))
        return false;
    const QByteArray exif = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray bytes = TestImages::readAll(path);
    bytes.insert(2, QByteArray("\xff\xe1") + char((exif.size() + 2) >> 8) +
                        char((exif.size() + 2) & 0xff) + exif);
    return TestImages::writeAll(path, bytes);
}

RowOutcome TestMetadata::run(const QString &source, const QString &output)
{
    return TestImages::runRow(source, output, 200);
}

void TestMetadata::copiedAndCorrected_data()
{
    QTest::addColumn<bool>("inPlace");
    QTest::newRow("new file") << false;
    QTest::newRow("overwriting the source") << true;
}

void TestMetadata::copiedAndCorrected()
{
    QFETCH(bool, inPlace);
    const QString source = photoWithMetadata("tagged.jpg");
    QVERIFY(!source.isEmpty());
    const QString output = inPlace ? source : dir.filePath("out.jpg");
    const char *kept[] = {"Exif.Photo.DateTimeOriginal", "Exif.Image.Model",
                          "Exif.Image.Artist",           "Exif.GPSInfo.GPSLatitude",
                          "Exif.GPSInfo.GPSLongitude",   "Exif.GPSInfo.GPSLongitudeRef"};
    QStringList before;
    for (const char *key : kept)
        before.append(ReadBack(source).exif(key));
    QCOMPARE(before.at(0), QString("2023:07:14 10:30:00"));
    const RowOutcome outcome = run(source, output);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QVERIFY(outcome.leftOut.isEmpty());

    const QSize size = QImageReader(output).size();
    QCOMPARE(size, QSize(150, 200)); // upright, so the orientation tag must say 1
    const ReadBack back(output);
    QStringList after;
    for (const char *key : kept)
        after.append(back.exif(key));
    QCOMPARE(after, before);
    QCOMPARE(back.exif("Exif.Image.Orientation"), QString("1"));
    QCOMPARE(back.exif("Exif.Photo.PixelXDimension"), QString::number(size.width()));
    QCOMPARE(back.exif("Exif.Photo.PixelYDimension"), QString::number(size.height()));
    QVERIFY(!back.hasThumbnail());
    QCOMPARE(QString::fromStdString(back.image->xmpData()["Xmp.tiff.Orientation"].toString()),
             QString("1"));
    QCOMPARE(
        QString::fromStdString(back.image->iptcData()["Iptc.Application2.Keywords"].toString()),
        QString("Paris"));
    QProcess exiftool;
    exiftool.start("exiftool", {"-b", "-MakerNoteNikon", output});
    QVERIFY(exiftool.waitForFinished());
    QCOMPARE(exiftool.readAllStandardOutput(), MakerNote);
    // Orientation 1 is what makes a viewer show these pixels as they are.
    QImageReader reader(output);
    reader.setAutoTransform(true);
    QCOMPARE(reader.read().size(), size);
}

void TestMetadata::noMetadataGivesNone()
{
    const QString source = dir.filePath("plain.jpg");
    QVERIFY(TestImages::write(source, QSize(400, 300)));
    QCOMPARE(run(source, dir.filePath("plain-out.jpg")).status, RowOutcome::Written);
    QVERIFY(ReadBack(dir.filePath("plain-out.jpg")).isEmpty());
}

void TestMetadata::damagedExifStillWritesImage_data()
{
    QTest::addColumn<QByteArray>("marker"); // the damage starts where this is found...
    QTest::addColumn<int>("offset");        // ...this many bytes after it
    QTest::addColumn<QByteArray>("garbage");
    QTest::addColumn<QString>("carried"); // a key still copied from the readable part, if any
    QTest::addColumn<bool>("reported");   // whether something had to be left out
    const QByteArray exif("Exif\0\0", 6);
    QTest::newRow("unknown byte order") << exif << 6 << QByteArray("XX") << QString() << true;
    QTest::newRow("garbage directory")
        << exif << 14 << QByteArray(52, '\x5b') << QString("Iptc.Application2.Keywords") << true;
    // Carried as it stands, as any other program would read it.
    QTest::newRow("malformed xmp") << QByteArray("</rdf:RDF>") << 0 << QByteArray("</rdf:RDX>")
                                   << QString("Exif.Image.Artist") << false;
}

void TestMetadata::damagedExifStillWritesImage()
{
    QFETCH(QByteArray, marker);
    QFETCH(int, offset);
    QFETCH(QByteArray, garbage);
    QFETCH(QString, carried);
    QFETCH(bool, reported);
    const QString source = photoWithMetadata("damaged.jpg");
    QByteArray bytes = TestImages::readAll(source);
    const int at = bytes.indexOf(marker);
    QVERIFY(at > 0);
    bytes.replace(at + offset, garbage.size(), garbage);
    QVERIFY(TestImages::writeAll(source, bytes));

    const QString output = dir.filePath("damaged-out.jpg");
    const RowOutcome outcome = run(source, output);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QCOMPARE(!outcome.leftOut.isEmpty(), reported);
    const QImage image = QImageReader(output).read(); // upright only where the EXIF could say so
    QCOMPARE(qMax(image.width(), image.height()), 200);
    if (!carried.isEmpty()) {
        const ReadBack back(output);
        const bool found = carried.startsWith("Iptc")
                               ? !back.image->iptcData().empty()
                               : !back.exif(carried.toLatin1().constData()).isEmpty();
        QVERIFY2(found, qPrintable(carried));
    }

    if (!reported)
        return;
    const BatchReport report = BatchReport::make({TestImages::planned(source, output)}, {outcome});
    QCOMPARE(report.kind, BatchReport::Errors);
    QVERIFY2(report.text.contains("damaged.jpg : métadonnées non copiées"),
             qPrintable(report.text));
    QVERIFY(report.text.startsWith("1 image(s) redimensionnée(s) sur 1."));
}

namespace {

const QByteArray XmpSignature("http://ns.adobe.com/xap/1.0/\0", 29);
const QByteArray ExtendedXmpSignature("http://ns.adobe.com/xmp/extension/\0", 35);

QByteArray segment(const QByteArray &payload)
{
    QByteArray bytes("\xff\xe1");
    bytes += char((payload.size() + 2) >> 8);
    bytes += char((payload.size() + 2) & 0xff);
    return bytes + payload;
}

// The payloads of the segments before the image data that start with `signature`.
QList<QByteArray> payloads(const QByteArray &jpeg, const QByteArray &signature)
{
    QList<QByteArray> found;
    for (int at = 2; at + 4 <= jpeg.size() && uchar(jpeg.at(at)) == 0xff;) {
        if (uchar(jpeg.at(at + 1)) == 0xda)
            break;
        const int length = uchar(jpeg.at(at + 2)) << 8 | uchar(jpeg.at(at + 3));
        const QByteArray payload = jpeg.mid(at + 4, length - 2);
        if (payload.startsWith(signature))
            found.append(payload);
        at += 2 + length;
    }
    return found;
}

QString packet(const QString &description)
{
    return "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
           "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
           "rdf:about='' xmlns:dc='http://purl.org/dc/elements/1.1/' "
           "xmlns:tiff='http://ns.adobe.com/tiff/1.0/' "
           "xmlns:xmpNote='http://ns.adobe.com/xmp/note/'" +
           description + "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>";
}

// What exiftool reads of a file's EXIF, maker notes, XMP and IPTC, less what an output must
// change (orientation, dimensions, thumbnail), and the warnings of its validation.
struct ExiftoolView
{
    QSet<QString> tags;
    QSet<QString> warnings;
};

ExiftoolView exiftoolView(const QString &path, const QString &ignoredGroup)
{
    QProcess exiftool;
    exiftool.start("exiftool", {"-a", "-G0:1", "-s", "-n", "-validate", "-warning", path});
    exiftool.waitForFinished(60000);
    static const QRegularExpression line("^\\[([^\\]]+)\\]\\s+(\\S+)\\s+: (.*)$");
    static const QRegularExpression changed(
        "^(Orientation|ExifImageWidth|ExifImageHeight|Thumbnail.*|ImageWidth|ImageHeight)$");
    ExiftoolView view;
    for (const QByteArray &bytes : exiftool.readAllStandardOutput().split('\n')) {
        const QRegularExpressionMatch m = line.match(QString::fromUtf8(bytes));
        if (!m.hasMatch())
            continue;
        const QString group = m.captured(1), tag = m.captured(2);
        if (tag == "Warning")
            view.warnings.insert(m.captured(3));
        static const QRegularExpression carried("^(EXIF|MakerNotes|XMP|IPTC)");
        if (!carried.match(group).hasMatch() || group == "EXIF:IFD1" ||
            changed.match(tag).hasMatch() || (!ignoredGroup.isEmpty() && group == ignoredGroup))
            continue;
        view.tags.insert(group + " " + tag + " = " + m.captured(3));
    }
    return view;
}

} // namespace

void TestMetadata::unusualXmpCarried_data()
{
    QTest::addColumn<QByteArray>("xmp");
    QTest::addColumn<QByteArray>("extension"); // a whole extended XMP segment, or none
    QTest::newRow("duplicated property")
        << packet(" tiff:Orientation='6'><dc:title><rdf:Alt><rdf:li xml:lang='x-default'>Plage"
                  "</rdf:li></rdf:Alt></dc:title><dc:title><rdf:Alt><rdf:li "
                  "xml:lang='x-default'>Plage</rdf:li></rdf:Alt></dc:title>")
               .toUtf8()
        << QByteArray();
    const QByteArray guid("0123456789ABCDEF0123456789ABCDEF");
    const QByteArray extended =
        packet("><dc:description><rdf:Alt><rdf:li xml:lang='x-default'>Une longue description"
               "</rdf:li></rdf:Alt></dc:description>")
            .toUtf8();
    QByteArray header(8, '\0');
    header[3] = char(extended.size()); // full length (under 256 here), then offset 0
    QTest::newRow("extended xmp") << packet(" xmpNote:HasExtendedXMP='" + guid +
                                            "'><tiff:Orientation>6</tiff:Orientation>")
                                         .toUtf8()
                                  << ExtendedXmpSignature + guid + header + extended;
}

// Packets that Exiv2 would refuse or lose are carried as written, orientation corrected.
void TestMetadata::unusualXmpCarried()
{
    QFETCH(QByteArray, xmp);
    QFETCH(QByteArray, extension);
    const QString source = dir.filePath("xmp.jpg");
    QVERIFY(TestImages::write(source, QSize(400, 300)));
    QByteArray bytes = TestImages::readAll(source);
    bytes.insert(2, segment(XmpSignature + xmp) + (extension.isEmpty() ? "" : segment(extension)));
    QVERIFY(TestImages::writeAll(source, bytes));

    const QString output = dir.filePath("xmp-out.jpg");
    const RowOutcome outcome = run(source, output);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QVERIFY(outcome.leftOut.isEmpty());
    const QByteArray written = TestImages::readAll(output);
    QByteArray expected = xmp;
    expected.replace("tiff:Orientation='6'", "tiff:Orientation='1'");
    expected.replace("<tiff:Orientation>6<", "<tiff:Orientation>1<");
    QCOMPARE(payloads(written, XmpSignature), QList<QByteArray>{XmpSignature + expected});
    QCOMPARE(payloads(written, ExtendedXmpSignature),
             extension.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{extension});
}

void TestMetadata::oddEntriesCorrected_data()
{
    QTest::addColumn<int>("pointerType");
    QTest::addColumn<int>("dimensionType");
    QTest::addColumn<int>("dimensionCount");
    QTest::newRow("as the standard says") << 4 << 4 << 1;
    QTest::newRow("exif pointer as a short") << 3 << 4 << 1;
    QTest::newRow("exif pointer of undefined type") << 7 << 4 << 1;
    QTest::newRow("exif pointer of unknown type") << 99 << 4 << 1;
    QTest::newRow("dimensions as one short") << 4 << 3 << 1;
    QTest::newRow("dimensions as two shorts") << 4 << 3 << 2;
}

// An entry written in an unusual form never costs the other tags, and never leaves the
// source's size behind.
void TestMetadata::oddEntriesCorrected()
{
    QFETCH(int, pointerType);
    QFETCH(int, dimensionType);
    QFETCH(int, dimensionCount);
    const QString source = dir.filePath("odd.jpg");
    QVERIFY(photoWithExif(source, TestImages::exifBlock(1, QSize(400, 300), pointerType,
                                                        dimensionType, dimensionCount)));
    const QString output = dir.filePath("odd-out.jpg");
    const RowOutcome outcome = run(source, output);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QVERIFY2(outcome.leftOut.isEmpty(), qPrintable(OutcomeText::leftOut(outcome)));
    // Every tag kept where it was, the dimensions those of the output.
    QVERIFY(TestImages::readAll(output).contains(
        TestImages::exifBlock(1, QSize(200, 150), pointerType, dimensionType, dimensionCount)));
}

void TestMetadata::brokenExifPointerDropped_data()
{
    // The pointer entry's type, count and value bytes, at byte 34 of the block.
    QTest::addColumn<QByteArray>("pointer");
    QTest::newRow("text naming another offset") << QByteArray("\0\x02\0\0\0\x08\0\0\0\x46", 10);
    QTest::newRow("short text") << QByteArray("\0\x02\0\0\0\x04"
                                              "206\0",
                                              10);
    QTest::newRow("past the block's end") << QByteArray("\0\x04\0\0\0\x01\x7f\0\0\0", 10);
}

// An Exif pointer that leads nowhere costs its directory only: the first directory's tags are
// written, and the report says what was dropped.
void TestMetadata::brokenExifPointerDropped()
{
    QFETCH(QByteArray, pointer);
    const QString source = dir.filePath("pointer.jpg");
    QVERIFY(
        photoWithExif(source, TestImages::exifBlock(6, QSize(400, 300)).replace(36, 10, pointer)));
    const QString output = dir.filePath("pointer-out.jpg");
    const RowOutcome outcome = run(source, output);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QVERIFY(!outcome.leftOut.isEmpty());
    QCOMPARE(OutcomeText::leftOut(outcome), QString("EXIF : répertoire Exif illisible, retiré"));
    QCOMPARE(TestImages::exifValues(output, {"Make", "Orientation", "ExifOffset"}),
             QString("Parvimage test\n1"));
    QCOMPARE(TestImages::uprightSize(output), QSize(150, 200));
}

void TestMetadata::corpusMetadataCarried_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("ignoredGroup");
    const QString root = qEnvironmentVariable("PARVIMAGE_CORPORA");
    if (root.isEmpty() || !QDir(root).exists())
        QSKIP("no corpus folder: skipped");
    // Kept elsewhere than in the EXIF, XMP and IPTC segments: after the image data, or in a
    // maker's own segment. They are not carried.
    const QMap<QString, QString> elsewhere = {{"AFCP.jpg", "IPTC:IPTC2"},
                                              {"FotoStation.jpg", "IPTC:IPTC2"},
                                              {"CasioQVCI.jpg", "MakerNotes:Casio"},
                                              {"ExifTool.jpg", "MakerNotes:CIFF"}};
    for (const QString folder : {"cameras", "odd", "orientation"}) {
        const QDir dir(root + "/" + folder);
        for (const QString &name : dir.entryList({"*.jpg"}, QDir::Files, QDir::Name)) {
            if (name.startsWith("jdec_lossless") || name == "monkey12.jpg")
                continue; // not decodable by an 8-bit libjpeg
            QTest::newRow(qPrintable(folder + "/" + name))
                << dir.filePath(name) << elsewhere.value(name);
        }
    }
}

void TestMetadata::corpusMetadataCarried()
{
    QFETCH(QString, path);
    QFETCH(QString, ignoredGroup);
    const QString output = dir.filePath("corpus-" + QFileInfo(path).fileName());
    const RowOutcome outcome = run(path, output);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QVERIFY2(outcome.leftOut.isEmpty(), qPrintable(OutcomeText::leftOut(outcome)));

    const ExiftoolView before = exiftoolView(path, ignoredGroup);
    const ExiftoolView after = exiftoolView(output, ignoredGroup);
    const QSet<QString> lost = before.tags - after.tags;
    QVERIFY2(lost.isEmpty(), qPrintable(QStringList(lost.values()).join('\n')));
    const QSet<QString> added = after.warnings - before.warnings;
    QVERIFY2(added.isEmpty(), qPrintable(QStringList(added.values()).join('\n')));

    // The EXIF block as it was, but for a few edited values and a thumbnail cut off its end.
    const QByteArray exif("Exif\0\0", 6);
    const QList<QByteArray> source = payloads(TestImages::readAll(path), exif);
    const QList<QByteArray> written = payloads(TestImages::readAll(output), exif);
    QCOMPARE(written.size(), qMin(source.size(), 1));
    if (!written.isEmpty()) {
        QVERIFY(written.first().size() <= source.first().size());
        int differing = 0;
        for (int i = 0; i < written.first().size(); ++i)
            differing += written.first().at(i) != source.first().at(i);
        QVERIFY2(differing <= 24, qPrintable(QString::number(differing)));
    }

    const QImage image(output);
    const QByteArray model = image.colorSpace().iccProfile().mid(16, 4);
    if (!model.isEmpty())
        QCOMPARE(model, image.format() == QImage::Format_Grayscale8 ? QByteArray("GRAY")
                                                                    : QByteArray("RGB "));
}

PARVIMAGE_TEST_MAIN(TestMetadata)
#include "tst_metadata.moc"
