#include "batch/batchplan.h"
#include "batch/batchreport.h"
#include "batch/outcometext.h"
#include "row/imageresizer.h"
#include "testimages.h"
#include "testmain.h"
#include "window/droppedfiles.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

Q_DECLARE_METATYPE(Side)
Q_DECLARE_METATYPE(Frame)

// What users shape their outputs into: folder trees kept, the side the size bounds, frames, more
// sizes in one run, and photos that need nothing left as they were.
class TestShapes : public QObject
{
    Q_OBJECT

private slots:
    void trees_data();
    void trees();
    void shapes_data();
    void shapes();
    void subject_data();
    void subject();
    void sizes_data();
    void sizes();
    void unchanged_data();
    void unchanged();
    void damagedNotCopied_data();
    void damagedNotCopied();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QVector<RowOutcome> run(const QVector<PlannedRow> &plan, int box);
    QTemporaryDir m_dir;
};

QVector<RowOutcome> TestShapes::run(const QVector<PlannedRow> &plan, int box)
{
    QVector<RowOutcome> outcomes;
    for (const PlannedRow &row : plan)
        outcomes.append(TestImages::process(row, box));
    return outcomes;
}

void TestShapes::trees_data()
{
    QTest::addColumn<bool>("trees");
    QTest::addColumn<bool>("destination");
    QTest::addColumn<bool>("rename");
    QTest::addColumn<QStringList>("outputs"); // from the destination, or from the tree's parent
    const QStringList kept{"Vacances/a.jpg", "Vacances/Jour 1/a.jpg", "Vacances/Jour 1/Matin/a.jpg",
                           "Vacances/Jour 2/a.jpg"};
    QTest::newRow("tree under a destination") << true << true << false << kept;
    QTest::newRow("tree renamed under a destination")
        << true << true << true
        << QStringList{"Vacances/v000.jpg", "Vacances/Jour 1/v001.jpg",
                       "Vacances/Jour 1/Matin/v002.jpg", "Vacances/Jour 2/v003.jpg"};
    QTest::newRow("tree renamed beside its sources")
        << true << false << true
        << QStringList{"Vacances/v000.jpg", "Vacances/Jour 1/v001.jpg",
                       "Vacances/Jour 1/Matin/v002.jpg", "Vacances/Jour 2/v003.jpg"};
    QTest::newRow("folder alone, as it starts") << false << true << false << QStringList{"a.jpg"};
}

// Same-named photos at every level, a hidden folder and a link to a folder: each photo once, in
// path order, at its place, none lost and nothing asked.
void TestShapes::trees()
{
    QFETCH(bool, trees);
    QFETCH(bool, destination);
    QFETCH(bool, rename);
    QFETCH(QStringList, outputs);
    QTemporaryDir root;
    const QString top = root.filePath("Vacances");
    for (const char *folder : {"Jour 1/Matin", "Jour 2", ".cache"})
        QVERIFY(QDir().mkpath(top + "/" + folder));
    for (const char *photo : {"a.jpg", "Jour 1/a.jpg", "Jour 1/Matin/a.jpg", "Jour 2/a.jpg",
                              ".cache/a.jpg", "Jour 2/.hidden.jpg"})
        QVERIFY(TestImages::write(top + "/" + photo, QSize(400, 300)));
    QVERIFY(QFile::link(top + "/Jour 1", top + "/lien"));

    const QVector<DroppedImage> dropped = droppedImages({QUrl::fromLocalFile(top)}, trees);
    QStringList sources, subfolders;
    for (const DroppedImage &image : dropped) {
        sources.append(image.path);
        subfolders.append(image.subfolder);
    }
    BatchSettings settings;
    settings.options.geometry.size = 200;
    settings.rename = rename;
    settings.pattern = "v";
    settings.destination = destination ? root.filePath("DEST") : QString();
    QVERIFY(QDir().mkpath(root.filePath("DEST")));
    const QVector<PlannedRow> plan = planBatch(sources, settings, subfolders);
    QCOMPARE(plan.size(), outputs.size());
    const QVector<RowOutcome> outcomes = run(plan, settings.options.geometry.size);
    const QString base = destination ? root.filePath("DEST") : root.path();
    for (int i = 0; i < outputs.size(); ++i) {
        QCOMPARE(outcomes.at(i).status, RowOutcome::Written);
        QCOMPARE(QDir::cleanPath(plan.at(i).outputs[0].path),
                 QDir::cleanPath(base + "/" + outputs.at(i)));
        QCOMPARE(TestImages::uprightSize(plan.at(i).outputs[0].path), QSize(200, 150));
    }
}

