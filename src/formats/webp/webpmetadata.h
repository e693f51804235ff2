#pragma once

#include <QByteArray>
#include <QString>

// WebP containers: what they are, and the metadata chunks they hold beside the pixels.
namespace WebPMetadata {

// True where the file's first bytes start as a WebP does, whatever its name says.
bool isWebP(const QByteArray &head);

struct Blocks
{
    QByteArray exif; // the TIFF block, without the "Exif" prefix some writers add
    QByteArray xmp;
    QByteArray icc;
};

// The EXIF, XMP and ICCP chunks of a WebP file.
Blocks read(const QByteArray &file);

// Adds the chunks of `blocks` that are not empty to the encoded WebP `*webp`. False, with
// libwebp's words in `error`, where it could not.
bool insertInto(QByteArray *webp, const Blocks &blocks, QString *error);

} // namespace WebPMetadata
