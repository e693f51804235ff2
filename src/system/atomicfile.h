#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Writes a whole file at once through a temporary file beside it, renamed over the old one only
// once complete and on disk, and keeps the system's error code of the call that failed.
namespace AtomicFile {

enum class Step
{
    Open,   // creating the temporary file
    Write,  // filling it
    Sync,   // putting it on the disk
    Rename, // replacing the old file
};

struct Failure
{
    int code = 0;       // errno of the failed call, 0 where the system gave none
    QString systemText; // the system's own words for it
};

// On failure the old file at `path` is as it was and no temporary file is left.
bool write(const QString &path, const QByteArray &bytes, Failure *failure);

// For tests, where a cause cannot be produced for real (root ignores permissions): `fault`
// returns the errno with which a step fails instead of calling the system, or 0.
void setFaultForTesting(std::function<int(Step)> fault);

} // namespace AtomicFile
