#include "batch/batchreport.h"
#include "batch/captureindex.h"
#include "batch/naming.h"
#include "batch/presetstore.h"
#include "modalanswerer.h"
#include "system/filetime.h"
#include "testimages.h"
#include "testmain.h"
#include "window/mainwindow.h"
#include "window/presetdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QInputDialog>
#include <QLCDNumber>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QSlider>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

// Saved settings, names from the photos, the list's order and runs that redo nothing: what a
// user repeats at every batch.
class TestRoutine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void savedAndChosen_data();
    void savedAndChosen();
    void launches_data();
    void launches();
    void keptAndBroughtIntoRange();
    void tokens_data();
    void tokens();
    void sorts_data();
    void sorts();
    void skipsDone_data();
    void skipsDone();

private:
    std::unique_ptr<MainWindow> makeWindow();
    static QString choices(MainWindow *window);
    QString configFile() const { return m_config->path() + "/parvimage/parvimage.ini"; }

    std::unique_ptr<QTemporaryDir> m_config;
};

using Setter = std::function<void(MainWindow *)>;
Q_DECLARE_METATYPE(Setter)

namespace {

template <typename T> T *child(QObject *window, const char *name)
{
    return window->findChild<T *>(QLatin1String(name));
}

void trigger(MainWindow *window, const char *action)
{
    child<QAction>(window, action)->trigger();
}

void setSize(MainWindow *window, int size)
{
    // Dragged, as the display follows the slider only then.
    auto *slider = child<QSlider>(window, "horizontalSlider");
    slider->setSliderDown(true);
    slider->setSliderPosition(size);
    slider->setSliderDown(false);
}

void setPattern(MainWindow *window, const QString &pattern)
{
    child<QGroupBox>(window, "changeFilename")->setChecked(true);
    child<QLineEdit>(window, "filename")->setText(pattern);
}

// Saves the window's choices through the dialog, as a user would.
void save(MainWindow *window, const QString &name, bool pattern, bool destination)
{
    ModalAnswerer answerer;
    answerer.expect<PresetDialog>([&](PresetDialog *dialog) {
        child<QComboBox>(dialog, "presetName")->setCurrentText(name);
        child<QCheckBox>(dialog, "withPattern")->setChecked(pattern);
        child<QCheckBox>(dialog, "withDestination")->setChecked(destination);
        dialog->accept();
    });
    trigger(window, "actionPresetSave");
    QVERIFY(answerer.waitDone());
}

QAction *entry(MainWindow *window, const QString &name)
{
    const auto actions = child<QMenu>(window, "menu_Presets")->actions();
    for (QAction *action : actions)
        if (QString(action->text()).remove(QLatin1Char('&')) == name)
            return action;
    return nullptr;
}

// A JPEG of that name, its EXIF date and model where given, its file's time set.
QString photo(const QDir &dir, const QString &name, const QString &taken, const QString &model,
              const QDateTime &fileTime = QDateTime())
{
    const QString path = dir.filePath(name);
    if (!TestImages::write(path, QSize(40, 30)))
        return QString();
    QStringList tags;
    if (!taken.isEmpty())
        tags << "-DateTimeOriginal=" + taken;
    if (!model.isEmpty())
        tags << "-Model=" + model;
    if (!tags.isEmpty() && !TestImages::exiftool(path, tags))
        return QString();
    if (fileTime.isValid())
        FileTime::setModified(path, {fileTime.toSecsSinceEpoch(), 0, true});
    return path;
}

} // namespace

void TestRoutine::init()
{
    m_config = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", m_config->path().toLocal8Bit());
}

std::unique_ptr<MainWindow> TestRoutine::makeWindow()
{
    auto window = std::make_unique<MainWindow>();
    window->show();
    return window;
}

// Every choice the window holds, as one text to compare.
QString TestRoutine::choices(MainWindow *window)
{
    QStringList parts;
    const auto actions = window->findChildren<QAction *>();
    for (QAction *action : actions)
        if (action->isCheckable() && !action->objectName().isEmpty())
            parts << action->objectName() + (action->isChecked() ? "+" : "-") +
                         (action->isEnabled() ? "" : "(off)");
    parts.sort();
    parts << child<QAction>(window, "actionSizeOther")->text()
          << QString::number(child<QSlider>(window, "horizontalSlider")->value())
          << QString::number(child<QLCDNumber>(window, "lcdNumber")->intValue())
          << (child<QGroupBox>(window, "changeFilename")->isChecked() ? "rename" : "keep")
          << child<QLineEdit>(window, "filename")->text()
          << child<QLineEdit>(window, "newPath")->text();
    return parts.join(' ');
}

