#include "formats/jpeg/jpegbands.h"
#include "formats/jpeg/jpegdecoder.h"
#include "resample/geometry.h"
#include "resample/wholeimage.h"
#include "row/imageresizer.h"
#include "system/cancellation.h"
#include "system/sourcefile.h"
#include "system/workercores.h"
#include "testimages.h"
#include "testmain.h"

#include <QImageReader>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

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
    void bands_data();
    void bands();
    void foundByFuzzers_data();
    void foundByFuzzers();
    void scans_data();
    void scans();

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
    const QImage scaled = RowLoad::scaled(path, 100, &outcome);
    QCOMPARE(scaled.isNull(), refused);
    if (scaled.isNull())
        QVERIFY(outcome.status == RowOutcome::Unreadable || outcome.status == RowOutcome::Damaged);
    else
        QVERIFY(scaled == viaToolkit(path, 100));
}

namespace {

// The band's file as libjpeg reads it, `piece` bytes at a time.
QByteArray bandBytes(const JpegBands::BandFile &band, int piece)
{
    QByteArray out;
    QByteArray buffer(piece, Qt::Uninitialized);
    qint64 got = 0;
    while ((got = band.read(out.size(), reinterpret_cast<uchar *>(buffer.data()), piece)) > 0)
        out.append(buffer.constData(), int(got));
    return out;
}

bool isRestart(const QByteArray &bytes, int at)
{
    return uchar(bytes[at]) == 0xFF && (uchar(bytes[at + 1]) & 0xF8) == 0xD0;
}

// Where restart marker `index` (from 0) after `from` is; -1 where there is none.
int restartMarker(const QByteArray &bytes, int from, int index)
{
    for (int at = from; at + 1 < bytes.size(); ++at)
        if (isRestart(bytes, at) && index-- == 0)
            return at;
    return -1;
}

// Each restart marker from `from` on numbered one less.
QByteArray renumbered(QByteArray bytes, int from)
{
    for (int at = from; at + 1 < bytes.size(); ++at)
        if (isRestart(bytes, at))
            bytes[at + 1] = char(0xD0 + (uchar(bytes[at + 1]) - 0xD0 + 7) % 8);
    return bytes;
}

// The last interval once more at the end, after a marker numbered on: as many intervals as the
// image needs, so that only the chain tells what is missing.
QByteArray withIntervalAdded(QByteArray bytes)
{
    const int end = bytes.lastIndexOf("\xff\xd9");
    int last = end - 2;
    while (last > 0 && !isRestart(bytes, last))
        --last;
    const char number = char(0xD0 + (uchar(bytes[last + 1]) - 0xD0 + 1) % 8);
    bytes.insert(end, bytes.mid(last + 2, end - last - 2));
    bytes.insert(end, QByteArray("\xff") + number);
    return bytes;
}

bool numberedInOrder(const QByteArray &bytes, int from)
{
    int next = 0;
    for (int at = from; at + 1 < bytes.size(); ++at)
        if (isRestart(bytes, at) && uchar(bytes[at + 1]) - 0xD0 != next++ % 8)
            return false;
    return next > 0;
}

} // namespace

