#include "formats/heif/heifgainmap.h"

#include "formats/heif/heifmetadata.h"
#include "resample/rowsink.h"

#include <cstring>

#include <libheif/heif.h>

namespace HeifGainMap {

using Formats::Status;

namespace {

class Decoder : public Formats::Decoder
{
public:
    explicit Decoder(heif_image_handle *map) : m_map(map)
    {
        m_header.stored =
            QSize(heif_image_handle_get_width(m_map), heif_image_handle_get_height(m_map));
    }
    ~Decoder() override { heif_image_handle_release(m_map); }
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    qint64 memoryEstimate(const Target &target) override
    {
        const QSize size = m_header.stored;
        return qint64(size.width()) * size.height() * 2 +
               target.sinkEstimate(size, size, QImageIOHandler::TransformationNone,
                                   RowLayout::image(QImage::Format_Grayscale8));
    }

    // The luma plane, row by row.
    Status decode(const Target &target, QImage *out, QString *words) override
    {
        heif_image *image = nullptr;
        const heif_error e = heif_decode_image(m_map, &image, heif_colorspace_monochrome,
                                               heif_chroma_monochrome, nullptr);
        Status status = e.code == heif_error_Ok ? pushLuma(image, target, out) : Status::Damaged;
        if (e.code != heif_error_Ok)
            *words = QString::fromUtf8(e.message);
        heif_image_release(image);
        return status;
    }

private:
    static Status pushLuma(const heif_image *image, const Target &target, QImage *out)
    {
        int stride = 0;
        const uint8_t *plane = heif_image_get_plane_readonly(image, heif_channel_Y, &stride);
        const QSize size(heif_image_get_width(image, heif_channel_Y),
                         heif_image_get_height(image, heif_channel_Y));
        if (!plane || size.isEmpty() ||
            heif_image_get_bits_per_pixel_range(image, heif_channel_Y) != 8)
            return Status::Damaged;
        const std::unique_ptr<RowSink> sink =
            target.sink(size, size, QImageIOHandler::TransformationNone,
                        RowLayout::image(QImage::Format_Grayscale8));
        if (!sink->isValid())
            return Status::Failed;
        for (int y = sink->nextRow(0); y < size.height(); y = sink->nextRow(y + 1))
            sink->pushImageRow(y, plane + qint64(y) * stride);
        *out = sink->result();
        return out->isNull() ? Status::Failed : Status::Decoded;
    }

    heif_image_handle *m_map;
};

} // namespace

GainMap apple(const QSize &size)
{
    static const QByteArray xmp =
        QByteArray("http://ns.adobe.com/xap/1.0/\0", 29) +
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF"
        " xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description"
        " rdf:about=\"\" xmlns:apdi=\"http://ns.apple.com/pixeldatainfo/1.0/\""
        " xmlns:HDRGainMap=\"http://ns.apple.com/HDRGainMap/1.0/\">"
        "<apdi:AuxiliaryImageType>urn:com:apple:photo:2020:aux:hdrgainmap"
        "</apdi:AuxiliaryImageType><HDRGainMap:HDRGainMapVersion>65536"
        "</HDRGainMap:HDRGainMapVersion></rdf:Description></rdf:RDF></x:xmpmeta>";
    GainMap map;
    map.kind = GainMap::Kind::Apple;
    map.size = size;
    map.decodable = true;
    map.segments = {{0xE1, xmp}};
    return map;
}

std::unique_ptr<Formats::Decoder> open(const heif_image_handle *primary)
{
    heif_image_handle *map = primary ? HeifMetadata::gainMapHandle(primary) : nullptr;
    return map ? std::make_unique<Decoder>(map) : nullptr;
}

} // namespace HeifGainMap
