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

Formats::Writer writer()
{
    Formats::Writer w;
    w.suffixes = {"tif", "tiff"};
    w.can.alpha = w.can.deep = w.can.icc = true;
    w.encode = ToolkitCodec::encodeWithoutMetadata;
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
