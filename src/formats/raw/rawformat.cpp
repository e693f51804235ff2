#include "formats/raw/rawformat.h"

#include "formats/raw/rawmetadata.h"
#include "formats/raw/rawstream.h"
#include "formats/toolkitcodec.h"

namespace RawFormat {

const Formats::Entry &entry()
{
    static const Formats::Entry raw = [] {
        Formats::Entry e;
        e.names = {"raw"};
        e.recognise = RawStream::recognise;
        e.readOnlySuffixes = RawStream::suffixes();
        e.writtenAs = "jpg";
        e.decoder.decodeScaled = RawStream::decodeScaled;
        e.decoder.memoryEstimate = RawStream::memoryEstimate;
        e.decoder.uprightSize = RawStream::uprightSize;
        e.decoder.imageCount = ToolkitCodec::singleImage;
        e.readMetadata = RawMetadata::read;
        return e;
    }();
    return raw;
}

} // namespace RawFormat
