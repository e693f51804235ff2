#include "formats/streamdecoder.h"

#include "formats/jpegstream.h"
#include "formats/pngstream.h"

namespace StreamDecoder {

const Format *forFormat(const QByteArray &format)
{
    static const Format jpeg{JpegStream::decodeScaled, JpegStream::memoryEstimate};
    static const Format png{PngStream::decodeScaled, PngStream::memoryEstimate};
    if (format == "jpeg")
        return &jpeg;
    if (format == "png")
        return &png;
    return nullptr;
}

} // namespace StreamDecoder
