#include "row/rowoutcome.h"

#include <cerrno>

RowOutcome RowOutcome::make(Status status, const QString &systemError)
{
    RowOutcome outcome;
    outcome.status = status;
    outcome.systemError = systemError;
    return outcome;
}

RowOutcome RowOutcome::writeFailed(int code, const QString &systemText)
{
    RowOutcome outcome = make(WriteFailed, systemText);
    switch (code) {
    case ENOSPC:
    case EDQUOT:
        outcome.writeProblem = WriteProblem::NoSpace;
        break;
    case EROFS:
        outcome.writeProblem = WriteProblem::ReadOnly;
        break;
    case EACCES:
    case EPERM:
        outcome.writeProblem = WriteProblem::Denied;
        break;
    case ENOENT:
        outcome.writeProblem = WriteProblem::NoFolder;
        break;
    case ENAMETOOLONG:
        outcome.writeProblem = WriteProblem::NameTooLong;
        break;
    case EIO:
        outcome.writeProblem = WriteProblem::DiskError;
        break;
    default:
        break;
    }
    return outcome;
}

RowOutcome RowOutcome::encodeFailed(const QString &words, bool outOfMemory)
{
    RowOutcome outcome = make(WriteFailed, words);
    if (outOfMemory)
        outcome.writeProblem = WriteProblem::OutOfMemory;
    return outcome;
}
