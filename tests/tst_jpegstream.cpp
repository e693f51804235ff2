#include "resample/geometry.h"
#include "resample/wholeimage.h"
#include "row/imageresizer.h"
#include "testimages.h"
#include "testmain.h"

#include <QImageReader>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

// The streaming decoder against the toolkit's decode followed by the same sampler.
class TestJpegStream : public QObject
{
    Q_OBJECT

private slots:
    void equivalence_data();
    void equivalence();
    void otherColourSpaces_data();
    void otherColourSpaces();
    void damaged_data();
    void damaged();

private:
    QString makeJpeg(const QString &name, const QSize &size, const QStringList &cjpegOptions);
    static QImage viaToolkit(const QString &path, int box);
    QTemporaryDir dir;
};

QString TestJpegStream::makeJpeg(const QString &name, const QSize &size,
                                 const QStringList &cjpegOptions)
{
    const QString ppm = dir.filePath(name + ".ppm");
    const QString jpeg = dir.filePath(name + ".jpg");
    if (!TestImages::pattern(size).save(ppm))
        return QString();
    QProcess cjpeg;
    cjpeg.start("cjpeg", cjpegOptions + QStringList{"-outfile", jpeg, ppm});
    return cjpeg.waitForFinished() && cjpeg.exitCode() == 0 ? jpeg : QString();
}

QImage TestJpegStream::viaToolkit(const QString &path, int box)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QImage image = reader.read();
    return sampleNearest(image, fitInSquare(image.size(), box));
}

void TestJpegStream::equivalence_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<int>("box");

    const QStringList s420{"-sample", "2x2"};
    QTest::newRow("1x1") << QSize(1, 1) << s420 << 1 << 100;
    QTest::newRow("odd 4:2:0 reduced") << QSize(1001, 667) << s420 << 1 << 100;
    QTest::newRow("odd 4:2:2") << QSize(999, 501) << QStringList{"-sample", "2x1"} << 1 << 256;
    QTest::newRow("4:4:4") << QSize(640, 480) << QStringList{"-sample", "1x1"} << 1 << 100;
    QTest::newRow("4:4:0") << QSize(333, 222) << QStringList{"-sample", "1x2"} << 1 << 77;
    QTest::newRow("progressive") << QSize(1200, 801) << QStringList{"-progressive"} << 1 << 300;
    QTest::newRow("greyscale") << QSize(777, 555) << QStringList{"-grayscale"} << 1 << 200;
    QTest::newRow("restart markers") << QSize(800, 600) << QStringList{"-restart", "1"} << 1 << 150;
    QTest::newRow("enlarged") << QSize(37, 23) << s420 << 1 << 500;
    QTest::newRow("tall enlarged") << QSize(3, 40) << s420 << 1 << 400;
    QTest::newRow("several thousand") << QSize(4000, 3000) << s420 << 1 << 1024;
    for (int orientation = 2; orientation <= 8; ++orientation) {
        QTest::addRow("orientation %d reduced", orientation)
            << QSize(301, 199) << s420 << orientation << 97;
        QTest::addRow("orientation %d enlarged", orientation)
            << QSize(31, 19) << QStringList{"-sample", "2x1"} << orientation << 120;
    }
    QTest::newRow("orientation 6 progressive grey")
        << QSize(403, 301) << QStringList{"-progressive", "-grayscale"} << 6 << 128;
}

void TestJpegStream::equivalence()
{
    QFETCH(QSize, size);
    QFETCH(QStringList, options);
    QFETCH(int, orientation);
    QFETCH(int, box);
    const QString path = makeJpeg(QTest::currentDataTag(), size, options);
    QVERIFY(!path.isEmpty());
    if (orientation != 1)
        QVERIFY(TestImages::setOrientation(path, orientation));

    Formats::Status status;
    const QImage streamed = TestImages::decoded(path, box, Resampling::Nearest, &status);
    QCOMPARE(status, Formats::Status::Decoded);
    const QImage expected = viaToolkit(path, box);
    QCOMPARE(streamed.size(), expected.size());
    QCOMPARE(streamed.format(), expected.format());
    QVERIFY(streamed == expected);
}

void TestJpegStream::otherColourSpaces_data()
{
    QTest::addColumn<QStringList>("convert"); // ImageMagick options before the output name
    QTest::newRow("cmyk") << QStringList{"-colorspace", "CMYK"};
    QTest::newRow("cmyk progressive") << QStringList{"-colorspace", "CMYK", "-interlace", "JPEG"};
    QTest::newRow("rgb coded") << QStringList{"-define", "jpeg:colorspace=2"};
}

void TestJpegStream::otherColourSpaces()
{
    QFETCH(QStringList, convert);
    const QString source = dir.filePath("colours.png");
    const QString path = dir.filePath(QString("%1.jpg").arg(QTest::currentDataTag()));
    QVERIFY(TestImages::pattern(QSize(120, 80)).save(source));
    QCOMPARE(
        QProcess::execute("/usr/bin/convert", QStringList{source} + convert + QStringList{path}),
        0);
    Formats::Status status;
    const QImage streamed = TestImages::decoded(path, 60, Resampling::Nearest, &status);
    QCOMPARE(status, Formats::Status::Decoded);
    QCOMPARE(streamed.size(), QSize(60, 40));
    QVERIFY(streamed == viaToolkit(path, 60));

    // Cut short, the toolkit would still hand back a whole image; the stream must not.
    const QByteArray bytes = TestImages::readAll(path);
    const QString cut = dir.filePath(QString("%1-cut.jpg").arg(QTest::currentDataTag()));
    QVERIFY(TestImages::writeAll(cut, bytes.left(bytes.size() * 6 / 10)));
    TestImages::decoded(cut, 60, Resampling::Nearest, &status);
    QCOMPARE(status, Formats::Status::Damaged);
}

void TestJpegStream::damaged_data()
{
    QTest::addColumn<int>("keep");    // bytes of a sound JPEG kept; -1 keeps the header only
    QTest::addColumn<int>("garbage"); // random bytes appended
    QTest::addColumn<bool>("refused");
    QTest::newRow("truncated in the header") << 40 << 0 << true;
    QTest::newRow("truncated in the scan") << 3000 << 0 << true;
    QTest::newRow("random scan data") << -1 << 20000 << true;
    QTest::newRow("nothing after the markers") << -1 << 0 << true;
}

// Damaged input is refused or gives what the toolkit gives, and never crashes. Data that
// ends early or is corrupt is refused rather than written with made-up grey.
void TestJpegStream::damaged()
{
    QFETCH(int, keep);
    QFETCH(int, garbage);
    QFETCH(bool, refused);
    const QString sound = makeJpeg("sound", QSize(300, 200), {});
    QByteArray bytes = TestImages::readAll(sound);
    if (keep < 0)
        keep = bytes.indexOf("\xff\xda") + 20; // just past the start of scan
    bytes.truncate(keep);
    QRandomGenerator random(3);
    for (int i = 0; i < garbage; ++i)
        bytes.append(char(random.bounded(256)));
    const QString path = dir.filePath("damaged.jpg");
    QVERIFY(TestImages::writeAll(path, bytes));

    RowOutcome outcome;
    const QImage scaled = ImageResizer::loadScaled(path, 100, &outcome);
    QCOMPARE(scaled.isNull(), refused);
    if (scaled.isNull())
        QVERIFY(outcome.status == RowOutcome::Unreadable || outcome.status == RowOutcome::Damaged);
    else
        QVERIFY(scaled == viaToolkit(path, 100));
}

PARVIMAGE_GUILESS_TEST_MAIN(TestJpegStream)
#include "tst_jpegstream.moc"