void TestRoutine::savedAndChosen_data()
{
    QTest::addColumn<Setter>("set");
    QTest::addColumn<bool>("withPattern");
    QTest::addColumn<bool>("withDestination");
    QTest::addColumn<QStringList>("notRestored"); // what the setting does not hold

    const auto actions = [](QStringList names) {
        return Setter([names](MainWindow *w) {
            for (const QString &name : names)
                w->findChild<QAction *>(name)->trigger();
        });
    };
    QTest::newRow("size and smoothing") << Setter([](MainWindow *w) {
        setSize(w, 640);
        trigger(w, "actionSmooth");
    }) << false << false << QStringList();
    QTest::newRow("format, quality and a limit of the menu")
        << actions(
               {"actionFormatWebp", "actionQualityCompact", "actionSize500", "actionJpegBaseline"})
        << false << false << QStringList();
    QTest::newRow("a limit of one's own") << Setter([](MainWindow *w) {
        ModalAnswerer answerer;
        answerer.expect<QInputDialog>([](QInputDialog *dialog) {
            dialog->setIntValue(350);
            dialog->accept();
        });
        trigger(w, "actionSizeOther");
        QVERIFY(answerer.waitDone());
    }) << false << false << QStringList();
    QTest::newRow("shape: side, frame, subject, other sizes")
        << actions({"actionSideHeight", "actionFrame4x5", "actionFrameSubject", "actionExtra320",
                    "actionExtra1920"})
        << false << false << QStringList();
    QTest::newRow("what the files carry, and the run's own choices")
        << actions({"actionMetadataNoLocation", "actionSrgb", "actionNoEnlarge", "actionKeepDate",
                    "actionSubfolders", "actionSkipDone"})
        << false << false << QStringList();
    const Setter named = [](MainWindow *w) {
        setPattern(w, "envoi-{date}-%1");
        child<QLineEdit>(w, "newPath")->setText("/tmp/envois");
    };
    QTest::newRow("rename and destination held") << named << true << true << QStringList();
    QTest::newRow("neither held") << named << false << false
                                  << QStringList{"rename", "envoi-{date}-%1", "/tmp/envois"};
    QTest::newRow("the destination alone")
        << named << false << true << QStringList{"rename", "envoi-{date}-%1"};
}

// Chosen in a later launch, the setting restores every choice it holds and no other.
void TestRoutine::savedAndChosen()
{
    QFETCH(Setter, set);
    QFETCH(bool, withPattern);
    QFETCH(bool, withDestination);
    QFETCH(QStringList, notRestored);

    auto window = makeWindow();
    const QString start = choices(window.get());
    set(window.get());
    const QString wanted = choices(window.get());
    QVERIFY(wanted != start);
    save(window.get(), "Courriel", withPattern, withDestination);

    auto later = makeWindow();
    QCOMPARE(choices(later.get()), start);
    QAction *saved = entry(later.get(), "Courriel");
    QVERIFY(saved);
    saved->trigger();
    QString expected = wanted;
    for (const QString &part : notRestored)
        expected.replace(" " + part, " " + (part == "rename" ? QString("keep") : QString()));
    QCOMPARE(choices(later.get()), expected);
}

void TestRoutine::launches_data()
{
    QTest::addColumn<QByteArray>("file"); // "dir" for a folder in the file's place
    QTest::addColumn<bool>("saysWhy");
    QTest::addColumn<int>("size"); // the slider at launch

    const QByteArray preset = "[preset1]\nname=Web\nsize=500\nsmooth=true\n";
    QTest::newRow("no file") << QByteArray() << false << 1024;
    QTest::newRow("empty") << QByteArray("") << false << 1024;
    QTest::newRow("damaged") << QByteArray("[General\n\0\xff\xfe garbage", 20) << true << 1024;
    QTest::newRow("not text") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << true << 1024;
    QTest::newRow("foreign") << QByteArray("[Colors]\nbackground=#fff\n") << false << 1024;
    QTest::newRow("later version")
        << "[General]\nversion=2\nstartWithLast=true\nlastChosen=Web\n" + preset << true << 1024;
    QTest::newRow("unreadable") << QByteArray("dir") << true << 1024;
    QTest::newRow("start option on")
        << "[General]\nversion=1\nstartWithLast=true\nlastChosen=Web\n" + preset << false << 500;
    QTest::newRow("start option off")
        << "[General]\nversion=1\nstartWithLast=false\nlastChosen=Web\n" + preset << false << 1024;
    QTest::newRow("start option on, setting deleted")
        << QByteArray("[General]\nversion=1\nstartWithLast=true\nlastChosen=Web\n") << false
        << 1024;
}

