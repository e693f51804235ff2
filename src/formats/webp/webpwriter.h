#pragma once

#include "formats/format.h"

#include <QByteArray>
#include <QImage>
#include <QStringList>

#include <memory>

// Writes WebP files through libwebp, with the source's EXIF, XMP and ICC profile.
namespace WebPWriter {

// What the encoder holds for a still of `size`; an animation's encoder is counted with its
// decoder's estimate.
qint64 memoryEstimate(const QSize &size);

// Encodes the upright `image` into `*bytes`: losslessly where asked, else lossy at libwebp's
// `quality` (0 to 100). What could not be carried is added to `leftOut`. False, with libwebp's
// words in `error`, where nothing was encoded.
bool encode(const QImage &image, bool lossless, int quality, const PhotoMetadata &metadata,
            QByteArray *bytes, LeftOuts *leftOut, QString *error);

// Encodes an animation one frame at a time, so that only the encoder's own frames are held.
class Animation : public Formats::AnimationWriter
{
public:
    Animation(const QSize &size, bool lossless, int quality, int loopCount, QRgb background);
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

} // namespace WebPWriter
