#pragma once

#include "formats/resampler.h"

#include <QByteArray>
#include <QImage>
#include <QImageIOHandler>
#include <QImageReader>
#include <QList>
#include <QSize>
#include <QString>

// Decoders that read an image one stored row at a time and sample each needed row straight
// into the small output, so that the full-size image never exists in memory. Every format's
// decoder has the same shape, and forFormat() is the one place that picks it.
namespace StreamDecoder {

enum class Status
{
    Decoded,
    NotHandled, // left to the toolkit (a colour space or layout this decoder does not stream)
    Failed,     // the decoder gave up on the file
    Damaged,    // the data is corrupt or ends early: part of the image would be made up
};

// What the program knows of one format beside the toolkit. Every member may be null: the
// toolkit then does that part.
struct Format
{
    // Decodes `path` into `*out`: the upright image (after `transform`) fitted to `box`. With
    // nearest resampling, the pixels, pixel format and colour space of the toolkit's decode
    // followed by sampleNearest(); smooth, those of sampleSmooth().
    Status (*decodeScaled)(const QString &path, QImageIOHandler::Transformations transform, int box,
                           Resampling resampling, QImage *out, QString *error) = nullptr;
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
};

// The format of the file at `path`: "heif" for HEIF and AVIF and "webp" for WebP, which have
// their own decoders whatever plug-ins the toolkit has, else what the toolkit's `reader`
// detects.
QByteArray detectFormat(const QString &path, const QImageReader &reader);

// What the program knows of a format as detectFormat() names it, or null.
const Format *forFormat(const QByteArray &format);

} // namespace StreamDecoder
