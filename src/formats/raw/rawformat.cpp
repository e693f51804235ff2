#include "formats/raw/rawformat.h"

#include "formats/raw/rawdecoder.h"
#include "formats/raw/rawmetadata.h"

namespace RawFormat {

const Formats::Entry &entry()
{
    static const Formats::Entry raw = [] {
        Formats::Entry e;
        e.names = {"raw"};
        e.recognise = RawDecoder::recognise;
        e.readOnlySuffixes = RawDecoder::suffixes();
        e.writtenAs = "jpg";
        e.open = RawDecoder::open;
        e.initialise = RawMetadata::initialise;
        return e;
    }();
    return raw;
}

} // namespace RawFormat
