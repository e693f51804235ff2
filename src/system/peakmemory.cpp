#include "system/peakmemory.h"

#include <QFile>
#include <QList>

#include <cstdlib>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

long statusKb(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

} // namespace

long peakResidentKb()
{
    return statusKb("VmHWM:");
}

long residentKb()
{
    return statusKb("VmRSS:");
}

bool resetPeakResident()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

void releaseFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}
