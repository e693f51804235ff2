#include "formats/webp/webpformat.h"

#include "formats/webp/webpdecoder.h"
#include "formats/webp/webpmetadata.h"
#include "formats/webp/webpwriter.h"
#include "system/sourcefile.h"

#include <QtEndian>

namespace WebPFormat {

namespace {

// A lossless source stays lossless: usually a graphic or a screenshot that lossy coding would
// smear.
bool encode(const QImage &image, const Formats::EncodeRequest &request,
            const PhotoMetadata &metadata, QByteArray *bytes, LeftOuts *leftOut,
            Formats::EncodeError *error)
{
    return WebPWriter::encode(image, request.lossless, request.setting, metadata, bytes, leftOut,
                              &error->words);
}

std::unique_ptr<Formats::AnimationWriter>
startAnimation(const QSize &size, const Formats::Animation &animation, int setting)
{
    return std::make_unique<WebPWriter::Animation>(size, animation.lossless, setting,
                                                   animation.loopCount, animation.background);
}

// The animation encoder's canvases and candidates.
qint64 animationEstimate(const QSize &size)
{
    return 8 * qint64(size.width()) * size.height() * 4;
}

// A RIFF container says its own length: a file cut short, or with more after it, is not whole.
bool isWholeFile(const SourceFile &source)
{
    const QByteArray &head = source.head();
    if (head.size() < 12 || !head.startsWith("RIFF") || head.mid(8, 4) != "WEBP")
        return false;
    const quint32 length = qFromLittleEndian<quint32>(head.constData() + 4);
    return qint64(length) + 8 == source.size();
}

Formats::Writer writer()
{
    Formats::Writer w;
    w.suffixes = {"webp"};
    w.ownEncoder = true;
    w.can.alpha = w.can.animation = w.can.icc = w.can.exif = w.can.xmp = true;
    w.settings = {95, 88, 75, 42};
    w.honours.quality = true;
    w.floorSetting = 30; // SSIM about 0.90, as for the other lossy writers
    w.encode = encode;
    w.memoryEstimate = [](const QSize &size, int) { return WebPWriter::memoryEstimate(size); };
    w.startAnimation = startAnimation;
    w.animationEstimate = animationEstimate;
    w.isWholeFile = isWholeFile;
    return w;
}

} // namespace

const Formats::Entry &entry()
{
    static const Formats::Entry webp = [] {
        Formats::Entry e;
        e.names = {"webp"};
        e.recognise = [](const SourceFile &source) { return WebPMetadata::isWebP(source.head()); };
        e.ownSuffixes = {"webp"};
        e.open = [](const SourceFile &source, const Formats::EmbeddedOpener &) {
            return WebPDecoder::open(source);
        };
        e.writers = {writer()};
        return e;
    }();
    return webp;
}

} // namespace WebPFormat
