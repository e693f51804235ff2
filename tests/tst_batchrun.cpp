#include "batch/batchreport.h"
#include "batch/batchrunner.h"
#include "batch/outcometext.h"
#include "modalanswerer.h"
#include "testimages.h"
#include "testmain.h"
#include "window/mainwindow.h"
#include "window/toolkitfrench.h"

#include <QActionGroup>
#include <QApplication>
#include <QGroupBox>
#include <QImageReader>
#include <QLCDNumber>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <sys/resource.h>

Q_DECLARE_METATYPE(QMessageBox::StandardButton)

// Sees every progress dialog as it is shown, before the run starts, and follows its bar.
class ProgressWatcher : public QObject
{
public:
    ProgressWatcher() { qApp->installEventFilter(this); }
    int shown = 0;
    int maximum = -1;
    int lastValue = -1;
    Qt::WindowModality modality = Qt::NonModal;
    int cancelAtValue = -1;
    std::function<void(int)> onValue;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        auto *dialog = qobject_cast<QProgressDialog *>(object);
        if (event->type() == QEvent::Show && dialog && !dialog->property("watched").toBool()) {
            dialog->setProperty("watched", true);
            ++shown;
            modality = dialog->windowModality();
            maximum = dialog->maximum();
            connect(dialog->findChild<QProgressBar *>(), &QProgressBar::valueChanged, this,
                    [this, dialog](int value) {
                        lastValue = value;
                        if (value == cancelAtValue)
                            dialog->cancel();
                        if (onValue)
                            onValue(value);
                    });
        }
        return false;
    }
};

class TestBatchRun : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void noFiles();
    void overwriteQuestion_data();
    void overwriteQuestion();
    void renameAsksNothing();
    void failuresAreReported();
    void firstRowKeepsClashingOutput();
    void cancelAfterFirstRow();
    void sliderValueWins();
    void earlyRowWinsOnWorkers();
    void cancelKeepsStartedRows();
    void reportLists_data();
    void reportLists();
    void dropRefusedDuringRun();
    void smoothOption_data();
    void smoothOption();
    void faultsWhileWriting_data();
    void faultsWhileWriting();
    void optionsAtStart_data();
    void optionsAtStart();
    void convertBesideSources_data();
    void convertBesideSources();
    void jpegScansChosen_data();
    void jpegScansChosen();
    void toolkitButtonsInFrench();

private:
    template <typename T> T *child(const char *name) const
    {
        return window->findChild<T *>(QLatin1String(name));
    }
    QString image(const QString &name, const QSize &size = QSize(400, 300));
    void add(const QStringList &paths);
    void setOutput(bool rename, const QString &pattern, const QString &destination);
    void resize();

    QTemporaryDir dir;
    MainWindow *window = nullptr;
    ModalAnswerer *answerer = nullptr;
    ProgressWatcher *progress = nullptr;
};

void TestBatchRun::init()
{
    QDir(dir.path()).removeRecursively();
    QDir().mkpath(dir.path());
    window = new MainWindow(nullptr);
    answerer = new ModalAnswerer;
    progress = new ProgressWatcher;
}

void TestBatchRun::cleanup()
{
    delete progress;
    delete answerer;
    delete window;
}

QString TestBatchRun::image(const QString &name, const QSize &size)
{
    const QString path = dir.filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!TestImages::write(path, size))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void TestBatchRun::add(const QStringList &paths)
{
    child<QListWidget>("pictureList")->addItems(paths);
}

void TestBatchRun::setOutput(bool rename, const QString &pattern, const QString &destination)
{
    child<QGroupBox>("changeFilename")->setChecked(rename);
    child<QLineEdit>("filename")->setText(pattern);
    if (!destination.isEmpty())
        QDir().mkpath(destination);
    child<QLineEdit>("newPath")->setText(destination);
}

