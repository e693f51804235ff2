#pragma once

#include "formats/damage.h"
#include "metadata/photometadata.h"
#include "resample/target.h"

#include <QImage>
#include <QImageIOHandler>
#include <QRgb>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>

#include "system/sourcefile.h"

// What one source is to the program once its format has opened it: its header, its metadata,
// and its stored rows pushed into the sink a Target makes. Every format gives one such
// decoder; the registry picks it.
namespace Formats {

enum class Status
{
    Decoded,
    Failed,    // the library could not decode the file: unreadable or unsupported
    Damaged,   // the data is corrupt or ends early: part of the image would be made up
    Cancelled, // the run was cancelled while the image was decoded
};

// What a decoder read of the file before any pixel.
struct Header
{
    QSize stored; // invalid where the header could not be read
    // The largest picture the library allocates on the way, where larger than `stored`: a
    // grid's tile or an overlay's layer, an auxiliary image decoded with it. Else invalid.
    QSize largest;
    // What turns the stored image upright: the file's EXIF orientation, or its container's own.
    QImageIOHandler::Transformations transform = QImageIOHandler::TransformationNone;

    QSize upright() const;
};

// What a multi-frame source says of itself, before its first frame is handed out.
struct Animation
{
    QSize canvas;
    int loopCount = 0; // 0 loops forever
    QRgb background = 0;
    bool lossless = false; // every frame coded without loss: kept so
};

// Called with each frame composited on the canvas as the file says, turned upright and
// fitted to the target, and the time it starts at; false stops the decode.
using FrameSink = std::function<bool(const QImage &frame, int startMs)>;

class Decoder
{
public:
    virtual ~Decoder();

    const Header &header() const { return m_header; }
    // Damaged or Failed, with the library's words, for a file no decode may be tried on.
    Status refusal() const { return m_refusal; }
    const QString &refusalWords() const { return m_refusalWords; }
    // What the refusal, or the last decode that returned Damaged, found wrong.
    Damage damage() const { return m_damage; }

    // How many images the file holds: its pages, frames or sizes.
    virtual int imageCount() { return 1; }
    // True where the source was coded without loss, which its output keeps where it can.
    virtual bool isLossless() { return false; }
    // The metadata as the container holds it.
    virtual PhotoMetadata metadata() { return PhotoMetadata(); }
    // The HDR gain map the metadata names, as a decoder of its own whose rows turn as the
    // picture's; null where there is none to decode.
    virtual std::unique_ptr<Decoder> gainMap() { return nullptr; }

    // A smaller copy of the picture that the file carries, at least `atLeast` upright and of
    // the picture's own proportions, as a decoder of its own that lives no longer than this
    // one; null where it has none. For a glance at the photo: the copy may be coded apart from
    // the picture, so that it says nothing of the picture's damage.
    virtual std::unique_ptr<Decoder> smallCopy(const QSize &atLeast)
    {
        Q_UNUSED(atLeast)
        return nullptr;
    }

    // Keeps `source` for as long as the decoder lives: bytes embedded in another file.
    void adopt(std::unique_ptr<SourceFile> source);

    // A CMYK file's inks go to sRGB through its own profile, rather than as the toolkit turns
    // them into RGB: for rows whose colours are converted to sRGB anyway.
    void setInksToSrgb(bool inksToSrgb) { m_inksToSrgb = inksToSrgb; }

    // The most memory decode() takes for `target`, besides the source's own bytes.
    virtual qint64 memoryEstimate(const Target &target) = 0;
    // The upright image for `target`, its rows pushed through the target's sink; `*words` gets
    // the library's own where it failed.
    virtual Status decode(const Target &target, QImage *out, QString *words) = 0;

    // Every frame of a source of several, each fitted to `target` as it is decoded;
    // `*animation` is filled before the first frame, `*endMs` is when the last one ends.
    virtual bool decodesFrames() const { return false; }
    virtual Status decodeFrames(const Target &target, Animation *animation, const FrameSink &sink,
                                int *endMs, QString *words);
    // What decodeFrames() holds beside the animation's writer.
    virtual qint64 framesEstimate() { return 0; }

protected:
    void refuse(Status status, const QString &words = QString(),
                Damage damage = Damage::Unspecified)
    {
        m_refusal = status;
        m_refusalWords = words;
        m_damage = damage;
    }
    void setDamage(Damage damage) { m_damage = damage; }

    Header m_header;
    bool m_inksToSrgb = false;

private:
    std::unique_ptr<SourceFile> m_adopted; // outlives the members of the format's decoder
    Status m_refusal = Status::Decoded;
    QString m_refusalWords;
    Damage m_damage = Damage::Unspecified;
};

} // namespace Formats
