#include "formats/tiff/tiffformat.h"

#include "formats/tiff/tiffcheck.h"
#include "formats/tiff/tiffmetadata.h"
#include "formats/toolkitcodec.h"
#include "formats/toolkitdecoder.h"

namespace TiffFormat {

namespace {

// Read by the toolkit's plug-in, with libtiff listened to underneath; a TIFF's own EXIF, GPS,
// XMP and IPTC directories are not rebuilt: they are named as left out.
class Decoder : public Formats::ToolkitDecoder
{
public:
    explicit Decoder(const SourceFile &source) : ToolkitDecoder(source, HeaderRead::Later)
    {
        QString detail;
        const Formats::Status refused = TiffCheck::refuse(source, &detail);
        if (refused != Formats::Status::Decoded)
            refuse(refused, detail);
        else
            readHeader();
    }

    int imageCount() override { return TiffCheck::pageCount(m_source); }
    PhotoMetadata metadata() override
    {
        PhotoMetadata::Record record;
        record.unreadable = TiffMetadata::present(m_source);
        return PhotoMetadata(record);
    }

protected:
    void beforeDecode() override { TiffCheck::start(); }
    Formats::Status verdict(bool headerRead, bool decoded) const override
    {
        return TiffCheck::verdict(headerRead, decoded);
    }
};

// The toolkit's writer gives libtiff a colour map of the table's size where libtiff takes 256
// entries: the rest would be stale memory in the file. The table goes whole, unused entries
// black.
bool encode(const QImage &image, const Formats::EncodeRequest &request,
            const PhotoMetadata &metadata, QByteArray *bytes, LeftOuts *leftOut,
            Formats::EncodeError *error)
{
    if (image.format() != QImage::Format_Indexed8 || image.colorCount() >= 256)
        return ToolkitCodec::encodeWithoutMetadata(image, request, metadata, bytes, leftOut, error);
    QImage whole = image;
    QVector<QRgb> table = image.colorTable();
    while (table.size() < 256)
        table.append(qRgb(0, 0, 0));
    whole.setColorTable(table);
    return ToolkitCodec::encodeWithoutMetadata(whole, request, metadata, bytes, leftOut, error);
}

Formats::Writer writer()
{
    Formats::Writer w;
    w.suffixes = {"tif", "tiff"};
    w.can.alpha = w.can.deep = w.can.icc = true;
    w.encode = encode;
    return w;
}

} // namespace

const Formats::Entry &entry()
{
    static const Formats::Entry tiff = [] {
        Formats::Entry e;
        e.names = {"tiff"};
        e.open = [](const SourceFile &source,
                    const Formats::EmbeddedOpener &) -> std::unique_ptr<Formats::Decoder> {
            return std::make_unique<Decoder>(source);
        };
        e.initialise = TiffCheck::initialise;
        e.writers = {writer()};
        return e;
    }();
    return tiff;
}

} // namespace TiffFormat
