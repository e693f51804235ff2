#include "formats/tiff/tiffcheck.h"

#include "formats/tiff/tiffclient.h"
#include "formats/toolkitcodec.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstdarg>
#include <cstdio>

#include <tiffio.h>

namespace TiffCheck {

namespace {

thread_local bool dataComplaint = false;
thread_local bool otherError = false;
thread_local char firstWords[256];

void remember(const char *format, va_list args)
{
    if (firstWords[0] == '\0')
        vsnprintf(firstWords, sizeof firstWords, format, args);
}

// The codecs and the strip and tile readers speak of the data; the directory readers of tags,
// which the decode survives.
bool aboutData(const char *module)
{
    const QByteArray name(module ? module : "");
    if (name.contains("Setup")) // a codec's set-up speaks of its parameters
        return false;
    return name.contains("Decode") || name.startsWith("TIFFFill") ||
           name.startsWith("TIFFReadEncoded") || name.startsWith("TIFFReadRaw") ||
           name.startsWith("TIFFReadRGBA") || name == "JPEGLib";
}

void onError(const char *module, const char *format, va_list args)
{
    (aboutData(module) ? dataComplaint : otherError) = true;
    remember(format, args);
}

void onWarning(const char *module, const char *format, va_list args)
{
    if (!aboutData(module))
        return;
    dataComplaint = true;
    remember(format, args);
}

} // namespace

QString implausible(TIFF *tiff)
{
    constexpr qint64 Limit = qint64(1) << 31; // the largest image accepted, at 8 bytes a pixel
    const bool tiled = TIFFIsTiled(tiff);
    const qint64 block = tiled ? qint64(TIFFTileSize64(tiff)) : qint64(TIFFStripSize64(tiff));
    if (block < 0 || block > Limit)
        return QStringLiteral("%1 of %2 bytes").arg(tiled ? "Tile" : "Strip").arg(quint64(block));
    if (!tiled)
        return QString();
    quint32 width = 0, height = 0, tileWidth = 0, tileHeight = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight);
    // Tiles come in steps of 16 pixels, and writers keep their usual size for an image smaller
    // than one tile; a side longer than both is no tile of this image.
    const auto explained = [](quint32 tile, quint32 side) {
        return tile > 0 && tile <= qMax((qint64(side) + 15) / 16 * 16, qint64(4096));
    };
    if (explained(tileWidth, width) && explained(tileHeight, height) &&
        qint64(tileWidth) * tileHeight <= ToolkitCodec::MaxPixels)
        return QString();
    return QStringLiteral("Tiles of %1 x %2 pixels for an image of %3 x %4")
        .arg(tileWidth)
        .arg(tileHeight)
        .arg(width)
        .arg(height);
}

int pageCount(const SourceFile &source)
{
    TiffClient client(source);
    TIFF *tiff = client.tiff();
    if (!tiff)
        return 0;
    int pages = 0;
    // A directory chain that loops back is cut by libtiff; the bound is for the rest.
    for (int directories = 0; directories < 65536; ++directories) {
        quint32 type = 0;
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SUBFILETYPE, &type);
        if (!(type & FILETYPE_REDUCEDIMAGE))
            ++pages;
        if (!TIFFReadDirectory(tiff))
            break;
    }
    return pages;
}

// libtiff's messages go to the handlers, not to the terminal, from the program's start: the
// toolkit's plug-in opens files before any of these functions is called.
void initialise()
{
    TIFFSetErrorHandler(onError);
    TIFFSetWarningHandler(onWarning);
}

void start()
{
    dataComplaint = otherError = false;
    firstWords[0] = '\0';
}

QString words()
{
    return QString::fromLocal8Bit(firstWords);
}

bool dataDamaged()
{
    return dataComplaint;
}

bool anyError()
{
    return dataComplaint || otherError;
}

} // namespace TiffCheck
