#pragma once

#include "formats/decoder.h"
#include "formats/encoding.h"
#include "formats/quality.h"
#include "metadata/photometadata.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QRgb>
#include <QSize>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>

// What one format is to the program: how it is recognised, how it opens a file, and its
// writers. Each format's folder gives one Entry; the registry is the one place that lists them.
namespace Formats {

// Opens bytes held inside another file (a camera raw's preview) with the decoder of the
// format their content names, turned upright by `transform`; null where no format does.
using EmbeddedOpener = std::function<std::unique_ptr<Decoder>(
    const QByteArray &bytes, QImageIOHandler::Transformations transform)>;

// What an output container keeps of what a source may carry.
struct Abilities
{
    bool alpha = false;
    bool deep = false; // more than 8 bits a sample
    bool animation = false;
    bool icc = false;
    bool nclx = false;
    bool exif = false;
    bool xmp = false;
    bool iptc = false;    // and extended XMP
    bool gainMap = false; // an HDR gain map beside the picture
};

// How one image is to be encoded: the run's choices, and the setting the writer's quality
// table gives for them (another, lower one, where a size limit is searched for).
struct EncodeRequest
{
    Encoding encoding;
    int setting = -1;
    bool lossless = false; // the source was coded without loss
};

// Why an encoder gave nothing: memory that ran out, or the encoder's own words.
struct EncodeError
{
    bool outOfMemory = false;
    QString words;
};

// Takes an animation a frame at a time, so that only the encoder's own frames are held.
class AnimationWriter
{
public:
    virtual ~AnimationWriter() = default;
    virtual bool add(const QImage &frame, int startMs) = 0;
    virtual bool finish(int endMs, const PhotoMetadata &metadata, QByteArray *bytes,
                        LeftOuts *leftOut, QString *error) = 0;
    virtual QString error() const = 0;
};

struct Writer
{
    QList<QByteArray> suffixes; // in lower case; empty for the toolkit's others
    bool ownEncoder = false;    // written without the toolkit's plug-ins
    Abilities can;
    Honours honours;
    // The encoder's setting for each Quality, in its order; -1 where it has none (the JPEG
    // writer's -1 is the toolkit's default, `defaultSetting`).
    std::array<int, 4> settings{{-1, -1, -1, -1}};
    int defaultSetting = -1;
    // The lowest setting a file-size limit may go down to before the pixels are reduced
    // instead: below it, no one would send the picture. -1 for lossless writers.
    int floorSetting = -1;
    // Encodes the upright `image` with `metadata` corrected for its size into `*bytes`; what
    // the container could not take is added to `leftOut`. False, with why in `error`, where
    // nothing was encoded.
    bool (*encode)(const QImage &image, const EncodeRequest &request, const PhotoMetadata &metadata,
                   QByteArray *bytes, LeftOuts *leftOut, EncodeError *error) = nullptr;
    // What the encoder holds beside the output for an image of `size` at `setting`; null for
    // nothing much.
    qint64 (*memoryEstimate)(const QSize &size, int setting) = nullptr;
    // An animation's writer for frames of `size`, where the container holds animations.
    std::unique_ptr<AnimationWriter> (*startAnimation)(const QSize &size,
                                                       const Animation &animation,
                                                       int setting) = nullptr;
    // What startAnimation()'s writer holds for frames of `size`.
    qint64 (*animationEstimate)(const QSize &size) = nullptr;
    // True where `source` is one whole file of this format, to be written out as it is, its
    // signature at the start and its end where the format puts it; null where none is.
    bool (*isWholeFile)(const SourceFile &source) = nullptr;
    // A whole file of this format turned upright by `transform` without coding it again, with
    // `metadata` corrected for its `upright` size; false where the turn would not be exact.
    bool (*turnLossless)(const QByteArray &bytes, QImageIOHandler::Transformations transform,
                         const PhotoMetadata &metadata, const QSize &upright, QByteArray *turned,
                         LeftOuts *leftOut) = nullptr;
    // True where `source`, a file of another format as its first bytes say, can be coded into
    // this one without losing a pixel, as it is stored (a JPEG's coefficients into JPEG XL);
    // null where the format takes none.
    bool (*transcodes)(const SourceFile &source) = nullptr;
    // That file coded so, with `metadata` corrected for its `upright` size; false where the
    // library would not take it after all.
    bool (*transcodeLossless)(const SourceFile &source, const PhotoMetadata &metadata,
                              const QSize &upright, QByteArray *bytes, LeftOuts *leftOut) = nullptr;

    int setting(Quality quality) const { return settings[int(quality)]; }
};

struct Entry
{
    // The names the registry gives the format's files.
    QList<QByteArray> names;
    // Recognises the format's files by their content before the toolkit is asked, for formats
    // the toolkit may not read; null where the toolkit's name is enough.
    bool (*recognise)(const SourceFile &source) = nullptr;
    // The suffixes read without the toolkit's plug-ins.
    QList<QByteArray> ownSuffixes;
    // Suffixes of files the format reads but no writer writes, and the output format they
    // are written as when each source keeps its own format.
    QList<QByteArray> readOnlySuffixes;
    QByteArray writtenAs;
    // The decoder of a file the format recognised, its header read; never null. `embedded`
    // opens what the file holds of another format.
    std::unique_ptr<Decoder> (*open)(const SourceFile &source,
                                     const EmbeddedOpener &embedded) = nullptr;
    // The decoder of the format's bytes inside another file, whose own container says what
    // turns them upright; null where the format is never embedded.
    std::unique_ptr<Decoder> (*openEmbedded)(const SourceFile &source,
                                             QImageIOHandler::Transformations transform) = nullptr;
    // Sets up the process-wide state of the format's libraries; null where they have none.
    void (*initialise)() = nullptr;
    QList<Writer> writers;
};

} // namespace Formats
