#include "formats/tiff/tiffcheck.h"

#include "formats/tiff/tiffclient.h"

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

bool implausible(TIFF *tiff)
{
    constexpr qint64 Limit = qint64(1) << 31; // the largest image accepted, at 8 bytes a pixel
    const qint64 block =
        TIFFIsTiled(tiff) ? qint64(TIFFTileSize64(tiff)) : qint64(TIFFStripSize64(tiff));
    return block < 0 || block > Limit;
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
