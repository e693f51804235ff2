#include "row/encode.h"

#include "row/outputshape.h"
#include "row/photo.h"
#include "row/sizelimit.h"

namespace Encode {

namespace {

Encoded limited(const QImage &image, const Formats::Writer &writer,
                const Formats::EncodeRequest &request, const PhotoMetadata &metadata)
{
    const SizeLimit::Encoded fitted =
        SizeLimit::encode(image, writer, request, metadata, request.encoding.maxBytes);
    Encoded out;
    if (fitted.failed)
        out.failed = RowOutcome::encodeFailed(fitted.error.words, fitted.error.outOfMemory);
    out.bytes = fitted.bytes;
    out.leftOut = fitted.leftOut;
    out.encodes = fitted.encodes;
    out.asked = image.size();
    out.pixels = fitted.pixels;
    out.fits = fitted.fits;
    return out;
}

// Frames are cut centred: the subject is looked for in a still photo only.
Target framesTarget(const Geometry &geometry, const QSize &upright, int box)
{
    Geometry centred = geometry;
    centred.subject = false;
    return OutputShape::planFor(centred, upright, box).target;
}

RowOutcome::Status decodeStatus(Formats::Status status)
{
    return status == Formats::Status::Damaged     ? RowOutcome::Damaged
           : status == Formats::Status::Cancelled ? RowOutcome::NotStarted
                                                  : RowOutcome::Unreadable;
}

// Every frame of the photo at `box` into the animation writer; the first frame's pixels.
Encoded framesAt(Photo &photo, const OutputOptions &options, int box, const Formats::Writer &writer)
{
    Encoded out;
    Formats::Animation animation;
    std::unique_ptr<Formats::AnimationWriter> frames;
    const int setting = writer.setting(options.encoding.quality);
    const auto addFrame = [&](const QImage &frame, int startMs) {
        if (!frames) {
            out.pixels = frame.size();
            frames = writer.startAnimation(frame.size(), animation, setting);
        }
        return frames->add(frame, startMs);
    };
    Formats::Decoder &decoder = photo.decoder();
    int endMs = 0;
    QString error;
    const Formats::Status status =
        decoder.decodeFrames(framesTarget(options.geometry, photo.header().upright(), box),
                             &animation, addFrame, &endMs, &error);
    if (frames && !frames->error().isEmpty())
        out.failed = RowOutcome::encodeFailed(frames->error());
    else if (status != Formats::Status::Decoded || !frames)
        out.failed = RowOutcome::make(decodeStatus(status), error);
    else if (!frames->finish(endMs, photo.metadata().filtered(options.carrying.metadata),
                             &out.bytes, &out.leftOut, &error))
        out.failed = RowOutcome::encodeFailed(error);
    return out;
}

} // namespace

Encoded still(const QImage &image, const Formats::Encoding &encoding, const Formats::Writer &writer,
              const PhotoMetadata &metadata, bool lossless)
{
    const Formats::EncodeRequest request{encoding, writer.setting(encoding.quality), lossless};
    if (encoding.maxBytes > 0)
        return limited(image, writer, request, metadata);
    Encoded out;
    Formats::EncodeError error;
    if (!writer.encode(image, request, metadata, &out.bytes, &out.leftOut, &error))
        out.failed = RowOutcome::encodeFailed(error.words, error.outOfMemory);
    out.encodes = 1;
    out.asked = out.pixels = image.size();
    out.fits = true;
    return out;
}

// Under a limit an animation keeps its frames' coding and loses pixels, each time decoded
// again at a smaller box.
Encoded animation(Photo &photo, const OutputOptions &options, const Formats::Writer &writer,
                  int box)
{
    const qint64 maxBytes = options.encoding.maxBytes;
    Encoded result;
    int encodes = 0;
    for (int tried = box;; tried = SizeLimit::smallerBox(tried, result.bytes.size(), maxBytes)) {
        const QSize asked = result.asked;
        result = framesAt(photo, options, tried, writer);
        if (result.failed.status != RowOutcome::Pending)
            return result;
        result.encodes = ++encodes;
        result.asked = asked.isValid() ? asked : result.pixels;
        result.fits = result.bytes.size() <= maxBytes;
        if (maxBytes <= 0 || result.fits || tried <= SizeLimit::SmallestSide)
            break;
    }
    return result;
}

void noteLimit(const Encoded &encoded, qint64 maxBytes, RowOutcome *outcome)
{
    outcome->encodes = encoded.encodes;
    outcome->limitBytes = maxBytes;
    outcome->overLimit = !encoded.fits;
    if (encoded.pixels != encoded.asked)
        outcome->limitedTo = encoded.pixels;
}

} // namespace Encode
