#include "formats/webp/webpformat.h"

#include "formats/webp/webpmetadata.h"
#include "formats/webp/webpstream.h"
#include "formats/webp/webpwriter.h"

namespace WebPFormat {

namespace {

PhotoMetadata readMetadata(const QString &path)
{
    const WebPMetadata::Blocks webp = WebPMetadata::read(path);
    PhotoMetadata::Record record;
    record.exif = webp.exif;
    record.xmp = webp.xmp;
    record.icc = webp.icc;
    return PhotoMetadata(record);
}

Formats::Status decodeFrames(const QString &path, QImageIOHandler::Transformations transform,
                             int box, Resampling resampling, Formats::Animation *animation,
                             const Formats::FrameSink &sink, int *endMs, QString *error)
{
    animation->lossless = WebPStream::isLossless(path);
    return WebPStream::decodeFrames(path, transform, box, resampling, animation, sink, endMs,
                                    error);
}

// A lossless source stays lossless: usually a graphic or a screenshot that lossy coding would
// smear.
bool encode(const QImage &image, const Formats::EncodeRequest &request,
            const PhotoMetadata &metadata, QByteArray *bytes, QStringList *leftOut, QString *error)
{
    return WebPWriter::encode(image, request.lossless, request.setting, metadata, bytes, leftOut,
                              error);
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

Formats::Writer writer()
{
    Formats::Writer w;
    w.suffixes = {"webp"};
    w.ownEncoder = true;
    w.can.alpha = w.can.animation = w.can.icc = w.can.exif = w.can.xmp = true;
    w.settings = {95, 88, 75, 42};
    w.floorSetting = 30; // SSIM about 0.90, as for the other lossy writers
    w.encode = encode;
    w.memoryEstimate = WebPWriter::memoryEstimate;
    w.startAnimation = startAnimation;
    w.animationEstimate = animationEstimate;
    return w;
}

} // namespace

const Formats::Entry &entry()
{
    static const Formats::Entry webp = [] {
        Formats::Entry e;
        e.names = {"webp"};
        e.recognise = WebPMetadata::isWebP;
        e.ownSuffixes = {"webp"};
        e.decoder.decodeScaled = WebPStream::decodeScaled;
        e.decoder.memoryEstimate = WebPStream::memoryEstimate;
        e.decoder.uprightSize = WebPStream::uprightSize;
        e.decoder.transformation = WebPStream::transformation;
        e.decoder.imageCount = WebPStream::imageCount;
        e.decoder.isLossless = WebPStream::isLossless;
        e.decoder.decodeFrames = decodeFrames;
        e.readMetadata = readMetadata;
        e.writers = {writer()};
        return e;
    }();
    return webp;
}

} // namespace WebPFormat
