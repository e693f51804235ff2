#pragma once

#include "formats/format.h"

#include <QByteArray>
#include <QImage>

#include <memory>

// Writes GIF files through giflib, each picture's colours reduced to a palette of at most 256 by
// libimagequant, with dithering; pixels more than half transparent stay transparent.
namespace GifWriter {

// What the quantiser holds for a picture of `size`.
qint64 memoryEstimate(const QSize &size);

// Encodes the upright `image` as a one-frame GIF into `*bytes`. False, with why in `error`,
// where nothing was encoded.
bool encode(const QImage &image, const Formats::EncodeRequest &request,
            const PhotoMetadata &metadata, QByteArray *bytes, LeftOuts *leftOut,
            Formats::EncodeError *error);

// Encodes an animation a frame at a time: the frame being taken and the one before it, whose
// delay the next one's start gives, are all it holds of the pictures.
class Animation : public Formats::AnimationWriter
{
public:
    Animation(const QSize &size, int loopCount);
    ~Animation() override;
    Animation(const Animation &) = delete;
    Animation &operator=(const Animation &) = delete;

    bool add(const QImage &frame, int startMs) override;
    bool finish(int endMs, const PhotoMetadata &metadata, QByteArray *bytes, LeftOuts *leftOut,
                QString *error) override;
    QString error() const override;

private:
    struct Encoder;
    std::unique_ptr<Encoder> m_encoder;
};

// What an animation's writer holds for frames of `size`.
qint64 animationEstimate(const QSize &size);

} // namespace GifWriter
