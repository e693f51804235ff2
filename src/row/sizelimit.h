#pragma once

#include "formats/format.h"

// The encode of one still under a file-size limit: the highest setting of the chosen quality
// or below it whose file fits, found by encoding the reduced image again in memory; below
// the writer's floor, or for a lossless writer, fewer pixels instead.
namespace SizeLimit {

struct Encoded
{
    QByteArray bytes;
    LeftOuts leftOut;
    Formats::EncodeError error; // where nothing could be encoded
    bool failed = false;
    QSize pixels;     // what was encoded
    int setting = -1; // the writer's, that it was encoded at
    bool fits = false;
    int encodes = 0;
};

// No side below this: a smaller picture is no picture.
constexpr int SmallestSide = 100;

Encoded encode(const QImage &image, const Formats::Writer &writer,
               const Formats::EncodeRequest &request, const PhotoMetadata &metadata,
               qint64 maxBytes);

// The box, from `box` down, at which an encode that gave `bytes` would fit, by its pixels.
int smallerBox(int box, qint64 bytes, qint64 maxBytes);

} // namespace SizeLimit
