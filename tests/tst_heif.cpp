#include "batch/outcometext.h"
#include "codecfiles.h"
#include "formats/heif/heifdecoder.h"
#include "resample/geometry.h"
#include "resample/wholeimage.h"
#include "row/imageresizer.h"
#include "syntheticgrid.h"
#include "system/sourcefile.h"
#include "system/workercores.h"
#include "testimages.h"
#include "testmain.h"

#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

// HEIC and AVIF: read upright with libheif's own transformations, grids tile by tile as libheif
// reads them whole, written back at the new size, and hostile structures refused.
class TestHeif : public QObject
{
    Q_OBJECT

private slots:
    void matchesLibheif_data();
    void matchesLibheif();
    void roundTrip_data();
    void roundTrip();
    void declaredTooLarge();
    void gridTiled_data();
    void gridTiled();
    void gridCorpus_data();
    void gridCorpus();
    void gridBoxDamaged_data();
    void gridBoxDamaged();
    void gridTileDamaged_data();
    void gridTileDamaged();
    void hostile_data();
    void hostile();
    void tiledAsWhole_data();
    void tiledAsWhole();

private:
    QTemporaryDir dir;
};

using namespace TestImages;

Q_DECLARE_METATYPE(RowOutcome::Status)

namespace {

constexpr int Box = 256;

RowOutcome runRow(const QString &source, const QString &output)
{
    return TestImages::runRow(source, output, Box);
}

struct Decoded
{
    Formats::Status status = Formats::Status::Failed;
    QImage image;
    QString words;
    qint64 estimate = 0;
    QSize stored;
};

// The program's decode of `path`, tile by tile or, with `whole`, as libheif gives it whole.
Decoded decodeHeif(const QString &path, const Target &target, bool whole)
{
    SourceFile source(path);
    const std::unique_ptr<Formats::Decoder> decoder =
        HeifDecoder::open(source, whole ? HeifDecoder::Grid::Whole : HeifDecoder::Grid::ByTiles);
    Decoded d;
    d.status = decoder->refusal();
    d.words = decoder->refusalWords();
    if (d.status != Formats::Status::Decoded)
        return d;
    d.estimate = decoder->memoryEstimate(target);
    d.stored = decoder->header().stored;
    d.status = decoder->decode(target, &d.image, &d.words);
    return d;
}

// The structures libheif 1.15 decodes without checking them against the declared size, each
// around a size `side`.
enum class Hostile
{
    Alpha,             // a 1024 x 1024 picture, its alpha plane `side` x `side`
    AlphaCodedSmaller, // a grey 1024 x 1024 picture, its alpha declared so but coded `side`
    GridAlpha,         // a grid of 512 x 512 pixels, its alpha plane `side` x `side`
    GridAlphaGrid,     // the same, its alpha a grid of 512 x 512 on a `side` x `side` canvas
    GridCanvas,        // a grid of 512 x 512 on a `side` x `side` canvas
    GridSparse,        // a grid of `side` x `side`, of four 256 x 256 tiles
    GridTile,          // a grid of 512 x 512, of one tile declared `side` x `side`
    Overlay,           // an overlay of 512 x 512 on a `side` x `side` canvas
    Clap,              // a 256 x 256 picture cut to `side` x `side` around its centre
};

using SyntheticHeif::bigEndian;
using Items = QVector<SyntheticHeif::Item>;

// Coded, declared `declared` where given, with `extra` properties after the ispe.
SyntheticHeif::Item coded(const QImage &picture, const QSize &declared = QSize(),
                          const QByteArray &extra = QByteArray(), bool hidden = false)
{
    SyntheticHeif::Item item{"hvc1", {}, {}, false, hidden, {}};
    QByteArray config;
    SyntheticHeif::code(picture, false, &config, &item.data);
    item.properties = {config, SyntheticHeif::ispe(declared.isValid() ? declared : picture.size())};
    if (!extra.isEmpty())
        item.properties.append(extra);
    return item;
}

// A grid or an overlay of the `inputs` items declaring `size`, its own bytes `canvas`.
SyntheticHeif::Item derived(const char *type, const QSize &size, const QSize &canvas,
                            const QVector<int> &inputs, int columns = 2)
{
    const QByteArray wide = bigEndian(canvas.width(), 2) + bigEndian(canvas.height(), 2);
    const QByteArray data =
        QByteArray(type) == "grid"
            ? bigEndian(0, 2) + bigEndian(inputs.size() / columns - 1, 1) +
                  bigEndian(columns - 1, 1) + wide
            : bigEndian(0, 2) + bigEndian(0, 4) + bigEndian(0, 4) + wide + bigEndian(0, 4);
    return {type, {SyntheticHeif::ispe(size)}, data, true, false, {{"dimg", inputs}}};
}

Items hostileItems(Hostile shape, int side)
{
    const QSize square(side, side), picture(1024, 1024), grid(512, 512);
    const auto grey = [](const QSize &size, int value) {
        QImage image(size, QImage::Format_Grayscale8);
        image.fill(value);
        return image;
    };
    const QByteArray auxC =
        SyntheticHeif::fullBox("auxC", 0, 0, QByteArray("urn:mpeg:hevc:2015:auxid:1").append('\0'));
    const auto alpha = [&](const QSize &declared) {
        SyntheticHeif::Item item = coded(grey(square, 200), declared, auxC);
        item.references["auxl"] = {1};
        return item;
    };
    const Items tiles(4, coded(TestImages::pattern(QSize(256, 256)), QSize(), {}, true));
    switch (shape) {
    case Hostile::Alpha:
        return {coded(TestImages::pattern(picture)), alpha(square)};
    case Hostile::AlphaCodedSmaller:
        return {coded(grey(picture, 90)), alpha(picture)};
    case Hostile::GridAlpha:
        return Items{derived("grid", grid, grid, {2, 3, 4, 5})} + tiles + Items{alpha(square)};
    case Hostile::GridAlphaGrid: {
        SyntheticHeif::Item alphaGrid = derived("grid", grid, square, {7, 8, 9, 10});
        alphaGrid.properties.append(auxC);
        alphaGrid.references["auxl"] = {1};
        return Items{derived("grid", grid, grid, {2, 3, 4, 5})} + tiles + Items{alphaGrid} +
               Items(4, coded(grey(QSize(256, 256), 200), QSize(), {}, true));
    }
    case Hostile::GridCanvas:
    case Hostile::GridSparse:
        return Items{derived("grid", shape == Hostile::GridSparse ? square : grid, square,
                             {2, 3, 4, 5})} +
               tiles;
    case Hostile::GridTile:
        return {derived("grid", grid, grid, {2}, 1),
                coded(TestImages::pattern(QSize(256, 256)), square, {}, true)};
    case Hostile::Overlay:
        return {derived("iovl", grid, square, {2}), tiles.first()};
    case Hostile::Clap:
        QByteArray clap;
        for (int value : {side, 1, side, 1, 0, 1, 0, 1})
            clap += bigEndian(quint32(value), 4);
        return {coded(TestImages::pattern(QSize(256, 256)), {}, SyntheticHeif::box("clap", clap))};
    }
    return {};
}

int differingPixels(const QImage &a, const QImage &b)
{
    int count = 0;
    for (int y = 0; y < qMin(a.height(), b.height()); ++y)
        for (int x = 0; x < qMin(a.width(), b.width()); ++x)
            count += a.pixel(x, y) != b.pixel(x, y);
    return count;
}

} // namespace

