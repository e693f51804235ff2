// The child-process harness: the modes a child runs, and the parent's side that spawns it and
// reads what it printed.

#include "harness.h"

#include "batch/batchplan.h"
#include "batch/batchrunner.h"
#include "benchfixtures.h"
#include "formats/heif/heifdecoder.h"
#include "formats/registry.h"
#include "formats/toolkitcodec.h"
#include "references.h"
#include "row/encode.h"
#include "row/imageresizer.h"
#include "row/write.h"
#include "rowload.h"
#include "system/peakmemory.h"
#include "system/sourcefile.h"
#include "system/workercores.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QThread>
#include <QVector>

#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace Bench {

namespace {

// For the quality check: lossless outputs, whatever the sources.
void pngOutputs(QVector<PlannedRow> *plan)
{
    for (PlannedRow &row : *plan) {
        for (PlannedOutput &output : row.outputs)
            output.path = QFileInfo(output.path).path() + "/" +
                          QFileInfo(output.path).completeBaseName() + ".png";
        row.options.encoding.format = "png";
    }
}

// A row of a grid HEIF decoded whole by libheif, as rows were before their tiles: encoded and
// written as a row is, without its metadata.
RowOutcome wholeGridRow(const PlannedRow &row)
{
    const SourceFile source(row.source);
    const std::unique_ptr<Formats::Decoder> decoder =
        HeifDecoder::open(source, HeifDecoder::Grid::Whole);
    QImage image;
    QString words;
    if (decoder->decode(Target(row.outputs[0].size), &image, &words) != Formats::Status::Decoded)
        return RowOutcome::make(RowOutcome::Unreadable, words);
    const Encode::Encoded encoded =
        Encode::still(image, row.options.encoding, Formats::writerFor(row.options.encoding.format),
                      PhotoMetadata(), false);
    RowOutcome outcome = Write::file(row.outputs[0].path, encoded.bytes, encoded.leftOut);
    outcome.encodes = encoded.encodes;
    return outcome;
}

// The settings a child's rows are planned with.
BatchSettings settingsFor(const QString &output, int size, Resampling resampling)
{
    BatchSettings settings;
    settings.options.geometry.size = size;
    settings.destination = output;
    settings.options.geometry.resampling = resampling;
    return settings;
}

// Decoding and resizing alone, on one worker: what the resampling mode changes before the
// output is encoded.
bool loadOnly(const QStringList &sources, int size, Resampling resampling)
{
    ImageResizer::tuneAllocator();
    for (const QString &source : sources) {
        RowOutcome outcome;
        if (RowLoad::scaled(source, size, &outcome, resampling).isNull())
            return false;
    }
    return true;
}

bool toolkitOnly(const QStringList &sources, const QString &output, int size)
{
    ToolkitCodec::allowLargestAcceptedImage(); // as the program does under Qt 6
    for (const QString &source : sources) {
        const QImage image(source);
        // A raw is written as JPEG, as the program writes it.
        const QString suffix = QFileInfo(source).suffix().toLower();
        const QString saved = QDir(output).filePath(
            QFileInfo(source).completeBaseName() + "." +
            (QImageWriter::supportedImageFormats().contains(suffix.toUtf8()) ? suffix : "jpg"));
        if (!image.scaled(size, size, Qt::KeepAspectRatio, Qt::FastTransformation).save(saved))
            return false;
    }
    return true;
}

// The rows of a batch mode ("one" or "all", then -smooth, -jpg, -heic, -limit, -srgb, png,
// -whole), as the window plans them.
QVector<PlannedRow> planFor(const QString &mode, const QStringList &sources, const QString &output,
                            int size)
{
    BatchSettings settings = settingsFor(
        output, size, mode.contains("smooth") ? Resampling::Smooth : Resampling::Nearest);
    if (mode.contains("-jpg"))
        settings.options.encoding.format = "jpg"; // the Options menu's conversion
    if (mode.contains("-heic"))
        settings.options.encoding.format = "heic";
    if (mode.contains("-limit"))
        settings.options.encoding.maxBytes = 200 * 1000;
    settings.options.carrying.srgb = mode.contains("-srgb");
    QVector<PlannedRow> plan = planBatch(sources, settings);
    if (mode.contains("png"))
        pngOutputs(&plan);
    return plan;
}

// The batch runner over the mode's rows; prints its seconds, its peak and its encodes per row.
int runBatch(const QString &mode, const QStringList &sources, const QString &output, int size,
             const QElapsedTimer &timer)
{
    ImageResizer::tuneAllocator(); // as the program's main() does
    const int workers = mode.startsWith("one") ? 1 : QThread::idealThreadCount();
    BatchRunner runner(planFor(mode, sources, output, size), workers);
    if (mode.endsWith("-whole"))
        runner.setProcess(wholeGridRow);
    QObject::connect(&runner, &BatchRunner::finished, qApp, &QCoreApplication::quit);
    runner.start();
    if (runner.isRunning())
        QCoreApplication::exec();
    double seconds = timer.nsecsElapsed() / 1e9;
    int encodes = 0;
    for (const RowOutcome &outcome : runner.outcomes()) {
        if (outcome.status != RowOutcome::Written)
            return 2;
        encodes += outcome.encodes;
    }
    std::printf("%.6f %ld %.3f\n", seconds, peakResidentKb(),
                double(encodes) / qMax(1, runner.outcomes().size()));
    return 0;
}

// This program with --child and `args`, and the first line it printed on its standard output;
// false where it could not start or did not end well.
bool childOutput(const QStringList &args, QByteArray *printed)
{
    QList<QByteArray> bytes{QCoreApplication::applicationFilePath().toLocal8Bit(), "--child"};
    for (const QString &arg : args)
        bytes.append(arg.toLocal8Bit());
    QVector<char *> argv;
    for (QByteArray &arg : bytes)
        argv.append(arg.data());
    argv.append(nullptr);
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    pid_t pid = 0;
    const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    char buffer[64] = {};
    const ssize_t got = spawned ? read(pipeFds[0], buffer, sizeof buffer - 1) : 0;
    close(pipeFds[0]);
    int status = 0;
    if (!spawned || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0 || got <= 0)
        return false;
    *printed = QByteArray(buffer);
    return true;
}

} // namespace

