#include "batch/outcometext.h"
#include "resample/geometry.h"
#include "resample/wholeimage.h"
#include "row/imageresizer.h"
#include "system/atomicfile.h"
#include "system/peakmemory.h"
#include "testimages.h"
#include "testmain.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

Q_DECLARE_METATYPE(RowOutcome::Status)
Q_DECLARE_METATYPE(AtomicFile::Step)

namespace {

enum class WriteFault
{
    FullDrive,     // a 300 KB file system
    ReadOnlyDrive, // a file system mounted read-only
    FolderGone,
    NameTooLong,
    FileSizeLimit, // the process may not write past 16 KB
    Injected,      // what root cannot meet for real, at the step where it happens
};

// A white 8-bit run-length BMP: a few bytes a row, yet the toolkit decodes it to a byte a pixel.
QByteArray runLengthBmp(const QSize &size)
{
    QByteArray data;
    for (int y = 0; y < size.height(); ++y) {
        for (int left = size.width(); left > 0; left -= 255)
            data.append(char(qMin(left, 255))).append('\1');
        data.append(2, '\0');
    }
    data.append('\0').append('\1');
    const auto le32 = [](qint64 value) {
        QByteArray bytes(4, '\0');
        for (int i = 0; i < 4; ++i)
            bytes[i] = char(value >> (8 * i));
        return bytes;
    };
    const QByteArray palette("\0\0\0\0\xff\xff\xff\0", 8);
    const int offset = 14 + 40 + palette.size();
    return "BM" + le32(offset + data.size()) + le32(0) + le32(offset) + le32(40) +
           le32(size.width()) + le32(size.height()) + QByteArray("\1\0\x08\0", 4) + le32(1) +
           le32(data.size()) + le32(2835) + le32(2835) + le32(2) + le32(0) + palette + data;
}

} // namespace

Q_DECLARE_METATYPE(WriteFault)

class TestImageResizer : public QObject
{
    Q_OBJECT

private slots:
    void sizes_data();
    void sizes();
    void sampler_data();
    void sampler();
    void samplerKeepsMetadata();
    void unreadable_data();
    void unreadable();
    void bombRefusedBeforeDecoding();
    void largeToolkitDecode();
    void failedWriteKeepsOriginal_data();
    void failedWriteKeepsOriginal();
    void formatFromLastSuffix();
    void writeFailureReasons_data();
    void writeFailureReasons();

private:
    RowOutcome run(const QString &source, const QString &output, int box);
    QTemporaryDir dir;
};

RowOutcome TestImageResizer::run(const QString &source, const QString &output, int box)
{
    return TestImages::runRow(source, output, box);
}

void TestImageResizer::sizes_data()
{
    QTest::addColumn<QSize>("source");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<int>("box");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("landscape reduced") << QSize(4000, 3000) << 1 << 1024 << QSize(1024, 768);
    QTest::newRow("portrait reduced") << QSize(3000, 4000) << 1 << 1024 << QSize(768, 1024);
    QTest::newRow("small enlarged") << QSize(300, 200) << 1 << 1024 << QSize(1024, 682);
    QTest::newRow("exact fit") << QSize(1024, 500) << 1 << 1024 << QSize(1024, 500);
    QTest::newRow("one pixel") << QSize(1, 1) << 1 << 100 << QSize(100, 100);
    QTest::newRow("thin line keeps a pixel") << QSize(1, 1000) << 1 << 256 << QSize(1, 256);
    QTest::newRow("orientation 6 is upright") << QSize(4000, 3000) << 6 << 1024 << QSize(768, 1024);
    QTest::newRow("orientation 3 keeps shape") << QSize(400, 300) << 3 << 100 << QSize(100, 75);
    QTest::newRow("orientation 8 is upright") << QSize(400, 300) << 8 << 100 << QSize(75, 100);
}