Q_DECLARE_METATYPE(Hostile)

void TestHeif::matchesLibheif_data()
{
    QTest::addColumn<QString>("path");
    const QStringList files = corpusFiles("heif", "*");
    if (files.isEmpty())
        QTest::newRow("no corpus") << QString();
    for (const QString &path : files)
        QTest::newRow(qPrintable(QFileInfo(path).fileName())) << path;
}

// Every corpus file gives libheif's own image, upright and sampled the same way, or a reason
// where libheif cannot decode it either. The colours differ only where libheif interpolates
// the chroma between samples, which the program takes from the nearest one.
void TestHeif::matchesLibheif()
{
    QFETCH(QString, path);
    if (path.isEmpty())
        QSKIP("no corpus beside the checkout");
    RowOutcome outcome;
    const QImage ours = RowLoad::scaled(path, Box, &outcome);
    const QImage reference = CodecFiles::libheifDecode(path, Box);
    if (reference.isNull()) {
        QVERIFY(ours.isNull());
        QVERIFY(!OutcomeText::reason(outcome).isEmpty());
        return;
    }
    QVERIFY2(!ours.isNull(), qPrintable(OutcomeText::reason(outcome) + " " + outcome.systemError));
    QCOMPARE(ours.size(), reference.size());
    const Difference d = difference(ours, reference);
    QVERIFY2(d.mean < 2.5, qPrintable(QString("mean difference %1").arg(d.mean)));
}

