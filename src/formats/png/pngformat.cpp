#include "formats/png/pngformat.h"

#include "formats/png/pngdecoder.h"
#include "formats/png/pngdeflate.h"
#include "formats/png/pngmetadata.h"
#include "formats/toolkitcodec.h"
#include "system/sourcefile.h"
#include "system/workercores.h"

namespace PngFormat {

namespace {

// The EXIF and XMP chunks, corrected; the other text goes as the toolkit encoded it.
void insertMetadata(QByteArray *png, const PhotoMetadata &metadata, const QSize &size,
                    LeftOuts *leftOut)
{
    const PhotoMetadata::Corrected fixed = metadata.corrected(size);
    *leftOut = fixed.leftOut + metadata.jpegOnly();
    if (!PngMetadata::insertInto(png, {fixed.exif, fixed.xmp}))
        leftOut->append(LeftOut::PngChunks);
}

// At most eight bytes a pixel: 16-bit RGBA.
qint64 dataBytes(const QSize &size)
{
    return PngDeflate::dataBytes(size, 8);
}

// For large images at the default setting the toolkit filters and stores the rows, and they
// are deflated here.
bool deflatedHere(const QImage &image, int setting)
{
    const qint64 data = PngDeflate::dataBytes(image.size(), qMax(1, image.depth() / 8));
    return setting < 0 && data >= PngDeflate::SmallestData && data <= PngDeflate::LargestData;
}

bool encode(const QImage &image, const Formats::EncodeRequest &request,
            const PhotoMetadata &metadata, QByteArray *bytes, LeftOuts *leftOut,
            Formats::EncodeError *error)
{
    const bool stored = deflatedHere(image, request.setting);
    const int quality = stored ? PngDeflate::StoredQuality : request.setting;
    if (!ToolkitCodec::encode(image, request.encoding.format, quality, bytes, &error->words))
        return false;
    if (stored && !PngDeflate::compress(bytes, WorkerCores::forThisThread()) &&
        !ToolkitCodec::encode(image, request.encoding.format, request.setting, bytes,
                              &error->words))
        return false;
    insertMetadata(bytes, metadata, image.size(), leftOut);
    *leftOut += metadata.colourLeftOut(image.colorSpace(), false);
    return true;
}

// Its signature first and its IEND chunk last.
bool isWholeFile(const SourceFile &source)
{
    static const QByteArray end("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
    return source.size() > 20 && source.head().startsWith("\x89PNG\r\n\x1A\n") &&
           source.read(source.size() - 12, 12) == end;
}

Formats::Writer writer()
{
    Formats::Writer w;
    w.suffixes = {"png"};
    w.can.alpha = w.can.deep = w.can.icc = w.can.exif = w.can.xmp = true;
    w.encode = encode;
    // Deflated here: the stored file, its data inflated, and deflated again.
    w.memoryEstimate = [](const QSize &size, int) {
        const qint64 data = dataBytes(size);
        return data <= PngDeflate::LargestData ? 3 * data : 0;
    };
    w.isWholeFile = isWholeFile;
    return w;
}

} // namespace

const Formats::Entry &entry()
{
    static const Formats::Entry png = [] {
        Formats::Entry e;
        e.names = {"png"};
        e.open = [](const SourceFile &source, const Formats::EmbeddedOpener &) {
            return PngDecoder::open(source);
        };
        e.writers = {writer()};
        return e;
    }();
    return png;
}

} // namespace PngFormat
