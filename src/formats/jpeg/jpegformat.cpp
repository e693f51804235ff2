#include "formats/jpeg/jpegformat.h"

#include "formats/jpeg/jpegdecoder.h"
#include "formats/jpeg/jpegmetadata.h"
#include "formats/jpeg/jpegturn.h"
#include "formats/jpeg/jpegwriter.h"
#include "resample/imagecopy.h"

#include <QColorSpace>
#include <QPainter>

namespace JpegFormat {

namespace {

// The image without one of its texts: the writer turns every text into a comment, and the XMP
// packet goes in as XMP.
QImage withoutText(const QImage &image, const QString &key)
{
    if (!image.textKeys().contains(key))
        return image;
    return withTexts(image, [&key](const QString &other) { return other != key; });
}

// JPEG keeps no transparency: what shows through is white, as on paper, rather than the
// colour transparent pixels happen to hide.
QImage onWhite(const QImage &image)
{
    if (!image.hasAlphaChannel())
        return image;
    QImage flat(image.size(), QImage::Format_RGB32);
    if (flat.isNull())
        return flat;
    flat.fill(Qt::white);
    QPainter painter(&flat);
    painter.drawImage(0, 0, image);
    painter.end();
    copyImageMetadata(image, &flat);
    return flat;
}

// Tables made for the picture cost no pixel and save 2 to 8 % of the file; progressive scans
// save more but some televisions and frames show no such file, so they come only with a choice
// beyond the start values, and never where sequential files were asked for. Above Haute's
// setting, full chroma keeps more per byte (9 % fewer bytes at equal SSIM at Maximale's, on
// photos); at Haute's and below, 4:2:0 is as good or better.
JpegWriter::Settings settings(int setting, const Formats::Encoding &encoding = {})
{
    JpegWriter::Settings s;
    s.quality = setting < 0 ? s.quality : setting;
    s.progressive = encoding.chosen() && !encoding.baseline;
    s.fullChroma = s.quality > 90;
    return s;
}

// Both the tables made for the picture and progressive scans keep libjpeg's buffer of the
// whole image's coefficients, two bytes each: three bytes a pixel in 4:2:0, six in 4:4:4.
qint64 memoryEstimate(const QSize &size, int setting)
{
    return qint64(size.width()) * size.height() * (settings(setting).fullChroma ? 6 : 3);
}

bool encodeJpeg(const QImage &image, const Formats::EncodeRequest &request, QByteArray *bytes,
                Formats::EncodeError *error)
{
    if (JpegWriter::encode(image, settings(request.setting, request.encoding), bytes,
                           &error->words))
        return true;
    error->outOfMemory = error->words.isEmpty();
    return false;
}

// The gain map in proportion to the picture, encoded at the picture's setting, with its own
// segments; it carries no profile, nor any text.
bool encodeGainMap(const GainMap &map, const QSize &picture, const Formats::EncodeRequest &request,
                   QByteArray *bytes, Formats::EncodeError *error)
{
    QImage reduced = withTexts(map.imageFor(picture), [](const QString &) { return false; });
    reduced.setColorSpace(QColorSpace());
    if (!encodeJpeg(reduced, request, bytes, error))
        return false;
    *bytes = JpegMetadata::withSegments(*bytes, map.segments);
    return true;
}

bool encode(const QImage &image, const Formats::EncodeRequest &request,
            const PhotoMetadata &metadata, QByteArray *bytes, LeftOuts *leftOut,
            Formats::EncodeError *error)
{
    const QImage toEncode = withoutText(onWhite(image), QStringLiteral("XML:com.adobe.xmp"));
    if (toEncode.isNull() && !image.isNull()) {
        error->outOfMemory = true;
        return false;
    }
    QByteArray gainMap;
    const GainMap &map = metadata.record().gainMap;
    if (!map.image.isNull() && !encodeGainMap(map, image.size(), request, &gainMap, error))
        return false;
    if (!encodeJpeg(toEncode, request, bytes, error))
        return false;
    JpegMetadata::insertInto(bytes, metadata, image.size(), leftOut, gainMap);
    *leftOut += metadata.colourLeftOut(image.colorSpace(), false);
    return true;
}

Formats::Writer writer()
{
    Formats::Writer w;
    w.suffixes = {"jpg", "jpeg"};
    w.can.icc = w.can.exif = w.can.xmp = w.can.iptc = w.can.gainMap = true;
    // The toolkit's default (75) at Normal, as before the levels existed.
    w.settings = {95, 90, -1, 55};
    w.honours.quality = true;
    w.defaultSetting = 75;
    // SSIM about 0.90 on photos at 1024 (bench/parvimage_levels): below, fewer pixels.
    w.floorSetting = 40;
    w.encode = encode;
    w.memoryEstimate = memoryEstimate;
    w.isWholeFile = JpegTurn::isWholeFile;
    w.turnLossless = JpegTurn::turnWithMetadata;
    return w;
}

} // namespace

const Formats::Entry &entry()
{
    static const Formats::Entry jpeg = [] {
        Formats::Entry e;
        e.names = {"jpeg"};
        // A multi-picture file (a stereo pair, say) is the JPEG of its first picture.
        e.readOnlySuffixes = {"mpo"};
        e.writtenAs = "jpg";
        e.open = [](const SourceFile &source, const Formats::EmbeddedOpener &) {
            return JpegDecoder::open(source);
        };
        e.openEmbedded = JpegDecoder::openEmbedded;
        e.writers = {writer()};
        return e;
    }();
    return jpeg;
}

} // namespace JpegFormat
