#pragma once

#include "resample/target.h"

#include <QString>
#include <QStringList>
#include <QTextStream>

// Each measured run is this program again, as a child: its peak resident memory is then its
// own. The parent spawns it with --child and a mode and reads the numbers it prints.
namespace Bench {

struct Measure
{
    double seconds = 0;
    double peakMb = 0;
    int images = 0;
    double encodes = 0; // per row
};

// The child's side of an estimate: one row of `source`, its estimate, and the peak it reached
// above what the process held before it.
int runEstimate(const QString &source, const QString &output, int size, Resampling resampling,
                int cores);

// The child's side: one mode over one folder.
int runChild(const QString &mode, const QString &input, const QString &output, int size);

// Runs this program as a child with `args` and returns the two or three numbers it printed.
bool spawnChild(const QStringList &args, double *first, double *second, double *third = nullptr);

// One child run of `mode` over the images of `input`; no images where it failed.
Measure measure(const QString &mode, const QString &input, int size);

// The fastest of a few interleaved rounds: the machine is shared, and other load only ever
// slows a round down.
Measure fastest(const Measure &kept, const Measure &round);

// The lines the suites print: a measure's time per image, images per second and peak; a
// set's heading; the one-worker and all-workers lines; a floor's time per image alone.
void printLine(QTextStream &out, const QString &name, const Measure &m);
void printHeader(QTextStream &out, const QString &set, int images, int size, int rounds);
void printWorkers(QTextStream &out, const Measure &one, const Measure &all);
void printSeconds(QTextStream &out, const QString &name, double perImage);

} // namespace Bench
