#include "formats/toolkitcodec.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>

namespace ToolkitCodec {

// The size was already checked against MaxPixels: the toolkit may take what that allows at
// 8 bytes a pixel.
void allowLargestAcceptedImage()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QImageReader::setAllocationLimit(int(MaxPixels * 8 / (1024 * 1024)));
#endif
}

bool encode(const QImage &image, const QByteArray &format, int quality, QByteArray *bytes,
            QString *error)
{
    QBuffer buffer(bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    if (writer.write(image))
        return true;
    *error = writer.errorString();
    return false;
}

bool encodeWithoutMetadata(const QImage &image, const Formats::EncodeRequest &request,
                           const PhotoMetadata &metadata, QByteArray *bytes, LeftOuts *leftOut,
                           Formats::EncodeError *error)
{
    if (!encode(image, request.suffix, request.setting, bytes, &error->words))
        return false;
    *leftOut = metadata.present() + metadata.colourLeftOut(image.colorSpace(), false);
    return true;
}

int singleImage(const QString &)
{
    return 1;
}

} // namespace ToolkitCodec
