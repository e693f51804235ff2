#pragma once

#include <QByteArray>
#include <QSize>

// The toolkit's PNG writer filters rows well but deflates them on one core: where a row has
// several, its image data is deflated again here on all of them, in shares each primed with the
// window before it, as pigz does: one zlib stream, with zlib's settings as libpng's, so the file
// keeps its size. The rows and their filters are the toolkit's.
namespace PngDeflate {

// The quality that has the toolkit write its image data stored, uncompressed, for compress().
constexpr int StoredQuality = 100;

// Less filtered data than this is deflated faster than threads start.
constexpr qint64 SmallestData = qint64(1) << 20;
// More is left to the toolkit's own deflate, which streams it.
constexpr qint64 LargestData = qint64(96) << 20;

// The filtered image data of an image of `size` with `bytesPerPixel`, as the toolkit stores it.
qint64 dataBytes(const QSize &size, int bytesPerPixel);

// `png`, written by the toolkit with StoredQuality, with its image data deflated on `cores`
// threads; false, `png` untouched, where it is not such a file or memory ran out.
bool compress(QByteArray *png, int cores);

} // namespace PngDeflate
