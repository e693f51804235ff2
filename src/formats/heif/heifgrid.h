#pragma once

#include "formats/damage.h"

#include <QByteArray>
#include <QSize>
#include <QVector>

#include <cstdint>
#include <optional>

class SourceFile;

// A grid primary image as its boxes describe it: its tiles in order, the size they are pasted
// into, and the transformations that turn that into the primary image. Read from the meta box
// alone, so that the tiles can be decoded one by one instead of as whole planes.
namespace HeifGrid {

// One of the primary's transformations, in the order the file lists them.
struct Step
{
    enum Kind
    {
        Rotate,    // `value` quarter turns anticlockwise
        Mirror,    // `value` 1: left and right swap, 0: top and bottom
        CleanCrop, // the clean aperture in `clap`
    };
    Kind kind = Rotate;
    int value = 0;
    // Width, height, horizontal and vertical offset, each a numerator and a denominator.
    int32_t clap[8] = {};
};

struct Grid
{
    bool valid = false;
    bool av1 = false; // av01 tiles, else hvc1
    int rows = 0, columns = 0;
    QSize size;                  // the tiles pasted, cut to this
    QSize tileSize;              // every tile's, as its ispe says
    QVector<uint32_t> tiles;     // item IDs, row by row
    QVector<Step> steps;         // the primary's transformations
    QVector<qint64> hiddenFlags; // file offsets of the tiles' hidden flags
};

// The grid of the file whose top-level meta box, of `meta` bytes (its header left out), starts
// `metaOffset` bytes into the file; invalid where the primary is no grid or a box is malformed.
Grid read(const SourceFile &source, const QByteArray &meta, qint64 metaContent);

// What the boxes declare that libheif 1.15 does not hold its allocations to: a grid's or an
// overlay's canvas beside the size the image declares, a grid's tiles, the size of an alpha
// plane it would drop or lay over the picture whatever its size, a crop that leaves nothing
// of the picture or lies about its size.
struct Survey
{
    std::optional<Formats::Damage> damage; // the first fault found
    QSize largest; // the largest image the decode reaches, where larger than the primary
};

// The survey of the file whose top-level meta box's content is `meta`, whose primary libheif
// gives as `primary`; nothing found where the boxes cannot be read, which libheif then judges.
Survey survey(const SourceFile &source, const QByteArray &meta, const QSize &primary);

// Where a transformation leaves a pixel: the mapping from the primary's pixels to the grid's.
struct Mapping
{
    // grid x = xx * x + xy * y + x0, grid y = yx * x + yy * y + y0
    int xx = 1, xy = 0, x0 = 0, yx = 0, yy = 1, y0 = 0;
    QSize size; // the primary's
};

// The mapping the grid's steps make, as libheif 1.15 applies them; size invalid where a step
// leaves nothing.
Mapping mapping(const Grid &grid);

} // namespace HeifGrid
