#pragma once

#include "formats/format.h"
#include "row/outputoptions.h"
#include "row/rowoutcome.h"

#include <QImage>

class Photo;

// What goes with an output's pixels: the photo's metadata as the options keep it, its gain
// map, its texts, and its colours where they are converted to sRGB.
namespace Carry {

// The photo's metadata as `carrying` keeps it, without a gain map `writer` cannot take.
PhotoMetadata metadataFor(Photo &photo, const Carrying &carrying, const Formats::Writer &writer);

// With its gain map's pixels, where the record names one that could be read: `map`, decoded
// for a picture of `output` pixels, or left out where it could not be decoded.
PhotoMetadata withGainMap(const PhotoMetadata &metadata, const QImage &map, const QSize &output,
                          Resampling resampling);

// The pixels' own texts (PNG text chunks, JPEG comments) as `keep` keeps them: none, or none
// that may hold EXIF or XMP, and so a location, beside the record.
QImage textsKept(const QImage &image, MetadataKeep keep);

// The reduced image's colours in sRGB, through the photo's own description, its metadata then
// without it; `notes` says what could not be converted.
void toSrgb(QImage *image, PhotoMetadata *metadata, QList<RowOutcome::Note> *notes);

} // namespace Carry
