#include "formats/heif/heifformat.h"

#include "formats/heif/heifdecoder.h"
#include "formats/heif/heifmetadata.h"
#include "formats/heif/heifwriter.h"
#include "system/sourcefile.h"

namespace HeifFormat {

namespace {

bool encode(const QImage &image, const Formats::EncodeRequest &request,
            const PhotoMetadata &metadata, QByteArray *bytes, LeftOuts *leftOut,
            Formats::EncodeError *error)
{
    return HeifWriter::encode(image, request.encoding.format, request.setting, metadata, bytes,
                              leftOut, &error->words);
}

// HEIC keeps no nclx: libheif leaves it out, and the equivalent profile goes instead.
Formats::Writer writer(const QList<QByteArray> &suffixes, bool nclx,
                       const std::array<int, 4> &settings, int floor)
{
    Formats::Writer w;
    w.suffixes = suffixes;
    w.ownEncoder = true;
    w.can.alpha = w.can.deep = w.can.icc = w.can.exif = w.can.xmp = true;
    w.can.nclx = nclx;
    w.settings = settings;
    w.honours.quality = true;
    w.floorSetting = floor;
    w.encode = encode;
    w.memoryEstimate = [](const QSize &size, int) { return HeifWriter::memoryEstimate(size); };
    return w;
}

} // namespace

// Only the primary image of a HEIF file is read, as its viewers show it.
const Formats::Entry &entry()
{
    static const Formats::Entry heif = [] {
        Formats::Entry e;
        e.names = {"heif"};
        e.recognise = [](const SourceFile &source) { return HeifMetadata::isHeif(source.head()); };
        e.ownSuffixes = {"avif", "heic", "heif", "hif"};
        e.open = [](const SourceFile &source, const Formats::EmbeddedOpener &) {
            return HeifDecoder::open(source);
        };
        e.initialise = HeifMetadata::initialise;
        // x265 (HEIC) and aom (AVIF) at about the same look as the other formats' levels; the
        // floors at SSIM about 0.90.
        e.writers = {writer({"heic", "heif", "hif"}, false, {62, 50, 45, 31}, 27),
                     writer({"avif"}, true, {90, 78, 70, 48}, 42)};
        return e;
    }();
    return heif;
}

} // namespace HeifFormat
