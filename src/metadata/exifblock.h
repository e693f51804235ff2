#pragma once

#include "metadata/leftout.h"

#include <QByteArray>
#include <QImageIOHandler>
#include <QSize>
#include <QString>

#include <optional>

namespace ExifBlock {

// Corrects the TIFF block of an EXIF segment for an upright image of `size` without its
// thumbnail, changing nothing else: the orientation becomes 1 and the pixel dimension tags
// `size`, in place and only where present; the link to the thumbnail's directory is cut, and
// its bytes dropped where nothing else comes after them. Maker notes, unknown tags and every
// offset stay as they were. An Exif pointer that leads to no directory is taken out, and `why`
// says so. Returns false, leaving `tiff` as it was and saying why, where the block cannot be
// walked safely.
bool correct(QByteArray *tiff, const QSize &size, std::optional<LeftOut> *why);

// Takes the GPS directory out of the TIFF block: its pointer, and its entries and values cleared
// to zeros, so that no coordinate stays in the block as bytes nothing points to; every other
// offset stays valid. False, leaving `tiff` as it was, where the block or the GPS directory
// cannot be walked.
bool removeLocation(QByteArray *tiff);

// The orientation tag of the first directory, 1 to 8; 1 where it is missing or unreadable.
int orientation(const QByteArray &tiff);
// The camera's model (0x0110) and when the photo was taken (DateTimeOriginal, as EXIF writes it:
// "2024:07:14 18:03:09"), each empty where missing or unreadable.
QByteArray model(const QByteArray &tiff);
QByteArray dateTaken(const QByteArray &tiff);
// What turns the stored image upright, for containers whose EXIF the toolkit does not read.
QImageIOHandler::Transformations transformation(const QByteArray &tiff);
// The same for an orientation value as EXIF numbers them, which other containers use too (JPEG
// XL's codestream header); 1 for a value out of range.
QImageIOHandler::Transformations transformationOf(int orientation);

} // namespace ExifBlock