void TestShapes::shapes_data()
{
    QTest::addColumn<QSize>("stored");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<Side>("side");
    QTest::addColumn<Frame>("frame");
    QTest::addColumn<int>("box");
    QTest::addColumn<bool>("enlarge");
    QTest::addColumn<QSize>("expected");
    const QSize wide(1600, 1200), tall(1200, 1600);
    QTest::newRow("longest side") << wide << 1 << Side::Longest << Frame::Whole << 1024 << true
                                  << QSize(1024, 768);
    QTest::newRow("width of a landscape")
        << wide << 1 << Side::Width << Frame::Whole << 800 << true << QSize(800, 600);
    QTest::newRow("height of a landscape")
        << wide << 1 << Side::Height << Frame::Whole << 800 << true << QSize(1067, 800);
    QTest::newRow("width of a portrait")
        << tall << 1 << Side::Width << Frame::Whole << 800 << true << QSize(800, 1067);
    QTest::newRow("width enlarged")
        << QSize(400, 300) << 1 << Side::Width << Frame::Whole << 800 << true << QSize(800, 600);
    QTest::newRow("height not enlarged")
        << QSize(400, 300) << 1 << Side::Height << Frame::Whole << 800 << false << QSize(400, 300);
    QTest::newRow("square") << wide << 1 << Side::Longest << Frame::Square << 1024 << true
                            << QSize(1024, 1024);
    QTest::newRow("square of a portrait")
        << tall << 1 << Side::Height << Frame::Square << 700 << true << QSize(700, 700);
    QTest::newRow("3:2 landscape")
        << wide << 1 << Side::Longest << Frame::Ratio3x2 << 900 << true << QSize(900, 600);
    QTest::newRow("5:4 landscape")
        << wide << 1 << Side::Longest << Frame::Ratio4x5 << 1024 << true << QSize(1024, 819);
    QTest::newRow("4:5 portrait") << tall << 1 << Side::Longest << Frame::Ratio4x5 << 1024 << true
                                  << QSize(819, 1024);
    QTest::newRow("16:9 by its width")
        << wide << 1 << Side::Width << Frame::Ratio16x9 << 1280 << true << QSize(1280, 720);
    QTest::newRow("2:3 by its height")
        << tall << 1 << Side::Height << Frame::Ratio3x2 << 900 << true << QSize(600, 900);
    QTest::newRow("turned upright, then framed 9:16")
        << wide << 6 << Side::Longest << Frame::Ratio16x9 << 1024 << true << QSize(576, 1024);
    QTest::newRow("square not enlarged") << QSize(800, 600) << 1 << Side::Longest << Frame::Square
                                         << 1024 << false << QSize(600, 600);
}

