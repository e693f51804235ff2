#include "formats/jxl/jxlformat.h"

#include "formats/jxl/jxldecoder.h"
#include "formats/jxl/jxlmetadata.h"
#include "formats/jxl/jxlwriter.h"
#include "system/sourcefile.h"

namespace JxlFormat {

namespace {

// A lossless source stays lossless; every other is written lossy at the level's setting.
bool encode(const QImage &image, const Formats::EncodeRequest &request,
            const PhotoMetadata &metadata, QByteArray *bytes, LeftOuts *leftOut,
            Formats::EncodeError *error)
{
    return JxlWriter::encode(image, request.lossless, request.setting, metadata, bytes, leftOut,
                             error);
}

std::unique_ptr<Formats::AnimationWriter>
startAnimation(const QSize &size, const Formats::Animation &animation, int setting)
{
    return std::make_unique<JxlWriter::Animation>(size, animation.lossless, setting,
                                                  animation.loopCount);
}

// The encoder's images for a frame, and the frame held until the next says how long it lasts.
qint64 animationEstimate(const QSize &size)
{
    return JxlWriter::memoryEstimate(size) + qint64(size.width()) * size.height() * 8;
}

bool transcodeLossless(const SourceFile &source, const PhotoMetadata &metadata,
                       const QSize &upright, QByteArray *bytes, LeftOuts *leftOut)
{
    return JxlWriter::transcodeJpeg(source.all(), metadata, upright, bytes, leftOut);
}

bool isWholeFile(const SourceFile &source)
{
    return JxlMetadata::isJxl(source.head()) &&
           JxlMetadata::boxesEndAtEnd(source.map(), source.size());
}

Formats::Writer writer()
{
    Formats::Writer w;
    w.suffixes = {"jxl"};
    w.ownEncoder = true;
    w.can.alpha = w.can.deep = w.can.animation = w.can.icc = w.can.nclx = w.can.exif = w.can.xmp =
        true;
    // libjxl's quality, mapped to distances as cjxl maps it: each level within 0.003 of JPEG's
    // SSIM at the same level, at about 20 % less (see the README's table).
    w.settings = {95, 90, 77, 63};
    w.honours.quality = true;
    w.floorSetting = 38; // SSIM about 0.90, as for the other lossy writers
    w.encode = encode;
    w.memoryEstimate = [](const QSize &size, int) { return JxlWriter::memoryEstimate(size); };
    w.startAnimation = startAnimation;
    w.animationEstimate = animationEstimate;
    w.isWholeFile = isWholeFile;
    // A JPEG kept at its size goes in as its own coefficients: smaller, and not a pixel lost.
    w.transcodes = [](const SourceFile &source) { return JxlWriter::isJpeg(source.head()); };
    w.transcodeLossless = transcodeLossless;
    return w;
}

} // namespace

const Formats::Entry &entry()
{
    static const Formats::Entry jxl = [] {
        Formats::Entry e;
        e.names = {"jxl"};
        e.recognise = [](const SourceFile &source) { return JxlMetadata::isJxl(source.head()); };
        e.ownSuffixes = {"jxl"};
        e.open = [](const SourceFile &source, const Formats::EmbeddedOpener &) {
            return JxlDecoding::open(source);
        };
        e.writers = {writer()};
        return e;
    }();
    return jxl;
}

} // namespace JxlFormat
