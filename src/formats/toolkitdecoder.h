#pragma once

#include "formats/decoder.h"

#include <QImageReader>

#include <memory>

class QIODevice;

namespace Formats {

// The toolkit's image plug-ins as a decoder: the whole image decoded by the plug-in its
// content or name picks, turned upright, then its rows pushed through the sink. Every format
// the program has no decoder of its own for, and the files a format's own decoder leaves.
class ToolkitDecoder : public Decoder
{
public:
    // `transform`, where given, turns the image upright instead of what the toolkit reads of
    // the file (for containers whose EXIF it does not read).
    explicit ToolkitDecoder(const SourceFile &source);
    ToolkitDecoder(const SourceFile &source, QImageIOHandler::Transformations transform);
    ~ToolkitDecoder() override;

    // The format the toolkit detects.
    QByteArray format() const { return m_reader.format(); }

    int imageCount() override;
    qint64 memoryEstimate(const Target &target) override;
    Status decode(const Target &target, QImage *out, QString *words) override;

protected:
    enum class HeaderRead
    {
        Now,
        Later, // the format checks the file before the plug-in reads its header
    };
    ToolkitDecoder(const SourceFile &source, HeaderRead when);
    void readHeader();

    // Whether the decode, which gave an image or not, met damaged data: Damaged, Failed, or
    // Decoded where the image is sound.
    virtual Status verdict(bool headerRead, bool decoded) const;

    const SourceFile &m_source;

private:
    std::unique_ptr<QIODevice> m_device;
    QImageReader m_reader;
    bool m_ownTransform = false;
};

} // namespace Formats
