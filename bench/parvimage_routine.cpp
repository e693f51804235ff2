// What a user's routine costs with 2,000 photos in the list, measured in this one run: choosing a
// saved setting (the preview closed, then open), sorting the list by the dates in the photos'
// headers, and a second run over a tree of photos with "Ne pas refaire" and nothing new, each
// beside the floor it stands on (reading the headers' bytes, planning the list, the first run).
//
//   parvimage_routine [--count N]

#include "batch/batchplan.h"
#include "batch/batchreport.h"
#include "batch/batchrunner.h"
#include "batch/jobqueue.h"
#include "benchfixtures.h"
#include "formats/registry.h"
#include "row/imageresizer.h"
#include "window/mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QMenu>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <functional>

namespace {

double seconds(const std::function<void()> &work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e9;
}

// `count` photos from one tagged JPEG, each with a date of its own, in 20 folders.
QStringList photos(const QString &folder, int count, QStringList *subfolders)
{
    QDir().mkpath(folder);
    const QString first = folder + "/first.jpg";
    QFile file(first);
    if (!file.open(QIODevice::WriteOnly) || file.write(Bench::jpegOf(QSize(1024, 768), 3)) < 0)
        return {};
    file.close();
    if (!Bench::tagLikeACamera(first))
        return {};
    file.open(QIODevice::ReadOnly);
    const QByteArray bytes = file.readAll();
    const QByteArray date = "2026:07:14 10:30:00";
    const int at = bytes.indexOf(date);
    QStringList paths;
    for (int i = 0; i < count && at >= 0; ++i) {
        const QString sub = QString("mois%1").arg(i % 20, 2, 10, QChar('0'));
        QDir().mkpath(folder + "/" + sub);
        QByteArray copy = bytes;
        const QDateTime taken =
            QDateTime(QDate(2026, 1, 1), QTime(8, 0)).addSecs(qint64(i) * 7919 % 9000000);
        copy.replace(at, date.size(), taken.toString("yyyy:MM:dd HH:mm:ss").toLatin1());
        QFile each(QString("%1/%2/photo%3.jpg").arg(folder, sub).arg(i));
        if (!each.open(QIODevice::WriteOnly) || each.write(copy) != copy.size())
            return {};
        paths << each.fileName();
        subfolders->append(sub);
    }
    return paths;
}

QAction *find(QWidget *window, const char *name)
{
    return window->findChild<QAction *>(QLatin1String(name));
}

QAction *entry(QWidget *window, const QString &name)
{
    const auto actions = window->findChild<QMenu *>("menu_Presets")->actions();
    for (QAction *action : actions)
        if (QString(action->text()).remove(QLatin1Char('&')) == name)
            return action;
    return nullptr;
}

// The bytes a header read needs, read and nothing more: the floor of any sort by date.
double readHeaders(const QStringList &paths)
{
    return seconds([&] {
        for (const QString &path : paths) {
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                file.read(64 * 1024);
        }
    });
}

void windowFigures(const QStringList &paths, const QString &config)
{
    const QString ini = config + "/parvimage/parvimage.ini";
    QDir().mkpath(config + "/parvimage");
    QFile file(ini);
    file.open(QIODevice::WriteOnly);
    file.write("[General]\nversion=1\n[preset1]\nname=Courriel\nsize=500\nsmooth=true\n"
               "format=jpg\nquality=compact\nmaxKo=500\nmetadata=nolocation\nextraSizes=320\n");
    file.close();
    qputenv("XDG_CONFIG_HOME", config.toLocal8Bit());
    MainWindow window;
    window.show();
    auto *list = window.findChild<QListWidget *>("pictureList");
    for (const QString &path : paths)
        list->addItem(path);
    list->setCurrentRow(0);
    const double planned = seconds([&] { planBatch(paths, BatchSettings()); });
    const double closed = seconds([&] { entry(&window, "Courriel")->trigger(); });
    find(&window, "actionPreview")->trigger();
    find(&window, "actionFormatSource")->trigger();
    const double open = seconds([&] { entry(&window, "Courriel")->trigger(); });
    std::printf("choosing a saved setting, %d rows: %.1f ms with the preview closed, %.1f ms "
                "open (target < 50 ms); planning the list alone: %.1f ms\n",
                int(paths.size()), closed * 1e3, open * 1e3, planned * 1e3);
    const double headers = readHeaders(paths);
    const double sorted = seconds([&] { find(&window, "actionSortByDate")->trigger(); });
    const double again = seconds([&] { find(&window, "actionSortByDate")->trigger(); });
    std::printf("sorting %d rows by date: %.2f s, every date read from the headers (target < 2 s)"
                " = %.1f x reading 64 KB of each file on one core; sorting again: %.1f ms\n",
                int(paths.size()), sorted, sorted / headers, again * 1e3);
}

BatchReport run(const QVector<PlannedRow> &plan, JobQueue *jobs)
{
    BatchRunner runner(plan, jobs);
    QEventLoop loop;
    QObject::connect(&runner, &BatchRunner::finished, &loop, &QEventLoop::quit);
    runner.start();
    while (runner.isRunning())
        loop.exec();
    return BatchReport::make(plan, runner.outcomes());
}

void skipFigures(const QStringList &paths, const QStringList &subfolders, const QString &out)
{
    QDir().mkpath(out);
    JobQueue jobs(QThread::idealThreadCount());
    BatchSettings settings;
    settings.destination = out;
    settings.options.geometry.size = 100;
    settings.skipDone = true;
    BatchReport report;
    const double first =
        seconds([&] { report = run(planBatch(paths, settings, subfolders), &jobs); });
    const double second =
        seconds([&] { report = run(planBatch(paths, settings, subfolders), &jobs); });
    std::printf("a second run over a tree of %d photos, nothing new: %.3f s (target < 1 s) = "
                "%.4f x the first run (%.1f s); its box: %s\n",
                int(paths.size()), second, second / first, first,
                qPrintable(report.text.simplified()));
}

} // namespace

int main(int argc, char *argv[])
{
    ImageResizer::tuneAllocator();
    Formats::initialiseLibraries();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int at = args.indexOf("--count");
    const int count = at > 0 ? qMax(1, args.value(at + 1).toInt()) : 2000;
    QTemporaryDir work;
    QStringList subfolders;
    const QStringList paths = photos(work.filePath("arbre"), count, &subfolders);
    if (paths.size() != count) {
        std::fprintf(stderr, "could not make the photos\n");
        return 1;
    }
    windowFigures(paths, work.filePath("config"));
    skipFigures(paths, subfolders, work.filePath("sortie"));
    return 0;
}
