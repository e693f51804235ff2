#include "formats/toolkitdecoder.h"

#include "formats/sourcedevice.h"
#include "formats/toolkitcodec.h"
#include "resample/imagecopy.h"
#include "resample/rowsink.h"

namespace Formats {

namespace {

// The format the toolkit's readers pick for the file: by its name's suffix first, as for a path.
QByteArray detectedFormat(const SourceFile &source)
{
    const std::unique_ptr<QIODevice> device = sourceDevice(source);
    return QImageReader(device.get()).format();
}

} // namespace

ToolkitDecoder::ToolkitDecoder(const SourceFile &source) : ToolkitDecoder(source, HeaderRead::Now)
{}

ToolkitDecoder::ToolkitDecoder(const SourceFile &source, HeaderRead when)
    : m_source(source), m_device(mappableDevice(source)),
      m_reader(m_device.get(), detectedFormat(source))
{
    m_reader.setAutoTransform(true);
    if (when == HeaderRead::Now)
        readHeader();
}

void ToolkitDecoder::readHeader()
{
    m_header.stored = m_reader.size();
    m_header.transform = m_reader.transformation();
}

ToolkitDecoder::ToolkitDecoder(const SourceFile &source, QImageIOHandler::Transformations transform)
    : ToolkitDecoder(source)
{
    m_ownTransform = transform != m_header.transform;
    m_header.transform = transform;
}

ToolkitDecoder::~ToolkitDecoder() = default;

int ToolkitDecoder::imageCount()
{
    const std::unique_ptr<QIODevice> device = sourceDevice(m_source);
    return QImageReader(device.get()).imageCount();
}

// The full image, its 8-bit copy for images of fewer bits per pixel, its upright copy where the
// toolkit does not turn it, and what the sink holds.
qint64 ToolkitDecoder::memoryEstimate(const Target &target)
{
    const QSize size = m_reader.size();
    if (!size.isValid())
        return 0;
    const QImage::Format format = m_reader.imageFormat();
    const int depth = QImage::toPixelFormat(format).bitsPerPixel();
    const qint64 pixels = qint64(size.width()) * size.height();
    const qint64 full = (qint64(size.width()) * qMax(depth, 1) + 31) / 32 * 4 * size.height();
    const RowLayout layout = RowLayout::image(format, true);
    const qint64 sink =
        target.sinkEstimate(size, size, QImageIOHandler::TransformationNone, layout);
    return full + (depth < 8 ? pixels : 0) + sink + (m_ownTransform ? full : 0);
}

Status ToolkitDecoder::verdict(bool headerRead, bool decoded) const
{
    if (decoded)
        return Status::Decoded;
    return headerRead ? Status::Damaged : Status::Failed;
}

Status ToolkitDecoder::decode(const Target &target, QImage *out, QString *words)
{
    m_reader.setAutoTransform(!m_ownTransform);
    const bool headerRead = m_reader.size().isValid();
    QImage image = m_reader.read();
    const Status status = verdict(headerRead, !image.isNull());
    if (status != Status::Decoded) {
        *words = m_reader.errorString();
        return status;
    }
    if (m_ownTransform)
        image = uprightImage(image, m_header.transform);
    const RowLayout layout =
        RowLayout::image(image.format(), image.hasAlphaChannel(), image.colorTable());
    const std::unique_ptr<RowSink> sink =
        target.sink(image.size(), image.size(), QImageIOHandler::TransformationNone, layout);
    if (!sink->isValid())
        return Status::Failed;
    sink->pushImage(image);
    *out = sink->result();
    if (out->isNull())
        return Status::Failed;
    copyImageMetadata(image, out);
    return Status::Decoded;
}

} // namespace Formats
