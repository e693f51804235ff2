#include "formats/raw/rawformat.h"

#include "formats/raw/rawmetadata.h"
#include "formats/raw/rawstream.h"

namespace RawFormat {

namespace {

int single(const QString &)
{
    return 1;
}

} // namespace

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
        e.decoder.imageCount = single;
        e.readMetadata = RawMetadata::read;
        return e;
    }();
    return raw;
}

} // namespace RawFormat