void TestBatchRun::resize()
{
    child<QPushButton>("resizeBtn")->click();
    QVERIFY(answerer->waitDone());
}

void TestBatchRun::noFiles()
{
    answerer->expectMessage(QMessageBox::Ok);
    resize();
    QCOMPARE(answerer->titles, QStringList{"Pas de fichier"});
    QCOMPARE(answerer->icons.at(0), QMessageBox::Critical);
    QCOMPARE(progress->shown, 0);
}

void TestBatchRun::overwriteQuestion_data()
{
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    QTest::newRow("no") << QMessageBox::No;
    QTest::newRow("yes") << QMessageBox::Yes;
}

void TestBatchRun::overwriteQuestion()
{
    QFETCH(QMessageBox::StandardButton, answer);
    const QString source = image("photo.jpg", QSize(800, 600));
    const QByteArray before = TestImages::readAll(source);
    add({source});
    child<QSlider>("horizontalSlider")->setValue(400);
    answerer->expectMessage(answer);
    if (answer == QMessageBox::Yes)
        answerer->expectMessage(QMessageBox::Ok);
    resize();

    QCOMPARE(answerer->titles.at(0), QString("Pas de répertoire de destination"));
    QCOMPARE(answerer->defaultButtons.at(0), QMessageBox::Yes);
    if (answer == QMessageBox::No) {
        QCOMPARE(progress->shown, 0);
        QCOMPARE(TestImages::readAll(source), before);
    } else {
        QCOMPARE(answerer->titles.at(1), QString("Terminé"));
        QCOMPARE(answerer->texts.at(1),
                 QString("Le redimensionnement des images s'est effectué avec succés."));
        QCOMPARE(QImageReader(source).size(), QSize(400, 300));
        QCOMPARE(progress->modality, Qt::WindowModal);
        QCOMPARE(progress->lastValue, 1);
    }
}

void TestBatchRun::renameAsksNothing()
{
    add({image("a.png"), image("b.jpg")});
    setOutput(true, "vacances", QString());
    answerer->expectMessage(QMessageBox::Ok);
    resize();
    QCOMPARE(answerer->titles, QStringList{"Terminé"});
    QVERIFY(QFile::exists(dir.filePath("vacances000.png")));
    QVERIFY(QFile::exists(dir.filePath("vacances001.jpg")));
    QCOMPARE(progress->lastValue, progress->maximum);
}

void TestBatchRun::failuresAreReported()
{
    const QString missing = dir.filePath("gone.jpg");
    add({image("a.png"), missing, image("c.png")});
    setOutput(true, "v", dir.filePath("out"));
    answerer->expectMessage(QMessageBox::Ok);
    resize();

    QCOMPARE(QDir(dir.filePath("out")).entryList(QDir::Files),
             QStringList({"v000.png", "v002.png"}));
    QCOMPARE(answerer->titles, QStringList{"Terminé avec des erreurs"});
    QCOMPARE(answerer->icons.at(0), QMessageBox::Warning);
    QCOMPARE(answerer->texts.at(0), QString("2 image(s) redimensionnée(s) sur 3.\n\n"
                                            "Les fichiers suivants n'ont pas été écrits :\n"
                                            "gone.jpg : illisible ou format non reconnu"));
    QVERIFY(answerer->details.at(0).startsWith(missing + " : illisible ou format non reconnu"));
    QCOMPARE(progress->lastValue, 3);
}

void TestBatchRun::firstRowKeepsClashingOutput()
{
    const QString first = image("one/a.png", QSize(200, 100));
    const QString second = image("two/a.png", QSize(100, 200));
    add({first, second});
    setOutput(false, QString(), dir.filePath("out"));
    answerer->expectMessage(QMessageBox::Ok);
    resize();
    QCOMPARE(QImageReader(dir.filePath("out/a.png")).size(), QSize(1024, 512));
    QVERIFY(answerer->texts.at(0).endsWith("a.png : même fichier de sortie que " + first));
}

