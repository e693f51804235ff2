#include "formats/streamdecoder.h"

#include "formats/heifstream.h"
#include "formats/jpegstream.h"
#include "formats/pngstream.h"
#include "formats/webpstream.h"
#include "metadata/exifblock.h"
#include "metadata/heifmetadata.h"
#include "metadata/pngmetadata.h"
#include "metadata/webpmetadata.h"

namespace StreamDecoder {

namespace {

QImageIOHandler::Transformations pngTransformation(const QString &path)
{
    return ExifBlock::transformation(PngMetadata::read(path).exif);
}

int single(const QString &)
{
    return 1;
}

} // namespace

QByteArray detectFormat(const QString &path, const QImageReader &reader)
{
    if (HeifMetadata::isHeif(path))
        return "heif";
    return WebPMetadata::isWebP(path) ? QByteArray("webp") : reader.format();
}

const Format *forFormat(const QByteArray &format)
{
    static const Format jpeg{JpegStream::decodeScaled, JpegStream::memoryEstimate, nullptr, nullptr,
                             single};
    static const Format png{PngStream::decodeScaled, PngStream::memoryEstimate, nullptr,
                            pngTransformation, PngStream::imageCount};
    // Only the primary image of a HEIF file is read, as its viewers show it.
    static const Format heif{HeifStream::decodeScaled, HeifStream::memoryEstimate,
                             HeifStream::uprightSize, nullptr, single};
    static const Format webp{WebPStream::decodeScaled, WebPStream::memoryEstimate,
                             WebPStream::uprightSize, WebPStream::transformation,
                             WebPStream::imageCount};
    if (format == "jpeg")
        return &jpeg;
    if (format == "png")
        return &png;
    if (format == "heif")
        return &heif;
    if (format == "webp")
        return &webp;
    return nullptr;
}

} // namespace StreamDecoder
