#pragma once

#include "formats/format.h"
#include "row/outputoptions.h"
#include "row/rowoutcome.h"

#include <QByteArray>

class Photo;

// Where coding the photo again would only lose quality: its own bytes, the photo turned
// without loss, or another format's coding taken over as it is (a JPEG's coefficients into
// JPEG XL).
namespace Copy {

struct Copied
{
    RowOutcome failed; // Pending unless the photo is damaged
    QByteArray bytes;
    LeftOuts leftOut;
    RowOutcome::Note note = RowOutcome::Note::CopiedAsIs;
};

// Whether an output of `size` pixels is made so: nothing to reduce, cut, convert or leave out,
// and within the size limit. `*copied` holds its bytes, or why a damaged photo is refused.
bool copied(Photo &photo, const OutputOptions &options, const Formats::Writer &writer,
            const QSize &size, Copied *copied);

} // namespace Copy