// Rows already on a worker when the cancel comes finish; no other row starts.
void TestBatchRun::cancelAfterFirstRow()
{
    add({image("a.png"), image("b.png"), image("c.png"), image("d.png"), image("e.png")});
    setOutput(true, "v", dir.filePath("out"));
    progress->cancelAtValue = 1;
    answerer->expectMessage(QMessageBox::Ok);
    resize();
    const QStringList written = QDir(dir.filePath("out")).entryList(QDir::Files);
    QVERIFY(!written.isEmpty());
    QVERIFY(written.size() <= QThread::idealThreadCount() && written.size() < 5);
    for (int i = 0; i < written.size(); ++i)
        QCOMPARE(written.at(i), QString("v%1.png").arg(i, 3, 10, QChar('0')));
    QCOMPARE(answerer->titles, QStringList{"Interrompu"});
    QCOMPARE(answerer->texts.at(0),
             QString("Redimensionnement interrompu : %1 image(s) redimensionnée(s) sur 5.")
                 .arg(written.size()));
    QVERIFY(window->centralWidget()->isEnabled());
}

void TestBatchRun::sliderValueWins()
{
    add({image("a.png", QSize(1000, 500))});
    setOutput(false, QString(), dir.filePath("out"));
    child<QSlider>("horizontalSlider")->setValue(200);
    QCOMPARE(child<QLCDNumber>("lcdNumber")->intValue(), 1024);
    answerer->expectMessage(QMessageBox::Ok);
    resize();
    QCOMPARE(QImageReader(dir.filePath("out/a.png")).size(), QSize(200, 100));
}

// With more rows than workers, a late row that clashes with an early one never replaces it.
void TestBatchRun::earlyRowWinsOnWorkers()
{
    QStringList sources;
    for (int i = 0; i < 6; ++i)
        sources.append(image(QString("s%1/a.png").arg(i), QSize(100 + 10 * i, 50)));
    BatchSettings settings;
    settings.destination = dir.filePath("out");
    QDir().mkpath(settings.destination);
    settings.options.geometry.size = 100;
    BatchRunner runner(planBatch(sources, settings), 2);
    QSignalSpy finished(&runner, &BatchRunner::finished);
    runner.start();
    QVERIFY(finished.wait(20000));
    QCOMPARE(runner.outcomes().at(0).status, RowOutcome::Written);
    for (int i = 1; i < 6; ++i)
        QCOMPARE(runner.outcomes().at(i).status, RowOutcome::DuplicateOutput);
    QCOMPARE(QImageReader(dir.filePath("out/a.png")).size(), QSize(100, 50));
}

// A cancel starts no new row; the rows in flight finish, are written and numbered by row.
void TestBatchRun::cancelKeepsStartedRows()
{
    QStringList sources;
    for (int i = 0; i < 8; ++i)
        sources.append(image(QString("c%1.png").arg(i), QSize(600, 400)));
    BatchSettings settings;
    settings.rename = true;
    settings.pattern = "v";
    settings.destination = dir.filePath("out");
    QDir().mkpath(settings.destination);
    settings.options.geometry.size = 300;
    BatchRunner runner(planBatch(sources, settings), 2);
    connect(&runner, &BatchRunner::rowFinished, &runner, &BatchRunner::cancel);
    QSignalSpy finished(&runner, &BatchRunner::finished);
    runner.start();
    QVERIFY(finished.wait(20000));

    QStringList started;
    for (int i = 0; i < 8; ++i) {
        const RowOutcome::Status status = runner.outcomes().at(i).status;
        QVERIFY(status == RowOutcome::Written || status == RowOutcome::NotStarted);
        if (status == RowOutcome::Written)
            started.append(QString("v%1.png").arg(i, 3, 10, QChar('0')));
    }
    QCOMPARE(started, QStringList({"v000.png", "v001.png"}));
    QCOMPARE(QDir(settings.destination).entryList(QDir::Files), started);
}

