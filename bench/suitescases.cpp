// The suites of uses: sending, cameras, animated GIF, one photo alone, and the estimates.

#include "suitescases.h"

#include "benchfixtures.h"
#include "formats/raw/rawdecoder.h"
#include "formats/registry.h"
#include "harness.h"
#include "references.h"
#include "suitesformats.h"
#include "system/sourcefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QTemporaryDir>

namespace Bench {

namespace {

// One pair of modes over `input`: the rows as they are and as asked (`askedName`).
void reportAsked(QTextStream &out, const QString &name, const QString &input,
                 const QPair<QString, QString> &modes, const QString &askedName, int size,
                 int rounds)
{
    Measure plain, asked;
    for (int i = 0; i < rounds; ++i) {
        const Measure a = measure(modes.first, input, size);
        const Measure b = measure(modes.second, input, size);
        plain = i == 0 ? a : fastest(plain, a);
        asked = i == 0 ? b : fastest(asked, b);
    }
    if (plain.images == 0 || asked.images == 0) {
        out << name << ": a run failed\n";
        return;
    }
    out << "  " << name << "\n";
    printLine(out, "without", plain);
    printLine(out, askedName, asked);
    out << QString("   ratio %1   peak ratio %2   encodes per row %3\n")
               .arg(asked.seconds / plain.seconds, 0, 'f', 3)
               .arg(asked.peakMb / plain.peakMb, 0, 'f', 3)
               .arg(asked.encodes, 0, 'f', 2);
}

} // namespace

// Photos ready to send: under a 200 Ko limit against the same rows without it, and converted to
// sRGB against the same rows without the conversion, all workers, in this one run.
void reportSending(QTextStream &out, const QString &photos, const QString &p3, int size, int rounds)
{
    out << QString("Photos ready to send, size %1, fastest of %2 rounds\n").arg(size).arg(rounds);
    reportAsked(out, "JPEG 12 MP, JPEG out", photos, {"all-jpg", "all-jpg-limit"}, "at most 200 Ko",
                size, rounds);
    reportAsked(out, "JPEG 12 MP, HEIC out", photos, {"all-heic", "all-heic-limit"},
                "at most 200 Ko", size, rounds);
    reportAsked(out, "Display P3 JPEG 12 MP, JPEG out", p3, {"all-jpg", "all-jpg-srgb"},
                "converted to sRGB", size, rounds);
    out << "\n";
    out.flush();
}

namespace {

// A raw's upright size, as its decoder reads the header.
QSize rawSize(const QString &path)
{
    const SourceFile source(path);
    return Formats::open(source)->header().upright();
}

// A set of raws' rounds: the toolkit's raw plug-in (a) where it reads them, one worker and all
// (b, c), and libraw's half-size decode's seconds (d).
struct RawRounds
{
    Measure a, b, c;
    double d = 0;
};

RawRounds measureRaws(const QString &set, int size, int rounds, bool toolkit)
{
    RawRounds m;
    for (int i = 0; i < rounds; ++i) {
        if (toolkit) {
            const Measure a = measure("toolkit", set, size);
            m.a = i == 0 ? a : fastest(m.a, a);
        }
        const Measure one = measure("one", set, size), all = measure("all", set, size);
        m.b = i == 0 ? one : fastest(m.b, one);
        m.c = i == 0 ? all : fastest(m.c, all);
        const double floor = dcrawSeconds(set);
        m.d = i == 0 ? floor : qMin(m.d, floor);
    }
    return m;
}

void reportRaws(QTextStream &out, const QString &set, int size, int rounds)
{
    const QString first = imagesIn(set).value(0);
    if (first.isEmpty())
        return;
    const bool toolkit = QImageReader(first).canRead();
    const RawRounds m = measureRaws(set, size, rounds, toolkit);
    if (m.b.images == 0 || m.c.images == 0 || m.d <= 0 || (toolkit && m.a.images == 0)) {
        out << set << ": a run failed\n";
        return;
    }
    out << QString("Camera raws %1 (%2 x %3), size %4, decoded %5, fastest of %6 rounds\n")
               .arg(QFileInfo(set).fileName())
               .arg(rawSize(first).width())
               .arg(rawSize(first).height())
               .arg(size)
               .arg(QString(RawDecoder::pathFor(SourceFile(first), size)))
               .arg(rounds);
    if (toolkit)
        printLine(out, "(a) toolkit's raw plug-in", m.a);
    printWorkers(out, m.b, m.c);
    printSeconds(out, "(d) dcraw_emu -h, one core", m.d / m.b.images);
    out << QString("   c/d = %1").arg(m.c.seconds / m.d, 0, 'f', 3);
    if (toolkit)
        out << QString("   toolkit a/c = %1").arg(m.a.seconds / m.c.seconds, 0, 'f', 2);
    out << "\n\n";
}

// Ultra HDR photos with their gain map against the same rows without it.
void reportUltraHdr(QTextStream &out, const QString &root, int size, int rounds)
{
    Measure with, without;
    for (int i = 0; i < rounds; ++i) {
        const Measure w = measure("all-jpg", root + "/ultrahdr", size);
        const Measure n = measure("all-jpg", root + "/ultrahdr-without", size);
        with = i == 0 ? w : fastest(with, w);
        without = i == 0 ? n : fastest(without, n);
    }
    if (with.images == 0 || without.images == 0) {
        out << "Ultra HDR: no corpus, or a run failed\n\n";
        return;
    }
    out << QString("Ultra HDR JPEG 3840 x 2160 to JPEG, size %1, fastest of %2 rounds\n")
               .arg(size)
               .arg(rounds);
    printLine(out, "without its gain map", without);
    printLine(out, "with its gain map", with);
    out << QString("   ratio %1   peak ratio %2\n\n")
               .arg(with.seconds / without.seconds, 0, 'f', 3)
               .arg(with.peakMb / without.peakMb, 0, 'f', 3);
    out.flush();
}

} // namespace

// Camera raws against libraw's one-core half-size decode and the toolkit's raw plug-in (Qt 5
// only has one), and Ultra HDR photos with their gain map against the same rows without it.
void reportCameras(QTextStream &out, const QString &root, int size, int rounds)
{
    for (const QString &set : {root + "/raw", root + "/raw-preview", root + "/raw-corpus"})
        reportRaws(out, set, size, rounds);
    reportUltraHdr(out, root, size, rounds);
}

// An animated GIF written as GIF on one worker, against ImageMagick on one core.
void reportGif(QTextStream &out, const QString &input, int size, int rounds)
{
    double magickPeak = 0;
    Measure one = measure("one", input, size);
    double magick = magickSeconds(input, size, &magickPeak);
    for (int r = 1; r < rounds; ++r) {
        one = fastest(one, measure("one", input, size));
        magick = qMin(magick, magickSeconds(input, size, &magickPeak));
    }
    if (one.images == 0 || magick <= 0) {
        out << "Animated GIF: a run failed\n\n";
        return;
    }
    out << QString("Animated GIF, 100 frames of 640 x 480, GIF out at %1, one core: Parvimage "
                   "%2 s (peak %3 MB), ImageMagick %4 s (peak %5 MB): ratio %6\n\n")
               .arg(size)
               .arg(one.seconds, 0, 'f', 3)
               .arg(one.peakMb, 0, 'f', 1)
               .arg(magick, 0, 'f', 3)
               .arg(magickPeak, 0, 'f', 1)
               .arg(one.seconds / magick, 0, 'f', 3);
    out.flush();
}

namespace {

// A kind of photo alone: its name, the file its folder is made of (none for a JPEG with
// restart markers, made from the 50 MP one) and its floor.
struct Kind
{
    QString name, source, folder;
    Floor floor;
};

QList<Kind> aloneKinds(const QString &root)
{
    return {{"JPEG 50 MP, restart markers", "", root + "/alone-jpeg-rst", Floor::Djpeg},
            {"JPEG 50 MP, no markers", root + "/huge/h0.jpg", root + "/alone-jpeg", Floor::Djpeg},
            {"HEIC 48 MP", root + "/huge-heic/s0.heic", root + "/alone-heic", Floor::Libheif},
            {"AVIF 12 MP", root + "/avif/b0.avif", root + "/alone-avif", Floor::Libheif},
            {"PNG 50 MP", root + "/huge-png/h0.png", root + "/alone-png", Floor::None},
            {"Raw 24 MP", root + "/raw/r0.dng", root + "/alone-raw", Floor::None}};
}

// The kind's folder of one file, made where an earlier run has not left it.
bool aloneFolder(const Kind &kind, const QString &root)
{
    if (QDir(kind.folder).exists())
        return true;
    if (kind.source.isEmpty())
        return withRestartMarkers(root + "/huge/h0.jpg", kind.folder);
    return QDir().mkpath(kind.folder) &&
           QFile::copy(kind.source, kind.folder + "/" + QFileInfo(kind.source).fileName());
}

// The first round of a kind's floor: djpeg's or dcraw_emu's seconds, libheif's, or for PNG the
// toolkit's path.
double firstFloor(const Kind &kind, const QString &suffix, int size)
{
    const Measure floor = kind.floor == Floor::Libheif ? measure("libheif", kind.folder, size)
                          : kind.floor == Floor::None && suffix == "png"
                              ? measure("toolkit", kind.folder, size)
                              : Measure{};
    return kind.floor == Floor::Djpeg ? djpegSeconds(kind.folder)
           : suffix == "dng"          ? dcrawSeconds(kind.folder)
                                      : floor.seconds;
}

// The kind's photo on every core and on one, against its floor.
void reportKind(QTextStream &out, const Kind &kind, const QString &suffix, int size, int rounds)
{
    Measure alone = measure("all", kind.folder, size), one = measure("one", kind.folder, size);
    double floorSeconds = firstFloor(kind, suffix, size);
    for (int r = 1; r < rounds; ++r) {
        alone = fastest(alone, measure("all", kind.folder, size));
        one = fastest(one, measure("one", kind.folder, size));
        if (kind.floor == Floor::Djpeg)
            floorSeconds = qMin(floorSeconds, djpegSeconds(kind.folder));
    }
    out << QString("  %1  alone %2 s  one core %3 s  floor %4 s   alone/floor = %5   "
                   "one/floor = %6   peak %7 MB\n")
               .arg(kind.name, -28)
               .arg(alone.seconds, 6, 'f', 3)
               .arg(one.seconds, 6, 'f', 3)
               .arg(floorSeconds, 6, 'f', 3)
               .arg(alone.seconds / floorSeconds, 0, 'f', 3)
               .arg(one.seconds / floorSeconds, 0, 'f', 3)
               .arg(alone.peakMb, 0, 'f', 1);
}

// The kinds' files together, the largest last and first.
void reportOrder(QTextStream &out, const QString &root, int size, int rounds)
{
    Measure worst = measure("all", root + "/order-worst", size);
    Measure best = measure("all", root + "/order-best", size);
    for (int r = 1; r < rounds; ++r) {
        worst = fastest(worst, measure("all", root + "/order-worst", size));
        best = fastest(best, measure("all", root + "/order-best", size));
    }
    out << QString("  The six listed largest last %1 s, largest first %2 s: worst/best = %3\n\n")
               .arg(worst.seconds, 0, 'f', 3)
               .arg(best.seconds, 0, 'f', 3)
               .arg(worst.seconds / best.seconds, 0, 'f', 3);
}

} // namespace

// One photo alone takes every core: each kind against its one-core floor, then the same six
// in the list's worst order (largest last) and its best.
void reportAlone(QTextStream &out, const QString &root, int size, int rounds)
{
    const QList<Kind> kinds = aloneKinds(root);
    out << QString("One photo alone, size %1, fastest of %2 rounds; the floor is a one-core "
                   "decode (djpeg, libheif, dcraw_emu -h), the toolkit's path for PNG\n")
               .arg(size)
               .arg(rounds);
    QDir().mkpath(root + "/order-worst");
    QDir().mkpath(root + "/order-best");
    for (int i = 0; i < kinds.size(); ++i) {
        const Kind &kind = kinds.at(i);
        const bool made = aloneFolder(kind, root);
        const QString file = imagesIn(kind.folder).value(0);
        if (!made || file.isEmpty())
            continue;
        const QString suffix = QFileInfo(file).suffix();
        // By name: the largest (listed first here) last in one, first in the other.
        QFile::link(file, QString("%1/%2.%3").arg(root + "/order-worst").arg(9 - i).arg(suffix));
        QFile::link(file, QString("%1/%2.%3").arg(root + "/order-best").arg(i).arg(suffix));
        reportKind(out, kind, suffix, size, rounds);
    }
    reportOrder(out, root, size, rounds);
    out.flush();
}

// Each kind of row's estimate beside the peak it reached, each in a process of its own.
void reportEstimates(QTextStream &out, const QList<QPair<QString, QString>> &kinds, int size,
                     const QString &mode)
{
    out << QString("Memory estimate against the measured peak of one row, size %1%2\n")
               .arg(size)
               .arg(mode == "estimate" ? "" : ", smooth");
    for (const auto &[name, file] : kinds) {
        QTemporaryDir output;
        double estimate = 0, measuredKb = 0;
        if (!spawnChild({mode, file, output.path(), QString::number(size)}, &estimate,
                        &measuredKb)) {
            out << "  " << name << ": the row failed\n";
            continue;
        }
        out << QString("  %1  estimate %2 MB  measured %3 MB  measured/estimate %4\n")
                   .arg(name, -38)
                   .arg(estimate / (1 << 20), 7, 'f', 1)
                   .arg(measuredKb / 1024, 7, 'f', 1)
                   .arg(measuredKb * 1024 / estimate, 0, 'f', 2);
    }
    out << "\n";
    out.flush();
}

} // namespace Bench
