#include "system/filetime.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#else
#include <QDateTime>
#include <QFileInfo>
#endif

namespace FileTime {

#ifdef Q_OS_UNIX

Stamp modified(const QString &path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return Stamp();
    return Stamp{qint64(status.st_mtim.tv_sec), qint64(status.st_mtim.tv_nsec), true};
}

bool setModified(const QString &path, const Stamp &stamp)
{
    if (!stamp.valid)
        return false;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(stamp.seconds);
    times[1].tv_nsec = long(stamp.nanoseconds);
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

#else

Stamp modified(const QString &path)
{
    const QDateTime time = QFileInfo(path).lastModified();
    if (!time.isValid())
        return Stamp();
    const qint64 ms = time.toMSecsSinceEpoch();
    return Stamp{ms / 1000, ms % 1000 * 1000000, true};
}

bool setModified(const QString &path, const Stamp &stamp)
{
    QFile file(path);
    return stamp.valid && file.open(QIODevice::ReadWrite) &&
           file.setFileTime(
               QDateTime::fromMSecsSinceEpoch(stamp.seconds * 1000 + stamp.nanoseconds / 1000000),
               QFileDevice::FileModificationTime);
}

#endif

} // namespace FileTime
