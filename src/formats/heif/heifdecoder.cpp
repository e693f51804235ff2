#include "formats/heif/heifdecoder.h"

#include "formats/heif/heifboxes.h"

#include "formats/heif/heifgainmap.h"
#include "formats/heif/heifgrid.h"
#include "formats/heif/heifmetadata.h"
#include "formats/heif/heifplanes.h"
#include "formats/heif/heifreader.h"
#include "formats/heif/heiftiles.h"
#include "formats/toolkitcodec.h"
#include "resample/rowsink.h"
#include "system/peakmemory.h"
#include "system/sourcefile.h"

#include <QColorSpace>
#include <QtEndian>

#include <algorithm>

#include <libheif/heif.h>

namespace HeifDecoder {

using Formats::Status;

namespace {

// The widest image libheif may even allocate: the pixel limit is checked before decoding.
constexpr int MaxSide = 1 << 16;
// Above this, the freed decoder memory is handed back to the system after each image.
constexpr qint64 LargePixels = 24 * 1000 * 1000;
// What libde265 and dav1d allocate whatever the image's size.
constexpr qint64 DecoderOverhead = 32 * 1024 * 1024;

// The top-level meta box's content, where every item and property is described, and where in
// the file it starts.
class Decoder : public Formats::Decoder
{
public:
    Decoder(const SourceFile &source, Grid grid) : m_meta(HeifBoxes::metaBox(source, &m_metaAt))
    {
        m_reader.source = &source;
        if (!m_context) {
            refuse(Status::Failed);
            return;
        }
        heif_context_set_maximum_image_size_limit(m_context, MaxSide);
        heif_error e =
            heif_context_read_from_reader(m_context, &HeifReader::functions, &m_reader, nullptr);
        if (e.code == heif_error_Ok)
            e = heif_context_get_primary_image_handle(m_context, &m_handle);
        if (e.code != heif_error_Ok) {
            // Uncompressed and JPEG 2000 images, which libheif 1.15 takes for missing ones.
            const QList<QByteArray> types = HeifBoxes::itemTypes(m_meta);
            const bool unknownCoding = types.contains("unci") || types.contains("j2k1");
            refuse(unknownCoding ? Status::Failed : HeifPlanes::statusOf(e),
                   QString::fromUtf8(e.message));
            return;
        }
        m_header.stored =
            QSize(heif_image_handle_get_width(m_handle), heif_image_handle_get_height(m_handle));
        // What libheif would allocate or lay over the picture unchecked, refused before it does;
        // a picture declared too large is refused for that, which says more.
        const HeifGrid::Survey survey = HeifGrid::survey(source, m_meta, m_header.stored);
        m_header.largest = survey.largest;
        const QSize &stored = m_header.stored;
        if (survey.damage && qint64(stored.width()) * stored.height() <= ToolkitCodec::MaxPixels)
            refuse(Status::Damaged, QString(), *survey.damage);
        else if (!m_header.stored.isValid())
            refuse(Status::Damaged);
        else if (grid == Grid::ByTiles)
            m_tiles = HeifTiles::open(source, m_meta, m_metaAt, m_handle);
    }
    ~Decoder() override
    {
        m_tiles.reset();
        heif_image_handle_release(m_handle);
        heif_context_free(m_context);
    }
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    PhotoMetadata metadata() override;
    std::unique_ptr<Formats::Decoder> gainMap() override { return HeifGainMap::open(m_handle); }
    std::unique_ptr<Formats::Decoder> smallCopy(const QSize &atLeast) override;
    qint64 memoryEstimate(const Target &target) override;
    Status decode(const Target &target, QImage *out, QString *words) override;

private:
    Status decodeWith(const Target &target, QImage *out, QString *words);

    qint64 m_metaAt = 0;
    QByteArray m_meta;
    HeifReader m_reader;
    heif_context *m_context = HeifMetadata::newContext();
    heif_image_handle *m_handle = nullptr;
    std::unique_ptr<HeifTiles::Tiles> m_tiles; // a grid decoded tile by tile
};

PhotoMetadata Decoder::metadata()
{
    if (!m_handle) // refused: no image to read it from
        return PhotoMetadata();
    const HeifMetadata::Blocks blocks = HeifMetadata::read(m_handle);
    PhotoMetadata::Record record;
    record.exif = blocks.exif;
    record.xmp = blocks.xmp;
    record.icc = blocks.icc;
    record.cicp = blocks.cicp;
    if (blocks.gainMap)
        record.gainMap = HeifGainMap::apple(blocks.gainMapSize);
    if (!blocks.readable)
        record.unreadable.append(LeftOut::ExifUnreadable);
    return PhotoMetadata(record);
}

Status Decoder::decodeWith(const Target &target, QImage *out, QString *words)
{
    if (m_tiles) {
        const Status status = m_tiles->decode(target, out, words);
        if (status == Status::Decoded)
            out->setColorSpace(HeifMetadata::colourSpace(HeifMetadata::read(m_handle)));
        return status;
    }
    const HeifPlanes::Layout layout = HeifPlanes::nativeLayout(m_meta);
    heif_decoding_options *options = heif_decoding_options_alloc();
    options->strict_decoding = 1;
    heif_image *image = nullptr;
    // libheif 1.15 turns a YCbCr picture into RGB planes before handing it out in any other
    // layout: asked for YCbCr, it would convert them back at a loss.
    const bool colour = layout.colorspace != heif_colorspace_monochrome;
    const heif_error e = heif_decode_image(
        m_handle, &image, colour ? heif_colorspace_RGB : heif_colorspace_monochrome,
        colour ? heif_chroma_444 : heif_chroma_monochrome, options);
    heif_decoding_options_free(options);
    if (e.code != heif_error_Ok) {
        heif_image_release(image);
        *words = QString::fromUtf8(e.message);
        return HeifPlanes::statusOf(e);
    }
    const bool premultiplied = heif_image_handle_is_premultiplied_alpha(m_handle);
    Formats::Damage damage = Formats::Damage::Unspecified;
    const Status status = HeifPlanes::push(image, m_handle, target, premultiplied, out, &damage);
    heif_image_release(image);
    setDamage(damage);
    if (status == Status::Decoded)
        out->setColorSpace(HeifMetadata::colourSpace(HeifMetadata::read(m_handle)));
    return status;
}

// A thumbnail item: decoded whole, as small as it is, and turned as libheif turns it.
class Thumbnail : public Formats::Decoder
{
public:
    explicit Thumbnail(heif_image_handle *handle) : m_handle(handle)
    {
        m_header.stored =
            QSize(heif_image_handle_get_width(handle), heif_image_handle_get_height(handle));
    }
    ~Thumbnail() override { heif_image_handle_release(m_handle); }
    Thumbnail(const Thumbnail &) = delete;
    Thumbnail &operator=(const Thumbnail &) = delete;