void TestJpegStream::bands_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("box");
    QTest::addColumn<QSize>("mcu");
    QTest::addColumn<int>("cut"); // none, at rows' starts only, or inside rows
    QTest::addColumn<int>("resampling");

    const QStringList s420{"-sample", "2x2"};
    const int nearest = int(Resampling::Nearest);
    const int smooth = int(Resampling::Smooth);
    const int None = 0, AtRows = 1, InRows = 2;
    QTest::newRow("4:2:0 every MCU, halved")
        << QSize(1600, 1200) << s420 + QStringList{"-restart", "1B"} << 700 << QSize(16, 16)
        << AtRows << nearest;
    QTest::newRow("4:2:0 every two rows, quarter, smooth")
        << QSize(1601, 1203) << s420 + QStringList{"-restart", "2"} << 300 << QSize(16, 16)
        << AtRows << smooth;
    QTest::newRow("4:2:0 every MCU, eighth, rows far apart")
        << QSize(2000, 1500) << s420 + QStringList{"-restart", "1B"} << 40 << QSize(16, 16)
        << AtRows << nearest;
    QTest::newRow("4:2:0 seven MCUs, eighth")
        << QSize(2000, 1500) << s420 + QStringList{"-restart", "7B"} << 150 << QSize(16, 16)
        << InRows << nearest;
    QTest::newRow("4:2:2 thirteen MCUs, halved, smooth")
        << QSize(1003, 701) << QStringList{"-sample", "2x1", "-restart", "13B"} << 400
        << QSize(16, 8) << InRows << smooth;
    QTest::newRow("4:4:4 five MCUs, quarter")
        << QSize(1001, 667) << QStringList{"-sample", "1x1", "-restart", "5B"} << 200 << QSize(8, 8)
        << InRows << nearest;
    QTest::newRow("grey three MCUs, halved")
        << QSize(999, 777) << QStringList{"-grayscale", "-restart", "3B"} << 450 << QSize(8, 8)
        << InRows << smooth;
    QTest::newRow("4:2:0 full size") << QSize(640, 480) << s420 + QStringList{"-restart", "7B"}
                                     << 640 << QSize(16, 16) << InRows << nearest;
    QTest::newRow("4:4:0 full size, smooth")
        << QSize(641, 479) << QStringList{"-sample", "1x2", "-restart", "3B"} << 700 << QSize(8, 16)
        << AtRows << smooth;
    QTest::newRow("4:2:0 nearest reduction")
        << QSize(2001, 1333) << s420 + QStringList{"-restart", "9B"} << 333 << QSize(16, 16)
        << AtRows << nearest;
    QTest::newRow("no markers") << QSize(800, 600) << s420 << 300 << QSize(16, 16) << None
                                << nearest;
    QTest::newRow("progressive") << QSize(800, 600) << QStringList{"-progressive", "-restart", "1"}
                                 << 300 << QSize(16, 16) << None << nearest;
}

