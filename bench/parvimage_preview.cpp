// The preview and the list's pictures against what they stand beside, as ratios measured in one
// run: a preview against the same photo's row in a run, a change of the encoding against a whole
// preview, and 2,000 dropped photos' pictures against djpeg's eighth-scale decode on two cores,
// with the longest the window's event loop waited and the pictures' memory.
//
//   parvimage_preview [--count N]
#include "batch/batchplan.h"
#include "batch/batchrunner.h"
#include "batch/jobqueue.h"
#include "formats/registry.h"
#include "row/imageresizer.h"
#include "row/preview.h"
#include "rowload.h"
#include "window/thumbnailloader.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImageWriter>
#include <QListWidget>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QtMath>

#include <algorithm>
#include <functional>

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

// Light and noise enough to code like a photo.
QImage photo(const QSize &size, quint32 seed)
{
    QImage image(size, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const int light = int(127 + 100 * qSin(x * 0.002 + seed) * qCos(y * 0.003));
            const int noise = int(random.bounded(16));
            line[x] = qRgb(light + noise, 255 - light, (x ^ y) % 64 + 96 + noise);
        }
    }
    return image;
}

// The median of `rounds` timings of `work`, in seconds.
double median(int rounds, const std::function<void()> &work)
{
    QVector<double> times;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.append(timer.nsecsElapsed() / 1e9);
    }
    std::sort(times.begin(), times.end());
    return times.at(times.size() / 2);
}

PlannedRow rowFor(const QString &source, const QString &folder, Quality quality)
{
    BatchSettings settings;
    settings.destination = folder;
    settings.options.encoding.quality = quality;
    return planBatch({source}, settings).value(0);
}

void previewAgainstRow(const QString &label, const QString &source, const QString &folder)
{
    const PlannedRow row = rowFor(source, folder, Quality::Normal);
    const PlannedRow compact = rowFor(source, folder, Quality::Compact);
    const QByteArray suffix = QFileInfo(row.outputs.at(0).path).suffix().toUtf8();
    const auto show = [&suffix](RowPreview &preview, const PlannedRow &asked) {
        const RowPreview::Result result = preview.make(asked);
        RowPreview::decodedBack(result.outputs.value(0).bytes, suffix);
    };
    const double written = median(5, [&] { ImageResizer::processRow(row); });
    const double whole = median(5, [&] {
        RowPreview preview;
        show(preview, row);
    });
    RowPreview kept;
    show(kept, row);
    bool flip = false;
    const double encoding = median(5, [&] {
        flip = !flip;
        show(kept, flip ? compact : row);
    });
    out() << QString("%1: row %2 ms, preview %3 ms (%4 x the row, target 1.3), quality changed "
                     "%5 ms (%6 x the preview, target 0.3)\n")
                 .arg(label)
                 .arg(written * 1000, 0, 'f', 0)
                 .arg(whole * 1000, 0, 'f', 0)
                 .arg(whole / written, 0, 'f', 2)
                 .arg(encoding * 1000, 0, 'f', 0)
                 .arg(encoding / whole, 0, 'f', 2);
    out().flush();
}

// `count` names for `distinct` files, as hard links: the same bytes read from other paths.
QStringList dropped(const QStringList &distinct, const QString &folder, int count)
{
    QDir().mkpath(folder);
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString path = QString("%1/p%2.jpg").arg(folder).arg(i, 4, 10, QChar('0'));
        if (!QFile::exists(path) &&
            QProcess::execute("ln", {distinct.at(i % distinct.size()), path}) != 0)
            return {};
        paths.append(path);
    }
    return paths;
}

double djpegEighths(const QStringList &paths)
{
    QFile list(QDir::temp().filePath("parvimage-preview-list"));
    if (!list.open(QIODevice::WriteOnly))
        return 0;
    list.write(paths.join('\n').toUtf8() + '\n');
    list.close();
    QElapsedTimer timer;
    timer.start();
    QProcess::execute("sh", {"-c", "xargs -P 2 -n 20 sh -c 'for f; do djpeg -scale 1/8 \"$f\" "
                                   ">/dev/null; done' _ < " +
                                       list.fileName()});
    list.remove();
    return timer.nsecsElapsed() / 1e9;
}

qint64 residentKb()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

