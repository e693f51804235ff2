#include "formats/toolkit/toolkitformat.h"

#include "formats/toolkitcodec.h"
#include "resample/resampler.h"

#include <QFileInfo>
#include <QImageReader>

namespace ToolkitFormat {

namespace {

// What browsers make of a GIF frame's delay of 10 ms or less.
int gifDelay(int ms)
{
    return ms > 10 ? ms : 100;
}

// A GIF's frames, each as the toolkit composites it; lossless, as a GIF's flat colours are
// best kept.
Formats::Status decodeGifFrames(const QString &path, QImageIOHandler::Transformations, int box,
                                Resampling resampling, Formats::Animation *animation,
                                const Formats::FrameSink &sink, int *endMs, QString *error)
{
    ToolkitCodec::allowLargestAcceptedImage();
    QImageReader reader(path);
    const int loops = reader.loopCount(); // -1 forever, else the repeats after the first play
    animation->loopCount = loops < 0 ? 0 : loops + 1;
    animation->lossless = true;
    const int count = reader.imageCount();
    int startMs = 0;
    for (int i = 0; i < count; ++i) {
        const QImage frame = reader.read();
        if (frame.isNull()) {
            *error = reader.errorString();
            return Formats::Status::Damaged;
        }
        if (!sink(sampleFitted(frame, box, resampling), startMs))
            return Formats::Status::Failed;
        startMs += gifDelay(reader.nextImageDelay());
    }
    *endMs = startMs;
    return Formats::Status::Decoded;
}

// The toolkit's canvas and previous frame, and the frames the encoder has taken.
qint64 gifFramesEstimate(const QString &path, const QSize &size)
{
    return 2 * qint64(size.width()) * size.height() * 4 + 3 * QFileInfo(path).size();
}

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
        e.names = {"gif"};
        e.decoder.decodeFrames = decodeGifFrames;
        e.decoder.framesEstimate = gifFramesEstimate;
        e.writers = {writer({"ico", "cur", "pic"}, true, false),
                     writer({"icns", "jxl"}, true, true), writer({}, false, false)};
        return e;
    }();
    return toolkit;
}

} // namespace ToolkitFormat
