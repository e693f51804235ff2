#include "formats/sourcedevice.h"

#include "system/sourcefile.h"

#include <QBuffer>
#include <QFile>

namespace Formats {

namespace {

// A file device that reads the source's bytes where asked rather than opening its name: the
// toolkit still sees a file of that name, and each device keeps its own place.
class SourceFileDevice : public QFile
{
public:
    explicit SourceFileDevice(const SourceFile &source) : QFile(source.path()), m_source(source) {}
    // Closed here: the file device's own close, which its destructor calls, wants a file of its
    // own.
    ~SourceFileDevice() override { QIODevice::close(); }

    bool open(OpenMode mode) override
    {
        return !(mode & QIODevice::WriteOnly) && QIODevice::open(mode | QIODevice::Unbuffered);
    }
    void close() override { QIODevice::close(); }
    qint64 size() const override { return m_source.size(); }
    bool seek(qint64 offset) override { return QIODevice::seek(offset); }
    qint64 pos() const override { return QIODevice::pos(); }
    bool atEnd() const override { return pos() >= size(); }
    bool isSequential() const override { return false; }

protected:
    qint64 readData(char *data, qint64 length) override
    {
        return m_source.read(pos(), data, length);
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    const SourceFile &m_source;
};

} // namespace

std::unique_ptr<QIODevice> sourceDevice(const SourceFile &source)
{
    if (source.handle() < 0) {
        auto buffer = std::make_unique<QBuffer>();
        buffer->setData(source.all());
        buffer->open(QIODevice::ReadOnly);
        return buffer;
    }
    auto file = std::make_unique<SourceFileDevice>(source);
    file->open(QIODevice::ReadOnly);
    return file;
}

} // namespace Formats