void thumbnailsOf(const QStringList &paths, double reference)
{
    QListWidget list;
    list.resize(520, 300);
    list.show();
    JobQueue queue(2);
    ThumbnailLoader loader(&list, &queue);
    const qint64 before = residentKb();
    QElapsedTimer clock;
    qint64 longest = 0, last = 0, inView = -1;
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest = qMax(longest, now - last);
        last = now;
        const QModelIndex top = list.indexAt(QPoint(0, 0));
        bool shown = top.isValid();
        for (int row = top.row(); shown && row < list.count(); ++row) {
            QListWidgetItem *item = list.item(row);
            if (!list.visualItemRect(item).intersects(list.viewport()->rect()))
                break;
            shown = !item->icon().isNull();
        }
        if (shown && inView < 0)
            inView = now;
    });
    QEventLoop loop;
    QObject::connect(&loader, &ThumbnailLoader::allDone, &loop, &QEventLoop::quit);
    clock.start();
    tick.start();
    QTimer::singleShot(0, [&] {
        const qint64 start = clock.elapsed();
        list.addItems(paths);
        longest = qMax(longest, clock.elapsed() - start);
    });
    loop.exec();
    const double all = clock.elapsed() / 1e3;
    out() << QString("%1 photos of 12 MP dropped: pictures in view after %2 ms (target 1000), all "
                     "after %3 s, %4 x djpeg -scale 1/8 on two cores (%5 s, target 1.2); longest "
                     "wait of the event loop %6 ms (target 50); memory %7 MB more (target 40)\n")
                 .arg(paths.size())
                 .arg(inView)
                 .arg(all, 0, 'f', 1)
                 .arg(all / reference, 0, 'f', 2)
                 .arg(reference, 0, 'f', 1)
                 .arg(longest)
                 .arg((residentKb() - before) / 1024.0, 0, 'f', 1);
    out().flush();
}

// A run on the window's queue, alone, then started while the list's pictures load: the run
// stops them, as the window does.
void runBesideThumbnails(const QStringList &sources, const QStringList &dropped,
                         const QString &folder)
{
    BatchSettings settings;
    settings.destination = folder;
    const QVector<PlannedRow> plan = planBatch(sources, settings);
    const auto run = [&](bool withPictures) {
        QListWidget list;
        JobQueue queue(2);
        ThumbnailLoader loader(&list, &queue);
        if (withPictures) {
            list.addItems(dropped);
            QCoreApplication::processEvents();
        }
        BatchRunner runner(plan, &queue);
        QEventLoop loop;
        QObject::connect(&runner, &BatchRunner::finished, &loop, &QEventLoop::quit);
        QElapsedTimer timer;
        timer.start();
        loader.setPaused(true);
        runner.start();
        loop.exec();
        return timer.nsecsElapsed() / 1e9;
    };
    double alone = 0, beside = 0;
    for (int round = 0; round < 3; ++round) {
        alone += run(false);
        beside += run(true);
    }
    out() << QString("A run of %1 photos: %2 s alone, %3 s started while pictures load (%4 x, "
                     "target 1.03)\n")
                 .arg(sources.size())
                 .arg(alone / 3, 0, 'f', 2)
                 .arg(beside / 3, 0, 'f', 2)
                 .arg(beside / alone, 0, 'f', 3);
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
    QStringList distinct;
    for (int i = 0; i < 8; ++i) {
        const QString path = work.filePath(QString("photo%1.jpg").arg(i));
        QImageWriter writer(path, "jpg");
        writer.setQuality(90);
        if (!writer.write(photo(QSize(4000, 3000), quint32(i + 1))))
            return 1;
        distinct.append(path);
    }
    const QString heic = work.filePath("photo.heic");
    if (RowLoad::save(photo(QSize(4000, 3000), 9), heic, "heic").status != RowOutcome::Written)
        return 1;
    QDir().mkpath(work.filePath("out"));
    previewAgainstRow("JPEG 12 MP at 1024", distinct.at(0), work.filePath("out"));
    previewAgainstRow("HEIC 12 MP at 1024", heic, work.filePath("out"));
    const QStringList paths = dropped(distinct, work.filePath("dropped"), count);
    if (paths.isEmpty())
        return 1;
    thumbnailsOf(paths, djpegEighths(paths));
    runBesideThumbnails(distinct.mid(0, 8), paths, work.filePath("out"));
    return 0;
}
