// The photo sets: generated photo-like pictures, written by the toolkit, the encoders' own
// tools or the libraries, and copies of corpus files.

#include "benchfixtures.h"

#include "formats/jpeg/jpegmetadata.h"
#include "syntheticdng.h"
#include "syntheticgrid.h"
#include "system/sourcefile.h"

#include <QBuffer>
#include <QColorSpace>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QVector>
#include <QtMath>

#include <exiv2/exiv2.hpp>

#include <cstdio>
#include <spng.h>
#include <tiffio.h>

namespace Bench {

QStringList imagesIn(const QString &folder)
{
    QDir dir(folder);
    QStringList paths;
    const QStringList suffixes{"*.jpg",  "*.jpeg", "*.png", "*.heic", "*.avif",
                               "*.webp", "*.jxl",  "*.dng", "*.gif",  "*.tif"};
    QStringList filters = suffixes;
    for (const QString &suffix : suffixes)
        filters.append(suffix.toUpper());
    for (const QString &name : dir.entryList(filters, QDir::Files, QDir::Name))
        paths.append(dir.filePath(name));
    return paths;
}

// Smooth light, some texture and sensor-like noise: compresses like a photo.
QImage photoLike(const QSize &size, quint32 seed)
{
    QImage image(size, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    const double fx = 6.0 / size.width(), fy = 4.0 / size.height();
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const double light = 0.5 + 0.5 * qSin(x * fx + seed) * qCos(y * fy);
            const int texture = int(24 * qSin(x * 0.07) * qSin(y * 0.05));
            const int noise = int(random.bounded(12));
            line[x] = qRgb(qBound(0, int(200 * light) + texture + noise, 255),
                           qBound(0, int(160 * (1 - light)) + 40 + noise, 255),
                           qBound(0, int(120 + 80 * qSin(y * fy * 3)) - texture + noise, 255));
        }
    }
    return image;
}

bool generate(const QString &folder, const QString &prefix, int count, const QSize &size,
              const QByteArray &format, bool progressive)
{
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i) {
        QImageWriter writer(
            QDir(folder).filePath(QString("%1%2.%3").arg(prefix).arg(i).arg(QString(format))),
            format);
        writer.setQuality(90);
        writer.setProgressiveScanWrite(progressive);
        if (!writer.write(photoLike(size, quint32(i + 1))))
            return false;
    }
    return true;
}

QByteArray jpegOf(const QSize &size, quint32 seed)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    photoLike(size, seed).save(&buffer, "jpg");
    return bytes;
}

// What a camera and a photo manager leave in a file: EXIF with GPS and a thumbnail, XMP, IPTC.
bool tagLikeACamera(const QString &path)
{
    const QByteArray thumbnail = jpegOf(QSize(160, 120), 7);
    try {
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        image->readMetadata();
        Exiv2::ExifData &exif = image->exifData();
        exif["Exif.Image.Make"] = "Parvimage";
        exif["Exif.Image.Model"] = "Bench Camera 12";
        exif["Exif.Image.Orientation"] = uint16_t(1);
        exif["Exif.Image.Artist"] = "Bench";
        exif["Exif.Image.Copyright"] = "CC BY 4.0";
        exif["Exif.Photo.DateTimeOriginal"] = "2026:07:14 10:30:00";
        exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 250);
        exif["Exif.Photo.FNumber"] = Exiv2::URational(28, 10);
        exif["Exif.Photo.ISOSpeedRatings"] = uint16_t(100);
        exif["Exif.Photo.LensModel"] = "Bench 24-70mm";
        exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
        exif["Exif.GPSInfo.GPSLatitude"] = "48/1 51/1 3024/100";
        Exiv2::ExifThumb(exif).setJpegThumbnail(
            reinterpret_cast<const Exiv2::byte *>(thumbnail.constData()), thumbnail.size());
        image->xmpData()["Xmp.dc.creator"] = "Bench";
        image->iptcData()["Iptc.Application2.Keywords"] = "bench";
        image->writeMetadata();
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

bool tagCopies(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    for (const QString &source : imagesIn(from)) {
        const QString copy = QDir(to).filePath(QFileInfo(source).fileName());
        if (!QFile::copy(source, copy) || !tagLikeACamera(copy))
            return false;
    }
    return true;
}

// The same pictures in another form, through `convert` (which returns false on failure).
bool convertEach(const QString &from, const QString &to, int count,
                 const std::function<bool(const QString &, const QString &)> &convert)
{
    QDir().mkpath(to);
    const QStringList sources = imagesIn(from);
    for (int i = 0; i < qMin(count, sources.size()); ++i)
        if (!convert(sources.at(i), QDir(to).filePath(QFileInfo(sources.at(i)).baseName())))
            return false;
    return true;
}

// Tagged Display P3 as phones shoot them, their numbers left as they were.
bool asDisplayP3(const QString &source, const QString &base)
{
    QImage image(source);
    image.setColorSpace(QColorSpace(QColorSpace::DisplayP3));
    return image.save(base + ".jpg", "jpg", 90);
}

bool asPng(const QString &source, const QString &base)
{
    return QImage(source).save(base + ".png");
}

// Interlaced PNGs are decoded whole before they are sampled.
bool asInterlacedPng(const QString &source, const QString &base)
{
    return QProcess::execute("convert", {source, "-interlace", "PNG", base + ".png"}) == 0;
}

// Re-encoded progressive with full-resolution colour (4:4:4), the costliest kind to decode.
bool asProgressive444(const QString &source, const QString &base)
{
    const QString command = QString("djpeg -ppm '%1' | cjpeg -quality 90 -sample 1x1 "
                                    "-progressive -outfile '%2.jpg'")
                                .arg(source, base);
    return QProcess::execute("sh", {"-c", command}) == 0;
}

// HEIC and AVIF as phones and web tools write them, through libheif's own encoder tool.
bool asHeic(const QString &source, const QString &base)
{
    return QProcess::execute("heif-enc", {"-q", "85", "-p", "preset=ultrafast", source, "-o",
                                          base + ".heic"}) == 0;
}

bool asAvif(const QString &source, const QString &base)
{
    return QProcess::execute(
               "heif-enc", {"-A", "-q", "85", "-p", "speed=8", source, "-o", base + ".avif"}) == 0;
}

// Lossy WebP at libwebp's default quality, as browsers and web tools save photos.
bool asWebP(const QString &source, const QString &base)
{
    return QProcess::execute("cwebp", {"-quiet", source, "-o", base + ".webp"}) == 0;
}

// JPEG XL as cjxl writes photos by default: distance 1 (visually lossless), effort 7, XYB.
bool writeJxlPhotos(const QString &folder, int count, const QSize &size)
{
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i) {
        const QString png = QDir(folder).filePath(QString("j%1.png").arg(i));
        const bool ok =
            photoLike(size, quint32(i + 1)).save(png) &&
            QProcess::execute(
                "cjxl", {"--quiet", png, QDir(folder).filePath(QString("j%1.jxl").arg(i))}) == 0;
        QFile::remove(png);
        if (!ok)
            return false;
    }
    return true;
}