// With two cores, a reduced decode cut at restart markers gives the rows one core gives, and a
// band cut short or corrupt is refused as a whole decode refuses it.
void TestJpegStream::bands()
{
    QFETCH(QSize, size);
    QFETCH(QStringList, options);
    QFETCH(int, box);
    QFETCH(QSize, mcu);
    QFETCH(int, cut);
    QFETCH(int, resampling);
    const QString path = makeJpeg(QTest::currentDataTag(), size, options);
    QVERIFY(!path.isEmpty());
    const QByteArray bytes = TestImages::readAll(path);

    const int sos = bytes.indexOf("\xff\xda");
    const int dri = bytes.indexOf("\xff\xdd");
    JpegBands::Scan scan;
    scan.dataStart = sos + 2 + (uchar(bytes[sos + 2]) << 8 | uchar(bytes[sos + 3]));
    scan.interval = dri < 0 || dri > sos ? 0 : (uchar(bytes[dri + 4]) << 8 | uchar(bytes[dri + 5]));
    scan.mcusPerRow = (size.width() + mcu.width() - 1) / mcu.width();
    scan.mcuRows = (size.height() + mcu.height() - 1) / mcu.height();
    scan.mcuHeight = mcu.height();
    scan.height = size.height();
    const QVector<JpegBands::Cut> cuts = JpegBands::evenCuts(scan, 3);
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    const bool madeUp =
        std::any_of(cuts.begin(), cuts.end(), [](const JpegBands::Cut &c) { return c.empty > 0; });
    if (cut != 0) {
        QCOMPARE(cuts.size(), 2);
        const auto band = JpegBands::BandFile::make(data, bytes.size(), scan, cuts.last());
        QVERIFY(band);
        QCOMPARE(madeUp ? 2 : 1, cut);
        // Read in any pieces, the band's file is the same, its markers numbered from the first.
        const QByteArray file = bandBytes(*band, 1 << 16);
        QCOMPARE(bandBytes(*band, 7), file);
        QVERIFY(numberedInOrder(file, int(scan.dataStart)));
    }

    Formats::Status one = Formats::Status::Failed;
    Formats::Status two = Formats::Status::Failed;
    const Resampling mode = Resampling(resampling);
    const QImage whole = TestImages::decoded(path, box, mode, &one);
    // The planner counts the bands' rows for the row that will have both cores.
    PlannedRow planned = PlannedRow::single(path, dir.filePath("estimated.jpg"), box);
    planned.options.geometry.resampling = mode;
    const RowMemory::Costs costs = ImageResizer::memoryCosts(planned, 2);
    QCOMPARE(costs.alone > costs.oneCore, cut != 0);
    for (int count : {2, 3}) {
        JpegDecoder::BandCounts counts;
        QImage banded;
        {
            const WorkerCores::Scope cores(count, 0);
            const SourceFile source(path);
            QString words;
            two = JpegDecoder::open(source, &counts)->decode(Target(box, mode), &banded, &words);
        }
        QCOMPARE(two, Formats::Status::Decoded);
        QCOMPARE(one, Formats::Status::Decoded);
        QVERIFY(banded == whole);
        QCOMPARE(counts.left, 0);
        QCOMPARE(counts.decoded, cut != 0 ? count - 1 : 0);
    }

    QByteArray corrupt = bytes;
    QRandomGenerator random(5);
    for (int i = corrupt.size() * 3 / 4; i < corrupt.size() * 3 / 4 + 256; ++i)
        corrupt[i] = char(random.bounded(256));
    // A stray marker where the second band's data starts: its empty intervals' warnings are
    // forgiven, not this one's.
    QByteArray stray = bytes;
    const QVector<JpegBands::Cut> halves = JpegBands::evenCuts(scan, 2);
    QVERIFY(cut == 0 || !halves.isEmpty());
    if (cut != 0) {
        const int at = restartMarker(bytes, int(scan.dataStart), halves.first().interval - 1);
        QVERIFY(at > 0);
        stray.insert(at + 2, "\xff\xd5", 2);
    }
    // The interval before the second band's cut ends early, or has bytes left over; two
    // intervals merged in the first band, the markers after them numbered on as if nothing was
    // missing; one dropped with its marker.
    QByteArray shortened = bytes, merged = bytes, dropped = bytes, leftOver = bytes;
    if (cut != 0) {
        const int first = halves.first().interval;
        const int before = restartMarker(bytes, int(scan.dataStart), first - 1);
        shortened.remove(before - 4, 4);
        leftOver.insert(before, QByteArray(11, '\x5a'));
        const int middle = restartMarker(bytes, int(scan.dataStart), first / 2);
        const int previous = restartMarker(bytes, int(scan.dataStart), first / 2 - 1);
        merged = withIntervalAdded(renumbered(bytes.left(middle) + bytes.mid(middle + 2), middle));
        dropped = withIntervalAdded(bytes.left(previous) + bytes.mid(middle));
    }
    const QByteArray variants[] = {
        bytes.left(bytes.size() * 8 / 10), corrupt, stray, shortened, merged, dropped, leftOver};
    Formats::Status found[7];
    for (int i = 0; i < 7; ++i) {
        const QString damaged = dir.filePath(QString("damaged%1.jpg").arg(i));
        QVERIFY(TestImages::writeAll(damaged, variants[i]));
        TestImages::decoded(damaged, box, mode, &one);
        const WorkerCores::Scope cores(2, 0);
        TestImages::decoded(damaged, box, mode, &found[i]);
        QCOMPARE(found[i], one);
        // djpeg finds each damaged.
        QVERIFY2(i == 1 || cut == 0 ||
                     QProcess::execute("djpeg", {"-outfile", "/dev/null", damaged}) == 2,
                 damaged.toUtf8());
    }
    QVERIFY(found[1] != Formats::Status::Decoded || cut == 0); // random data may pass for codes
    for (int i : {2, 3, 4, 5, 6})
        QCOMPARE(found[i], cut == 0 ? Formats::Status::Decoded : Formats::Status::Damaged);
}

