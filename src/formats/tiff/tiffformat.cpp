#include "formats/tiff/tiffformat.h"

#include "formats/tiff/tiffcheck.h"
#include "formats/tiff/tiffdecoder.h"
#include "formats/tiff/tiffwriter.h"

namespace TiffFormat {

namespace {

bool encode(const QImage &image, const Formats::EncodeRequest &, const PhotoMetadata &metadata,
            QByteArray *bytes, LeftOuts *leftOut, Formats::EncodeError *error)
{
    return TiffWriter::encode(image, metadata, bytes, leftOut, &error->words);
}

Formats::Writer writer()
{
    Formats::Writer w;
    w.suffixes = {"tif", "tiff"};
    w.ownEncoder = true;
    w.can.alpha = w.can.deep = w.can.icc = true;
    w.can.exif = w.can.xmp = w.can.iptc = true;
    w.encode = encode;
    w.memoryEstimate = [](const QSize &size, int) { return TiffWriter::memoryEstimate(size); };
    return w;
}

} // namespace

const Formats::Entry &entry()
{
    static const Formats::Entry tiff = [] {
        Formats::Entry e;
        e.names = {"tiff"};
        e.ownSuffixes = {"tif", "tiff"};
        e.open = [](const SourceFile &source,
                    const Formats::EmbeddedOpener &) -> std::unique_ptr<Formats::Decoder> {
            return TiffDecoder::open(source);
        };
        e.initialise = TiffCheck::initialise;
        e.writers = {writer()};
        return e;
    }();
    return tiff;
}

} // namespace TiffFormat