    qint64 memoryEstimate(const Target &target) override
    {
        const QSize size = m_header.stored;
        return 8 * qint64(size.width()) * size.height() + DecoderOverhead +
               target.sinkEstimate(size, size, QImageIOHandler::TransformationNone,
                                   RowLayout::floats(QImage::Format_RGBA64, true));
    }
    Status decode(const Target &target, QImage *out, QString *words) override
    {
        heif_image *image = nullptr;
        const heif_error e = heif_decode_image(m_handle, &image, heif_colorspace_undefined,
                                               heif_chroma_undefined, nullptr);
        if (e.code != heif_error_Ok) {
            heif_image_release(image);
            *words = QString::fromUtf8(e.message);
            return HeifPlanes::statusOf(e);
        }
        Formats::Damage damage = Formats::Damage::Unspecified;
        const Status status =
            HeifPlanes::push(image, m_handle, target,
                             heif_image_handle_is_premultiplied_alpha(m_handle), out, &damage);
        heif_image_release(image);
        return status;
    }

private:
    heif_image_handle *m_handle;
};

bool sameProportions(const QSize &a, const QSize &b)
{
    return std::abs(double(a.width()) / a.height() - double(b.width()) / b.height()) <
           0.02 * double(a.width()) / a.height();
}

// The smallest thumbnail item large enough, where it shows the picture's proportions.
std::unique_ptr<Formats::Decoder> Decoder::smallCopy(const QSize &atLeast)
{
    if (!m_handle || refusal() != Status::Decoded || m_tiles)
        return nullptr;
    const int count = heif_image_handle_get_number_of_thumbnails(m_handle);
    if (count <= 0)
        return nullptr;
    std::vector<heif_item_id> ids(static_cast<size_t>(count));
    heif_image_handle_get_list_of_thumbnail_IDs(m_handle, ids.data(), count);
    const int side = qMax(atLeast.width(), atLeast.height());
    heif_image_handle *best = nullptr;
    for (const heif_item_id id : ids) {
        heif_image_handle *thumbnail = nullptr;
        if (heif_image_handle_get_thumbnail(m_handle, id, &thumbnail).code != heif_error_Ok)
            continue;
        const QSize size(heif_image_handle_get_width(thumbnail),
                         heif_image_handle_get_height(thumbnail));
        const bool fits = qMax(size.width(), size.height()) >= side &&
                          sameProportions(size, m_header.stored) &&
                          (!best || size.width() < heif_image_handle_get_width(best));
        if (fits)
            std::swap(best, thumbnail);
        heif_image_handle_release(thumbnail);
    }
    return best ? std::make_unique<Thumbnail>(best) : nullptr;
}

Status Decoder::decode(const Target &target, QImage *out, QString *words)
{
    if (!m_handle || refusal() != Status::Decoded)
        return refusal();
    const QSize size = m_header.stored;
    const Status status = decodeWith(target, out, words);
    // The decoder frees a large photo's pictures in pieces that the heap keeps: without handing
    // them back, each would add to the next one's peak. Small ones are cheaper to keep.
    if (qint64(size.width()) * size.height() > LargePixels)
        releaseFreedMemory();
    return status;
}

// The decoder's own pictures and threads, the grid's or libheif's copy of the planes, and what
// the sink holds: measured at 6 to 16 bytes a pixel on the conformance files. A tile or layer
// larger than the picture is decoded and turned to RGB beside it.
qint64 Decoder::memoryEstimate(const Target &target)
{
    if (!m_handle || refusal() != Status::Decoded)
        return 0;
    if (m_tiles)
        return m_tiles->memoryEstimate(target);
    const QSize size = m_header.stored;
    const int bits = qMax(8, heif_image_handle_get_luma_bits_per_pixel(m_handle));
    const bool alpha = heif_image_handle_has_alpha_channel(m_handle);
    const HeifPlanes::Layout layout = HeifPlanes::nativeLayout(m_meta);
    const qint64 planes = HeifPlanes::planeBytes(size, layout, bits, alpha);
    const qint64 larger = m_header.largest.isValid()
                              ? 3 * HeifPlanes::planeBytes(m_header.largest, layout, bits, false)
                              : 0;
    const qint64 sink = target.sinkEstimate(size, size, QImageIOHandler::TransformationNone,
                                            RowLayout::floats(QImage::Format_RGBA64, true));
    return 4 * planes + larger + DecoderOverhead + sink + qint64(size.width()) * 16;
}

} // namespace

std::unique_ptr<Formats::Decoder> open(const SourceFile &source, Grid grid)
{
    return std::make_unique<Decoder>(source, grid);
}

} // namespace HeifDecoder