// Exact sizes, and the frame showing the middle of the upright photo.
void TestShapes::shapes()
{
    QFETCH(QSize, stored);
    QFETCH(int, orientation);
    QFETCH(Side, side);
    QFETCH(Frame, frame);
    QFETCH(int, box);
    QFETCH(bool, enlarge);
    QFETCH(QSize, expected);
    const QString source = path(QString("shape-%1.png").arg(QTest::currentDataTag()));
    QImage stored1 = TestImages::pattern(stored);
    if (orientation != 1) {
        QVERIFY(TestImages::write(source.chopped(3) + "jpg", stored, 95));
        QVERIFY(TestImages::setOrientation(source.chopped(3) + "jpg", orientation));
        QImageReader upright(source.chopped(3) + "jpg");
        upright.setAutoTransform(true);
        stored1 = upright.read();
    } else {
        QVERIFY(stored1.save(source));
    }
    PlannedRow row =
        TestImages::planned(orientation != 1 ? source.chopped(3) + "jpg" : source,
                            path(QString("shaped-%1.png").arg(QTest::currentDataTag())));
    row.options.encoding.format = "png";
    row.options.geometry.resampling = Resampling::Smooth;
    row.options.geometry.enlarge = enlarge;
    row.options.geometry.side = side;
    row.options.geometry.frame = frame;
    QCOMPARE(TestImages::process(row, box).status, RowOutcome::Written);
    const QImage out(row.outputs[0].path);
    QCOMPARE(out.size(), expected);
    // The centred part of the upright photo with the output's proportions, scaled.
    const QSize photo = stored1.size();
    const QSize part = expected.scaled(photo, Qt::KeepAspectRatio);
    const QImage middle = stored1
                              .copy(QRect(QPoint((photo.width() - part.width()) / 2,
                                                 (photo.height() - part.height()) / 2),
                                          part))
                              .scaled(expected, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QVERIFY2(TestImages::difference(out, middle).mean < 6,
             qPrintable(QString::number(TestImages::difference(out, middle).mean)));
}

namespace {

// A smooth grey photo with a patch of vivid coloured noise in it.
QImage photoWithObject(const QSize &size, const QRect &object)
{
    QImage photo(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x) {
            const int grey = 90 + 80 * (x + y) / (size.width() + size.height());
            photo.setPixel(x, y, qRgb(grey, grey, grey));
        }
    QRandomGenerator random(7);
    const QRgb colours[] = {qRgb(230, 20, 20), qRgb(20, 200, 40), qRgb(30, 40, 230),
                            qRgb(240, 220, 10)};
    for (int y = object.top(); y <= object.bottom(); ++y)
        for (int x = object.left(); x <= object.right(); ++x)
            photo.setPixel(x, y, colours[random.bounded(4)]);
    return photo;
}

// The pixels as stored, whatever orientation the file says.
QImage asStored(const QString &path)
{
    QImageReader reader(path);
    reader.setAutoTransform(false);
    return reader.read().convertToFormat(QImage::Format_RGB32);
}

int vividPixels(const QImage &image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            count += qMax(c.red(), qMax(c.green(), c.blue())) -
                         qMin(c.red(), qMin(c.green(), c.blue())) >
                     100;
        }
    return count;
}

} // namespace

void TestShapes::subject_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("object");
    QTest::addColumn<Frame>("frame");
    const QSize wide(1500, 1000), tall(1000, 1500);
    QTest::newRow("square, object left") << wide << QRect(60, 400, 300, 300) << Frame::Square;
    QTest::newRow("square, object right") << wide << QRect(1150, 100, 300, 300) << Frame::Square;
    QTest::newRow("4:5, object top") << tall << QRect(350, 40, 300, 300) << Frame::Ratio4x5;
    QTest::newRow("9:16, object bottom") << tall << QRect(20, 1150, 300, 300) << Frame::Ratio16x9;
    QTest::newRow("3:2, object low left")
        << QSize(1000, 1000) << QRect(40, 680, 280, 280) << Frame::Ratio3x2;
}

// At least 90 % of an object off-centre stays in the frame the subject decides.
void TestShapes::subject()
{
    QFETCH(QSize, size);
    QFETCH(QRect, object);
    QFETCH(Frame, frame);
    const QString source = path(QString("subject-%1.png").arg(QTest::currentDataTag()));
    QVERIFY(photoWithObject(size, object).save(source));
    PlannedRow row = TestImages::planned(
        source, path(QString("subject-out-%1.png").arg(QTest::currentDataTag())));
    row.options.encoding.format = "png";
    row.options.geometry.frame = frame;
    row.options.geometry.subject = true;
    QCOMPARE(TestImages::process(row, 600).status, RowOutcome::Written);
    const QImage out(row.outputs[0].path);
    QCOMPARE(qMax(out.width(), out.height()), 600);
    // The frame spans the photo on one side, which gives the scale.
    const double scale =
        qMax(double(out.width()) / size.width(), double(out.height()) / size.height());
    const double kept = vividPixels(out) / (object.width() * object.height() * scale * scale);
    QVERIFY2(kept >= 0.9, qPrintable(QString::number(kept)));
}

