#pragma once

#include "row/plannedrow.h"

#include <QImage>

namespace ImageResizer {

// Reads `path` upright (EXIF orientation applied) and returns it scaled to fit `box`.
// On failure returns a null image and sets `outcome`.
QImage loadScaled(const QString &path, int box, RowOutcome *outcome,
                  Resampling resampling = Resampling::Nearest);

// The most memory loading and writing `path` at `box` takes, read from its header: the output
// and a few rows where it is streamed, the full image where the toolkit decodes it.
qint64 memoryEstimate(const QString &path, int box);
// The same for a row that writes `outputFormat`: HEIC and AVIF encoders hold far more than the
// output.
// Under a file-size limit, the retries' encodes and pixels too.
qint64 memoryEstimate(const QString &path, int box, const QByteArray &outputFormat,
                      Resampling resampling = Resampling::Nearest, qint64 maxBytes = 0);

// The most memory a planned row takes at `box`, its other sizes and its frame included.
qint64 memoryEstimate(const PlannedRow &row, int box);

// The same on one core, and alone on `cores`, where a decoder's helpers hold rows of their own;
// read from one opening of the file.
struct MemoryCosts
{
    qint64 oneCore = 0;
    qint64 alone = 0;
};
MemoryCosts memoryCosts(const PlannedRow &row, int box, int cores);

// The formats a row can write, by the output's suffix in lower case.
QList<QByteArray> writableFormats();
// The formats a row can read: the toolkit's plug-ins' and the program's own decoders'.
QList<QByteArray> readableFormats();
// True where a file of this suffix, in any letter case, is read and can be written, in its own
// format or in the one it becomes.
bool handlesSuffix(const QString &suffix);

// The output format of a source of this suffix (in lower case) that cannot be written in its
// own; empty for the others.
QByteArray writtenAsFor(const QByteArray &suffix);

// Writes `image` atomically: an existing file at `path` is replaced only once the new one is
// complete, and left as it was otherwise.
RowOutcome write(const QImage &image, const QString &path, const QByteArray &format);

// Keeps freed image buffers for reuse instead of returning them to the system: faulting in
// fresh pages for every large decode costs more than the decode, and serialises the workers.
// Call once, before any image work.
void tuneAllocator();

// Loads, scales and writes one planned row.
RowOutcome processRow(const PlannedRow &row, int box);

} // namespace ImageResizer
