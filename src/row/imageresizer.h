#pragma once

#include "row/estimate.h"
#include "row/plannedrow.h"

#include <QImage>

#include <memory>

class Photo;

// One planned row made into its outputs, through its stages: render, encode, carry, write.
namespace ImageResizer {

// The most memory the row takes, from one opening of its photo: on one core, and alone on
// `cores`. With `opened`, the photo is kept there open for the row that follows.
RowMemory::Costs memoryCosts(const PlannedRow &row, int cores,
                             std::unique_ptr<Photo> *opened = nullptr);

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

// Keeps freed image buffers for reuse instead of returning them to the system: faulting in
// fresh pages for every large decode costs more than the decode, and serialises the workers.
// Call once, before any image work.
void tuneAllocator();

// Reads, resizes and writes one planned row; from `opened` where its photo is open already.
RowOutcome processRow(const PlannedRow &row);
RowOutcome processRow(const PlannedRow &row, std::unique_ptr<Photo> opened);

} // namespace ImageResizer