void TestImageResizer::sizes()
{
    QFETCH(QSize, source);
    QFETCH(int, orientation);
    QFETCH(int, box);
    QFETCH(QSize, expected);
    const QString in = dir.filePath("in.jpg");
    const QString out = dir.filePath("out.jpg");
    QVERIFY(TestImages::write(in, source, 50));
    if (orientation != 1)
        QVERIFY(TestImages::setOrientation(in, orientation));
    QCOMPARE(run(in, out, box).status, RowOutcome::Written);
    QCOMPARE(QImageReader(out).size(), expected);
}

void TestImageResizer::sampler_data()
{
    QTest::addColumn<QImage::Format>("format");
    QTest::addColumn<QSize>("source");
    QTest::addColumn<QSize>("target");
    QTest::newRow("rgb32 halved") << QImage::Format_RGB32 << QSize(8, 6) << QSize(4, 3);
    QTest::newRow("argb32 odd") << QImage::Format_ARGB32 << QSize(37, 23) << QSize(11, 7);
    QTest::newRow("rgb888 enlarged") << QImage::Format_RGB888 << QSize(5, 3) << QSize(17, 10);
    QTest::newRow("grey wide") << QImage::Format_Grayscale8 << QSize(1000, 3) << QSize(333, 1);
    QTest::newRow("indexed") << QImage::Format_Indexed8 << QSize(31, 17) << QSize(10, 6);
    QTest::newRow("mono") << QImage::Format_Mono << QSize(33, 9) << QSize(65, 18);
    QTest::newRow("rgba64") << QImage::Format_RGBA64 << QSize(9, 9) << QSize(4, 4);
    QTest::newRow("rgb16") << QImage::Format_RGB16 << QSize(13, 5) << QSize(7, 3);
}

// Each output pixel is the source pixel under its centre.
void TestImageResizer::sampler()
{
    QFETCH(QImage::Format, format);
    QFETCH(QSize, source);
    QFETCH(QSize, target);
    QImage in(source, QImage::Format_ARGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < in.height(); ++y)
        for (int x = 0; x < in.width(); ++x)
            in.setPixel(x, y,
                        random.generate() | (format == QImage::Format_ARGB32 ? 0 : 0xff000000));
    in = in.convertToFormat(format);

    const QImage out = sampleNearest(in, target);
    QCOMPARE(out.size(), target);
    QVERIFY(out.format() == in.format() || in.depth() < 8);
    for (int y = 0; y < target.height(); ++y) {
        for (int x = 0; x < target.width(); ++x) {
            const int sx = int(std::floor((x + 0.5) * source.width() / target.width()));
            const int sy = int(std::floor((y + 0.5) * source.height() / target.height()));
            QCOMPARE(out.pixel(x, y), in.pixel(sx, sy));
        }
    }
}

void TestImageResizer::samplerKeepsMetadata()
{
    QImage in = TestImages::pattern(QSize(20, 10));
    in.setColorSpace(QColorSpace::DisplayP3);
    in.setText("Comment", "kept");
    in.setDotsPerMeterX(5000);
    const QImage out = sampleNearest(in, QSize(10, 5));
    QCOMPARE(out.colorSpace(), in.colorSpace());
    QCOMPARE(out.text("Comment"), QString("kept"));
    QCOMPARE(out.dotsPerMeterX(), 5000);
}

static QByteArray pngBytes()
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    TestImages::pattern(QSize(200, 150)).save(&buffer, "png");
    return bytes;
}

void TestImageResizer::unreadable_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("name");
    QTest::addColumn<RowOutcome::Status>("status");
    const auto unreadable = RowOutcome::Unreadable, damaged = RowOutcome::Damaged;
    QTest::newRow("missing") << QByteArray() << "bad.jpg" << unreadable;
    QTest::newRow("empty") << QByteArray("") << "bad.jpg" << unreadable;
    QTest::newRow("not an image") << QByteArray("hello, this is text and not a picture")
                                  << "bad.jpg" << unreadable;
    QTest::newRow("header only") << QByteArray("\xff\xd8\xff\xe0", 4) << "bad.jpg" << unreadable;
    const QByteArray png = pngBytes();
    QTest::newRow("png cut in its image data")
        << png.left(png.size() * 6 / 10) << "bad.png" << damaged;
    // 57 bytes that declare a gigabyte of text before the image.
    QTest::newRow("png chunk longer than the file")
        << png.left(33) + QByteArray("\x3f\xff\xff\xfftEXtComment\0bomb", 20) << "bad.png"
        << damaged;
}

