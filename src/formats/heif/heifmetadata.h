#pragma once

#include "colour/cicp.h"

#include <QByteArray>
#include <QColorSpace>
#include <QImage>
#include <QSize>
#include <QString>

#include <optional>

struct heif_context;
struct heif_image_handle;

// HEIF and AVIF containers: what they are, and the metadata they hold beside the pixels.
namespace HeifMetadata {

// Initialises libheif for the program's life: the toolkit's HEIF plug-in initialises and
// deinitialises it around its own use, which would otherwise unregister the encoders and
// decoders between two of ours.
void initialise();

// A new libheif context.
heif_context *newContext();

// True where the file's `ftyp` brands, in its first bytes, name a HEIF image (HEIC, AVIF, or
// any other coding), whatever its name says.
bool isHeif(const QByteArray &head);

struct Blocks
{
    QByteArray exif; // the TIFF block, without the item's offset field
    QByteArray xmp;
    QByteArray icc;
    std::optional<Cicp> cicp;
    bool readable = true;
    bool gainMap = false; // an HDR gain map beside the primary image
    QSize gainMapSize;    // as it decodes, upright
};

// The EXIF and XMP items and the colour description of an image.
Blocks read(const heif_image_handle *handle);

// Apple's HDR gain map, stored as an auxiliary image of the primary: its handle, to be
// released, or null.
heif_image_handle *gainMapHandle(const heif_image_handle *handle);

// The colour space an ICC profile or an nclx describes; an nclx as the profile that says the
// same, so that an output without nclx keeps the source's colours.
QColorSpace colourSpace(const Blocks &colour);

} // namespace HeifMetadata
