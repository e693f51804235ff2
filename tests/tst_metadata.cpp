#include "batchreport.h"
#include "imageresizer.h"
#include "testimages.h"

#include <QImageReader>
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

private:
    QString photoWithMetadata(const QString &name);
    RowOutcome run(const QString &source, const QString &output);

    QTemporaryDir dir;
};

QString TestMetadata::photoWithMetadata(const QString &name)
{
    const QString path = dir.filePath(name);
    const QString thumbnail = dir.filePath("thumbnail.jpg");
    if (!TestImages::write(path, QSize(400, 300)) || !TestImages::write(thumbnail, QSize(160, 120)))
        return QString();
    const bool tagged = TestImages::exiftool(
        path,
        {"-DateTimeOriginal=2023:07:14 10:30:00", "-Model=Test Camera X1", "-Artist=Marie Curie",
         "-GPSLatitude=48.8584", "-GPSLatitudeRef=N", "-GPSLongitude=2.2945", "-GPSLongitudeRef=E",
         "-Orientation#=6", "-ThumbnailImage<=" + thumbnail, "-XMP-dc:Creator=Marie Curie",
         "-XMP-tiff:Orientation#=6", "-IPTC:Keywords=Paris"});
    return tagged ? path : QString();
}

RowOutcome TestMetadata::run(const QString &source, const QString &output)
{
    PlannedRow row;
    row.source = source;
    row.output = output;
    row.format = QFileInfo(output).suffix().toLower().toLatin1();
    return ImageResizer::processRow(row, 200);
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
    QVERIFY(!outcome.metadataNotCopied);

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
    const QByteArray exif("Exif\0\0", 6);
    QTest::newRow("unknown byte order") << exif << 6 << QByteArray("XX") << QString();
    QTest::newRow("garbage directory")
        << exif << 14 << QByteArray(52, '\x5b') << QString("Iptc.Application2.Keywords");
    QTest::newRow("malformed xmp") << QByteArray("</rdf:RDF>") << 0 << QByteArray("</rdf:RDX>")
                                   << QString("Exif.Image.Artist");
}

void TestMetadata::damagedExifStillWritesImage()
{
    QFETCH(QByteArray, marker);
    QFETCH(int, offset);
    QFETCH(QByteArray, garbage);
    QFETCH(QString, carried);
    const QString source = photoWithMetadata("damaged.jpg");
    QByteArray bytes = TestImages::readAll(source);
    const int at = bytes.indexOf(marker);
    QVERIFY(at > 0);
    bytes.replace(at + offset, garbage.size(), garbage);
    QVERIFY(TestImages::writeAll(source, bytes));

    PlannedRow row;
    row.source = source;
    const QString output = dir.filePath("damaged-out.jpg");
    const RowOutcome outcome = run(source, output);
    QCOMPARE(outcome.status, RowOutcome::Written);
    QVERIFY(outcome.metadataNotCopied);
    const QImage image = QImageReader(output).read(); // upright only where the EXIF could say so
    QCOMPARE(qMax(image.width(), image.height()), 200);
    if (!carried.isEmpty()) {
        const ReadBack back(output);
        const bool found = carried.startsWith("Iptc")
                               ? !back.image->iptcData().empty()
                               : !back.exif(carried.toLatin1().constData()).isEmpty();
        QVERIFY2(found, qPrintable(carried));
    }

    const BatchReport report = BatchReport::make({row}, {outcome});
    QCOMPARE(report.kind, BatchReport::Errors);
    QVERIFY2(report.text.contains("damaged.jpg : métadonnées non copiées"),
             qPrintable(report.text));
    QVERIFY(report.text.startsWith("1 image(s) redimensionnée(s) sur 1."));
}

QTEST_MAIN(TestMetadata)
#include "tst_metadata.moc"