void TestBatchRun::reportLists_data()
{
    QTest::addColumn<int>("failures");
    QTest::addColumn<int>("listed");
    QTest::addColumn<QString>("last");
    QTest::newRow("ten listed") << 10 << 10 << "f9.jpg : illisible ou format non reconnu";
    QTest::newRow("twelve, two more") << 12 << 10 << "… et 2 autre(s).";
}

void TestBatchRun::reportLists()
{
    QFETCH(int, failures);
    QFETCH(int, listed);
    QFETCH(QString, last);
    QVector<PlannedRow> plan(failures + 1);
    QVector<RowOutcome> outcomes(failures + 1, RowOutcome::make(RowOutcome::Unreadable));
    for (int i = 0; i < plan.size(); ++i)
        plan[i].source = QString("/p/f%1.jpg").arg(i);
    outcomes.last() = RowOutcome::make(RowOutcome::Written);
    const BatchReport report = BatchReport::make(plan, outcomes);
    const QStringList lines = report.text.split('\n');
    QCOMPARE(lines.at(0), QString("1 image(s) redimensionnée(s) sur %1.").arg(failures + 1));
    QCOMPARE(lines.filter(" : illisible").size(), listed);
    QCOMPARE(lines.last(), last);
    QCOMPARE(report.details.split('\n').filter(" : illisible").size(), failures);
}

void TestBatchRun::dropRefusedDuringRun()
{
    const QString extra = image("extra.png");
    add({image("a.png"), image("b.png"), image("c.png")});
    setOutput(true, "v", dir.filePath("out"));
    QWidget *viewport = child<QListWidget>("pictureList")->viewport();
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(extra)});
    const auto drag = [&] {
        QDragEnterEvent enter(viewport->rect().center(), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        QDropEvent drop(viewport->rect().center(), Qt::CopyAction, &data, Qt::LeftButton,
                        Qt::NoModifier);
        QApplication::sendEvent(viewport, &drop);
        return enter.isAccepted();
    };
    QList<bool> acceptedAt;
    progress->onValue = [&](int value) {
        if (value == 1)
            acceptedAt.append(drag());
    };
    answerer->expectMessage(QMessageBox::Ok);
    resize();
    QCOMPARE(acceptedAt, QList<bool>{false});
    QCOMPARE(child<QListWidget>("pictureList")->count(), 3);
    QVERIFY(drag());
    QCOMPARE(child<QListWidget>("pictureList")->count(), 4);
}

enum class Fault
{
    SourceVanishes,
    DestinationVanishes,
    OutputIsAFolder,
    DiskFillsUp, // the process may not write past 64 KB
    DriveIsFull, // a 200 KB file system
};
Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(RowOutcome::Status)

void TestBatchRun::faultsWhileWriting_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QList<RowOutcome::Status>>("outcomes");
    QTest::addColumn<QString>("reason"); // of the rows that failed
    const auto written = RowOutcome::Written, failed = RowOutcome::WriteFailed;
    QTest::newRow("source vanishes after listing")
        << Fault::SourceVanishes
        << QList<RowOutcome::Status>{written, RowOutcome::Unreadable, written}
        << "illisible ou format non reconnu";
    QTest::newRow("destination vanishes during the run")
        << Fault::DestinationVanishes << QList<RowOutcome::Status>{written, failed, failed}
        << "écriture impossible : dossier de destination introuvable";
    QTest::newRow("output path is a folder")
        << Fault::OutputIsAFolder << QList<RowOutcome::Status>{written, failed, written}
        << "écriture impossible : Filename refers to a directory";
    QTest::newRow("file size limit part-way")
        << Fault::DiskFillsUp << QList<RowOutcome::Status>{written, failed, written}
        << "écriture impossible : File too large";
    QTest::newRow("drive fills up part-way")
        << Fault::DriveIsFull << QList<RowOutcome::Status>{written, failed, written}
        << "écriture impossible : plus de place sur le disque";
}

