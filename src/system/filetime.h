#pragma once

#include <QString>

// A file's modification time, kept to the nanosecond where the system has it, so that an output
// sorts exactly where its source did.
namespace FileTime {

struct Stamp
{
    qint64 seconds = 0;
    qint64 nanoseconds = 0;
    bool valid = false;
};

Stamp modified(const QString &path);
// Sets the modification time only; false where the system refused.
bool setModified(const QString &path, const Stamp &stamp);

} // namespace FileTime
