#include "system/atomicfile.h"

#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <mutex>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace AtomicFile {

namespace {

// Set by a test's thread, read by the workers'.
std::mutex faultMutex;
std::function<int(Step)> injectedFault;

int faultFor(Step which)
{
    const std::lock_guard<std::mutex> lock(faultMutex);
    return injectedFault ? injectedFault(which) : 0;
}

// Runs one step and, when it fails, keeps the errno it left: the next call may change it.
// A failure the toolkit found without a system call keeps the toolkit's words.
template <typename Call> bool step(Step which, const QSaveFile &file, Failure *failure, Call call)
{
    const int injected = faultFor(which);
    errno = 0;
    if (injected == 0 && call())
        return true;
    failure->code = injected ? injected : errno;
    failure->systemText =
        failure->code ? QString::fromLocal8Bit(std::strerror(failure->code)) : file.errorString();
    return false;
}

bool sync(QSaveFile &file)
{
#ifdef Q_OS_UNIX
    return ::fsync(file.handle()) == 0;
#else
    return file.flush();
#endif
}

} // namespace

bool write(const QString &path, const QByteArray &bytes, Failure *failure)
{
    QSaveFile file(path);
    // Unbuffered: each write reaches the system at once, so its error is the one kept.
    const auto open = [&] { return file.open(QIODevice::WriteOnly | QIODevice::Unbuffered); };
    if (!step(Step::Open, file, failure, open))
        return false;
    const bool written =
        step(Step::Write, file, failure, [&] { return file.write(bytes) == bytes.size(); }) &&
        step(Step::Sync, file, failure, [&] { return sync(file); });
    if (!written) {
        file.cancelWriting();
        return false;
    }
    return step(Step::Rename, file, failure, [&] { return file.commit(); });
}

void setFaultForTesting(std::function<int(Step)> fault)
{
    const std::lock_guard<std::mutex> lock(faultMutex);
    injectedFault = std::move(fault);
}

} // namespace AtomicFile