// Three rows on one worker; the fault hits the second. The run must go on, give each row its
// outcome, and change no file that was there before.
void TestBatchRun::faultsWhileWriting()
{
    QFETCH(Fault, fault);
    QFETCH(QList<RowOutcome::Status>, outcomes);
    QFETCH(QString, reason);
    // All of one size, so that the largest-first order is the list's.
    QImage flat(400, 400, QImage::Format_RGB32);
    flat.fill(Qt::darkCyan);
    QImage noise(400, 400, QImage::Format_RGB32);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(noise.bits()), 400 * 400);
    QVERIFY(flat.save(dir.filePath("a.png")) && noise.save(dir.filePath("b.png")) &&
            flat.save(dir.filePath("c.png")));
    const QString out = dir.filePath("out");
    TestImages::SmallDrive drive(out, fault == Fault::DriveIsFull ? 200 : 0);
    if (fault == Fault::DriveIsFull && !drive.isMounted())
        QSKIP("cannot mount a small file system here");
    QDir().mkpath(out + (fault == Fault::OutputIsAFolder ? "/b.png" : ""));
    const QString kept = out + (fault == Fault::OutputIsAFolder ? "/b.png/kept.txt" : "/b.png");
    QVERIFY(TestImages::writeAll(kept, "was here before"));

    BatchSettings settings;
    settings.destination = out;
    settings.options.geometry.size = 400;
    BatchRunner runner(
        planBatch({dir.filePath("a.png"), dir.filePath("b.png"), dir.filePath("c.png")}, settings),
        1);
    connect(&runner, &BatchRunner::rowFinished, this, [&](int row) {
        if (row == 0 && fault == Fault::SourceVanishes)
            QFile::remove(dir.filePath("b.png"));
        if (row == 0 && fault == Fault::DestinationVanishes)
            QDir(out).removeRecursively();
    });
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    if (fault == Fault::DiskFillsUp) {
        std::signal(SIGXFSZ, SIG_IGN); // a failed write, not a killed process
        rlimit limited = saved;
        limited.rlim_cur = 64 * 1024;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    QSignalSpy finished(&runner, &BatchRunner::finished);
    runner.start();
    const bool ended = finished.count() == 1 || finished.wait(20000);
    setrlimit(RLIMIT_FSIZE, &saved);
    QVERIFY(ended);

    for (int row = 0; row < 3; ++row) {
        QCOMPARE(runner.outcomes().at(row).status, outcomes.at(row));
        if (outcomes.at(row) != RowOutcome::Written)
            QCOMPARE(OutcomeText::reason(runner.outcomes().at(row)), reason);
    }
    if (fault == Fault::DestinationVanishes) {
        QVERIFY(!QFileInfo::exists(out)); // not made again behind the user's back
    } else {
        QCOMPARE(TestImages::readAll(kept), QByteArray("was here before"));
        QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList({"a.png", "b.png", "c.png"}));
    }
}

void TestBatchRun::smoothOption_data()
{
    QTest::addColumn<bool>("smooth");
    QTest::newRow("as it starts: nearest pixels") << false;
    QTest::newRow("high quality checked") << true;
}