void TestHeif::roundTrip_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QSize>("size");
    QTest::newRow("heic to heic") << "a.heic"
                                  << "a-out.heic" << QSize(300, 200);
    QTest::newRow("heic to avif") << "b.heic"
                                  << "b-out.avif" << QSize(200, 300);
    QTest::newRow("avif to heic") << "c.avif"
                                  << "c-out.HEIC" << QSize(301, 199);
    QTest::newRow("avif to png") << "d.avif"
                                 << "d-out.png" << QSize(300, 200);
    QTest::newRow("heic to jpeg") << "e.hif"
                                  << "e-out.jpg" << QSize(300, 200);
    QTest::newRow("jpeg to avif, enlarged") << "f.jpg"
                                            << "f-out.avif" << QSize(120, 80);
}

// The output holds the source's pixels at the new size, within what lossy coding changes.
void TestHeif::roundTrip()
{
    QFETCH(QString, source);
    QFETCH(QString, output);
    QFETCH(QSize, size);
    QVERIFY(TestImages::write(dir.filePath(source), size, 95));
    const RowOutcome outcome = runRow(dir.filePath(source), dir.filePath(output));
    QVERIFY2(outcome.status == RowOutcome::Written, qPrintable(OutcomeText::reason(outcome)));
    QCOMPARE(TestImages::uprightSize(dir.filePath(output)), fitInSquare(size, Box));
    RowOutcome reread;
    const QImage written = RowLoad::scaled(dir.filePath(output), Box, &reread);
    const QImage expected = sampleNearest(TestImages::pattern(size), fitInSquare(size, Box));
    QVERIFY(difference(written, expected).mean < 12);
}

// A file that declares more pixels than the program accepts is refused from its header, with
// the declared size, before any decode.
void TestHeif::declaredTooLarge()
{
    const QString source = dir.filePath("huge.heic");
    QVERIFY(TestImages::write(source, QSize(64, 48)));
    QByteArray bytes = TestImages::readAll(source);
    const QByteArray side("\0\0\x9c\x40", 4); // 40000
    int patched = 0; // the image's and, where the encoder wrapped it in a grid, its tile's
    for (int at = bytes.indexOf("ispe"); at > 0; at = bytes.indexOf("ispe", at + 1), ++patched)
        bytes.replace(at + 8, 8, side + side);
    QVERIFY(patched > 0);
    QVERIFY(TestImages::writeAll(source, bytes));
    const QString output = dir.filePath("huge-out.png");
    const RowOutcome outcome = runRow(source, output);
    QCOMPARE(outcome.status, RowOutcome::TooLarge);
    QCOMPARE(outcome.imageSize, QSize(40000, 40000));
    QVERIFY(!QFile::exists(output));
}

