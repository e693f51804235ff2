#include "row/write.h"

#include "system/atomicfile.h"

#include <QDir>
#include <QFileInfo>

namespace Write {

RowOutcome file(const QString &path, const QByteArray &bytes, const LeftOuts &leftOut)
{
    AtomicFile::Failure failure;
    RowOutcome outcome = AtomicFile::write(path, bytes, &failure)
                             ? RowOutcome::make(RowOutcome::Written)
                             : RowOutcome::writeFailed(failure.code, failure.systemText);
    if (outcome.status == RowOutcome::Written)
        outcome.leftOut += leftOut;
    outcome.outputBytes = bytes.size();
    return outcome;
}

void makeFolders(const PlannedRow &row, const QString &path)
{
    if (!row.foldersUnder.isEmpty() && QFileInfo(row.foldersUnder).isDir())
        QDir().mkpath(QFileInfo(path).absolutePath());
}

void keepDate(const QString &path, const FileTime::Stamp &stamp, RowOutcome *outcome)
{
    if (outcome->status == RowOutcome::Written && !FileTime::setModified(path, stamp))
        outcome->leftOut += {LeftOut::ModificationDate};
}

} // namespace Write