// An animation of 50 full-HD frames, each a different photo-like picture, 80 ms apiece.
bool writeAnimation(const QString &folder)
{
    QTemporaryDir frames;
    QStringList args{"-lossy", "-loop", "0", "-d", "80"};
    for (int i = 0; i < 50; ++i) {
        const QString png = frames.filePath(QString("f%1.png").arg(i, 2, 10, QChar('0')));
        if (!photoLike(QSize(1920, 1080), quint32(100 + i)).save(png))
            return false;
        args.append(png);
    }
    QDir().mkpath(folder);
    return QProcess::execute("img2webp", args << "-o" << folder + "/anim.webp") == 0;
}

// A screen recording: 100 frames of 640 x 480 panning across a photo, 40 ms each.
bool writeGifAnimation(const QString &folder)
{
    QTemporaryDir frames;
    const QImage photo = photoLike(QSize(1600, 900), 7);
    QStringList args{"-delay", "4", "-loop", "0"};
    for (int i = 0; i < 100; ++i) {
        const QString png = frames.filePath(QString("f%1.png").arg(i, 3, 10, QChar('0')));
        if (!photo.copy(i * 9, i * 4, 640, 480).save(png))
            return false;
        args.append(png);
    }
    QDir().mkpath(folder);
    return QProcess::execute("convert", args << folder + "/anim.gif") == 0;
}

// 48 megapixels, as recent phones take: 8064 x 6048.
bool writePhoneHuge(const QString &folder)
{
    QDir().mkpath(folder);
    for (int i = 0; i < 3; ++i) {
        const QString png = QDir(folder).filePath(QString("s%1.png").arg(i));
        const bool ok = photoLike(QSize(8064, 6048), quint32(i + 1)).save(png) &&
                        asHeic(png, QDir(folder).filePath(QString("s%1").arg(i)));
        QFile::remove(png);
        if (!ok)
            return false;
    }
    return true;
}

// A phone's 48 MP photo as its camera stores it: a grid of 512 x 512 tiles, 16 by 12.
bool writeGridHuge(const QString &folder)
{
    QDir().mkpath(folder);
    return writeSyntheticGrid(QDir(folder).filePath("g0.heic"), photoLike(QSize(8064, 6048), 1),
                              QSize(512, 512), false, {}, 85);
}

// A phone's photo already of the 2048 output's size, for what the HEIC encoder takes there.
bool writeHeic2048(const QString &folder)
{
    QDir().mkpath(folder);
    const QString png = QDir(folder).filePath("p0.png");
    const bool ok =
        photoLike(QSize(2048, 1536), 2).save(png) && asHeic(png, QDir(folder).filePath("p0"));
    QFile::remove(png);
    return ok;
}