void TestHeif::gridTiled_data()
{
    QTest::addColumn<bool>("avif");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("cores");
    QTest::addColumn<QSize>("upright");
    const QSize odd(301, 203), turned(203, 301);
    QTest::newRow("heic, odd edges") << false << odd << QStringList() << 1 << odd;
    QTest::newRow("heic, tiles exactly")
        << false << QSize(256, 256) << QStringList() << 2 << QSize(256, 256);
    QTest::newRow("heic, irot 1") << false << odd << QStringList{"irot 1"} << 1 << turned;
    QTest::newRow("heic, irot 2, two cores") << false << odd << QStringList{"irot 2"} << 2 << odd;
    QTest::newRow("heic, irot 3, two cores")
        << false << odd << QStringList{"irot 3"} << 2 << turned;
    QTest::newRow("heic, imir 0") << false << odd << QStringList{"imir 0"} << 1 << odd;
    QTest::newRow("heic, imir 1 then irot 1")
        << false << odd << QStringList{"imir 1", "irot 1"} << 2 << turned;
    QTest::newRow("heic, clap at odd offsets")
        << false << odd << QStringList{"clap 181 121 -11 7"} << 1 << QSize(181, 121);
    QTest::newRow("heic, clap, irot 3, imir 0")
        << false << odd << QStringList{"clap 200 151 3 -5", "irot 3", "imir 0"} << 2
        << QSize(151, 200);
    QTest::newRow("heic, irot 1 then clap")
        << false << odd << QStringList{"irot 1", "clap 99 250 1 0"} << 1 << QSize(99, 250);
    QTest::newRow("avif, irot 1, two cores") << true << odd << QStringList{"irot 1"} << 2 << turned;
    QTest::newRow("avif, clap, imir 1")
        << true << odd << QStringList{"clap 255 180 0 -3", "imir 1"} << 1 << QSize(255, 180);
}

// A grid decoded tile by tile gives exactly the pixels of libheif's whole decode, every
// pixel read at full size and reduced smoothly, and holds tiles rather than planes.
void TestHeif::gridTiled()
{
    QFETCH(bool, avif);
    QFETCH(QSize, size);
    QFETCH(QStringList, steps);
    QFETCH(int, cores);
    QFETCH(QSize, upright);
    const QString path = dir.filePath(avif ? "grid.avif" : "grid.heic");
    QVERIFY(writeSyntheticGrid(path, TestImages::pattern(size), QSize(128, 128), avif, steps));
    const WorkerCores::Scope scope(cores, 0);
    const int side = qMax(size.width(), size.height());
    for (const Target &target : {Target(side), Target(157, Resampling::Smooth)}) {
        const Decoded whole = decodeHeif(path, target, true);
        const Decoded tiled = decodeHeif(path, target, false);
        QVERIFY2(whole.status == Formats::Status::Decoded, qPrintable(whole.words));
        QVERIFY2(tiled.status == Formats::Status::Decoded, qPrintable(tiled.words));
        QCOMPARE(tiled.stored, upright);
        QCOMPARE(tiled.image.size(), whole.image.size());
        QCOMPARE(tiled.image.format(), whole.image.format());
        QCOMPARE(differingPixels(tiled.image, whole.image), 0);
        QCOMPARE(tiled.image.colorSpace(), whole.image.colorSpace());
        QVERIFY(tiled.estimate < whole.estimate);
    }
}

void TestHeif::gridCorpus_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("cores");
    const QStringList files = corpusFiles("heif", "*grid*");
    if (files.isEmpty())
        QTest::newRow("no corpus") << QString() << 1;
    for (const QString &path : files) {
        const QString name = QFileInfo(path).fileName();
        QTest::newRow(qPrintable(name + ", one core")) << path << 1;
        QTest::newRow(qPrintable(name + ", two cores")) << path << 2;
    }
}

// The grids phones and encoders wrote: tile by tile, exactly libheif's whole image.
void TestHeif::gridCorpus()
{
    QFETCH(QString, path);
    QFETCH(int, cores);
    if (path.isEmpty())
        QSKIP("no corpus beside the checkout");
    const WorkerCores::Scope scope(cores, 0);
    const Target target(4096, Resampling::Smooth);
    const Decoded whole = decodeHeif(path, target, true);
    const Decoded tiled = decodeHeif(path, target, false);
    QCOMPARE(tiled.status, whole.status);
    QVERIFY(tiled.estimate < whole.estimate);
    QCOMPARE(tiled.image.size(), whole.image.size());
    QCOMPARE(differingPixels(tiled.image, whole.image), 0);
}

