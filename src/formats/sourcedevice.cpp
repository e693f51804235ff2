#include "formats/sourcedevice.h"

#include "system/sourcefile.h"

#include <QBuffer>
#include <QFile>

namespace Formats {

namespace {

// A file device that reads the source's bytes where asked, each device keeping its own place.
// Its file engine never opens anything, so that no reader maps the file behind the source's back.
class SourceFileDevice : public QFile
{
public:
    SourceFileDevice(const SourceFile &source, bool named)
        : QFile(named ? source.path() : QString()), m_source(source)
    {
        QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        QIODevice::seek(0);
    }
    ~SourceFileDevice() override { QIODevice::close(); }

    bool open(OpenMode) override { return false; }
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
    // QFile's own reads lines through its file engine, which holds nothing here.
    qint64 readLineData(char *data, qint64 length) override
    {
        return QIODevice::readLineData(data, length);
    }

private:
    const SourceFile &m_source;
};

std::unique_ptr<QIODevice> bufferOf(const SourceFile &source)
{
    auto buffer = std::make_unique<QBuffer>();
    buffer->setData(source.all());
    buffer->open(QIODevice::ReadOnly);
    return buffer;
}

} // namespace

std::unique_ptr<QIODevice> sourceDevice(const SourceFile &source)
{
    if (source.handle() < 0)
        return bufferOf(source);
    return std::make_unique<SourceFileDevice>(source, true);
}

std::unique_ptr<QIODevice> mappableDevice(const SourceFile &source)
{
    if (source.handle() < 0)
        return bufferOf(source);
    return std::make_unique<SourceFileDevice>(source, false);
}

} // namespace Formats
