#include "formats/registry.h"
#include "row/imageresizer.h"
#include "system/sourcefile.h"
#include "testimages.h"
#include "testmain.h"

#include <QColorSpace>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

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
    record.iptc = QByteArray("8BIM\x04\x04\x00\x00\x00\x00\x00\x08", 12) + IptcMarker;
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
    result.done = writer.encode(image, {suffix, writer.setting(Quality::Normal), false}, metadata,
                                &result.bytes, &result.leftOut, &result.error);
    return result;
}

bool isDeep(const QImage &image)
{
    return image.depth() == 64 || image.format() == QImage::Format_Grayscale16;
}

} // namespace

class TestFormats : public QObject
{
    Q_OBJECT

private slots:
    void abilities_data();
    void abilities();

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
    const QImage decoded = ImageResizer::loadScaled(path, 16, &outcome);
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
    QCOMPARE(Formats::readMetadata(nclxPath).cicp() == PqNclx, writer.can.nclx);
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

PARVIMAGE_TEST_MAIN(TestFormats)
#include "tst_formats.moc"
