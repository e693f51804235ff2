#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

struct heif_context;
struct heif_image_handle;

// HEIF and AVIF containers: what they are, and the metadata they hold beside the pixels.
namespace HeifMetadata {

// A new libheif context. The library stays initialised for the program's life: the toolkit's
// HEIF plug-in initialises and deinitialises it around its own use, which would otherwise
// unregister the encoders and decoders between two of ours.
heif_context *newContext();

// True where the file's `ftyp` brands name a HEIF image (HEIC, AVIF, or any other coding),
// whatever its name says.
bool isHeif(const QString &path);

struct Blocks
{
    QByteArray exif; // the TIFF block, without the item's offset field
    QByteArray xmp;
    QByteArray icc;
    QByteArray nclx; // colour primaries, transfer, matrix (16 bits each) and full range (8)
    bool readable = true;
    bool gainMap = false; // an HDR gain map beside the primary image
    QSize gainMapSize;    // as it decodes, upright
};

// The EXIF and XMP items and the colour description of an image.
Blocks read(const heif_image_handle *handle);
// The same, of the primary image of the file at `path`.
Blocks read(const QString &path);

// Apple's HDR gain map of the primary image of the file at `path`, upright, as grey pixels;
// null where it has none or it does not decode.
QImage decodeGainMap(const QString &path);

} // namespace HeifMetadata
