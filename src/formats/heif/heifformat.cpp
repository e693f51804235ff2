#include "formats/heif/heifformat.h"

#include "formats/heif/heifmetadata.h"
#include "formats/heif/heifstream.h"
#include "formats/heif/heifwriter.h"
#include "formats/toolkitcodec.h"
#include "resample/resampler.h"

#include <QCoreApplication>

namespace HeifFormat {

namespace {

// The gain map as an iPhone's JPEG export carries it: a grey JPEG after the primary, its XMP
// naming Apple's auxiliary type; the headroom stays in the maker notes.
GainMap appleGainMap(const QString &path, const QSize &size)
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
    map.decode = [path](int box, bool smooth) {
        const QImage full = HeifMetadata::decodeGainMap(path);
        return full.isNull()
                   ? full
                   : sampleFitted(full, box, smooth ? Resampling::Smooth : Resampling::Nearest);
    };
    map.segments = {{0xE1, xmp}};
    return map;
}

PhotoMetadata readMetadata(const QString &path)
{
    const HeifMetadata::Blocks blocks = HeifMetadata::read(path);
    PhotoMetadata::Record record;
    record.exif = blocks.exif;
    record.xmp = blocks.xmp;
    record.icc = blocks.icc;
    record.nclx = blocks.nclx;
    if (blocks.gainMap)
        record.gainMap = appleGainMap(path, blocks.gainMapSize);
    if (!blocks.readable)
        record.unreadable.append(QCoreApplication::translate("MainWindow", "EXIF illisibles"));
    return PhotoMetadata(record);
}

bool encode(const QImage &image, const Formats::EncodeRequest &request,
            const PhotoMetadata &metadata, QByteArray *bytes, QStringList *leftOut, QString *error)
{
    return HeifWriter::encode(image, request.suffix, request.setting, metadata, bytes, leftOut,
                              error);
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
    w.floorSetting = floor;
    w.encode = encode;
    w.memoryEstimate = HeifWriter::memoryEstimate;
    return w;
}

} // namespace

// Only the primary image of a HEIF file is read, as its viewers show it.
const Formats::Entry &entry()
{
    static const Formats::Entry heif = [] {
        Formats::Entry e;
        e.names = {"heif"};
        e.recognise = HeifMetadata::isHeif;
        e.ownSuffixes = {"avif", "heic", "heif", "hif"};
        e.decoder.decodeScaled = HeifStream::decodeScaled;
        e.decoder.memoryEstimate = HeifStream::memoryEstimate;
        e.decoder.uprightSize = HeifStream::uprightSize;
        e.decoder.imageCount = ToolkitCodec::singleImage;
        e.readMetadata = readMetadata;
        // x265 (HEIC) and aom (AVIF) at about the same look as the other formats' levels; the
        // floors at SSIM about 0.90.
        e.writers = {writer({"heic", "heif", "hif"}, false, {62, 50, 45, 31}, 27),
                     writer({"avif"}, true, {90, 78, 70, 48}, 42)};
        return e;
    }();
    return heif;
}

} // namespace HeifFormat
