#include "formats/gif/gifformat.h"

#include "formats/gif/gifwriter.h"

namespace GifFormat {

namespace {

std::unique_ptr<Formats::AnimationWriter> startAnimation(const QSize &size,
                                                         const Formats::Animation &animation, int)
{
    return std::make_unique<GifWriter::Animation>(size, animation.loopCount);
}

Formats::Writer writer()
{
    Formats::Writer w;
    w.suffixes = {"gif"};
    w.ownEncoder = true;
    w.can.alpha = w.can.animation = true;
    w.encode = GifWriter::encode;
    w.memoryEstimate = [](const QSize &size, int) { return GifWriter::memoryEstimate(size); };
    w.startAnimation = startAnimation;
    w.animationEstimate = GifWriter::animationEstimate;
    return w;
}

} // namespace

const Formats::Entry &entry()
{
    static const Formats::Entry gif = [] {
        Formats::Entry e;
        e.writers = {writer()};
        return e;
    }();
    return gif;
}

} // namespace GifFormat