void TestImageResizer::unreadable()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, name);
    QFETCH(RowOutcome::Status, status);
    const QString in = dir.filePath(name);
    QFile::remove(in);
    if (!bytes.isNull())
        QVERIFY(TestImages::writeAll(in, bytes));
    const long before = peakResidentKb();
    const RowOutcome outcome = run(in, dir.filePath("bad-out.jpg"), 100);
    QCOMPARE(outcome.status, status);
    QVERIFY(!QFile::exists(dir.filePath("bad-out.jpg")));
    QVERIFY(peakResidentKb() - before < 64 * 1024);
}

void TestImageResizer::bombRefusedBeforeDecoding()
{
    const QString small = dir.filePath("small.jpg");
    QVERIFY(TestImages::write(small, QSize(64, 64)));
    const QString bomb = dir.filePath("bomb.jpg");
    QVERIFY(TestImages::writeAll(
        bomb, TestImages::withJpegFrameSize(TestImages::readAll(small), 60000, 50000)));

    const long before = peakResidentKb();
    const RowOutcome outcome = run(bomb, dir.filePath("bomb-out.jpg"), 1024);
    QCOMPARE(outcome.status, RowOutcome::TooLarge);
    QCOMPARE(outcome.imageSize, QSize(60000, 50000));
    QVERIFY(OutcomeText::reason(outcome).contains("60000 × 50000"));
    QVERIFY(peakResidentKb() - before < 50 * 1024);
}

// 144 megapixels, within what is accepted, but over Qt 6's default allocation limit.
void TestImageResizer::largeToolkitDecode()
{
    const QString bmp = dir.filePath("large.bmp");
    QVERIFY(TestImages::writeAll(bmp, runLengthBmp(QSize(12000, 12000))));
    QCOMPARE(QImageReader(bmp).size(), QSize(12000, 12000));
    QCOMPARE(run(bmp, dir.filePath("large-out.png"), 600).status, RowOutcome::Written);
    const QImage out(dir.filePath("large-out.png"));
    QCOMPARE(out.size(), QSize(600, 600));
    QCOMPARE(out.pixelColor(599, 599), QColor(Qt::white));
}

void TestImageResizer::failedWriteKeepsOriginal_data()
{
    QTest::addColumn<bool>("fileSizeLimit");
    QTest::newRow("encoder refuses") << false;
    QTest::newRow("disk fills up part-way") << true;
}

// The file system is made to refuse growth past a few kilobytes, as a full disk would; this
// binds root too.
void TestImageResizer::failedWriteKeepsOriginal()
{
    QFETCH(bool, fileSizeLimit);
    const QString target = dir.filePath("precious.png");
    const QByteArray original("original bytes that must survive");
    QVERIFY(TestImages::writeAll(target, original));

    RowOutcome outcome;
    if (fileSizeLimit) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limited = saved;
        limited.rlim_cur = 16 * 1024;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        QImage noise(400, 400, QImage::Format_RGB32);
        QRandomGenerator(1).fillRange(reinterpret_cast<quint32 *>(noise.bits()), 400 * 400);
        outcome = RowLoad::save(noise, target, "png");
        setrlimit(RLIMIT_FSIZE, &saved);
    } else {
        outcome = RowLoad::save(QImage(), target, "png");
    }
    QCOMPARE(outcome.status, RowOutcome::WriteFailed);
    QVERIFY(!outcome.systemError.isEmpty() ||
            outcome.writeProblem != RowOutcome::WriteProblem::Other);
    QCOMPARE(TestImages::readAll(target), original);
    QCOMPARE(QDir(dir.path()).entryList({"precious*"}, QDir::Files), QStringList{"precious.png"});
}

