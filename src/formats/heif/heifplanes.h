#pragma once

#include "formats/decoder.h"

#include <QByteArray>
#include <QSize>

#include <libheif/heif.h>

// A decoded HEIF image's planes, as libheif hands them out, pushed row by row into a sink.
namespace HeifPlanes {

// The planes the file's codings store. libheif 1.15 does not tell, so the decoder
// configurations are read from the meta box; where they differ, 4:4:4 keeps every sample.
struct Layout
{
    heif_colorspace colorspace = heif_colorspace_YCbCr;
    heif_chroma chroma = heif_chroma_444;
};
Layout nativeLayout(const QByteArray &meta);

// The bytes the planes of an image of `size` take.
qint64 planeBytes(const QSize &size, const Layout &layout, int bits, bool alpha);

// Damaged for corrupt data, Failed for codings libheif cannot decode.
Formats::Status statusOf(const heif_error &e);

// The decoded image's rows through the target's sink; Damaged where its planes are not what
// its description says, `*damage` saying so where the alpha plane is not the picture's size.
Formats::Status push(const heif_image *image, const heif_image_handle *handle, const Target &target,
                     bool premultiplied, QImage *out, Formats::Damage *damage);

} // namespace HeifPlanes
