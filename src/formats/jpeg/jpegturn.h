#pragma once

#include "metadata/photometadata.h"

#include <QByteArray>
#include <QImageIOHandler>

class SourceFile;

// Turns a JPEG's coded blocks upright without decoding them, so that nothing of the picture
// changes.
namespace JpegTurn {

// `jpeg` turned by `transform` into `*turned`, without its EXIF, XMP, IPTC and MPF segments,
// which describe the file before the turn. False where the turn would not be exact (the turned
// edges not on whole blocks) or the file cannot be turned.
bool turn(const QByteArray &jpeg, QImageIOHandler::Transformations transform, QByteArray *turned);

// The same, with `metadata` corrected for the turned image of `upright` pixels in its place.
bool turnWithMetadata(const QByteArray &jpeg, QImageIOHandler::Transformations transform,
                      const PhotoMetadata &metadata, const QSize &upright, QByteArray *turned,
                      LeftOuts *leftOut);

// True where `source` starts as a JPEG and ends with its end-of-image marker.
bool isWholeFile(const SourceFile &source);

} // namespace JpegTurn
