#include "formats/tiff/tiffcheck.h"

#include "formats/tiff/tiffclient.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstdarg>

#include <tiffio.h>

namespace TiffCheck {

namespace {

thread_local bool dataComplaint = false;
thread_local bool otherError = false;

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

void onError(const char *module, const char *, va_list)
{
    (aboutData(module) ? dataComplaint : otherError) = true;
}

void onWarning(const char *module, const char *, va_list)
{
    dataComplaint = dataComplaint || aboutData(module);
}

} // namespace

bool misreadByToolkit(const SourceFile &source)
{
    TiffClient client(source);
    TIFF *tiff = client.tiff();
    if (!tiff)
        return false;
    quint16 planar = PLANARCONFIG_CONTIG, bits = 1;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    return planar == PLANARCONFIG_SEPARATE && bits > 8;
}

bool implausible(const SourceFile &source)
{
    TiffClient client(source);
    TIFF *tiff = client.tiff();
    if (!tiff)
        return false;
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
}

bool dataDamaged()
{
    return dataComplaint;
}

bool anyError()
{
    return dataComplaint || otherError;
}

Formats::Status refuse(const SourceFile &source, QString *detail)
{
    if (implausible(source))
        return Formats::Status::Damaged;
    if (!misreadByToolkit(source))
        return Formats::Status::Decoded;
    *detail = QStringLiteral("16-bit planar TIFF");
    return Formats::Status::Failed;
}

Formats::Status verdict(bool, bool decoded)
{
    using Formats::Status;
    if (decoded)
        return anyError() ? Status::Damaged : Status::Decoded;
    return dataDamaged() ? Status::Damaged : Status::Failed;
}

} // namespace TiffCheck
