#pragma once

#include <QByteArray>
#include <QSize>
#include <QVector>

#include <cstdint>

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