int runEstimate(const QString &source, const QString &output, int size, Resampling resampling,
                int cores)
{
    QImageReader::supportedImageFormats();
    QImageWriter::supportedImageFormats();
    ImageResizer::tuneAllocator();
    const BatchSettings settings = settingsFor(output, size, resampling);
    // A small image of the same format first, so that plugins and libraries are in memory;
    // at a small size, so that the buffers it frees are not there for the row to reuse.
    const QString warm = QDir(output).filePath("warm." + QFileInfo(source).suffix());
    RowLoad::save(photoLike(QSize(64, 48), 1), warm, QFileInfo(source).suffix().toUtf8());
    RowLoad::process(planBatch({warm}, settings).at(0), 16);
    if (!resetPeakResident())
        return 3;
    const long before = residentKb();
    const WorkerCores::Scope scope(cores, 0);
    const qint64 estimate =
        RowLoad::memoryEstimate(source, size, QFileInfo(source).suffix().toUtf8(), resampling);
    const RowOutcome outcome = RowLoad::process(planBatch({source}, settings).at(0), size);
    if (outcome.status != RowOutcome::Written)
        return 2;
    std::printf("%lld %ld\n", estimate, peakResidentKb() - before);
    return 0;
}

int runChild(const QString &mode, const QString &input, const QString &output, int size)
{
    const QStringList sources = imagesIn(input);
    if (mode == "libheif")
        return runLibheifFloor(sources);
    // The image plugins load once per process, whatever the mode: not part of any image's time.
    QImageReader::supportedImageFormats();
    QImageWriter::supportedImageFormats();
    QElapsedTimer timer;
    timer.start();
    if (mode.startsWith("load")) {
        const Resampling resampling =
            mode.endsWith("smooth") ? Resampling::Smooth : Resampling::Nearest;
        if (!loadOnly(sources, size, resampling))
            return 2;
    } else if (mode == "toolkit") {
        if (!toolkitOnly(sources, output, size))
            return 2;
    } else {
        return runBatch(mode, sources, output, size, timer);
    }
    std::printf("%.6f %ld\n", timer.nsecsElapsed() / 1e9, peakResidentKb());
    return 0;
}

bool spawnChild(const QStringList &args, double *first, double *second, double *third)
{
    QByteArray printed;
    if (!childOutput(args, &printed))
        return false;
    const QList<QByteArray> words = printed.trimmed().split(' ');
    *first = words.value(0).toDouble();
    *second = words.value(1).toDouble();
    if (third)
        *third = words.value(2).toDouble();
    return true;
}

Measure measure(const QString &mode, const QString &input, int size)
{
    QTemporaryDir output;
    Measure result;
    if (spawnChild({mode, input, output.path(), QString::number(size)}, &result.seconds,
                   &result.peakMb, &result.encodes)) {
        result.peakMb /= 1024.0;
        result.images = imagesIn(input).size();
    }
    return result;
}

// The fastest of a few interleaved rounds: the machine is shared, and other load only ever
// slows a round down.
Measure fastest(const Measure &kept, const Measure &round)
{
    if (round.images == 0 || kept.images == 0)
        return Measure{};
    Measure best = round.seconds < kept.seconds ? round : kept;
    best.peakMb = qMax(round.peakMb, kept.peakMb);
    return best;
}

void printLine(QTextStream &out, const QString &name, const Measure &m)
{
    out << QString("  %1  %2 s/image  %3 images/s  peak %4 MB\n")
               .arg(name, -24)
               .arg(m.seconds / m.images, 8, 'f', 4)
               .arg(m.images / m.seconds, 7, 'f', 2)
               .arg(m.peakMb, 6, 'f', 1);
}

void printHeader(QTextStream &out, const QString &set, int images, int size, int rounds)
{
    out << QString("%1: %2 images, size %3, fastest of %4 rounds\n")
               .arg(set)
               .arg(images)
               .arg(size)
               .arg(rounds);
}

void printWorkers(QTextStream &out, const Measure &one, const Measure &all)
{
    printLine(out, "(b) Parvimage, 1 worker", one);
    printLine(out, QString("(c) Parvimage, %1 workers").arg(QThread::idealThreadCount()), all);
}

void printSeconds(QTextStream &out, const QString &name, double perImage)
{
    out << QString("  %1  %2 s/image\n").arg(name, -24).arg(perImage, 8, 'f', 4);
}

} // namespace Bench
