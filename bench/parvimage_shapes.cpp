// What the shapes users ask for cost, as ratios measured in this one run: several sizes against
// the largest alone, a frame and the subject's frame against the whole photo, a photo copied as
// it is against coding it again, and how long a dropped tree of photos takes to list.
//
//   parvimage_shapes [--photos N] [--rounds N]
//
// The photos are generated in a temporary folder; each time is the fastest of the rounds, on
// one worker.

#include "batch/batchplan.h"
#include "formats/registry.h"
#include "row/imageresizer.h"
#include "window/droppedfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QUrl>

#include <cstdio>
#include <functional>

namespace {

// A photo-like picture: gradients, a few hard edges and some texture.
QImage photo(const QSize &size, int seed)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient sky(0, 0, size.width(), size.height());
    sky.setColorAt(0, QColor::fromHsv(seed * 40 % 360, 120, 230));
    sky.setColorAt(1, QColor::fromHsv((seed * 40 + 90) % 360, 160, 90));
    painter.fillRect(image.rect(), sky);
    QRandomGenerator random(seed);
    for (int i = 0; i < 40; ++i) {
        painter.setBrush(QColor::fromHsv(random.bounded(360), 200, 200));
        painter.drawEllipse(random.bounded(size.width()), random.bounded(size.height()),
                            size.width() / 12, size.height() / 12);
    }
    return image;
}

QStringList makePhotos(const QString &folder, const QString &prefix, int count, const QSize &size)
{
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        paths.append(QString("%1/%2%3.jpg").arg(folder, prefix).arg(i));
        photo(size, i).save(paths.last(), "jpg", 90);
    }
    return paths;
}

// Seconds per photo for the plan of each of `settings`, the fastest of `rounds` runs, the
// settings taken in turn within each round so that the machine's changing load falls on all.
QVector<double> secondsPerPhoto(const QStringList &sources, const QVector<BatchSettings> &settings,
                                int rounds)
{
    QVector<double> best(settings.size(), 1e9);
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < settings.size(); ++i) {
            const QVector<PlannedRow> plan = planBatch(sources, settings.at(i));
            QElapsedTimer timer;
            timer.start();
            for (const PlannedRow &row : plan)
                if (ImageResizer::processRow(row).status != RowOutcome::Written)
                    std::fprintf(stderr, "not written: %s\n", qPrintable(row.source));
            best[i] = qMin(best.at(i), timer.nsecsElapsed() / 1e9 / sources.size());
        }
    }
    return best;
}

void line(const char *what, double seconds)
{
    std::printf("  %-36s %8.4f s/photo\n", what, seconds);
}

// A tree of `folders` folders holding `photos` small photos between them, hard links to one.
QString makeTree(const QString &root, int folders, int photos)
{
    const QString top = root + "/Arbre";
    const QString one = root + "/one.jpg";
    photo(QSize(64, 48), 1).save(one, "jpg");
    for (int i = 0; i < photos; ++i) {
        const QString folder = QString("%1/%2").arg(top).arg(i % folders, 3, 10, QChar('0'));
        QDir().mkpath(folder);
        QFile::link(one, QString("%1/IMG_%2.jpg").arg(folder).arg(i, 4, 10, QChar('0')));
    }
    return top;
}

} // namespace

int main(int argc, char *argv[])
{
    ImageResizer::tuneAllocator();
    Formats::initialiseLibraries();
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int count = 6, rounds = 5;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == "--photos")
            count = qMax(1, args.at(i + 1).toInt());
        else if (args.at(i) == "--rounds")
            rounds = qMax(1, args.at(i + 1).toInt());
    }
    QTemporaryDir work;
    const QString out = work.filePath("out");
    QDir().mkpath(out);
    const QStringList large = makePhotos(work.path(), "large", count, QSize(4000, 3000));
    const QStringList small = makePhotos(work.path(), "small", count, QSize(2000, 1500));

    BatchSettings alone;
    alone.destination = out;
    alone.options.geometry.size = 1920;
    BatchSettings four = alone;
    four.options.geometry.size = 1024;
    four.options.geometry.extraSizes = {320, 640, 1920};
    BatchSettings whole = alone;
    whole.options.geometry.size = 1024;
    BatchSettings framed = whole;
    framed.options.geometry.frame = Frame::Ratio4x5;
    BatchSettings subject = framed;
    subject.options.geometry.subject = true;
    std::printf("%d JPEGs of 4000 x 3000, nearest, fastest of %d rounds\n", count, rounds);
    const QVector<double> t = secondsPerPhoto(large, {alone, four, whole, framed, subject}, rounds);
    line("1920 alone", t.at(0));
    line("1024, 320, 640 and 1920", t.at(1));
    line("1024, whole photo", t.at(2));
    line("1024, framed 5:4", t.at(3));
    line("1024, framed 5:4 around the subject", t.at(4));
    std::printf("   four sizes / 1920 alone = %.3f   frame / whole = %.3f   subject / whole = "
                "%.3f\n",
                t.at(1) / t.at(0), t.at(3) / t.at(2), t.at(4) / t.at(2));

    std::printf("\n%d JPEGs of 2000 x 1500 at 2048, \"Ne pas agrandir\"\n", count);
    BatchSettings copied;
    copied.options.geometry.size = 2048;
    copied.destination = out;
    copied.options.geometry.enlarge = false;
    BatchSettings coded = copied;
    coded.options.carrying.metadata = MetadataKeep::NoLocation; // needs coding again
    const QVector<double> c = secondsPerPhoto(small, {copied, coded}, rounds);
    line("copied as they are", c.at(0));
    line("coded again", c.at(1));
    std::printf("   coded / copied = %.1f\n", c.at(1) / c.at(0));

    const QString tree = makeTree(work.path(), 50, 2000);
    QElapsedTimer timer;
    timer.start();
    const int listed = droppedImages({QUrl::fromLocalFile(tree)}, true).size();
    std::printf("\nA dropped tree of %d photos in 50 folders listed in %.3f s\n", listed,
                timer.nsecsElapsed() / 1e9);
    return 0;
}
