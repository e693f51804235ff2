#pragma once

#include <QByteArray>
#include <QSize>

// The toolkit's PNG writer filters rows well but deflates them slowly, on one core. Large image
// data is deflated again here, on every core the row has, in shares of a fixed size, as pigz
// does, so that the file is the same on any number of cores: by libdeflate, or by zlib with
// Huffman codes alone or runs alone, each several times faster, the smallest of them where
// samples of the data show it packs them no larger than zlib with libpng's settings; else, and
// for drawn data, by zlib with those settings, each share primed with the window before it. One
// zlib stream either way; the rows and their filters are the toolkit's.
namespace PngDeflate {

// The quality that has the toolkit write its image data stored, uncompressed, for compress().
constexpr int StoredQuality = 100;

// Less filtered data than this is deflated faster than threads start.
constexpr qint64 SmallestData = qint64(1) << 20;
// More is left to the toolkit's own deflate, which streams it.
constexpr qint64 LargestData = qint64(96) << 20;

// The filtered image data of an image of `size` with `bytesPerPixel`, as the toolkit stores it.
qint64 dataBytes(const QSize &size, int bytesPerPixel);

enum class Packer
{
    Zlib,
    Libdeflate,
    ZlibHuffman, // Huffman codes alone
    ZlibRuns,    // runs as the only matches
};

// `png`, written by the toolkit with StoredQuality, with its image data deflated, by zlib on
// `cores` threads where it is chosen; false, `png` untouched, where it is not such a file or
// memory ran out. `*used` says which packer was chosen.
bool compress(QByteArray *png, int cores, Packer *used = nullptr);

} // namespace PngDeflate
