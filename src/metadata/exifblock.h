#pragma once

#include <QByteArray>
#include <QImageIOHandler>
#include <QSize>
#include <QString>

namespace ExifBlock {

// Corrects the TIFF block of an EXIF segment for an upright image of `size` without its
// thumbnail, changing nothing else: the orientation becomes 1 and the pixel dimension tags
// `size`, in place and only where present; the link to the thumbnail's directory is cut, and
// its bytes dropped where nothing else comes after them. Maker notes, unknown tags and every
// offset stay as they were. An Exif pointer that leads to no directory is taken out, and `why`
// says so. Returns false, leaving `tiff` as it was and saying why, where the block cannot be
// walked safely.
bool correct(QByteArray *tiff, const QSize &size, QString *why);

// The orientation tag of the first directory, 1 to 8; 1 where it is missing or unreadable.
int orientation(const QByteArray &tiff);
// What turns the stored image upright, for containers whose EXIF the toolkit does not read.
QImageIOHandler::Transformations transformation(const QByteArray &tiff);

} // namespace ExifBlock
