#pragma once

#include "harness.h"

#include <QString>
#include <QTextStream>

// The suites that time one format's rows against its one-core floor, each printing its lines
// and ratios to `out`.
namespace Bench {

// What a set's times are compared with: a one-core full decode of the same files.
enum class Floor
{
    None,
    Djpeg,
    Dwebp,
    Libheif, // the toolkit reads neither HEIC nor AVIF: no toolkit-only line either
};

// A set on one worker and on all, nearest and smooth, against the toolkit only and the floor;
// returns the one-worker measure, no images where a run failed.
Measure report(QTextStream &out, const QString &set, const QString &input, int size, int rounds,
               Floor floor = Floor::None);

// A grid HEIC alone, tile by tile and decoded whole; `encoderOnly` is the HEIC encoder's share.
void reportGrid(QTextStream &out, const QString &set, const QString &input,
                const QString &encoderOnly);

// TIFF rows against libtiff's one-core RGBA decode.
void reportTiff(QTextStream &out, const QString &set, const QString &input, int size, int rounds);

// HEIC or AVIF converted to JPEG against libheif's one-core decode.
void reportConversion(QTextStream &out, const QString &set, const QString &input, int size,
                      int rounds);

// JPEG XL photos against a one-core djxl decode.
void reportJxl(QTextStream &out, const QString &input, int size, int rounds);

// The metadata step alone, in this process, in milliseconds per image.
double metadataMilliseconds(const QString &folder);

} // namespace Bench
