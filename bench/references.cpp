// The reference decoders' timers, each kept to one core.

#include "references.h"

#include "benchfixtures.h"
#include "system/peakmemory.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>
#include <libheif/heif.h>
#include <sched.h>

namespace Bench {

// libtiff's one-core RGBA decode of every file of `input`, by the program beside this one.
Measure libtiffFloor(const QString &input)
{
    QProcess floor;
    floor.start(QCoreApplication::applicationDirPath() + "/parvimage_tiffrgba", imagesIn(input));
    Measure m;
    if (!floor.waitForFinished(-1) || floor.exitCode() != 0)
        return m;
    const QList<QByteArray> words = floor.readAllStandardOutput().trimmed().split(' ');
    m.seconds = words.value(0).toDouble();
    m.peakMb = words.value(1).toDouble() / 1024;
    m.images = imagesIn(input).size();
    return m;
}

namespace {

// libheif's decode of each file to its own planes, on one core: the floor for HEIC and AVIF,
// as djpeg's is for JPEG. The primary image, as libheif decodes it by default.
bool libheifDecode(const QString &source)
{
    heif_context *context = heif_context_alloc();
    heif_context_set_max_decoding_threads(context, 0);
    heif_image_handle *handle = nullptr;
    heif_image *image = nullptr;
    const bool ok =
        heif_context_read_from_file(context, QFile::encodeName(source), nullptr).code == 0 &&
        heif_context_get_primary_image_handle(context, &handle).code == 0 &&
        heif_decode_image(handle, &image, heif_colorspace_YCbCr, heif_chroma_420, nullptr).code ==
            0;
    heif_image_release(image);
    heif_image_handle_release(handle);
    heif_context_free(context);
    return ok;
}

} // namespace

int runLibheifFloor(const QStringList &sources)
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0)
        return 3;
    QElapsedTimer timer;
    timer.start();
    for (const QString &source : sources)
        if (!libheifDecode(source))
            return 2;
    std::printf("%.6f %ld\n", timer.nsecsElapsed() / 1e9, peakResidentKb());
    return 0;
}

// vipsthumbnail, where it is installed, on the same files and to the same format.
double vipsSeconds(const QString &input, int size)
{
    QTemporaryDir output;
    QStringList args{"-s", QString::number(size), "-o",
                     output.filePath("%s.") + QFileInfo(imagesIn(input).value(0)).suffix()};
    QElapsedTimer timer;
    timer.start();
    if (QProcess::execute("vipsthumbnail", args + imagesIn(input)) != 0)
        return 0;
    return timer.nsecsElapsed() / 1e9;
}

namespace {

// The seconds `decode` takes over every file of `input`; 0 where it fails on one.
double secondsForEach(const QString &input, const std::function<bool(const QString &)> &decode)
{
    QElapsedTimer timer;
    timer.start();
    for (const QString &source : imagesIn(input))
        if (!decode(source))
            return 0;
    return timer.nsecsElapsed() / 1e9;
}

} // namespace

// One core's full libjpeg-turbo decodes of the same files: the floor a decoder can reach.
double djpegSeconds(const QString &input)
{
    return secondsForEach(input, [](const QString &source) {
        return QProcess::execute("djpeg", {"-outfile", "/dev/null", source}) == 0;
    });
}

// One core's full libwebp decodes of the same files, to RGB as djpeg's are.
double dwebpSeconds(const QString &input)
{
    return secondsForEach(input, [](const QString &source) {
        return QProcess::execute("dwebp", {"-quiet", "-ppm", source, "-o", "/dev/null"}) == 0;
    });
}

// One core's full libjxl decodes of the same files, to RGB as djpeg's are: djxl on one thread,
// kept to one core, its output to /dev/null through a link whose name tells it the format.
double djxlSeconds(const QString &input)
{
    QTemporaryDir dir;
    const QString sink = dir.filePath("null.ppm");
    if (!QFile::link(QStringLiteral("/dev/null"), sink))
        return 0;
    return secondsForEach(input, [&sink](const QString &source) {
        return QProcess::execute(
                   "taskset", {"-c", "0", "djxl", "--quiet", "--num_threads=1", source, sink}) == 0;
    });
}

// libraw's own half-size decode with the camera's white balance, on one core.
double dcrawSeconds(const QString &input)
{
    return secondsForEach(input, [](const QString &source) {
        QProcess dcraw;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("OMP_NUM_THREADS", "1");
        dcraw.setProcessEnvironment(env);
        dcraw.setStandardOutputFile(QProcess::nullDevice());
        dcraw.start("taskset", {"-c", "0", "dcraw_emu", "-w", "-h", "-Z", "-", source});
        return dcraw.waitForFinished(-1) && dcraw.exitCode() == 0;
    });
}

// ImageMagick on one core making the same GIF: every frame whole, resized, then optimised.
double magickSeconds(const QString &input, int size, double *peakMb)
{
    return secondsForEach(input, [size, peakMb](const QString &source) {
        QProcess magick;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("MAGICK_THREAD_LIMIT", "1");
        magick.setProcessEnvironment(env);
        const QString box = QString("%1x%1").arg(size);
        magick.start("/usr/bin/time",
                     {"-f", "%M", "taskset", "-c", "0", "convert", source, "-coalesce", "-resize",
                      box, "-layers", "optimize", QDir::temp().filePath("parvimage-magick.gif")});
        if (!magick.waitForFinished(-1) || magick.exitCode() != 0)
            return false;
        *peakMb =
            QString(magick.readAllStandardError()).trimmed().split('\n').last().toDouble() / 1024;
        return true;
    });
}

} // namespace Bench
