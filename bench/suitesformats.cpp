// Each format's rows against the toolkit only and its floor.

#include "suitesformats.h"

#include "benchfixtures.h"
#include "formats/jpeg/jpegmetadata.h"
#include "references.h"
#include "rowload.h"

#include <QElapsedTimer>
#include <QThread>
#include <QVector>

#include <algorithm>

namespace Bench {

// The metadata step alone, in this process: each source's segments read and inserted into an
// encoded output, as a row does after encoding.
double metadataMilliseconds(const QString &folder)
{
    const QByteArray encoded = jpegOf(QSize(1024, 768), 3);
    const QStringList sources = imagesIn(folder);
    QElapsedTimer timer;
    timer.start();
    for (const QString &source : sources) {
        QByteArray output = encoded;
        LeftOuts leftOut;
        JpegMetadata::insertInto(&output, RowLoad::metadata(source), QSize(1024, 768), &leftOut);
    }
    return sources.isEmpty() ? 0 : timer.nsecsElapsed() / 1e6 / sources.size();
}

namespace {

// A set's rounds: the toolkit only (a), one worker and all (b, c), smooth (f, g), the decode
// and resize alone (h, k), libheif's floor (d) and djpeg's or dwebp's seconds.
struct SetRounds
{
    Measure a, b, c, f, g, h, k, d;
    double decoder = 0;
};

SetRounds measureSet(const QString &input, int size, int rounds, Floor floor)
{
    const bool toolkit = floor != Floor::Libheif;
    const auto round = [&](const QString &mode, bool wanted) {
        return wanted ? measure(mode, input, size) : Measure{};
    };
    // djpeg's or dwebp's: a one-core decode of the same files, in a process of its own.
    const auto decoder = [floor, &input] {
        return floor == Floor::Djpeg   ? djpegSeconds(input)
               : floor == Floor::Dwebp ? dwebpSeconds(input)
                                       : 0;
    };
    SetRounds m;
    m.a = round("toolkit", toolkit);
    m.b = round("one", true);
    m.c = round("all", true);
    m.f = round("one-smooth", true);
    m.g = round("all-smooth", true);
    m.h = round("load", true);
    m.k = round("load-smooth", true);
    m.d = round("libheif", floor == Floor::Libheif);
    m.decoder = decoder();
    for (int i = 1; i < rounds; ++i) {
        m.a = toolkit ? fastest(m.a, round("toolkit", true)) : m.a;
        m.b = fastest(m.b, round("one", true));
        m.c = fastest(m.c, round("all", true));
        m.f = fastest(m.f, round("one-smooth", true));
        m.g = fastest(m.g, round("all-smooth", true));
        m.h = fastest(m.h, round("load", true));
        m.k = fastest(m.k, round("load-smooth", true));
        m.d = floor == Floor::Libheif ? fastest(m.d, round("libheif", true)) : m.d;
        if (m.decoder > 0)
            m.decoder = qMin(m.decoder, decoder());
    }
    return m;
}

bool anyFailed(const SetRounds &m, Floor floor)
{
    return (floor != Floor::Libheif && m.a.images == 0) || m.b.images == 0 || m.c.images == 0 ||
           m.f.images == 0 || m.g.images == 0 || m.h.images == 0 || m.k.images == 0 ||
           (floor == Floor::Libheif && m.d.images == 0);
}

void printSetLines(QTextStream &out, const SetRounds &m, Floor floor, double vips)
{
    if (floor != Floor::Libheif)
        printLine(out, "(a) toolkit only", m.a);
    printWorkers(out, m.b, m.c);
    if (m.decoder > 0)
        printSeconds(out, floor == Floor::Dwebp ? "(d) dwebp, one core" : "(d) djpeg, one core",
                     m.decoder / m.b.images);
    if (floor == Floor::Libheif)
        printLine(out, "(d) libheif, one core", m.d);
    if (vips > 0)
        printSeconds(out, "(e) vipsthumbnail", vips / m.b.images);
    printLine(out, "(f) smooth, 1 worker", m.f);
    printLine(out, QString("(g) smooth, %1 workers").arg(QThread::idealThreadCount()), m.g);
    printLine(out, "(h) decode+resize, nearest", m.h);
    printLine(out, "(k) decode+resize, smooth", m.k);
}

// Against the toolkit only and the floors, on nearest.
void printNearestRatios(QTextStream &out, const SetRounds &m, Floor floor, double vips)
{
    out << " ";
    if (floor != Floor::Libheif)
        out << QString("  time per image b/a = %1   c/a = %2")
                   .arg(m.b.seconds / m.a.seconds, 0, 'f', 3)
                   .arg(m.c.seconds / m.a.seconds, 0, 'f', 3);
    out << QString("   throughput c/b = %1").arg(m.b.seconds / m.c.seconds, 0, 'f', 2);
    if (m.decoder > 0)
        out << QString("   c/d = %1").arg(m.c.seconds / m.decoder, 0, 'f', 3);
    if (floor == Floor::Libheif)
        out << QString("   c/d = %1   peak c/d = %2")
                   .arg(m.c.seconds / m.d.seconds, 0, 'f', 3)
                   .arg(m.c.peakMb / m.d.peakMb, 0, 'f', 3);
    if (vips > 0)
        out << QString("   c/e = %1").arg(m.c.seconds / vips, 0, 'f', 3);
}

void printSmoothRatios(QTextStream &out, const SetRounds &m)
{
    out << QString("\n   smooth against nearest f/b = %1   g/c = %2   peak g/c = %3")
               .arg(m.f.seconds / m.b.seconds, 0, 'f', 3)
               .arg(m.g.seconds / m.c.seconds, 0, 'f', 3)
               .arg(m.g.peakMb / m.c.peakMb, 0, 'f', 3);
    out << QString("   without encoding k/h = %1").arg(m.k.seconds / m.h.seconds, 0, 'f', 3);
    if (m.decoder > 0)
        out << QString("   g/d = %1").arg(m.g.seconds / m.decoder, 0, 'f', 3);
    out << "\n\n";
}

} // namespace

Measure report(QTextStream &out, const QString &set, const QString &input, int size, int rounds,
               Floor floor)
{
    const SetRounds m = measureSet(input, size, rounds, floor);
    if (anyFailed(m, floor)) {
        out << set << ": a run failed\n";
        return Measure{};
    }
    const double vips =
        floor == Floor::Libheif || floor == Floor::Dwebp ? vipsSeconds(input, size) : 0;
    printHeader(out, set, m.b.images, size, rounds);
    printSetLines(out, m, floor, vips);
    printNearestRatios(out, m, floor, vips);
    printSmoothRatios(out, m);
    out.flush();
    return m.b;
}

// A grid HEIC alone, tile by tile and, decoded whole by libheif, as before: its time at 1024
// against libheif's one-core decode, its peak at 2048 written as HEIC and, to leave the HEIC
// encoder out, as JPEG; beside them, the peak of a HEIC already of the output's size written at
// 2048, the HEIC encoder's share.
void reportGrid(QTextStream &out, const QString &set, const QString &input,
                const QString &encoderOnly)
{
    const auto run = [&input](const QString &mode, int size, bool whole) {
        return measure(whole ? mode + "-whole" : mode, input, size);
    };
    const Measure d = measure("libheif", input, 1024);
    const Measure encoder = measure("all", encoderOnly, 2048);
    const QVector<Measure> m{run("all", 1024, false),     run("all", 1024, true),
                             run("all", 2048, false),     run("all", 2048, true),
                             run("all-jpg", 2048, false), run("all-jpg", 2048, true)};
    if (d.images == 0 || encoder.images == 0 ||
        std::any_of(m.begin(), m.end(), [](auto r) { return r.images == 0; })) {
        out << set << ": a run failed\n";
        return;
    }
    out << set << ", alone, " << QThread::idealThreadCount() << " cores\n";
    printLine(out, "(d) libheif, one core", d);
    const QStringList names{"tiles, 1024", "whole, 1024",       "tiles, 2048",
                            "whole, 2048", "tiles, 2048, JPEG", "whole, 2048, JPEG"};
    for (int i = 0; i < m.size(); ++i)
        printLine(out, names.at(i), m.at(i));
    printLine(out, "HEIC 2048 x 1536 at 2048", encoder);
    out << QString("   at 1024 tiles/d = %1   whole/d = %2   peak at 2048 tiles %3 MB, whole %4 MB"
                   "   JPEG out tiles %5 MB, whole %6 MB\n\n")
               .arg(m[0].seconds / d.seconds, 0, 'f', 3)
               .arg(m[1].seconds / d.seconds, 0, 'f', 3)
               .arg(m[2].peakMb, 0, 'f', 1)
               .arg(m[3].peakMb, 0, 'f', 1)
               .arg(m[4].peakMb, 0, 'f', 1)
               .arg(m[5].peakMb, 0, 'f', 1);
    out.flush();
}

// TIFF rows, written as TIFF, against libtiff's one-core RGBA decode of the same files.
void reportTiff(QTextStream &out, const QString &set, const QString &input, int size, int rounds)
{
    Measure b, c, d;
    for (int i = 0; i < rounds; ++i) {
        const bool first = i == 0;
        const Measure one = measure("one", input, size), all = measure("all", input, size),
                      floor = libtiffFloor(input);
        b = first ? one : fastest(b, one);
        c = first ? all : fastest(c, all);
        d = first ? floor : fastest(d, floor);
    }
    if (b.images == 0 || c.images == 0 || d.images == 0) {
        out << set << ": a run failed\n";
        return;
    }
    printHeader(out, set, b.images, size, rounds);
    printWorkers(out, b, c);
    printLine(out, "(d) libtiff RGBA, one core", d);
    out << QString("   c/d = %1   b/d = %2   throughput c/b = %3\n\n")
               .arg(c.seconds / d.seconds, 0, 'f', 3)
               .arg(b.seconds / d.seconds, 0, 'f', 3)
               .arg(b.seconds / c.seconds, 0, 'f', 2);
    out.flush();
}

// HEIC or AVIF converted to JPEG, as a phone's photos are for mail, against libheif's one-core
// decode of the same files.
void reportConversion(QTextStream &out, const QString &set, const QString &input, int size,
                      int rounds)
{
    Measure b, c, g, d;
    for (int i = 0; i < rounds; ++i) {
        const bool first = i == 0;
        const Measure one = measure("one-jpg", input, size), all = measure("all-jpg", input, size),
                      smooth = measure("all-smooth-jpg", input, size),
                      floor = measure("libheif", input, size);
        b = first ? one : fastest(b, one);
        c = first ? all : fastest(c, all);
        g = first ? smooth : fastest(g, smooth);
        d = first ? floor : fastest(d, floor);
    }
    if (b.images == 0 || c.images == 0 || g.images == 0 || d.images == 0) {
        out << set << ": a run failed\n";
        return;
    }
    printHeader(out, set, b.images, size, rounds);
    printWorkers(out, b, c);
    printLine(out, QString("(g) smooth, %1 workers").arg(QThread::idealThreadCount()), g);
    printLine(out, "(d) libheif, one core", d);
    out << QString("   c/d = %1   g/d = %2   throughput c/b = %3\n\n")
               .arg(c.seconds / d.seconds, 0, 'f', 3)
               .arg(g.seconds / d.seconds, 0, 'f', 3)
               .arg(b.seconds / c.seconds, 0, 'f', 2);
    out.flush();
}

// JPEG XL photos against a one-core djxl decode of the same files: decoded and resized alone,
// written as JPEG (the decode and the resize, the JPEG encode at the output's size costing
// little) on one worker and on all, and written back as JPEG XL on all workers.
void reportJxl(QTextStream &out, const QString &input, int size, int rounds)
{
    Measure h, b, c, e;
    double d = 0;
    for (int i = 0; i < rounds; ++i) {
        const Measure load = measure("load", input, size), one = measure("one-jpg", input, size),
                      all = measure("all-jpg", input, size), back = measure("all", input, size);
        const double floor = djxlSeconds(input);
        h = i == 0 ? load : fastest(h, load);
        b = i == 0 ? one : fastest(b, one);
        c = i == 0 ? all : fastest(c, all);
        e = i == 0 ? back : fastest(e, back);
        d = i == 0 ? floor : qMin(d, floor);
    }
    if (h.images == 0 || b.images == 0 || c.images == 0 || e.images == 0 || d <= 0) {
        out << input << ": a run failed\n";
        return;
    }
    printHeader(out, "JPEG XL 12 MP (cjxl -d 1)", b.images, size, rounds);
    printLine(out, "(h) decode+resize alone", h);
    printWorkers(out, b, c);
    printLine(out, QString("(e) %1 workers, JXL out").arg(QThread::idealThreadCount()), e);
    printSeconds(out, "(d) djxl, one core", d / b.images);
    out << QString("   b/d = %1   c/d = %2   e/d = %3   h/d = %4   throughput c/b = %5\n\n")
               .arg(b.seconds / d, 0, 'f', 3)
               .arg(c.seconds / d, 0, 'f', 3)
               .arg(e.seconds / d, 0, 'f', 3)
               .arg(h.seconds / d, 0, 'f', 3)
               .arg(b.seconds / c.seconds, 0, 'f', 2);
    out.flush();
}

} // namespace Bench
