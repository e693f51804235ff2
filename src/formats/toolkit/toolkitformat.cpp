#include "formats/toolkit/toolkitformat.h"

#include "formats/sourcedevice.h"
#include "formats/toolkit/completeness.h"
#include "formats/toolkitcodec.h"
#include "formats/toolkitdecoder.h"
#include "system/sourcefile.h"

#include <QImageReader>

namespace ToolkitFormat {

namespace {

// What browsers make of a GIF frame's delay of 10 ms or less.
int gifDelay(int ms)
{
    return ms > 10 ? ms : 100;
}

// A GIF, read by the toolkit: its frames, each as the toolkit composites it; lossless, as a
// GIF's flat colours are best kept.
class GifDecoder : public Formats::ToolkitDecoder
{
public:
    using ToolkitDecoder::ToolkitDecoder;

    bool decodesFrames() const override { return true; }
    Formats::Status decodeFrames(const Target &target, Formats::Animation *animation,
                                 const Formats::FrameSink &sink, int *endMs,
                                 QString *words) override
    {
        const std::unique_ptr<QIODevice> device = Formats::sourceDevice(m_source);
        QImageReader reader(device.get());
        const int loops = reader.loopCount(); // -1 forever, else the repeats after the first play
        animation->loopCount = loops < 0 ? 0 : loops + 1;
        animation->lossless = true;
        const int count = reader.imageCount();
        int startMs = 0;
        for (int i = 0; i < count; ++i) {
            const QImage frame = reader.read();
            if (frame.isNull()) {
                *words = reader.errorString();
                return Formats::Status::Damaged;
            }
            if (!sink(target.fitted(frame), startMs))
                return Formats::Status::Failed;
            startMs += gifDelay(reader.nextImageDelay());
        }
        *endMs = startMs;
        return Completeness::gif(m_source) ? Formats::Status::Decoded : Formats::Status::Damaged;
    }
    // The toolkit's canvas and previous frame, and the frames the encoder has taken.
    qint64 framesEstimate() override
    {
        const QSize size = m_header.upright();
        return 2 * qint64(size.width()) * size.height() * 4 + 3 * m_source.size();
    }

protected:
    // The toolkit hands out a cut-short file's image whole.
    Formats::Status verdict(bool headerRead, bool decoded) const override
    {
        if (decoded && !Completeness::gif(m_source))
            return Formats::Status::Damaged;
        return ToolkitDecoder::verdict(headerRead, decoded);
    }
};

// A bitmap, read by the toolkit, which hands out a cut-short file's image whole.
class BmpDecoder : public Formats::ToolkitDecoder
{
public:
    using ToolkitDecoder::ToolkitDecoder;

protected:
    Formats::Status verdict(bool headerRead, bool decoded) const override
    {
        if (decoded && !Completeness::bmp(m_source))
            return Formats::Status::Damaged;
        return ToolkitDecoder::verdict(headerRead, decoded);
    }
};

// None of the toolkit's other writers takes metadata; what they keep of the pixels and
// their profile was measured on each plug-in. Empty suffixes: whatever no entry claims.
Formats::Writer writer(const QList<QByteArray> &suffixes, bool alpha, bool deep)
{
    Formats::Writer w;
    w.suffixes = suffixes;
    w.can.alpha = alpha;
    w.can.deep = w.can.icc = deep;
    w.encode = ToolkitCodec::encodeWithoutMetadata;
    return w;
}

} // namespace

const Formats::Entry &entry()
{
    static const Formats::Entry toolkit = [] {
        Formats::Entry e;
        e.names = {"gif", "bmp"};
        e.open = [](const SourceFile &source,
                    const Formats::EmbeddedOpener &) -> std::unique_ptr<Formats::Decoder> {
            const std::unique_ptr<QIODevice> device = Formats::sourceDevice(source);
            if (QImageReader(device.get()).format() == "bmp")
                return std::make_unique<BmpDecoder>(source);
            return std::make_unique<GifDecoder>(source);
        };
        e.writers = {writer({"ico", "cur", "pic"}, true, false),
                     writer({"icns", "jxl"}, true, true), writer({}, false, false)};
        return e;
    }();
    return toolkit;
}

} // namespace ToolkitFormat