void TestShapes::sizes_data()
{
    QTest::addColumn<QStringList>("names"); // listed, in folders a/ and b/
    QTest::addColumn<bool>("rename");
    QTest::addColumn<QStringList>("written");
    QTest::addColumn<int>("refused");
    QTest::newRow("renamed") << QStringList{"a/x.jpg", "b/y.jpg"} << true
                             << QStringList{"vacances000-320.jpg", "vacances000-640.jpg",
                                            "vacances000.jpg",     "vacances001-320.jpg",
                                            "vacances001-640.jpg", "vacances001.jpg"}
                             << 0;
    QTest::newRow("same names clash, every size")
        << QStringList{"a/x.jpg", "b/x.jpg"} << false
        << QStringList{"x-320.jpg", "x-640.jpg", "x.jpg"} << 3;
}

// Every size of every photo named with its size, clashes found for each.
void TestShapes::sizes()
{
    QFETCH(QStringList, names);
    QFETCH(bool, rename);
    QFETCH(QStringList, written);
    QFETCH(int, refused);
    QTemporaryDir root;
    QStringList sources;
    for (const QString &name : names) {
        QVERIFY(QDir().mkpath(QFileInfo(root.filePath(name)).path()));
        QVERIFY(TestImages::write(root.filePath(name), QSize(1600, 1000)));
        sources.append(root.filePath(name));
    }
    BatchSettings settings;
    settings.rename = rename;
    settings.pattern = "vacances";
    settings.destination = root.filePath("out");
    settings.options.geometry.extraSizes = {640, 1024, 320};
    QVERIFY(QDir().mkpath(settings.destination));
    const QVector<PlannedRow> plan = planBatch(sources, settings);
    const QVector<RowOutcome> outcomes = run(plan, settings.options.geometry.size);
    QCOMPARE(QDir(settings.destination).entryList(QDir::Files, QDir::Name), written);
    for (const QString &name : written) {
        const int size = name.contains("-") ? name.section('-', 1).chopped(4).toInt() : 1024;
        QCOMPARE(TestImages::uprightSize(QDir(settings.destination).filePath(name)).width(), size);
    }
    const BatchReport report = BatchReport::make(plan, outcomes);
    // Each source written from counted once, however many outputs it has.
    qint64 before = 0;
    for (int i = 0; i < sources.size(); ++i)
        if (outcomes.at(i).status == RowOutcome::Written)
            before += QFileInfo(sources.at(i)).size();
    QVERIFY2(
        report.informative.startsWith(
            QString("%1 images : %2 →").arg(written.size()).arg(OutcomeText::frenchSize(before))),
        qPrintable(report.informative));
    QCOMPARE(report.details.section("Tailles avant et après :", 1).trimmed().split('\n').size(),
             written.size());
    QCOMPARE(report.text.contains(
                 QString("%1 image(s) redimensionnée(s) sur %2").arg(written.size()).arg(6)),
             refused > 0);
}

void TestShapes::unchanged_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QString>("output");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<QString>("how"); // empty: coded again
    QTest::newRow("JPEG copied") << "c.jpg" << QSize(640, 480) << 1 << "jpg" << qint64(0)
                                 << "copiée telle quelle";
    QTest::newRow("PNG copied") << "c.png" << QSize(300, 200) << 1 << "png" << qint64(0)
                                << "copiée telle quelle";
    QTest::newRow("WebP copied") << "c.webp" << QSize(300, 200) << 1 << "webp" << qint64(0)
                                 << "copiée telle quelle";
    QTest::newRow("JPEG turned") << "t.jpg" << QSize(640, 480) << 6 << "jpg" << qint64(0)
                                 << "tournée sans perte";
    QTest::newRow("JPEG mirrored and turned")
        << "m.jpg" << QSize(640, 480) << 7 << "jpg" << qint64(0) << "tournée sans perte";
    QTest::newRow("JPEG off whole blocks, coded")
        << "o.jpg" << QSize(650, 485) << 6 << "jpg" << qint64(0) << "";
    QTest::newRow("other format, coded")
        << "f.jpg" << QSize(300, 200) << 1 << "png" << qint64(0) << "";
    QTest::newRow("over the limit, coded")
        << "l.jpg" << QSize(640, 480) << 1 << "jpg" << qint64(20000) << "";
}

