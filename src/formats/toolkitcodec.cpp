#include "formats/toolkitcodec.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>

#include <cstring>

namespace ToolkitCodec {

// The size was already checked against MaxPixels: the toolkit may take what that allows at
// 8 bytes a pixel.
void allowLargestAcceptedImage()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QImageReader::setAllocationLimit(int(MaxPixels * 8 / (1024 * 1024)));
#endif
}

namespace {

// The toolkit's bitmap writer turns grey pixels into colour-table indices in an image of its own
// and writes its rows whole, padding and all: they are converted here, the padding zeroed, so
// that no stale memory reaches the file.
QImage asWritten(const QImage &image, const QByteArray &format)
{
    if ((format != "bmp" && format != "dib") ||
        (image.format() != QImage::Format_Grayscale8 && image.format() != QImage::Format_Alpha8))
        return image;
    QImage indexed = image.convertToFormat(QImage::Format_Indexed8);
    const int used = indexed.width();
    for (int y = 0; y < indexed.height(); ++y)
        std::memset(indexed.scanLine(y) + used, 0, size_t(indexed.bytesPerLine() - used));
    return indexed;
}

} // namespace

bool encode(const QImage &image, const QByteArray &format, int quality, QByteArray *bytes,
            QString *error)
{
    QBuffer buffer(bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    if (writer.write(asWritten(image, format)))
        return true;
    *error = writer.errorString();
    return false;
}

bool encodeWithoutMetadata(const QImage &image, const Formats::EncodeRequest &request,
                           const PhotoMetadata &metadata, QByteArray *bytes, LeftOuts *leftOut,
                           Formats::EncodeError *error)
{
    if (!encode(image, request.encoding.format, request.setting, bytes, &error->words))
        return false;
    *leftOut = metadata.present() + metadata.colourLeftOut(image.colorSpace(), false);
    return true;
}

} // namespace ToolkitCodec