void TestHeif::gridBoxDamaged_data()
{
    QTest::addColumn<QByteArray>("box");
    for (const char *box : {"pitm", "iinf", "iref", "iloc", "idat", "ispe", "ipma", "clap", "irot"})
        QTest::newRow(box) << QByteArray(box);
}

// Every byte of a box the grid is read from, changed in turn: the tiles give what the whole
// decode gives, its pixels or its refusal, and never crash.
void TestHeif::gridBoxDamaged()
{
    QFETCH(QByteArray, box);
    const QString path = dir.filePath("boxes.heic");
    QVERIFY(writeSyntheticGrid(path, TestImages::pattern(QSize(200, 150)), QSize(128, 128), false,
                               {"clap 181 121 -11 7", "irot 1", "imir 0"}));
    const QByteArray bytes = TestImages::readAll(path);
    const int start = bytes.indexOf(box) - 4;
    QVERIFY(start > 0);
    const int size = int(qFromBigEndian<quint32>(bytes.constData() + start));
    const QString damaged = dir.filePath("box-damaged.heic");
    const Target target(64, Resampling::Smooth);
    for (int at = start; at < start + size; ++at) {
        QByteArray changed = bytes;
        changed[at] = char(changed.at(at) ^ (at % 2 ? 0x81 : 0x7e));
        QVERIFY(TestImages::writeAll(damaged, changed));
        const Decoded whole = decodeHeif(damaged, target, true);
        const Decoded tiled = decodeHeif(damaged, target, false);
        const QString where = QString("byte %1 of the box").arg(at - start);
        QVERIFY2(tiled.status == whole.status, qPrintable(where + QString(": %1 %2, %3 %4")
                                                                      .arg(int(tiled.status))
                                                                      .arg(tiled.words)
                                                                      .arg(int(whole.status))
                                                                      .arg(whole.words)));
        // Where the tiles were not taken, both are libheif's, which may leave pixels unset.
        const bool tiles = tiled.estimate != whole.estimate;
        QVERIFY2(!tiles || differingPixels(tiled.image, whole.image) == 0, qPrintable(where));
    }
}

void TestHeif::gridTileDamaged_data()
{
    QTest::addColumn<bool>("avif");
    QTest::addColumn<double>("keep");
    QTest::newRow("heic, last tile cut short") << false << 0.95;
    QTest::newRow("heic, tiles cut at half") << false << 0.5;
    QTest::newRow("avif, last tile cut short") << true << 0.95;
}

// A grid whose tiles end early is refused as the whole decode refuses it, and nothing written.
void TestHeif::gridTileDamaged()
{
    QFETCH(bool, avif);
    QFETCH(double, keep);
    const QString path = dir.filePath(avif ? "whole.avif" : "whole.heic");
    const QString cut = dir.filePath(avif ? "cut-grid.avif" : "cut-grid.heic");
    QVERIFY(writeSyntheticGrid(path, TestImages::pattern(QSize(400, 300)), QSize(128, 128), avif));
    QVERIFY(TestImages::writeCut(path, cut, keep));
    const Target target(100, Resampling::Smooth);
    const Decoded whole = decodeHeif(cut, target, true);
    const Decoded tiled = decodeHeif(cut, target, false);
    QCOMPARE(tiled.status, Formats::Status::Damaged);
    QCOMPARE(whole.status, tiled.status);
    QVERIFY(!tiled.words.isEmpty());
    const QString output = dir.filePath("cut-grid-out.png");
    QFile::remove(output);
    const RowOutcome outcome = runRow(cut, output);
    QCOMPARE(outcome.status, RowOutcome::Damaged);
    QVERIFY(!QFile::exists(output));
}

