#pragma once

#include "formats/quality.h"
#include "metadata/photometadata.h"
#include "resample/resampler.h"

#include <QByteArray>
#include <QImage>
#include <QImageIOHandler>
#include <QList>
#include <QRgb>
#include <QSize>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>

// What one format is to the program: how it is recognised, its decoder beside the toolkit's,
// its container's metadata, and its writers. Each format's folder gives one Entry; the
// registry is the one place that lists them.
namespace Formats {

enum class Status
{
    Decoded,
    NotHandled, // left to the toolkit (a colour space or layout this decoder does not stream)
    Failed,     // the decoder gave up on the file
    Damaged,    // the data is corrupt or ends early: part of the image would be made up
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
// fitted to the box, and the time it starts at; false stops the decode.
using FrameSink = std::function<bool(const QImage &frame, int startMs)>;

// Reads and resizes `path` one stored row at a time, so that the full-size image never exists
// in memory. Every member may be null: the toolkit then does that part.
struct Decoder
{
    // Decodes `path` into `*out`: the upright image (after `transform`) fitted to `box`. With
    // nearest resampling, the pixels, pixel format and colour space of the toolkit's decode
    // followed by sampleNearest(); smooth, those of sampleSmooth().
    Status (*decodeScaled)(const QString &path, QImageIOHandler::Transformations transform, int box,
                           Resampling resampling, QImage *out, QString *error) = nullptr;
    // decodeScaled() for a row whose colours go to sRGB, where the decoder itself must convert
    // what it would otherwise turn into RGB without its profile (CMYK inks); null where
    // decodeScaled() does.
    Status (*decodeScaledSrgb)(const QString &path, QImageIOHandler::Transformations transform,
                               int box, Resampling resampling, QImage *out,
                               QString *error) = nullptr;
    // The most memory decodeScaled() takes for `path`, read from its header, or -1 where the
    // file is left to the toolkit.
    qint64 (*memoryEstimate)(const QString &path, int box, Resampling resampling) = nullptr;
    // The upright size from the file's header, for formats the toolkit cannot read.
    QSize (*uprightSize)(const QString &path) = nullptr;
    // What turns the image upright, for formats whose EXIF the toolkit does not read.
    QImageIOHandler::Transformations (*transformation)(const QString &path) = nullptr;
    // How many images the file holds, for formats the toolkit cannot count.
    int (*imageCount)(const QString &path) = nullptr;
    // Damaged or Failed (with `*detail`) for a file no decoder may be given at all; anything
    // else lets it through.
    Status (*refuse)(const QString &path, QString *detail) = nullptr;
    // Called on the decoding thread just before the toolkit decodes the file.
    void (*beforeToolkitDecode)() = nullptr;
    // Whether the toolkit's decode, which gave an image or not, met damaged data: Damaged,
    // Failed, or Decoded where the image is sound.
    Status (*toolkitVerdict)(bool headerRead, bool decoded) = nullptr;
    // True where the source was coded without loss, which its output keeps where it can.
    bool (*isLossless)(const QString &path) = nullptr;
    // Every frame of a source of several, each resized as it is decoded; `*animation` is
    // filled before the first frame, `*endMs` is when the last one ends.
    Status (*decodeFrames)(const QString &path, QImageIOHandler::Transformations transform, int box,
                           Resampling resampling, Animation *animation, const FrameSink &sink,
                           int *endMs, QString *error) = nullptr;
    // What decodeFrames() holds beside the animation's writer, where memoryEstimate() does not
    // count it already.
    qint64 (*framesEstimate)(const QString &path, const QSize &size) = nullptr;
};

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

// How one image is to be encoded.
struct EncodeRequest
{
    QByteArray suffix; // the output's, in lower case
    int setting = -1;  // the encoder's own, from the writer's quality table
    bool lossless = false;
};

// Takes an animation a frame at a time, so that only the encoder's own frames are held.
class AnimationWriter
{
public:
    virtual ~AnimationWriter() = default;
    virtual bool add(const QImage &frame, int startMs) = 0;
    virtual bool finish(int endMs, const PhotoMetadata &metadata, QByteArray *bytes,
                        QStringList *leftOut, QString *error) = 0;
    virtual QString error() const = 0;
};

struct Writer
{
    QList<QByteArray> suffixes; // in lower case; empty for the toolkit's others
    bool ownEncoder = false;    // written without the toolkit's plug-ins
    Abilities can;
    // The encoder's setting for each Quality, in its order; -1 where it has none (the JPEG
    // writer's -1 is the toolkit's default, `defaultSetting`).
    std::array<int, 4> settings{{-1, -1, -1, -1}};
    int defaultSetting = -1;
    // The lowest setting a file-size limit may go down to before the pixels are reduced
    // instead: below it, no one would send the picture. -1 for lossless writers.
    int floorSetting = -1;
    // Encodes the upright `image` with `metadata` corrected for its size into `*bytes`; what
    // the container could not take is added to `leftOut`. False, with the encoder's words in
    // `error`, where nothing was encoded.
    bool (*encode)(const QImage &image, const EncodeRequest &request, const PhotoMetadata &metadata,
                   QByteArray *bytes, QStringList *leftOut, QString *error) = nullptr;
    // What the encoder holds beside the output for an image of `size`; null for nothing much.
    qint64 (*memoryEstimate)(const QSize &size) = nullptr;
    // An animation's writer for frames of `size`, where the container holds animations.
    std::unique_ptr<AnimationWriter> (*startAnimation)(const QSize &size,
                                                       const Animation &animation,
                                                       int setting) = nullptr;
    // What startAnimation()'s writer holds for frames of `size`.
    qint64 (*animationEstimate)(const QSize &size) = nullptr;

    int setting(Quality quality) const { return settings[int(quality)]; }
};

struct Entry
{
    // The names detectFormat() gives the format's files.
    QList<QByteArray> names;
    // Recognises the format's files by their content before the toolkit is asked, for formats
    // the toolkit may not read; null where the toolkit's name is enough.
    bool (*recognise)(const QString &path) = nullptr;
    // The suffixes read without the toolkit's plug-ins.
    QList<QByteArray> ownSuffixes;
    // Suffixes of files the format reads but no writer writes, and the output format they
    // are written as when each source keeps its own format.
    QList<QByteArray> readOnlySuffixes;
    QByteArray writtenAs;
    Decoder decoder;
    // The metadata of the file at `path`, as its container holds it; null for none.
    PhotoMetadata (*readMetadata)(const QString &path) = nullptr;
    QList<Writer> writers;
};

} // namespace Formats
