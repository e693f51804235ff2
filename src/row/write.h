#pragma once

#include "row/plannedrow.h"
#include "system/filetime.h"

#include <QByteArray>

// The last stage of a row: its bytes on the disk, whole or not at all, and what the file keeps
// of its source beside them.
namespace Write {

// `bytes` written at `path` through a temporary file; the outcome says how it went, and what
// of the source's metadata (`leftOut`) the file lacks.
RowOutcome file(const QString &path, const QByteArray &bytes, const LeftOuts &leftOut);

// The output's missing folders made, under the row's destination only while it is there: a
// destination gone during the run is not made again behind the user's back.
void makeFolders(const PlannedRow &row, const QString &path);

// Gives a written output its source's modification time, read before the output could
// replace it.
void keepDate(const QString &path, const FileTime::Stamp &stamp, RowOutcome *outcome);

} // namespace Write
