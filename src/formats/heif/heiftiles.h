#pragma once

#include "formats/decoder.h"

#include <QByteArray>

#include <memory>

#include <libheif/heif.h>

// A grid primary decoded tile by tile into the sink, as libheif 1.15 would give it whole: each
// tile converted to RGB by libheif, placed and turned by the file's transformations, then made
// YCbCr as libheif makes it for the planes the file stores. Only the tiles the current rows need
// are held; those of one band are decoded on as many cores as the row may use.
namespace HeifTiles {

class Tiles
{
public:
    virtual ~Tiles() = default;
    virtual qint64 memoryEstimate(const Target &target) = 0;
    virtual Formats::Status decode(const Target &target, QImage *out, QString *words) = 0;
};

// Null where the primary is no grid this can decode so, or where asked to decode whole: the
// whole decode is then as before. `meta` is the top-level meta box's content, which starts
// `metaContent` bytes into the file.
std::unique_ptr<Tiles> open(const SourceFile &source, const QByteArray &meta, qint64 metaContent,
                            heif_image_handle *primary);

} // namespace HeifTiles