void TestImageResizer::formatFromLastSuffix()
{
    const QString in = dir.filePath("x.jpg");
    QVERIFY(TestImages::write(in, QSize(40, 30)));
    const QString out = dir.filePath("copy.old.PNG");
    QCOMPARE(run(in, out, 20).status, RowOutcome::Written);
    QCOMPARE(QImageReader(out).format(), QByteArray("png"));
}

void TestImageResizer::writeFailureReasons_data()
{
    QTest::addColumn<WriteFault>("fault");
    QTest::addColumn<AtomicFile::Step>("step");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("reason");
    using Step = AtomicFile::Step;
    const auto row = [](const char *name, WriteFault fault, const char *reason,
                        Step step = Step::Open, int code = 0) {
        QTest::newRow(name) << fault << step << code
                            << QString("écriture impossible : %1").arg(QString::fromUtf8(reason));
    };
    row("full drive", WriteFault::FullDrive, "plus de place sur le disque");
    row("read-only drive", WriteFault::ReadOnlyDrive, "disque en lecture seule");
    row("folder removed", WriteFault::FolderGone, "dossier de destination introuvable");
    row("name too long", WriteFault::NameTooLong, "nom de fichier trop long");
    row("anything else: the system's words", WriteFault::FileSizeLimit, "File too large");
    row("permission refused", WriteFault::Injected, "accès refusé", Step::Open, EACCES);
    row("quota reached", WriteFault::Injected, "plus de place sur le disque", Step::Write, EDQUOT);
    row("drive pulled out", WriteFault::Injected, "erreur d'entrée/sortie du disque", Step::Sync,
        EIO);
    row("rename not permitted", WriteFault::Injected, "accès refusé", Step::Rename, EPERM);
}

// Each failure where it happens; the old file keeps its bytes and no temporary file is left.
void TestImageResizer::writeFailureReasons()
{
    QFETCH(WriteFault, fault);
    QFETCH(AtomicFile::Step, step);
    QFETCH(int, code);
    QFETCH(QString, reason);
    const QString folder = dir.filePath("drive");
    QDir(folder).removeRecursively();
    const bool needsDrive = fault == WriteFault::FullDrive || fault == WriteFault::ReadOnlyDrive;
    TestImages::SmallDrive drive(folder, needsDrive ? 300 : 0);
    if (needsDrive && !drive.isMounted())
        QSKIP("cannot mount a small file system here");
    QString target = QDir(folder).filePath("photo.png");
    const QByteArray original("the photo that was here");
    QVERIFY(TestImages::writeAll(target, original));
    if (fault == WriteFault::ReadOnlyDrive)
        QVERIFY(drive.makeReadOnly());
    if (fault == WriteFault::FolderGone)
        QVERIFY(QDir(folder).removeRecursively());
    if (fault == WriteFault::NameTooLong)
        target = QDir(folder).filePath(QString(300, 'n') + ".png");

    QImage noise(400, 400, QImage::Format_RGB32);
    QRandomGenerator(3).fillRange(reinterpret_cast<quint32 *>(noise.bits()), 400 * 400);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    if (fault == WriteFault::FileSizeLimit) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = 16 * 1024;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    AtomicFile::setFaultForTesting([=](AtomicFile::Step at) { return at == step ? code : 0; });
    const RowOutcome outcome = RowLoad::save(noise, target, "png");
    AtomicFile::setFaultForTesting(nullptr);
    setrlimit(RLIMIT_FSIZE, &saved);

    QCOMPARE(outcome.status, RowOutcome::WriteFailed);
    QCOMPARE(OutcomeText::reason(outcome), reason);
    QVERIFY(!outcome.systemError.isEmpty() || fault == WriteFault::FileSizeLimit);
    if (fault != WriteFault::FolderGone) {
        QCOMPARE(TestImages::readAll(QDir(folder).filePath("photo.png")), original);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"photo.png"});
    }
}

PARVIMAGE_GUILESS_TEST_MAIN(TestImageResizer)
#include "tst_imageresizer.moc"