// Whatever the file holds, the window starts, says why once where it cannot take the file,
// and writes nothing.
void TestRoutine::launches()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, saysWhy);
    QFETCH(int, size);

    const QString path = configFile();
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (file == "dir")
        QVERIFY(QDir().mkpath(path));
    else if (!file.isNull())
        QVERIFY(TestImages::writeAll(path, file));
    const QString start = choices(makeWindow().get());

    auto window = makeWindow();
    const QString message = window->statusBar()->currentMessage();
    QCOMPARE(!message.isEmpty(), saysWhy);
    if (saysWhy)
        QVERIFY2(message.contains("valeurs de départ"), qPrintable(message));
    QCOMPARE(child<QSlider>(window.get(), "horizontalSlider")->value(), size);
    if (size == 1024)
        QCOMPARE(choices(window.get()), start);
    if (file != "dir")
        QCOMPARE(TestImages::readAll(path), file);
    QCOMPARE(QFileInfo::exists(path), !file.isNull());

    // A file the program cannot take as its own is never written over.
    if (saysWhy && file != "dir") {
        ModalAnswerer answerer;
        answerer.expectMessage(QMessageBox::Ok);
        save(window.get(), "Nouveau", false, false);
        QVERIFY(answerer.waitDone());
        QCOMPARE(TestImages::readAll(path), file);
    }
}

// A value out of range comes back in range, an unknown one as the start value, and keys this
// version does not know stay in the file when it is written again.
void TestRoutine::keptAndBroughtIntoRange()
{
    const QString path = configFile();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QVERIFY(TestImages::writeAll(path, "[General]\nversion=1\nfutureChoice=7\n"
                                       "[preset1]\nname=Bizarre\nsize=99999\nmaxKo=3\n"
                                       "quality=ultra\nformat=bmp\nextraSizes=320,777,abc\n"
                                       "frame=whole\nsubject=true\nlater=kept\n"));
    auto window = makeWindow();
    entry(window.get(), "Bizarre")->trigger();
    QCOMPARE(child<QSlider>(window.get(), "horizontalSlider")->value(), 2048);
    QVERIFY(child<QAction>(window.get(), "actionSizeOther")->isChecked());
    QCOMPARE(child<QAction>(window.get(), "actionSizeOther")->text(), QString("&Autre (20 Ko)…"));
    QVERIFY(child<QAction>(window.get(), "actionQualityNormal")->isChecked());
    QVERIFY(child<QAction>(window.get(), "actionFormatSource")->isChecked());
    QVERIFY(child<QAction>(window.get(), "actionExtra320")->isChecked());
    QVERIFY(!child<QAction>(window.get(), "actionFrameSubject")->isChecked());

    save(window.get(), "Autre", false, false);
    const QByteArray written = TestImages::readAll(path);
    QVERIFY(written.contains("futureChoice=7"));
    QVERIFY(written.contains("later=kept"));
    QVERIFY(entry(window.get(), "Autre"));
    QVERIFY(entry(window.get(), "Bizarre"));
}

