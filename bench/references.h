#pragma once

#include "harness.h"

#include <QString>
#include <QStringList>

// The floors the rows are compared with: each a one-core decode of the same files by the
// format's reference library or tool, or another program making the same outputs. A time of 0
// (or no images) where the tool is missing or failed.
namespace Bench {

// libtiff's one-core RGBA decode of every file of `input`, by the program beside this one.
Measure libtiffFloor(const QString &input);

// The child's side of the "libheif" mode: libheif's decode of each file, on one core.
int runLibheifFloor(const QStringList &sources);

// vipsthumbnail, where it is installed, on the same files and to the same format.
double vipsSeconds(const QString &input, int size);

double djpegSeconds(const QString &input);
double dwebpSeconds(const QString &input);
double djxlSeconds(const QString &input);
double dcrawSeconds(const QString &input);

// ImageMagick on one core making the same GIF; `*peakMb` its peak.
double magickSeconds(const QString &input, int size, double *peakMb);

} // namespace Bench
