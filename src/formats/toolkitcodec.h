#pragma once

#include "formats/format.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

// The toolkit's plug-ins as encoders, for the formats that have no encoder of their own here.
namespace ToolkitCodec {

// Larger images are refused before decoding: a small file can declare a huge image.
constexpr qint64 MaxPixels = qint64(1) << 28;

// Qt 6 refuses by default to decode an image of over 128 MB, which Qt 5 never did: this lets
// the toolkit decode every image MaxPixels accepts. Called once, with the libraries' set-up.
void allowLargestAcceptedImage();

// Encodes the whole file in memory with the toolkit's writer for `format` at its `quality`
// (-1 for its default): only then is the old one replaced, in one write.
bool encode(const QImage &image, const QByteArray &format, int quality, QByteArray *bytes,
            QString *error);

// A writer entry's encode for a container that carries no metadata: all of `metadata` is
// named as left out.
bool encodeWithoutMetadata(const QImage &image, const Formats::EncodeRequest &request,
                           const PhotoMetadata &metadata, QByteArray *bytes, LeftOuts *leftOut,
                           Formats::EncodeError *error);

} // namespace ToolkitCodec