void TestRoutine::tokens_data()
{
    QTest::addColumn<QString>("source"); // made by `make` below, or a corpus file
    QTest::addColumn<QString>("taken");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("expected"); // the base name of the output

    QTest::newRow("jpeg, every token") << "a.jpg"
                                       << "2024:07:14 18:03:09"
                                       << "Canon EOS 5D"
                                       << "{date}_{heure}_{appareil}_{nom}"
                                       << "2024-07-14_18h03m09_Canon EOS 5D_a000";
    QTest::newRow("jpeg without a date: the file's time") << "b.jpg"
                                                          << ""
                                                          << ""
                                                          << "{date} {heure}"
                                                          << "2021-02-03 04h05m06000";
    QTest::newRow("characters a name cannot hold") << "c.jpg"
                                                   << "2024:07:14 18:03:09"
                                                   << " Mk<II>/5D:\"x\"*?| ."
                                                   << "{appareil}-%1"
                                                   << "MkII5Dx-000";
    QTest::newRow("number where the pattern sets it") << "d.jpg"
                                                      << "2024:07:14 18:03:09"
                                                      << ""
                                                      << "%1 {date}"
                                                      << "000 2024-07-14";
    QTest::newRow("unknown token kept, no model") << "e.jpg"
                                                  << "2024:07:14 18:03:09"
                                                  << ""
                                                  << "{jour}{appareil}"
                                                  << "{jour}000";
    QTest::newRow("webp") << "f.webp"
                          << "2023:01:02 03:04:05"
                          << "Pixel 8"
                          << "{date}_{appareil}"
                          << "2023-01-02_Pixel 8000";
    QTest::newRow("heic") << "g.heic"
                          << "2022:11:12 13:14:15"
                          << "iPhone 15"
                          << "{heure}_{appareil}"
                          << "13h14m15_iPhone 15000";
    QTest::newRow("png") << "h.png"
                         << "2020:05:06 07:08:09"
                         << ""
                         << "{date}"
                         << "2020-05-06000";
    QTest::newRow("raw (corpus)") << "corpus:raw/Magick.NET_DSC8695.dng"
                                  << ""
                                  << ""
                                  << "{date}_{appareil}"
                                  << "exiftool";
    QTest::newRow("raw without a date (corpus)")
        << "corpus:raw/imageio-test_images_Nikon_uncompressed.nef"
        << ""
        << ""
        << "{date}_{appareil}"
        << "exiftool";
}

// Each token from the photo's own header, in JPEG, WebP, HEIC, PNG and raw, or from its file.
void TestRoutine::tokens()
{
    QFETCH(QString, source);
    QFETCH(QString, taken);
    QFETCH(QString, model);
    QFETCH(QString, pattern);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    QString path;
    if (source.startsWith("corpus:")) {
        path = qEnvironmentVariable("PARVIMAGE_CORPORA") + "/" + source.mid(7);
        if (!QFileInfo::exists(path))
            QSKIP("no corpus");
        QString date = TestImages::exifValues(path, {"DateTimeOriginal"}).left(10);
        if (date.isEmpty())
            date = QFileInfo(path).lastModified().toString("yyyy:MM:dd");
        expected = date.replace(':', '-') + "_" + TestImages::exifValues(path, {"Model"}) + "000";
    } else {
        const QString jpeg = photo(QDir(dir.path()), "source.jpg", taken, model,
                                   QDateTime(QDate(2021, 2, 3), QTime(4, 5, 6)));
        QVERIFY(!jpeg.isEmpty());
        path = dir.filePath(source);
        if (!source.endsWith(".jpg")) {
            QCOMPARE(TestImages::runRow(jpeg, path, 40).status, RowOutcome::Written);
            if (!taken.isEmpty() || !model.isEmpty()) {
                QStringList tags;
                if (!taken.isEmpty())
                    tags << "-DateTimeOriginal=" + taken;
                if (!model.isEmpty())
                    tags << "-Model=" + model;
                QVERIFY(TestImages::exiftool(path, tags));
            }
        } else {
            QVERIFY(QFile::rename(jpeg, path));
        }
    }

    BatchSettings settings;
    settings.rename = true;
    settings.pattern = pattern;
    settings.destination = QDir::tempPath();
    // Its twin, taken the same second under the same name: the row's number tells them apart.
    const QString twin = dir.filePath("twin/" + QFileInfo(path).fileName());
    QVERIFY(QDir().mkpath(dir.filePath("twin")) && QFile::copy(path, twin));
    QVERIFY(FileTime::setModified(twin, FileTime::modified(path)));
    const QVector<PlannedRow> plan = planBatch({path, twin}, settings);
    QCOMPARE(QFileInfo(plan.at(0).outputs.at(0).path).baseName(), expected);
    const int number = expected.lastIndexOf("000");
    QCOMPARE(QFileInfo(plan.at(1).outputs.at(0).path).baseName(),
             expected.left(number) + "001" + expected.mid(number + 3));
    QCOMPARE(plan.at(1).outputs.at(0).outcome.status, RowOutcome::Pending);
}

void TestRoutine::sorts_data()
{
    QTest::addColumn<bool>("byDate");
    QTest::addColumn<QStringList>("expected");

    // Listed in this order; names and dates chosen so that each sort differs from the other.
    QTest::newRow("by date, ties and dateless")
        << true << QStringList{"b.jpg", "photo 10.jpg", "photo 9.jpg", "A.jpg", "c.jpg"};
    QTest::newRow("by name, numbers and case")
        << false << QStringList{"A.jpg", "b.jpg", "c.jpg", "photo 9.jpg", "photo 10.jpg"};
}

