#include "formats/streamdecoder.h"

#include "formats/heifstream.h"
#include "formats/jpegstream.h"
#include "formats/pngstream.h"
#include "formats/tiffcheck.h"
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
    static const Format jpeg = [] {
        Format f;
        f.decodeScaled = JpegStream::decodeScaled;
        f.memoryEstimate = JpegStream::memoryEstimate;
        f.imageCount = single;
        return f;
    }();
    static const Format png = [] {
        Format f;
        f.decodeScaled = PngStream::decodeScaled;
        f.memoryEstimate = PngStream::memoryEstimate;
        f.transformation = pngTransformation;
        f.imageCount = PngStream::imageCount;
        f.refuse = PngStream::refuse;
        return f;
    }();
    // Only the primary image of a HEIF file is read, as its viewers show it.
    static const Format heif = [] {
        Format f;
        f.decodeScaled = HeifStream::decodeScaled;
        f.memoryEstimate = HeifStream::memoryEstimate;
        f.uprightSize = HeifStream::uprightSize;
        f.imageCount = single;
        return f;
    }();
    static const Format webp = [] {
        Format f;
        f.decodeScaled = WebPStream::decodeScaled;
        f.memoryEstimate = WebPStream::memoryEstimate;
        f.uprightSize = WebPStream::uprightSize;
        f.transformation = WebPStream::transformation;
        f.imageCount = WebPStream::imageCount;
        return f;
    }();
    // Decoded by the toolkit's plug-in, with libtiff listened to.
    static const Format tiff = [] {
        Format f;
        f.imageCount = TiffCheck::imageCount;
        f.refuse = TiffCheck::refuse;
        f.beforeToolkitDecode = TiffCheck::start;
        f.toolkitVerdict = TiffCheck::verdict;
        return f;
    }();
    if (format == "jpeg")
        return &jpeg;
    if (format == "png")
        return &png;
    if (format == "heif")
        return &heif;
    if (format == "webp")
        return &webp;
    if (format == "tiff")
        return &tiff;
    return nullptr;
}

} // namespace StreamDecoder