// The option sits in its own menu between "Fichier" and "Aide", starts unchecked, and checked
// turns one-pixel stripes into grey where nearest sampling keeps only one of their colours.
void TestBatchRun::smoothOption()
{
    QFETCH(bool, smooth);
    const auto menus = child<QMenuBar>("menuBar")->actions();
    QCOMPARE(menus.size(), 3);
    QCOMPARE(menus.at(1)->menu(), child<QMenu>("menu_Options"));
    QCOMPARE(menus.at(1)->text(), QString("&Options"));
    auto *action = child<QAction>("actionSmooth");
    QVERIFY(action->isCheckable() && !action->isChecked());
    QCOMPARE(child<QMenu>("menu_Options")->actions().value(0), action);
    QCOMPARE(action->text(), QString("Redimensionnement de &haute qualité"));
    action->setChecked(smooth);

    QImage stripes(400, 300, QImage::Format_RGB32);
    for (int x = 0; x < stripes.width(); ++x)
        for (int y = 0; y < stripes.height(); ++y)
            stripes.setPixel(x, y, x % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    QVERIFY(stripes.save(dir.filePath("stripes.png")));
    add({dir.filePath("stripes.png")});
    setOutput(false, QString(), dir.filePath("out"));
    child<QSlider>("horizontalSlider")->setValue(100);
    answerer->expectMessage(QMessageBox::Ok);
    resize();
    const QImage out(dir.filePath("out/stripes.png"));
    QCOMPARE(out.size(), QSize(100, 75));
    const int grey = qGray(out.pixel(50, 37));
    QVERIFY2(smooth ? qAbs(grey - 128) <= 2 : grey == 0 || grey == 255,
             qPrintable(QString::number(grey)));
    QCOMPARE(action->isChecked(), smooth);
}

void TestBatchRun::optionsAtStart_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("checked");
    QTest::newRow("source format") << "actionFormatSource"
                                   << "Identique à l'original" << true;
    QTest::newRow("JPEG") << "actionFormatJpeg"
                          << "JPEG" << false;
    QTest::newRow("PNG") << "actionFormatPng"
                         << "PNG" << false;
    QTest::newRow("WebP") << "actionFormatWebp"
                          << "WebP" << false;
    QTest::newRow("HEIC") << "actionFormatHeic"
                          << "HEIC" << false;
    QTest::newRow("AVIF") << "actionFormatAvif"
                          << "AVIF" << false;
    QTest::newRow("JPEG XL") << "actionFormatJxl"
                             << "JPEG XL" << false;
    QTest::newRow("maximum") << "actionQualityMax"
                             << "Maximale" << false;
    QTest::newRow("high") << "actionQualityHigh"
                          << "Haute" << false;
    QTest::newRow("normal") << "actionQualityNormal"
                            << "Normale" << true;
    QTest::newRow("compact") << "actionQualityCompact"
                             << "Compacte" << false;
    QTest::newRow("sequential JPEG") << "actionJpegBaseline"
                                     << "JPEG séquentiel (anciens appareils)" << false;
    QTest::newRow("no enlargement") << "actionNoEnlarge"
                                    << "Ne pas agrandir les petites images" << false;
    QTest::newRow("date") << "actionKeepDate"
                          << "Conserver la date de modification" << false;
}

// Each choice starts at the program's first behaviour, in its place in the Options menu; the
// format and quality choices are exclusive.
void TestBatchRun::optionsAtStart()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(bool, checked);
    auto *action = window->findChild<QAction *>(name);
    QVERIFY(action && action->isCheckable());
    // As shown: the key under the entry's underlined letter aside.
    QCOMPARE(QString(action->text()).remove('&'), text);
    QCOMPARE(action->isChecked(), checked);
    const QList<QAction *> options = child<QMenu>("menu_Options")->actions();
    QCOMPARE(options.value(1), child<QMenu>("menu_Format")->menuAction());
    QCOMPARE(options.value(2), child<QMenu>("menu_Quality")->menuAction());
    QCOMPARE(child<QMenu>("menu_Format")->title().remove('&'), QString("Format de sortie"));
    QCOMPARE(child<QMenu>("menu_Quality")->title().remove('&'), QString("Qualité"));
    if (QActionGroup *group = action->actionGroup()) {
        action->setChecked(true);
        const auto members = group->actions();
        QCOMPARE(std::count_if(members.cbegin(), members.cend(),
                               [](QAction *a) { return a->isChecked(); }),
                 1);
    }
}