// A small file that declares a huge image: 16000 x 16000 black pixels, about 750 KB.
bool writeBomb(const QString &folder)
{
    QDir().mkpath(folder);
    FILE *file = std::fopen(QFile::encodeName(folder + "/bomb.png").constData(), "wb");
    if (!file)
        return false;
    spng_ctx *ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_png_file(ctx, file);
    spng_ihdr ihdr{16000, 16000, 8, 2, 0, 0, 0};
    spng_set_ihdr(ctx, &ihdr);
    QByteArray row(16000 * 3, '\0');
    bool ok = spng_encode_image(ctx, nullptr, 0, SPNG_FMT_PNG,
                                SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE) == 0;
    for (int y = 0; ok && y < 16000; ++y) {
        const int code = spng_encode_row(ctx, row.constData(), size_t(row.size()));
        ok = code == 0 || code == SPNG_EOI;
    }
    spng_ctx_free(ctx);
    return std::fclose(file) == 0 && ok;
}

// Camera raws: photo-like pictures as Bayer mosaics, with no preview of their own, so that
// every row demosaics, or with the full-size preview cameras write.
bool writeRaws(const QString &folder, int count, const QSize &size, bool withPreview)
{
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i)
        if (!writeSyntheticDng(QDir(folder).filePath(QString("r%1.dng").arg(i)),
                               photoLike(size, quint32(i + 1)), withPreview))
            return false;
    return true;
}

namespace {

// The corpus beside the checkout, or where PARVIMAGE_CORPORA says.
QString corporaFolder()
{
    return qEnvironmentVariable("PARVIMAGE_CORPORA", QCoreApplication::applicationDirPath() +
                                                         "/../../../shared/corpora");
}

} // namespace

QString corpusFile(const QString &folder, const QString &name)
{
    const QString path = corporaFolder() + "/" + folder + "/" + name;
    return QFile::exists(path) ? path : QString();
}

// Copies of a corpus file; with `keep` shorter than the file, each cut there.
bool copiesOf(const QString &source, const QString &folder, const QString &suffix, int count,
              qint64 keep)
{
    QFile in(source);
    if (source.isEmpty() || !in.open(QIODevice::ReadOnly))
        return false;
    QByteArray bytes = in.readAll();
    if (keep >= 0)
        bytes.truncate(int(keep));
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i) {
        QFile out(QDir(folder).filePath(QString("c%1.%2").arg(i).arg(suffix)));
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size())
            return false;
    }
    return true;
}

// An Ultra HDR photo, and the same without the gain map after its primary.
bool ultraHdrSets(const QString &with, const QString &without)
{
    const QString source = corpusFile("hdr", "libvips_ultra-hdr.jpg");
    const SourceFile file(source);
    const qint64 map = JpegMetadata::gainMapSource(file).coded.size();
    return map > 0 && copiesOf(source, with, "jpg", 24) &&
           copiesOf(source, without, "jpg", 24, QFileInfo(source).size() - map);
}

namespace {

// A 16-bit RGB TIFF's fields, deflated with the horizontal predictor as photo editors write it.
void setDeepFields(TIFF *tiff, const QSize &size)
{
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, size.width());
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, size.height());
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16);
}

bool writeDeepRows(TIFF *tiff, const QImage &photo)
{
    const int width = photo.width();
    QVector<quint16> row(width * 3);
    for (int y = 0; y < photo.height(); ++y) {
        const auto *pixels = reinterpret_cast<const quint16 *>(photo.constScanLine(y));
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) // more than 8 bits of it: the low bits vary too
                row[3 * x + c] = quint16(pixels[4 * x + c] ^ ((x * 7 + y * 3) & 0xff));
        if (TIFFWriteScanline(tiff, row.data(), quint32(y), 0) != 1)
            return false;
    }
    return true;
}

} // namespace

// 16-bit RGB TIFFs of `size`, written by libtiff.
bool writeDeepTiffs(const QString &folder, int count, const QSize &size)
{
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i) {
        const QImage photo = photoLike(size, quint32(i + 1)).convertToFormat(QImage::Format_RGBX64);
        TIFF *tiff =
            TIFFOpen(QFile::encodeName(QDir(folder).filePath(QString("t%1.tif").arg(i))), "w");
        if (!tiff)
            return false;
        setDeepFields(tiff, size);
        const bool written = writeDeepRows(tiff, photo);
        TIFFClose(tiff);
        if (!written)
            return false;
    }
    return true;
}

// A file of `source` whose scan has a restart marker every 204 MCUs, as phones write them.
bool withRestartMarkers(const QString &source, const QString &folder)
{
    return QDir().mkpath(folder) &&
           QProcess::execute("sh", {"-c", QString("djpeg '%1' | cjpeg -quality 90 -restart 204B "
                                                  "-outfile '%2/r.jpg'")
                                              .arg(source, folder)}) == 0;
}

// The tiled (grid) HEIF files of the corpus beside the checkout, where it is.
QList<QPair<QString, QString>> corpusGrids()
{
    const QString folder = corporaFolder() + "/heif";
    QList<QPair<QString, QString>> grids;
    for (const char *name : {"nokia_grid_960x640.heic", "ms_Summer_in_Tomsk_720p_5x4_grid.avif"}) {
        if (QFile::exists(folder + "/" + name))
            grids.append({QString("grid %1").arg(name), folder + "/" + name});
    }
    return grids;
}

} // namespace Bench