// Both sorts move rows with what they carry; rows that tie keep their order; a photo without a
// date sorts by its file's time.
void TestRoutine::sorts()
{
    QFETCH(bool, byDate);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    const QDir folder(dir.path());
    const QDateTime file(QDate(2024, 7, 14), QTime(12, 0));
    const QStringList paths{
        photo(folder, "c.jpg", "2024:07:14 18:00:00", ""),
        photo(folder, "photo 9.jpg", "2024:07:14 10:00:00", ""),
        photo(folder, "A.jpg", "", "", file), // between the two mornings
        photo(folder, "b.jpg", "2024:07:14 09:00:00", ""),
        photo(folder, "photo 10.jpg", "2024:07:14 09:00:00", ""), // the same second as b
    };
    QVERIFY(!paths.contains(QString()));
    auto window = makeWindow();
    auto *list = child<QListWidget>(window.get(), "pictureList");
    for (const QString &path : paths) {
        list->addItem(path);
        list->item(list->count() - 1)
            ->setData(Qt::UserRole + 1, "tree/" + QFileInfo(path).fileName());
    }
    list->setCurrentRow(0);
    trigger(window.get(), byDate ? "actionSortByDate" : "actionSortByName");

    QStringList names;
    for (int row = 0; row < list->count(); ++row) {
        const QString name = QFileInfo(list->item(row)->text()).fileName();
        names << name;
        QCOMPARE(list->item(row)->data(Qt::UserRole + 1).toString(), "tree/" + name);
    }
    QCOMPARE(names, expected);
    QCOMPARE(QFileInfo(list->currentItem()->text()).fileName(), QString("c.jpg"));
}

void TestRoutine::skipsDone_data()
{
    QTest::addColumn<QString>("state"); // of the outputs before the second run
    QTest::addColumn<bool>("skipDone");
    QTest::addColumn<bool>("skipped");

    QTest::newRow("nothing new") << "as written" << true << true;
    QTest::newRow("option off") << "as written" << false << false;
    QTest::newRow("output older than its source") << "older" << true << false;
    QTest::newRow("one size missing") << "extra missing" << true << false;
    QTest::newRow("the source's own time kept") << "same time" << true << true;
    QTest::newRow("written over its source") << "in place" << true << false;
}

// A row whose every output is there and not older than its source is left as it is, counted
// apart; any other is done again.
void TestRoutine::skipsDone()
{
    QFETCH(QString, state);
    QFETCH(bool, skipDone);
    QFETCH(bool, skipped);

    QTemporaryDir dir;
    const QDateTime sourceTime = QDateTime::currentDateTime().addDays(-2);
    const QString source = photo(QDir(dir.path()), "a.jpg", "", "", sourceTime);
    QVERIFY(!source.isEmpty());
    BatchSettings settings;
    settings.skipDone = skipDone;
    if (state != "in place")
        settings.destination = dir.filePath("out");
    QDir().mkpath(settings.destination);
    settings.options.geometry.extraSizes = {20};
    const QString main = dir.filePath("out/a.jpg"), extra = dir.filePath("out/a-20.jpg");
    if (state != "in place") {
        QVERIFY(TestImages::write(main, QSize(8, 8)));
        QVERIFY(TestImages::write(extra, QSize(8, 8)));
    }
    const auto stamp = [](const QDateTime &time) {
        return FileTime::Stamp{time.toSecsSinceEpoch(), 0, true};
    };
    if (state == "older")
        FileTime::setModified(extra, stamp(sourceTime.addSecs(-1)));
    if (state == "extra missing")
        QFile::remove(extra);
    if (state == "same time") {
        FileTime::setModified(main, stamp(sourceTime));
        FileTime::setModified(extra, stamp(sourceTime));
    }

    const QVector<PlannedRow> plan = planBatch({source}, settings);
    const RowOutcome::Status expected = skipped ? RowOutcome::AlreadyDone : RowOutcome::Pending;
    for (const PlannedOutput &output : plan.at(0).outputs)
        QCOMPARE(output.outcome.status, expected);
    QCOMPARE(plan.at(0).hasWork(), !skipped);
    if (skipped) {
        const BatchReport report = BatchReport::make(plan, {plan.at(0).refusedOutcome()});
        QCOMPARE(report.title, QString("Terminé"));
        QVERIFY2(report.text.contains("2 image(s) déjà faite(s)"), qPrintable(report.text));
    }
}

PARVIMAGE_TEST_MAIN(TestRoutine)
#include "tst_routine.moc"