void TestBatchRun::convertBesideSources_data()
{
    QTest::addColumn<QString>("formatAction");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("asked");
    QTest::newRow("HEIC to JPEG beside it") << "actionFormatJpeg"
                                            << "photo.heic"
                                            << "photo.jpg" << false;
    QTest::newRow("JPEG under another suffix") << "actionFormatJpeg"
                                               << "photo.jpeg"
                                               << "photo.jpg" << false;
    QTest::newRow("JPEG in place") << "actionFormatJpeg"
                                   << "photo.jpg"
                                   << "photo.jpg" << true;
    QTest::newRow("JPEG to JPEG XL beside it") << "actionFormatJxl"
                                               << "photo.jpg"
                                               << "photo.jxl" << false;
    QTest::newRow("its own format, as it starts") << "actionFormatSource"
                                                  << "photo.heic"
                                                  << "photo.heic" << true;
}

// Without a destination or a rename, the question about destroying the originals comes only
// where an output would replace its own source.
void TestBatchRun::convertBesideSources()
{
    QFETCH(QString, formatAction);
    QFETCH(QString, source);
    QFETCH(QString, output);
    QFETCH(bool, asked);
    const QString in = image(source);
    const QByteArray before = TestImages::readAll(in);
    add({in});
    window->findChild<QAction *>(formatAction)->setChecked(true);
    if (asked)
        answerer->expectMessage(QMessageBox::Yes);
    answerer->expectMessage(QMessageBox::Ok);
    resize();
    QCOMPARE(answerer->titles.first() == "Pas de répertoire de destination", asked);
    QCOMPARE(TestImages::uprightSize(dir.filePath(output)), QSize(1024, 768));
    if (source != output)
        QCOMPARE(TestImages::readAll(in), before);
}

void TestBatchRun::jpegScansChosen_data()
{
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<int>("marker");
    QTest::newRow("as it starts") << QStringList() << 0xc0;
    QTest::newRow("JPEG chosen") << QStringList{"actionFormatJpeg"} << 0xc2;
    QTest::newRow("JPEG chosen, sequential asked")
        << QStringList{"actionFormatJpeg", "actionJpegBaseline"} << 0xc0;
    QTest::newRow("Compacte, sequential asked")
        << QStringList{"actionQualityCompact", "actionJpegBaseline"} << 0xc0;
}

// The window's choices reach the JPEG writer: progressive once anything is chosen, sequential
// where asked for.
void TestBatchRun::jpegScansChosen()
{
    QFETCH(QStringList, actions);
    QFETCH(int, marker);
    add({image("photo.jpg")});
    setOutput(false, QString(), dir.filePath("out"));
    for (const QString &name : actions)
        window->findChild<QAction *>(name)->setChecked(true);
    answerer->expectMessage(QMessageBox::Ok);
    resize();
    QCOMPARE(TestImages::jpegFrameMarker(TestImages::readAll(dir.filePath("out/photo.jpg"))),
             marker);
}

// The toolkit's own buttons speak the window's language.
void TestBatchRun::toolkitButtonsInFrench()
{
    QVERIFY(installToolkitFrench(qApp));
    QStringList buttons;
    const auto read = [&](QMessageBox::StandardButton answer) {
        answerer->expect<QMessageBox>([&buttons, answer](QMessageBox *box) {
            for (QAbstractButton *button : box->buttons())
                buttons.append(button->text());
            box->button(answer)->click();
        });
    };
    add({image("photo.jpg"), dir.filePath("gone.jpg")});
    read(QMessageBox::Yes);
    read(QMessageBox::Ok);
    resize();
    QVERIFY2(buttons.contains("&Oui") && buttons.contains("&Non"), qPrintable(buttons.join('|')));
    QVERIFY2(buttons.contains("Afficher les détails..."), qPrintable(buttons.join('|')));
}

PARVIMAGE_TEST_MAIN(TestBatchRun)
#include "tst_batchrun.moc"
