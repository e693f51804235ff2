#pragma once

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

struct Format
{
    // Decodes `path` into `*out`: the upright image (after `transform`) fitted to `box`, with
    // the pixels, pixel format and colour space of the toolkit's decode followed by
    // sampleNearest().
    Status (*decodeScaled)(const QString &path, QImageIOHandler::Transformations transform, int box,
                           QImage *out, QString *error);
    // The most memory decodeScaled() takes for `path`, read from its header, or -1 where the
    // file is left to the toolkit.
    qint64 (*memoryEstimate)(const QString &path, int box);
    // The upright size from the file's header, for formats the toolkit cannot read; else null.
    QSize (*uprightSize)(const QString &path);
    // What turns the image upright, for formats whose EXIF the toolkit does not read; else
    // null.
    QImageIOHandler::Transformations (*transformation)(const QString &path);
    // How many images the file holds, for formats the toolkit cannot count; else null.
    int (*imageCount)(const QString &path);
};

// The format of the file at `path`: "heif" for HEIF and AVIF and "webp" for WebP, which have
// their own decoders whatever plug-ins the toolkit has, else what the toolkit's `reader`
// detects.
QByteArray detectFormat(const QString &path, const QImageReader &reader);

// The streamed decoder for a format as detectFormat() names it, or null.
const Format *forFormat(const QByteArray &format);

} // namespace StreamDecoder
