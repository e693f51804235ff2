#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class MappedFile;

// A photo's bytes, opened once: every reader of the file (format detection, refusal checks,
// metadata, decoding) reads them from here, so that they all see the same file however it
// changes meanwhile. A file is read where asked, at any offset; bytes held in memory (a
// preview or a gain map inside another file) can stand in for a file.
class SourceFile
{
public:
    // Opens `path` for reading; isOpen() says whether that worked, errorString() why not.
    explicit SourceFile(const QString &path);
    // Bytes in memory, under a name for messages.
    explicit SourceFile(const QByteArray &bytes, const QString &name = QString());
    ~SourceFile();
    SourceFile(const SourceFile &) = delete;
    SourceFile &operator=(const SourceFile &) = delete;

    bool isOpen() const { return m_open; }
    // The open file's descriptor, -1 for bytes in memory.
    int handle() const { return m_fd; }
    QString errorString() const { return m_error; }
    QString path() const { return m_path; }
    qint64 size() const { return m_size; }

    // Up to `length` bytes from `offset` into `to`: how many there were, -1 on a read error.
    qint64 read(qint64 offset, char *to, qint64 length) const;
    // The same as bytes; shorter at the end of the file.
    QByteArray read(qint64 offset, qint64 length) const;
    // The first bytes, read once: enough for recognising any format.
    const QByteArray &head() const;
    // The whole file, read once and kept.
    const QByteArray &all() const;
    // The whole file as one block of memory that lasts as long as this object, for libraries
    // that read a file only that way: bytes in memory as they are, a file mapped. Pages the
    // file loses meanwhile read as zeros, and changed() says so.
    const uchar *map() const;

    // Whether what was read may not be the file as it was opened: it was cut short, written
    // to, or replaced at its path since, or a mapped page of it was lost (a drive gone).
    bool changed() const;

private:
    QString m_path;
    int m_fd = -1;
    bool m_open = false;
    QString m_error;
    mutable qint64 m_size = 0;
    mutable QByteArray m_head;
    mutable QByteArray m_all;
    mutable bool m_allRead = false;
    mutable std::unique_ptr<MappedFile> m_mapped;
    // The file as opened, to tell whether it is still the same.
    quint64 m_device = 0;
    quint64 m_inode = 0;
    qint64 m_openedSize = 0;
    qint64 m_modified = 0; // in nanoseconds
};
