#pragma once

#include "formats/format.h"
#include "row/outputoptions.h"
#include "row/rowoutcome.h"

#include <QByteArray>
#include <QImage>

class Photo;

// The pixels made into the output file's bytes, in memory: under a size limit, the search for
// the best encode that fits.
namespace Encode {

struct Encoded
{
    RowOutcome failed; // Pending where there are bytes
    QByteArray bytes;
    LeftOuts leftOut;
    int encodes = 0;
    QSize asked;  // the pixels asked for
    QSize pixels; // the pixels encoded: fewer where the limit asked
    bool fits = false;
};

// One still image with its metadata, corrected for its size; `lossless`: its source was coded
// without loss, which the output keeps where it can.
Encoded still(const QImage &image, const Formats::Encoding &encoding, const Formats::Writer &writer,
              const PhotoMetadata &metadata, bool lossless);

// Every frame of the photo, each fitted to `box` as it is decoded; under a limit, fewer pixels
// until the file fits. The writer keeps the frames' coding.
Encoded animation(Photo &photo, const OutputOptions &options, const Formats::Writer &writer,
                  int box);

// What the limit made of a written output.
void noteLimit(const Encoded &encoded, qint64 maxBytes, RowOutcome *outcome);

} // namespace Encode