// A photo already within the size, in its own format, comes out as it was, or turned by the
// lossless transform as jpegtran turns it, its orientation corrected.
void TestShapes::unchanged()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    QFETCH(int, orientation);
    QFETCH(QString, output);
    QFETCH(qint64, limit);
    QFETCH(QString, how);
    const QString source = path(name);
    QVERIFY(TestImages::write(source, size, 92));
    if (orientation != 1)
        QVERIFY(TestImages::setOrientation(source, orientation));
    QVERIFY(QDir().mkpath(path("same")));
    PlannedRow row = TestImages::planned(
        source, path("same/" + QFileInfo(name).completeBaseName() + "." + output));
    row.options.encoding.format = output.toUtf8();
    row.options.geometry.enlarge = false;
    row.options.encoding.maxBytes = limit;
    const RowOutcome outcome = TestImages::process(row, 1024);
    QCOMPARE(outcome.status, RowOutcome::Written);
    const QString details = BatchReport::make({row}, {outcome}).details;
    QCOMPARE(details.contains("copiée telle quelle") || details.contains("tournée sans perte"),
             !how.isEmpty());
    QVERIFY(how.isEmpty() || details.contains(how));
    QCOMPARE(outcome.encodes > 0, how.isEmpty());
    if (how == "copiée telle quelle")
        QCOMPARE(TestImages::readAll(row.outputs[0].path), TestImages::readAll(source));
    if (how != "tournée sans perte")
        return;
    QCOMPARE(TestImages::exifValues(row.outputs[0].path, {"Orientation"}).trimmed(), QString("1"));
    const QString reference = path("jpegtran-" + name);
    const QStringList turn =
        orientation == 6 ? QStringList{"-rotate", "90"} : QStringList{"-transverse"};
    QCOMPARE(QProcess::execute("jpegtran",
                               turn + QStringList{"-perfect", "-outfile", reference, source}),
             0);
    QCOMPARE(asStored(row.outputs[0].path), asStored(reference));
}

void TestShapes::damagedNotCopied_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("at"); // where it is spoilt, from the end
    QTest::addColumn<QByteArray>("spoilt");
    QTest::newRow("JPEG, a stray marker in its coded data")
        << "d.jpg" << 3000 << QByteArray("\xff\xd5\xff\xd3");
    QTest::newRow("PNG, its pixels' checksum wrong") << "d.png" << 20 << QByteArray("\x5a\x5a");
}

// A damaged photo that would otherwise be copied as it is is refused, as decoding refuses it:
// never a copy reported as a success.
void TestShapes::damagedNotCopied()
{
    QFETCH(QString, name);
    QFETCH(int, at);
    QFETCH(QByteArray, spoilt);
    const QString source = path(name);
    QVERIFY(TestImages::write(source, QSize(640, 480), 92));
    QByteArray bytes = TestImages::readAll(source);
    bytes.replace(bytes.size() - at, spoilt.size(), spoilt);
    QVERIFY(TestImages::writeAll(source, bytes));
    QVERIFY(QDir().mkpath(path("damaged")));
    PlannedRow row = TestImages::planned(source, path("damaged/" + name));
    row.options.encoding.format = QFileInfo(name).suffix().toUtf8();
    row.options.geometry.enlarge = false;
    const RowOutcome outcome = TestImages::process(row, 1024);
    QVERIFY2(outcome.isFailure(), qPrintable(OutcomeText::reason(outcome)));
    QVERIFY(!QFileInfo::exists(row.outputs[0].path));
}

PARVIMAGE_TEST_MAIN(TestShapes)
#include "tst_shapes.moc"
