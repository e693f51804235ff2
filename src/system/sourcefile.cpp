#include "system/sourcefile.h"

#include "system/mappedfile.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr qint64 HeadBytes = 64 * 1024;

qint64 modifiedNs(const struct stat &status)
{
    return qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
}

} // namespace

SourceFile::SourceFile(const QString &path) : m_path(path)
{
    const QByteArray name = QFile::encodeName(path);
    m_fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (m_fd < 0 || ::fstat(m_fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        m_error = QString::fromLocal8Bit(std::strerror(m_fd < 0 ? errno : EISDIR));
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        return;
    }
    m_size = m_openedSize = status.st_size;
    m_device = quint64(status.st_dev);
    m_inode = quint64(status.st_ino);
    m_modified = modifiedNs(status);
    m_open = true;
}

SourceFile::SourceFile(const QByteArray &bytes, const QString &name)
    : m_path(name), m_open(true), m_size(bytes.size()), m_all(bytes), m_allRead(true)
{}

SourceFile::~SourceFile()
{
    m_mapped.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

qint64 SourceFile::read(qint64 offset, char *to, qint64 length) const
{
    if (!m_open || offset < 0 || length < 0)
        return -1;
    length = qMin(length, qMax<qint64>(0, m_size - offset));
    if (m_allRead) {
        std::memcpy(to, m_all.constData() + offset, size_t(length));
        return length;
    }
    qint64 done = 0;
    while (done < length) {
        const ssize_t got = ::pread(m_fd, to + done, size_t(length - done), off_t(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break; // cut short since it was opened
        done += got;
    }
    return done;
}

QByteArray SourceFile::read(qint64 offset, qint64 length) const
{
    length = qBound(qint64(0), qMin(length, m_size - offset), qint64(INT_MAX));
    QByteArray bytes(int(length), Qt::Uninitialized);
    const qint64 got = read(offset, bytes.data(), length);
    bytes.resize(int(qMax<qint64>(got, 0)));
    return bytes;
}

const QByteArray &SourceFile::head() const
{
    if (m_head.isNull())
        m_head = m_allRead ? m_all.left(int(HeadBytes)) : read(0, HeadBytes);
    return m_head;
}

const QByteArray &SourceFile::all() const
{
    if (!m_allRead) {
        m_all = m_size <= INT_MAX ? read(0, m_size) : QByteArray();
        m_allRead = true;
        m_size = m_all.size(); // what there was to read
    }
    return m_all;
}

const uchar *SourceFile::map() const
{
    if (m_allRead || m_fd < 0)
        return reinterpret_cast<const uchar *>(all().constData());
    if (!m_mapped && m_size > 0)
        m_mapped = std::make_unique<MappedFile>(m_fd, size_t(m_size));
    return m_mapped && m_mapped->data() ? m_mapped->data()
                                        : reinterpret_cast<const uchar *>(all().constData());
}

bool SourceFile::changed() const
{
    if (m_fd < 0)
        return false;
    if (m_mapped && m_mapped->lost())
        return true;
    struct stat now;
    if (::fstat(m_fd, &now) != 0 || now.st_size != m_openedSize || modifiedNs(now) != m_modified)
        return true;
    // Replaced by a rename, or removed: the path no longer names what was read.
    struct stat atPath;
    return ::stat(QFile::encodeName(m_path).constData(), &atPath) != 0 ||
           quint64(atPath.st_dev) != m_device || quint64(atPath.st_ino) != m_inode;
}