void TestHeif::hostile_data()
{
    QTest::addColumn<Hostile>("shape");
    QTest::addColumn<int>("side");
    QTest::addColumn<bool>("upFront"); // refused from the boxes, before any decode
    QTest::addColumn<RowOutcome::Status>("status");
    QTest::addColumn<QString>("word"); // in the reason
    const auto damaged = RowOutcome::Damaged;
    QTest::newRow("alpha 64 x 64") << Hostile::Alpha << 64 << true << damaged << "alpha";
    QTest::newRow("alpha 2048 x 2048") << Hostile::Alpha << 2048 << true << damaged << "alpha";
    QTest::newRow("alpha of the picture's size")
        << Hostile::Alpha << 1024 << false << RowOutcome::Written << QString();
    QTest::newRow("alpha coded 64 x 64, declared 1024 x 1024")
        << Hostile::AlphaCodedSmaller << 64 << false << damaged << "alpha";
    QTest::newRow("grid, alpha 64 x 64") << Hostile::GridAlpha << 64 << true << damaged << "alpha";
    QTest::newRow("grid, alpha grid on a 4096 x 4096 canvas")
        << Hostile::GridAlphaGrid << 4096 << true << damaged << "grille";
    QTest::newRow("grid canvas 65535 x 65535")
        << Hostile::GridCanvas << 65535 << true << damaged << "grille";
    QTest::newRow("grid tiles covering a quarter of the canvas")
        << Hostile::GridSparse << 1024 << true << damaged << "grille";
    QTest::newRow("grid tile 20000 x 20000")
        << Hostile::GridTile << 20000 << true << RowOutcome::TooLarge << "20000";
    QTest::newRow("overlay canvas 32768 x 32768")
        << Hostile::Overlay << 32768 << true << damaged << "superposition";
    QTest::newRow("clap of one pixel") << Hostile::Clap << 1 << true << damaged << "recadrage";
    QTest::newRow("clap beyond the picture")
        << Hostile::Clap << 300 << true << damaged << "recadrage";
}

// A file whose boxes declare one size and hold another is refused with its reason, from the
// boxes alone where they tell, before libheif allocates what they hide; nothing is written.
void TestHeif::hostile()
{
    QFETCH(Hostile, shape);
    QFETCH(int, side);
    QFETCH(bool, upFront);
    QFETCH(RowOutcome::Status, status);
    QFETCH(QString, word);
    const QString path = dir.filePath("hostile.heic");
    QVERIFY(SyntheticHeif::write(path, hostileItems(shape, side)));
    // Checked first, so that a file let through is never decoded here.
    QCOMPARE(RowLoad::memoryEstimate(path, Box) == 0, upFront);
    const QString output = dir.filePath("hostile-out.png");
    QFile::remove(output);
    const RowOutcome outcome = runRow(path, output);
    QVERIFY2(outcome.status == status, qPrintable(OutcomeText::reason(outcome)));
    QCOMPARE(QFile::exists(output), status == RowOutcome::Written);
    if (status == RowOutcome::Written) {
        QCOMPARE(qAlpha(QImage(output).pixel(10, 10)), 200);
        return;
    }
    QVERIFY2(OutcomeText::reason(outcome).contains(word), qPrintable(OutcomeText::reason(outcome)));
}

void TestHeif::tiledAsWhole_data()
{
    QTest::addColumn<QString>("path");
    const QDir found(QFINDTESTDATA("../fuzz/regressions/decode"));
    for (const QString &name : found.entryList({"grid-*.heic"}, QDir::Files))
        QTest::newRow(qPrintable(name)) << found.filePath(name);
}

// What the fuzzers found where the tiles and the whole decode disagreed: tiles coded larger
// than they declare, a damaged tile the output never reads. Same outcome, same pixels, at any
// size.
void TestHeif::tiledAsWhole()
{
    QFETCH(QString, path);
    for (const Target &target : {Target(1), Target(40), Target(160, Resampling::Smooth)}) {
        const Decoded whole = decodeHeif(path, target, true);
        const Decoded tiled = decodeHeif(path, target, false);
        QVERIFY2(tiled.status == whole.status, qPrintable(tiled.words + " / " + whole.words));
        QCOMPARE(differingPixels(tiled.image, whole.image), 0);
    }
}

PARVIMAGE_TEST_MAIN(TestHeif)
#include "tst_heif.moc"
