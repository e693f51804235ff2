#include "formats/streamdecoder.h"

#include "formats/heifstream.h"
#include "formats/jpegstream.h"
#include "formats/pngstream.h"
#include "metadata/heifmetadata.h"

namespace StreamDecoder {

QByteArray detectFormat(const QString &path, const QImageReader &reader)
{
    return HeifMetadata::isHeif(path) ? QByteArray("heif") : reader.format();
}

const Format *forFormat(const QByteArray &format)
{
    static const Format jpeg{JpegStream::decodeScaled, JpegStream::memoryEstimate, nullptr};
    static const Format png{PngStream::decodeScaled, PngStream::memoryEstimate, nullptr};
    static const Format heif{HeifStream::decodeScaled, HeifStream::memoryEstimate,
                             HeifStream::uprightSize};
    if (format == "jpeg")
        return &jpeg;
    if (format == "png")
        return &png;
    if (format == "heif")
        return &heif;
    return nullptr;
}

} // namespace StreamDecoder