void TestJpegStream::foundByFuzzers_data()
{
    QTest::addColumn<QString>("path");
    const QDir found(QFINDTESTDATA("../fuzz/regressions/decode"));
    for (const QString &name : found.entryList({"*.jpg"}, QDir::Files))
        QTest::newRow(qPrintable(name)) << found.filePath(name);
}

// What the cores fuzzer found where one core and several disagreed: the same outcome and the
// same pixels on two to four cores, reduced or not.
void TestJpegStream::foundByFuzzers()
{
    QFETCH(QString, path);
    const std::pair<int, Resampling> targets[] = {
        {23, Resampling::Smooth}, {40, Resampling::Nearest}, {4096, Resampling::Nearest}};
    for (const auto &target : targets) {
        Formats::Status one = Formats::Status::Failed;
        const QImage alone = TestImages::decoded(path, target.first, target.second, &one);
        for (int count : {2, 3, 4}) {
            const WorkerCores::Scope cores(count, 0);
            Formats::Status several = Formats::Status::Failed;
            const QImage banded = TestImages::decoded(path, target.first, target.second, &several);
            QCOMPARE(several, one);
            QVERIFY(banded == alone);
        }
    }
}

void TestJpegStream::scans_data()
{
    QTest::addColumn<QString>("script"); // jpegtran's, or empty for libjpeg's own progression
    QTest::addColumn<int>("repeats");    // times the last scan is given again
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<int>("status");

    // Each band of coefficients whole in one scan: giving the last again is valid, as often as
    // a file likes.
    const QString whole = "0,1,2: 0-0, 0, 0; 0: 1-63, 0, 0; 1: 1-63, 0, 0; 2: 1-63, 0, 0;";
    const int decoded = int(Formats::Status::Decoded);
    const int damaged = int(Formats::Status::Damaged);
    QTest::newRow("ten scans") << QString() << 0 << false << decoded;
    QTest::newRow("a whole scan given twice") << whole << 1 << false << decoded;
    QTest::newRow("600 scans") << whole << 596 << false << damaged;
    QTest::newRow("a refinement given twice") << QString() << 1 << false << damaged;
    QTest::newRow("cancelled") << QString() << 0 << true << int(Formats::Status::Cancelled);
}

// A file of more scans than any encoder writes stops at a limit, whatever each scan costs; a
// cancelled run stops a decode as it goes.
void TestJpegStream::scans()
{
    QFETCH(QString, script);
    QFETCH(int, repeats);
    QFETCH(bool, cancelled);
    QFETCH(int, status);
    QString path = makeJpeg("scans", QSize(160, 120), {"-progressive"});
    QVERIFY(!path.isEmpty());
    if (!script.isEmpty()) {
        const QString scriptPath = dir.filePath("scans.txt");
        QVERIFY(TestImages::writeAll(scriptPath, script.toUtf8()));
        const QString rescanned = dir.filePath("rescanned.jpg");
        QCOMPARE(QProcess::execute("jpegtran", {"-scans", scriptPath, "-outfile", rescanned, path}),
                 0);
        path = rescanned;
    }
    QByteArray bytes = TestImages::readAll(path);
    const int end = bytes.lastIndexOf("\xff\xd9");
    const int last = bytes.lastIndexOf("\xff\xda");
    bytes.insert(end, bytes.mid(last, end - last).repeated(repeats));
    QVERIFY(TestImages::writeAll(path, bytes));
    const std::atomic<bool> cancel{cancelled};
    const Cancellation::Scope scope(&cancel);
    for (int cores : {1, 2}) {
        const WorkerCores::Scope scoped(cores, 0);
        Formats::Status found = Formats::Status::Failed;
        TestImages::decoded(path, 100, Resampling::Nearest, &found);
        QCOMPARE(int(found), status);
    }
}

PARVIMAGE_GUILESS_TEST_MAIN(TestJpegStream)
#include "tst_jpegstream.moc"
