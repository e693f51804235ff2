#include "formats/tiff/tiffcheck.h"

#include <QByteArray>
#include <QFile>
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

// libtiff's messages go to the handlers, not to the terminal, from the program's start: the
// toolkit's plug-in opens files before any of these functions is called.
const bool handlersInstalled = [] {
    TIFFSetErrorHandler(onError);
    TIFFSetWarningHandler(onWarning);
    return true;
}();

TIFF *openQuietly(const char *path)
{
    return TIFFOpen(path, "r");
}

} // namespace

bool misreadByToolkit(const char *path)
{
    TIFF *tiff = openQuietly(path);
    if (!tiff)
        return false;
    quint16 planar = PLANARCONFIG_CONTIG, bits = 1;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFClose(tiff);
    return planar == PLANARCONFIG_SEPARATE && bits > 8;
}

bool implausible(const char *path)
{
    TIFF *tiff = openQuietly(path);
    if (!tiff)
        return false;
    constexpr qint64 Limit = qint64(1) << 31; // the largest image accepted, at 8 bytes a pixel
    const qint64 block =
        TIFFIsTiled(tiff) ? qint64(TIFFTileSize64(tiff)) : qint64(TIFFStripSize64(tiff));
    TIFFClose(tiff);
    return block < 0 || block > Limit;
}

int pageCount(const char *path)
{
    TIFF *tiff = openQuietly(path);
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
    TIFFClose(tiff);
    return pages;
}

void start()
{
    Q_UNUSED(handlersInstalled);
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

Formats::Status refuse(const QString &path, QString *detail)
{
    const QByteArray name = QFile::encodeName(path);
    if (implausible(name.constData()))
        return Formats::Status::Damaged;
    if (!misreadByToolkit(name.constData()))
        return Formats::Status::Decoded;
    *detail = QStringLiteral("16-bit planar TIFF");
    return Formats::Status::Failed;
}

int imageCount(const QString &path)
{
    return pageCount(QFile::encodeName(path).constData());
}

Formats::Status verdict(bool, bool decoded)
{
    using Formats::Status;
    if (decoded)
        return anyError() ? Status::Damaged : Status::Decoded;
    return dataDamaged() ? Status::Damaged : Status::Failed;
}

} // namespace TiffCheck
