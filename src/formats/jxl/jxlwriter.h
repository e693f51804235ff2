#pragma once

#include "formats/format.h"

#include <QByteArray>
#include <QImage>

#include <memory>

// Writes JPEG XL files through libjxl: lossy at a quality setting, or lossless, with the
// source's EXIF and XMP in uncompressed boxes (which every metadata reader can read) and its
// colour description, as a profile or as the codestream's own encoding.
namespace JxlWriter {

// The butteraugli distance libjxl encodes at for a quality setting, mapped as cjxl maps its
// --quality: 90 is distance 1, "visually lossless"; lower settings are farther.
float distanceFor(int quality);

// What the encoder holds for a still of `size`.
qint64 memoryEstimate(const QSize &size);

// Encodes the upright `image` into `*bytes`: losslessly where asked, else lossy at `quality`.
// What could not be carried is added to `leftOut`. False, with libjxl's words in `error`, where
// nothing was encoded.
bool encode(const QImage &image, bool lossless, int quality, const PhotoMetadata &metadata,
            QByteArray *bytes, LeftOuts *leftOut, Formats::EncodeError *error);

// True where `head` starts as a JPEG does: a file whose coefficients JPEG XL can take as they are.
bool isJpeg(const QByteArray &head);

// Codes the JPEG `jpeg` as JPEG XL without loss: its own coefficients, which libjxl keeps with
// what rebuilds the JPEG itself (without its EXIF, XMP and IPTC, which go as `metadata` says,
// corrected for `size`, in uncompressed boxes). False where libjxl does not take that JPEG
// (CMYK, arithmetic coding, 12 bits): it is then coded from its pixels.
bool transcodeJpeg(const QByteArray &jpeg, const PhotoMetadata &metadata, const QSize &size,
                   QByteArray *bytes, LeftOuts *leftOut);

// Encodes an animation one frame at a time: each frame goes to the encoder once the next one
// says how long it lasts.
class Animation : public Formats::AnimationWriter
{
public:
    Animation(const QSize &size, bool lossless, int quality, int loopCount);
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

} // namespace JxlWriter
