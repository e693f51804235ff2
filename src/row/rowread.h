#pragma once

#include "formats/format.h"
#include "row/copy.h"
#include "row/encode.h"
#include "row/plannedrow.h"
#include "row/render.h"

#include <QImage>
#include <QVector>

class Photo;

// What a row reads of its photo, and each output's file made from it in memory: the steps a
// run and a preview share, the run writing the files, the preview showing them.
namespace RowRead {

// What one output is made from, once the photo is closed: pixels to encode, or bytes made
// already (copied, or an animation's).
struct Ready
{
    RowOutcome failed; // Pending where there is something to make
    QImage image;
    PhotoMetadata metadata;
    Copy::Copied copied;
    Encode::Encoded animation;
    bool isAnimation = false;
};

struct Read
{
    RowOutcome refused; // where the photo was refused whole
    QVector<Ready> ready;
    bool lossless = false;
};

// Which outputs are copied as they are, each Ready's copy or refusal set; true for those that
// need pixels.
QVector<bool> copies(Photo &photo, const PlannedRow &row, const Formats::Writer &writer,
                     Read *read);
// The outputs' pixels from `pixels`, rendered for `needed`, with the metadata each carries.
void fill(Photo &photo, const PlannedRow &row, const Formats::Writer &writer,
          const Render::Pixels &pixels, const QVector<bool> &needed, Read *read);
// The photo read for every output of `row`: its animation, or its copies and pixels.
Read read(Photo &photo, const PlannedRow &row, const Formats::Writer &writer);

// One output's file in memory, as it would be written.
struct Made
{
    enum Kind
    {
        Copied,
        Animation,
        Still,
    };
    RowOutcome failed; // Pending where there are bytes
    Kind kind = Still;
    QByteArray bytes;
    LeftOuts leftOut;
    QList<RowOutcome::Note> notes; // the copy's, or what the colours' conversion said
    Encode::Encoded encoded;       // what a size limit made of the coded pixels or frames
};
Made make(const PlannedRow &row, const Formats::Writer &writer, const Ready &ready, bool lossless);

} // namespace RowRead
