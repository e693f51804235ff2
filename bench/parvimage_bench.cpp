// Times the batch core against the toolkit-only path, each in a child process of its own so
// that its peak resident memory is its own, and prints the ratios measured in this one run.
//
//   parvimage_bench [--input FOLDER] [--size N] [--sets FOLDER] [--rounds N] [--only
//   sending|cameras|tiff|jxl|heic-grid|alone|gif|png]
//
// Without --input it generates sets of large photo-like JPEGs and PNGs in a temporary folder,
// or in the --sets folder, where a later run finds them again, and ends with each kind of
// row's memory estimate beside the peak it measured.
// Nothing is ever written into the input folder.

#include "batch/batchplan.h"
#include "batch/batchrunner.h"
#include "formats/heif/heifdecoder.h"
#include "formats/jpeg/jpegmetadata.h"
#include "formats/raw/rawdecoder.h"
#include "formats/registry.h"
#include "formats/toolkitcodec.h"
#include "resample/geometry.h"
#include "resample/wholeimage.h"
#include "row/encode.h"
#include "row/imageresizer.h"
#include "row/write.h"
#include "rowload.h"
#include "syntheticdng.h"
#include "syntheticgrid.h"
#include "system/peakmemory.h"
#include "system/sourcefile.h"
#include "system/workercores.h"

#include <QBuffer>
#include <QColorSpace>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>

#include <QImageReader>
#include <QImageWriter>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QtMath>

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <spawn.h>
#include <sys/wait.h>

#include <libheif/heif.h>
#include <sched.h>
#include <spng.h>
#include <tiffio.h>

extern char **environ;

namespace {

// A raw's upright size, as its decoder reads the header.
QSize rawSize(const QString &path)
{
    const SourceFile source(path);
    return Formats::open(source)->header().upright();
}

struct Measure
{
    double seconds = 0;
    double peakMb = 0;
    int images = 0;
    double encodes = 0; // per row
};

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

// What a camera and a photo manager leave in a file: EXIF with GPS and a thumbnail, XMP, IPTC.
bool tagLikeACamera(const QString &path)
{
    QByteArray thumbnail;
    QBuffer buffer(&thumbnail);
    buffer.open(QIODevice::WriteOnly);
    photoLike(QSize(160, 120), 7).save(&buffer, "jpg");
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
bool writeRaws(const QString &folder, int count, const QSize &size, bool withPreview = false)
{
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i)
        if (!writeSyntheticDng(QDir(folder).filePath(QString("r%1.dng").arg(i)),
                               photoLike(size, quint32(i + 1)), withPreview))
            return false;
    return true;
}

QString corpusFile(const QString &folder, const QString &name)
{
    const QString corpora = qEnvironmentVariable(
        "PARVIMAGE_CORPORA", QCoreApplication::applicationDirPath() + "/../../../shared/corpora");
    const QString path = corpora + "/" + folder + "/" + name;
    return QFile::exists(path) ? path : QString();
}

// Copies of a corpus file; with `keep` shorter than the file, each cut there.
bool copiesOf(const QString &source, const QString &folder, const QString &suffix, int count,
              qint64 keep = -1)
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

// 16-bit RGB TIFFs of `size`, deflated with the horizontal predictor as photo editors write
// them, written by libtiff.
bool writeDeepTiffs(const QString &folder, int count, const QSize &size)
{
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i) {
        const QImage photo = photoLike(size, quint32(i + 1)).convertToFormat(QImage::Format_RGBX64);
        TIFF *tiff =
            TIFFOpen(QFile::encodeName(QDir(folder).filePath(QString("t%1.tif").arg(i))), "w");
        if (!tiff)
            return false;
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, size.width());
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, size.height());
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16);
        QVector<quint16> row(size.width() * 3);
        bool written = true;
        for (int y = 0; written && y < size.height(); ++y) {
            const auto *pixels = reinterpret_cast<const quint16 *>(photo.constScanLine(y));
            for (int x = 0; x < size.width(); ++x)
                for (int c = 0; c < 3; ++c) // more than 8 bits of it: the low bits vary too
                    row[3 * x + c] = quint16(pixels[4 * x + c] ^ ((x * 7 + y * 3) & 0xff));
            written = TIFFWriteScanline(tiff, row.data(), quint32(y), 0) == 1;
        }
        TIFFClose(tiff);
        if (!written)
            return false;
    }
    return true;
}

// libtiff's one-core RGBA decode of every file of `input`, by the program beside this one.
Measure libtiffFloor(const QString &input)
{
    QProcess floor;
    floor.start(QCoreApplication::applicationDirPath() + "/parvimage_tiffrgba", imagesIn(input));
    Measure m;
    if (!floor.waitForFinished(-1) || floor.exitCode() != 0)
        return m;
    const QList<QByteArray> words = floor.readAllStandardOutput().trimmed().split(' ');
    m.seconds = words.value(0).toDouble();
    m.peakMb = words.value(1).toDouble() / 1024;
    m.images = imagesIn(input).size();
    return m;
}

// The child's side of an estimate: one row of `source`, its estimate, and the peak it reached
// above what the process held before it.
int runEstimate(const QString &source, const QString &output, int size, Resampling resampling,
                int cores)
{
    QImageReader::supportedImageFormats();
    QImageWriter::supportedImageFormats();
    ImageResizer::tuneAllocator();
    BatchSettings settings;
    settings.options.geometry.size = size;
    settings.destination = output;
    settings.options.geometry.resampling = resampling;
    // A small image of the same format first, so that plugins and libraries are in memory;
    // at a small size, so that the buffers it frees are not there for the row to reuse.
    const QString warm = QDir(output).filePath("warm." + QFileInfo(source).suffix());
    RowLoad::save(photoLike(QSize(64, 48), 1), warm, QFileInfo(source).suffix().toUtf8());
    RowLoad::process(planBatch({warm}, settings).at(0), 16);
    if (!resetPeakResident())
        return 3;
    const long before = residentKb();
    const WorkerCores::Scope scope(cores, 0);
    const qint64 estimate =
        RowLoad::memoryEstimate(source, size, QFileInfo(source).suffix().toUtf8(), resampling);
    const RowOutcome outcome = RowLoad::process(planBatch({source}, settings).at(0), size);
    if (outcome.status != RowOutcome::Written)
        return 2;
    std::printf("%lld %ld\n", estimate, peakResidentKb() - before);
    return 0;
}

// The metadata step alone, in this process: each source's segments read and inserted into an
// encoded output, as a row does after encoding.
double metadataMilliseconds(const QString &folder)
{
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    photoLike(QSize(1024, 768), 3).save(&buffer, "jpg");
    const QStringList sources = imagesIn(folder);
    QElapsedTimer timer;
    timer.start();
    for (const QString &source : sources) {
        QByteArray output = encoded;
        LeftOuts leftOut;
        JpegMetadata::insertInto(&output, RowLoad::metadata(source), QSize(1024, 768), &leftOut);
    }
    return sources.isEmpty() ? 0 : timer.nsecsElapsed() / 1e6 / sources.size();
}

// libheif's decode of each file to its own planes, on one core: the floor for HEIC and AVIF,
// as djpeg's is for JPEG. The primary image, as libheif decodes it by default.
bool libheifDecode(const QString &source)
{
    heif_context *context = heif_context_alloc();
    heif_context_set_max_decoding_threads(context, 0);
    heif_image_handle *handle = nullptr;
    heif_image *image = nullptr;
    const bool ok =
        heif_context_read_from_file(context, QFile::encodeName(source), nullptr).code == 0 &&
        heif_context_get_primary_image_handle(context, &handle).code == 0 &&
        heif_decode_image(handle, &image, heif_colorspace_YCbCr, heif_chroma_420, nullptr).code ==
            0;
    heif_image_release(image);
    heif_image_handle_release(handle);
    heif_context_free(context);
    return ok;
}

int runLibheifFloor(const QStringList &sources)
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0)
        return 3;
    QElapsedTimer timer;
    timer.start();
    for (const QString &source : sources)
        if (!libheifDecode(source))
            return 2;
    std::printf("%.6f %ld\n", timer.nsecsElapsed() / 1e9, peakResidentKb());
    return 0;
}

// vipsthumbnail, where it is installed, on the same files and to the same format.
double vipsSeconds(const QString &input, int size)
{
    QTemporaryDir output;
    QStringList args{"-s", QString::number(size), "-o",
                     output.filePath("%s.") + QFileInfo(imagesIn(input).value(0)).suffix()};
    QElapsedTimer timer;
    timer.start();
    if (QProcess::execute("vipsthumbnail", args + imagesIn(input)) != 0)
        return 0;
    return timer.nsecsElapsed() / 1e9;
}

// For the quality check: lossless outputs, whatever the sources.
void pngOutputs(QVector<PlannedRow> *plan)
{
    for (PlannedRow &row : *plan) {
        for (PlannedOutput &output : row.outputs)
            output.path = QFileInfo(output.path).path() + "/" +
                          QFileInfo(output.path).completeBaseName() + ".png";
        row.options.encoding.format = "png";
    }
}

// A row of a grid HEIF decoded whole by libheif, as rows were before their tiles: encoded and
// written as a row is, without its metadata.
RowOutcome wholeGridRow(const PlannedRow &row)
{
    const SourceFile source(row.source);
    const std::unique_ptr<Formats::Decoder> decoder =
        HeifDecoder::open(source, HeifDecoder::Grid::Whole);
    QImage image;
    QString words;
    if (decoder->decode(Target(row.outputs[0].size), &image, &words) != Formats::Status::Decoded)
        return RowOutcome::make(RowOutcome::Unreadable, words);
    const Encode::Encoded encoded =
        Encode::still(image, row.options.encoding, Formats::writerFor(row.options.encoding.format),
                      PhotoMetadata(), false);
    RowOutcome outcome = Write::file(row.outputs[0].path, encoded.bytes, encoded.leftOut);
    outcome.encodes = encoded.encodes;
    return outcome;
}

// The child's side: one mode over one folder.
int runChild(const QString &mode, const QString &input, const QString &output, int size)
{
    const QStringList sources = imagesIn(input);
    if (mode == "libheif")
        return runLibheifFloor(sources);
    // The image plugins load once per process, whatever the mode: not part of any image's time.
    QImageReader::supportedImageFormats();
    QImageWriter::supportedImageFormats();
    QElapsedTimer timer;
    timer.start();
    if (mode.startsWith("load")) {
        // Decoding and resizing alone, on one worker: what the resampling mode changes before
        // the output is encoded.
        ImageResizer::tuneAllocator();
        const Resampling resampling =
            mode.endsWith("smooth") ? Resampling::Smooth : Resampling::Nearest;
        for (const QString &source : sources) {
            RowOutcome outcome;
            if (RowLoad::scaled(source, size, &outcome, resampling).isNull())
                return 2;
        }
    } else if (mode == "toolkit") {
        ToolkitCodec::allowLargestAcceptedImage(); // as the program does under Qt 6
        for (const QString &source : sources) {
            const QImage image(source);
            // A raw is written as JPEG, as the program writes it.
            const QString suffix = QFileInfo(source).suffix().toLower();
            const QString saved = QDir(output).filePath(
                QFileInfo(source).completeBaseName() + "." +
                (QImageWriter::supportedImageFormats().contains(suffix.toUtf8()) ? suffix : "jpg"));
            if (!image.scaled(size, size, Qt::KeepAspectRatio, Qt::FastTransformation).save(saved))
                return 2;
        }
    } else {
        ImageResizer::tuneAllocator(); // as the program's main() does
        BatchSettings settings;
        settings.options.geometry.size = size;
        settings.destination = output;
        settings.options.geometry.resampling =
            mode.contains("smooth") ? Resampling::Smooth : Resampling::Nearest;
        if (mode.contains("-jpg"))
            settings.options.encoding.format = "jpg"; // the Options menu's conversion
        if (mode.contains("-heic"))
            settings.options.encoding.format = "heic";
        if (mode.contains("-limit"))
            settings.options.encoding.maxBytes = 200 * 1000;
        settings.options.carrying.srgb = mode.contains("-srgb");
        const int workers = mode.startsWith("one") ? 1 : QThread::idealThreadCount();
        QVector<PlannedRow> plan = planBatch(sources, settings);
        if (mode.contains("png"))
            pngOutputs(&plan);
        BatchRunner runner(plan, workers);
        if (mode.endsWith("-whole"))
            runner.setProcess(wholeGridRow);
        QObject::connect(&runner, &BatchRunner::finished, qApp, &QCoreApplication::quit);
        runner.start();
        if (runner.isRunning())
            QCoreApplication::exec();
        double seconds = timer.nsecsElapsed() / 1e9;
        int encodes = 0;
        for (const RowOutcome &outcome : runner.outcomes()) {
            if (outcome.status != RowOutcome::Written)
                return 2;
            encodes += outcome.encodes;
        }
        std::printf("%.6f %ld %.3f\n", seconds, peakResidentKb(),
                    double(encodes) / qMax(1, runner.outcomes().size()));
        return 0;
    }
    std::printf("%.6f %ld\n", timer.nsecsElapsed() / 1e9, peakResidentKb());
    return 0;
}

// Runs this program as a child with `args` and returns the two numbers it printed.
bool spawnChild(const QStringList &args, double *first, double *second, double *third = nullptr)
{
    QList<QByteArray> bytes{QCoreApplication::applicationFilePath().toLocal8Bit(), "--child"};
    for (const QString &arg : args)
        bytes.append(arg.toLocal8Bit());
    QVector<char *> argv;
    for (QByteArray &arg : bytes)
        argv.append(arg.data());
    argv.append(nullptr);
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    pid_t pid = 0;
    const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    char buffer[64] = {};
    const ssize_t got = spawned ? read(pipeFds[0], buffer, sizeof buffer - 1) : 0;
    close(pipeFds[0]);
    int status = 0;
    if (!spawned || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0 || got <= 0)
        return false;
    const QList<QByteArray> words = QByteArray(buffer).trimmed().split(' ');
    *first = words.value(0).toDouble();
    *second = words.value(1).toDouble();
    if (third)
        *third = words.value(2).toDouble();
    return true;
}

Measure measure(const QString &mode, const QString &input, int size)
{
    QTemporaryDir output;
    Measure result;
    if (spawnChild({mode, input, output.path(), QString::number(size)}, &result.seconds,
                   &result.peakMb, &result.encodes)) {
        result.peakMb /= 1024.0;
        result.images = imagesIn(input).size();
    }
    return result;
}

// One core's full libjpeg-turbo decodes of the same files: the floor a decoder can reach.
double djpegSeconds(const QString &input)
{
    QElapsedTimer timer;
    timer.start();
    for (const QString &source : imagesIn(input))
        if (QProcess::execute("djpeg", {"-outfile", "/dev/null", source}) != 0)
            return 0;
    return timer.nsecsElapsed() / 1e9;
}

// One core's full libwebp decodes of the same files, to RGB as djpeg's are.
double dwebpSeconds(const QString &input)
{
    QElapsedTimer timer;
    timer.start();
    for (const QString &source : imagesIn(input))
        if (QProcess::execute("dwebp", {"-quiet", "-ppm", source, "-o", "/dev/null"}) != 0)
            return 0;
    return timer.nsecsElapsed() / 1e9;
}

// One core's full libjxl decodes of the same files, to RGB as djpeg's are: djxl on one thread,
// kept to one core, its output to /dev/null through a link whose name tells it the format.
double djxlSeconds(const QString &input)
{
    QTemporaryDir dir;
    const QString sink = dir.filePath("null.ppm");
    if (!QFile::link(QStringLiteral("/dev/null"), sink))
        return 0;
    QElapsedTimer timer;
    timer.start();
    for (const QString &source : imagesIn(input))
        if (QProcess::execute("taskset",
                              {"-c", "0", "djxl", "--quiet", "--num_threads=1", source, sink}) != 0)
            return 0;
    return timer.nsecsElapsed() / 1e9;
}

// libraw's own half-size decode with the camera's white balance, on one core.
double dcrawSeconds(const QString &input)
{
    QElapsedTimer timer;
    timer.start();
    for (const QString &source : imagesIn(input)) {
        QProcess dcraw;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("OMP_NUM_THREADS", "1");
        dcraw.setProcessEnvironment(env);
        dcraw.setStandardOutputFile(QProcess::nullDevice());
        dcraw.start("taskset", {"-c", "0", "dcraw_emu", "-w", "-h", "-Z", "-", source});
        if (!dcraw.waitForFinished(-1) || dcraw.exitCode() != 0)
            return 0;
    }
    return timer.nsecsElapsed() / 1e9;
}

// The fastest of a few interleaved rounds: the machine is shared, and other load only ever
// slows a round down.
Measure fastest(const Measure &kept, const Measure &round)
{
    if (round.images == 0 || kept.images == 0)
        return Measure{};
    Measure best = round.seconds < kept.seconds ? round : kept;
    best.peakMb = qMax(round.peakMb, kept.peakMb);
    return best;
}

// What a set's times are compared with: a one-core full decode of the same files.
enum class Floor
{
    None,
    Djpeg,
    Dwebp,
    Libheif, // the toolkit reads neither HEIC nor AVIF: no toolkit-only line either
};

void printLine(QTextStream &out, const QString &name, const Measure &m)
{
    out << QString("  %1  %2 s/image  %3 images/s  peak %4 MB\n")
               .arg(name, -24)
               .arg(m.seconds / m.images, 8, 'f', 4)
               .arg(m.images / m.seconds, 7, 'f', 2)
               .arg(m.peakMb, 6, 'f', 1);
}

Measure report(QTextStream &out, const QString &set, const QString &input, int size, int rounds,
               Floor floor = Floor::None)
{
    const bool toolkit = floor != Floor::Libheif;
    const auto round = [&](const QString &mode, bool wanted) {
        return wanted ? measure(mode, input, size) : Measure{};
    };
    Measure a = round("toolkit", toolkit), b = round("one", true), c = round("all", true);
    Measure f = round("one-smooth", true), g = round("all-smooth", true);
    Measure h = round("load", true), k = round("load-smooth", true);
    Measure d = round("libheif", floor == Floor::Libheif);
    // djpeg's or dwebp's: a one-core decode of the same files, in a process of its own.
    const auto decoder = [floor, &input] {
        return floor == Floor::Djpeg   ? djpegSeconds(input)
               : floor == Floor::Dwebp ? dwebpSeconds(input)
                                       : 0;
    };
    double djpeg = decoder();
    for (int i = 1; i < rounds; ++i) {
        a = toolkit ? fastest(a, round("toolkit", true)) : a;
        b = fastest(b, round("one", true));
        c = fastest(c, round("all", true));
        f = fastest(f, round("one-smooth", true));
        g = fastest(g, round("all-smooth", true));
        h = fastest(h, round("load", true));
        k = fastest(k, round("load-smooth", true));
        d = floor == Floor::Libheif ? fastest(d, round("libheif", true)) : d;
        if (djpeg > 0)
            djpeg = qMin(djpeg, decoder());
    }
    if ((toolkit && a.images == 0) || b.images == 0 || c.images == 0 || f.images == 0 ||
        g.images == 0 || h.images == 0 || k.images == 0 ||
        (floor == Floor::Libheif && d.images == 0)) {
        out << set << ": a run failed\n";
        return Measure{};
    }
    const double vips =
        floor == Floor::Libheif || floor == Floor::Dwebp ? vipsSeconds(input, size) : 0;
    out << QString("%1: %2 images, size %3, fastest of %4 rounds\n")
               .arg(set)
               .arg(b.images)
               .arg(size)
               .arg(rounds);
    if (toolkit)
        printLine(out, "(a) toolkit only", a);
    printLine(out, "(b) Parvimage, 1 worker", b);
    printLine(out, QString("(c) Parvimage, %1 workers").arg(QThread::idealThreadCount()), c);
    if (djpeg > 0)
        out << QString("  %1  %2 s/image\n")
                   .arg(floor == Floor::Dwebp ? "(d) dwebp, one core" : "(d) djpeg, one core", -24)
                   .arg(djpeg / b.images, 8, 'f', 4);
    if (floor == Floor::Libheif)
        printLine(out, "(d) libheif, one core", d);
    if (vips > 0)
        out << QString("  %1  %2 s/image\n")
                   .arg("(e) vipsthumbnail", -24)
                   .arg(vips / b.images, 8, 'f', 4);
    printLine(out, "(f) smooth, 1 worker", f);
    printLine(out, QString("(g) smooth, %1 workers").arg(QThread::idealThreadCount()), g);
    printLine(out, "(h) decode+resize, nearest", h);
    printLine(out, "(k) decode+resize, smooth", k);
    out << " ";
    if (toolkit)
        out << QString("  time per image b/a = %1   c/a = %2")
                   .arg(b.seconds / a.seconds, 0, 'f', 3)
                   .arg(c.seconds / a.seconds, 0, 'f', 3);
    out << QString("   throughput c/b = %1").arg(b.seconds / c.seconds, 0, 'f', 2);
    if (djpeg > 0)
        out << QString("   c/d = %1").arg(c.seconds / djpeg, 0, 'f', 3);
    if (floor == Floor::Libheif)
        out << QString("   c/d = %1   peak c/d = %2")
                   .arg(c.seconds / d.seconds, 0, 'f', 3)
                   .arg(c.peakMb / d.peakMb, 0, 'f', 3);
    if (vips > 0)
        out << QString("   c/e = %1").arg(c.seconds / vips, 0, 'f', 3);
    out << QString("\n   smooth against nearest f/b = %1   g/c = %2   peak g/c = %3")
               .arg(f.seconds / b.seconds, 0, 'f', 3)
               .arg(g.seconds / c.seconds, 0, 'f', 3)
               .arg(g.peakMb / c.peakMb, 0, 'f', 3);
    out << QString("   without encoding k/h = %1").arg(k.seconds / h.seconds, 0, 'f', 3);
    if (djpeg > 0)
        out << QString("   g/d = %1").arg(g.seconds / djpeg, 0, 'f', 3);
    out << "\n\n";
    out.flush();
    return b;
}

// A grid HEIC alone, tile by tile and, decoded whole by libheif, as before: its time at 1024
// against libheif's one-core decode, its peak at 2048 written as HEIC and, to leave the HEIC
// encoder out, as JPEG; beside them, the peak of a HEIC already of the output's size written at
// 2048, the HEIC encoder's share.
void reportGrid(QTextStream &out, const QString &set, const QString &input,
                const QString &encoderOnly)
{
    const auto run = [&input](const QString &mode, int size, bool whole) {
        return measure(whole ? mode + "-whole" : mode, input, size);
    };
    const Measure d = measure("libheif", input, 1024);
    const Measure encoder = measure("all", encoderOnly, 2048);
    const QVector<Measure> m{run("all", 1024, false),     run("all", 1024, true),
                             run("all", 2048, false),     run("all", 2048, true),
                             run("all-jpg", 2048, false), run("all-jpg", 2048, true)};
    if (d.images == 0 || encoder.images == 0 ||
        std::any_of(m.begin(), m.end(), [](auto r) { return r.images == 0; })) {
        out << set << ": a run failed\n";
        return;
    }
    out << set << ", alone, " << QThread::idealThreadCount() << " cores\n";
    printLine(out, "(d) libheif, one core", d);
    const QStringList names{"tiles, 1024", "whole, 1024",       "tiles, 2048",
                            "whole, 2048", "tiles, 2048, JPEG", "whole, 2048, JPEG"};
    for (int i = 0; i < m.size(); ++i)
        printLine(out, names.at(i), m.at(i));
    printLine(out, "HEIC 2048 x 1536 at 2048", encoder);
    out << QString("   at 1024 tiles/d = %1   whole/d = %2   peak at 2048 tiles %3 MB, whole %4 MB"
                   "   JPEG out tiles %5 MB, whole %6 MB\n\n")
               .arg(m[0].seconds / d.seconds, 0, 'f', 3)
               .arg(m[1].seconds / d.seconds, 0, 'f', 3)
               .arg(m[2].peakMb, 0, 'f', 1)
               .arg(m[3].peakMb, 0, 'f', 1)
               .arg(m[4].peakMb, 0, 'f', 1)
               .arg(m[5].peakMb, 0, 'f', 1);
    out.flush();
}

// TIFF rows, written as TIFF, against libtiff's one-core RGBA decode of the same files.
void reportTiff(QTextStream &out, const QString &set, const QString &input, int size, int rounds)
{
    Measure b, c, d;
    for (int i = 0; i < rounds; ++i) {
        const bool first = i == 0;
        const Measure one = measure("one", input, size), all = measure("all", input, size),
                      floor = libtiffFloor(input);
        b = first ? one : fastest(b, one);
        c = first ? all : fastest(c, all);
        d = first ? floor : fastest(d, floor);
    }
    if (b.images == 0 || c.images == 0 || d.images == 0) {
        out << set << ": a run failed\n";
        return;
    }
    out << QString("%1: %2 images, size %3, fastest of %4 rounds\n")
               .arg(set)
               .arg(b.images)
               .arg(size)
               .arg(rounds);
    printLine(out, "(b) Parvimage, 1 worker", b);
    printLine(out, QString("(c) Parvimage, %1 workers").arg(QThread::idealThreadCount()), c);
    printLine(out, "(d) libtiff RGBA, one core", d);
    out << QString("   c/d = %1   b/d = %2   throughput c/b = %3\n\n")
               .arg(c.seconds / d.seconds, 0, 'f', 3)
               .arg(b.seconds / d.seconds, 0, 'f', 3)
               .arg(b.seconds / c.seconds, 0, 'f', 2);
    out.flush();
}

// HEIC or AVIF converted to JPEG, as a phone's photos are for mail, against libheif's one-core
// decode of the same files.
void reportConversion(QTextStream &out, const QString &set, const QString &input, int size,
                      int rounds)
{
    Measure b, c, g, d;
    for (int i = 0; i < rounds; ++i) {
        const bool first = i == 0;
        const Measure one = measure("one-jpg", input, size), all = measure("all-jpg", input, size),
                      smooth = measure("all-smooth-jpg", input, size),
                      floor = measure("libheif", input, size);
        b = first ? one : fastest(b, one);
        c = first ? all : fastest(c, all);
        g = first ? smooth : fastest(g, smooth);
        d = first ? floor : fastest(d, floor);
    }
    if (b.images == 0 || c.images == 0 || g.images == 0 || d.images == 0) {
        out << set << ": a run failed\n";
        return;
    }
    const int workers = QThread::idealThreadCount();
    out << QString("%1: %2 images, size %3, fastest of %4 rounds\n")
               .arg(set)
               .arg(b.images)
               .arg(size)
               .arg(rounds);
    printLine(out, "(b) Parvimage, 1 worker", b);
    printLine(out, QString("(c) Parvimage, %1 workers").arg(workers), c);
    printLine(out, QString("(g) smooth, %1 workers").arg(workers), g);
    printLine(out, "(d) libheif, one core", d);
    out << QString("   c/d = %1   g/d = %2   throughput c/b = %3\n\n")
               .arg(c.seconds / d.seconds, 0, 'f', 3)
               .arg(g.seconds / d.seconds, 0, 'f', 3)
               .arg(b.seconds / c.seconds, 0, 'f', 2);
    out.flush();
}

// JPEG XL photos against a one-core djxl decode of the same files: decoded and resized alone,
// written as JPEG (the decode and the resize, the JPEG encode at the output's size costing
// little) on one worker and on all, and written back as JPEG XL on all workers.
void reportJxl(QTextStream &out, const QString &input, int size, int rounds)
{
    Measure h, b, c, e;
    double d = 0;
    for (int i = 0; i < rounds; ++i) {
        const Measure load = measure("load", input, size), one = measure("one-jpg", input, size),
                      all = measure("all-jpg", input, size), back = measure("all", input, size);
        const double floor = djxlSeconds(input);
        h = i == 0 ? load : fastest(h, load);
        b = i == 0 ? one : fastest(b, one);
        c = i == 0 ? all : fastest(c, all);
        e = i == 0 ? back : fastest(e, back);
        d = i == 0 ? floor : qMin(d, floor);
    }
    if (h.images == 0 || b.images == 0 || c.images == 0 || e.images == 0 || d <= 0) {
        out << input << ": a run failed\n";
        return;
    }
    const int workers = QThread::idealThreadCount();
    out << QString("JPEG XL 12 MP (cjxl -d 1): %1 images, size %2, fastest of %3 rounds\n")
               .arg(b.images)
               .arg(size)
               .arg(rounds);
    printLine(out, "(h) decode+resize alone", h);
    printLine(out, "(b) Parvimage, 1 worker", b);
    printLine(out, QString("(c) Parvimage, %1 workers").arg(workers), c);
    printLine(out, QString("(e) %1 workers, JXL out").arg(workers), e);
    out << QString("  %1  %2 s/image\n")
               .arg("(d) djxl, one core", -24)
               .arg(d / b.images, 8, 'f', 4);
    out << QString("   b/d = %1   c/d = %2   e/d = %3   h/d = %4   throughput c/b = %5\n\n")
               .arg(b.seconds / d, 0, 'f', 3)
               .arg(c.seconds / d, 0, 'f', 3)
               .arg(e.seconds / d, 0, 'f', 3)
               .arg(h.seconds / d, 0, 'f', 3)
               .arg(b.seconds / c.seconds, 0, 'f', 2);
    out.flush();
}

// Photos ready to send: under a 200 Ko limit against the same rows without it, and converted to
// sRGB against the same rows without the conversion, all workers, in this one run.
void reportSending(QTextStream &out, const QString &photos, const QString &p3, int size, int rounds)
{
    const QList<QPair<QString, QString>> pairs{
        {"all-jpg", "all-jpg-limit"}, {"all-heic", "all-heic-limit"}, {"all-jpg", "all-jpg-srgb"}};
    const QStringList names{"JPEG 12 MP, JPEG out", "JPEG 12 MP, HEIC out",
                            "Display P3 JPEG 12 MP, JPEG out"};
    out << QString("Photos ready to send, size %1, fastest of %2 rounds\n").arg(size).arg(rounds);
    for (int k = 0; k < pairs.size(); ++k) {
        const QString input = k == 2 ? p3 : photos;
        Measure plain, asked;
        for (int i = 0; i < rounds; ++i) {
            const Measure a = measure(pairs.at(k).first, input, size);
            const Measure b = measure(pairs.at(k).second, input, size);
            plain = i == 0 ? a : fastest(plain, a);
            asked = i == 0 ? b : fastest(asked, b);
        }
        if (plain.images == 0 || asked.images == 0) {
            out << names.at(k) << ": a run failed\n";
            continue;
        }
        out << "  " << names.at(k) << "\n";
        printLine(out, "without", plain);
        printLine(out, k == 2 ? "converted to sRGB" : "at most 200 Ko", asked);
        out << QString("   ratio %1   peak ratio %2   encodes per row %3\n")
                   .arg(asked.seconds / plain.seconds, 0, 'f', 3)
                   .arg(asked.peakMb / plain.peakMb, 0, 'f', 3)
                   .arg(asked.encodes, 0, 'f', 2);
    }
    out << "\n";
    out.flush();
}

// Camera raws against libraw's one-core half-size decode and the toolkit's raw plug-in (Qt 5
// only has one), and Ultra HDR photos with their gain map against the same rows without it.
void reportCameras(QTextStream &out, const QString &root, int size, int rounds)
{
    for (const QString &set : {root + "/raw", root + "/raw-preview", root + "/raw-corpus"}) {
        const QString first = imagesIn(set).value(0);
        if (first.isEmpty())
            continue;
        const bool toolkit = QImageReader(first).canRead();
        Measure a, b, c;
        double d = 0;
        for (int i = 0; i < rounds; ++i) {
            a = i == 0 ? (toolkit ? measure("toolkit", set, size) : a)
                       : (toolkit ? fastest(a, measure("toolkit", set, size)) : a);
            const Measure one = measure("one", set, size), all = measure("all", set, size);
            b = i == 0 ? one : fastest(b, one);
            c = i == 0 ? all : fastest(c, all);
            const double floor = dcrawSeconds(set);
            d = i == 0 ? floor : qMin(d, floor);
        }
        if (b.images == 0 || c.images == 0 || d <= 0 || (toolkit && a.images == 0)) {
            out << set << ": a run failed\n";
            continue;
        }
        out << QString("Camera raws %1 (%2 x %3), size %4, decoded %5, fastest of %6 rounds\n")
                   .arg(QFileInfo(set).fileName())
                   .arg(rawSize(first).width())
                   .arg(rawSize(first).height())
                   .arg(size)
                   .arg(QString(RawDecoder::pathFor(SourceFile(first), size)))
                   .arg(rounds);
        if (toolkit)
            printLine(out, "(a) toolkit's raw plug-in", a);
        printLine(out, "(b) Parvimage, 1 worker", b);
        printLine(out, QString("(c) Parvimage, %1 workers").arg(QThread::idealThreadCount()), c);
        out << QString("  %1  %2 s/image\n")
                   .arg("(d) dcraw_emu -h, one core", -24)
                   .arg(d / b.images, 8, 'f', 4);
        out << QString("   c/d = %1").arg(c.seconds / d, 0, 'f', 3);
        if (toolkit)
            out << QString("   toolkit a/c = %1").arg(a.seconds / c.seconds, 0, 'f', 2);
        out << "\n\n";
    }
    Measure with, without;
    for (int i = 0; i < rounds; ++i) {
        const Measure w = measure("all-jpg", root + "/ultrahdr", size);
        const Measure n = measure("all-jpg", root + "/ultrahdr-without", size);
        with = i == 0 ? w : fastest(with, w);
        without = i == 0 ? n : fastest(without, n);
    }
    if (with.images == 0 || without.images == 0) {
        out << "Ultra HDR: no corpus, or a run failed\n\n";
        return;
    }
    out << QString("Ultra HDR JPEG 3840 x 2160 to JPEG, size %1, fastest of %2 rounds\n")
               .arg(size)
               .arg(rounds);
    printLine(out, "without its gain map", without);
    printLine(out, "with its gain map", with);
    out << QString("   ratio %1   peak ratio %2\n\n")
               .arg(with.seconds / without.seconds, 0, 'f', 3)
               .arg(with.peakMb / without.peakMb, 0, 'f', 3);
    out.flush();
}

// Each kind of row's estimate beside the peak it reached, each in a process of its own.
// A file of `source` whose scan has a restart marker every 204 MCUs, as phones write them.
bool withRestartMarkers(const QString &source, const QString &folder)
{
    return QDir().mkpath(folder) &&
           QProcess::execute("sh", {"-c", QString("djpeg '%1' | cjpeg -quality 90 -restart 204B "
                                                  "-outfile '%2/r.jpg'")
                                              .arg(source, folder)}) == 0;
}

// ImageMagick on one core making the same GIF: every frame whole, resized, then optimised.
double magickSeconds(const QString &input, int size, double *peakMb)
{
    QElapsedTimer timer;
    timer.start();
    for (const QString &source : imagesIn(input)) {
        QProcess magick;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("MAGICK_THREAD_LIMIT", "1");
        magick.setProcessEnvironment(env);
        const QString box = QString("%1x%1").arg(size);
        magick.start("/usr/bin/time",
                     {"-f", "%M", "taskset", "-c", "0", "convert", source, "-coalesce", "-resize",
                      box, "-layers", "optimize", QDir::temp().filePath("parvimage-magick.gif")});
        if (!magick.waitForFinished(-1) || magick.exitCode() != 0)
            return 0;
        *peakMb =
            QString(magick.readAllStandardError()).trimmed().split('\n').last().toDouble() / 1024;
    }
    return timer.nsecsElapsed() / 1e9;
}

// An animated GIF written as GIF on one worker, against ImageMagick on one core.
void reportGif(QTextStream &out, const QString &input, int size, int rounds)
{
    double magickPeak = 0;
    Measure one = measure("one", input, size);
    double magick = magickSeconds(input, size, &magickPeak);
    for (int r = 1; r < rounds; ++r) {
        one = fastest(one, measure("one", input, size));
        magick = qMin(magick, magickSeconds(input, size, &magickPeak));
    }
    if (one.images == 0 || magick <= 0) {
        out << "Animated GIF: a run failed\n\n";
        return;
    }
    out << QString("Animated GIF, 100 frames of 640 x 480, GIF out at %1, one core: Parvimage "
                   "%2 s (peak %3 MB), ImageMagick %4 s (peak %5 MB): ratio %6\n\n")
               .arg(size)
               .arg(one.seconds, 0, 'f', 3)
               .arg(one.peakMb, 0, 'f', 1)
               .arg(magick, 0, 'f', 3)
               .arg(magickPeak, 0, 'f', 1)
               .arg(one.seconds / magick, 0, 'f', 3);
    out.flush();
}

// One photo alone takes every core: each kind against its one-core floor, then the same six
// in the list's worst order (largest last) and its best.
void reportAlone(QTextStream &out, const QString &root, int size, int rounds)
{
    struct Kind
    {
        QString name, source, folder;
        Floor floor;
    };
    const QList<Kind> kinds{
        {"JPEG 50 MP, restart markers", "", root + "/alone-jpeg-rst", Floor::Djpeg},
        {"JPEG 50 MP, no markers", root + "/huge/h0.jpg", root + "/alone-jpeg", Floor::Djpeg},
        {"HEIC 48 MP", root + "/huge-heic/s0.heic", root + "/alone-heic", Floor::Libheif},
        {"AVIF 12 MP", root + "/avif/b0.avif", root + "/alone-avif", Floor::Libheif},
        {"PNG 50 MP", root + "/huge-png/h0.png", root + "/alone-png", Floor::None},
        {"Raw 24 MP", root + "/raw/r0.dng", root + "/alone-raw", Floor::None}};
    out << QString("One photo alone, size %1, fastest of %2 rounds; the floor is a one-core "
                   "decode (djpeg, libheif, dcraw_emu -h), the toolkit's path for PNG\n")
               .arg(size)
               .arg(rounds);
    QDir().mkpath(root + "/order-worst");
    QDir().mkpath(root + "/order-best");
    for (int i = 0; i < kinds.size(); ++i) {
        const Kind &kind = kinds.at(i);
        const bool made =
            QDir(kind.folder).exists() ||
            (kind.source.isEmpty()
                 ? withRestartMarkers(root + "/huge/h0.jpg", kind.folder)
                 : QDir().mkpath(kind.folder) &&
                       QFile::copy(kind.source,
                                   kind.folder + "/" + QFileInfo(kind.source).fileName()));
        const QString file = imagesIn(kind.folder).value(0);
        if (!made || file.isEmpty())
            continue;
        const QString suffix = QFileInfo(file).suffix();
        // By name: the largest (listed first here) last in one, first in the other.
        QFile::link(file, QString("%1/%2.%3").arg(root + "/order-worst").arg(9 - i).arg(suffix));
        QFile::link(file, QString("%1/%2.%3").arg(root + "/order-best").arg(i).arg(suffix));
        Measure alone = measure("all", kind.folder, size), one = measure("one", kind.folder, size);
        Measure floor = kind.floor == Floor::Libheif ? measure("libheif", kind.folder, size)
                        : kind.floor == Floor::None && suffix == "png"
                            ? measure("toolkit", kind.folder, size)
                            : Measure{};
        double floorSeconds = kind.floor == Floor::Djpeg ? djpegSeconds(kind.folder)
                              : suffix == "dng"          ? dcrawSeconds(kind.folder)
                                                         : floor.seconds;
        for (int r = 1; r < rounds; ++r) {
            alone = fastest(alone, measure("all", kind.folder, size));
            one = fastest(one, measure("one", kind.folder, size));
            if (kind.floor == Floor::Djpeg)
                floorSeconds = qMin(floorSeconds, djpegSeconds(kind.folder));
        }
        out << QString("  %1  alone %2 s  one core %3 s  floor %4 s   alone/floor = %5   "
                       "one/floor = %6   peak %7 MB\n")
                   .arg(kind.name, -28)
                   .arg(alone.seconds, 6, 'f', 3)
                   .arg(one.seconds, 6, 'f', 3)
                   .arg(floorSeconds, 6, 'f', 3)
                   .arg(alone.seconds / floorSeconds, 0, 'f', 3)
                   .arg(one.seconds / floorSeconds, 0, 'f', 3)
                   .arg(alone.peakMb, 0, 'f', 1);
    }
    Measure worst = measure("all", root + "/order-worst", size);
    Measure best = measure("all", root + "/order-best", size);
    for (int r = 1; r < rounds; ++r) {
        worst = fastest(worst, measure("all", root + "/order-worst", size));
        best = fastest(best, measure("all", root + "/order-best", size));
    }
    out << QString("  The six listed largest last %1 s, largest first %2 s: worst/best = %3\n\n")
               .arg(worst.seconds, 0, 'f', 3)
               .arg(best.seconds, 0, 'f', 3)
               .arg(worst.seconds / best.seconds, 0, 'f', 3);
    out.flush();
}

void reportEstimates(QTextStream &out, const QList<QPair<QString, QString>> &kinds, int size,
                     const QString &mode = "estimate")
{
    out << QString("Memory estimate against the measured peak of one row, size %1%2\n")
               .arg(size)
               .arg(mode == "estimate" ? "" : ", smooth");
    for (const auto &[name, file] : kinds) {
        QTemporaryDir output;
        double estimate = 0, measuredKb = 0;
        if (!spawnChild({mode, file, output.path(), QString::number(size)}, &estimate,
                        &measuredKb)) {
            out << "  " << name << ": the row failed\n";
            continue;
        }
        out << QString("  %1  estimate %2 MB  measured %3 MB  measured/estimate %4\n")
                   .arg(name, -38)
                   .arg(estimate / (1 << 20), 7, 'f', 1)
                   .arg(measuredKb / 1024, 7, 'f', 1)
                   .arg(measuredKb * 1024 / estimate, 0, 'f', 2);
    }
    out << "\n";
    out.flush();
}

// The tiled (grid) HEIF files of the corpus beside the checkout, where it is.
QList<QPair<QString, QString>> corpusGrids()
{
    const QString corpora = qEnvironmentVariable(
        "PARVIMAGE_CORPORA", QCoreApplication::applicationDirPath() + "/../../../shared/corpora");
    const QString folder = corpora + "/heif";
    QList<QPair<QString, QString>> grids;
    for (const char *name : {"nokia_grid_960x640.heic", "ms_Summer_in_Tomsk_720p_5x4_grid.avif"}) {
        if (QFile::exists(folder + "/" + name))
            grids.append({QString("grid %1").arg(name), folder + "/" + name});
    }
    return grids;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: parvimage_bench [--input FOLDER] [--size N] [--sets FOLDER] "
                 "[--rounds N] [--only sending|cameras|heic-grid|tiff|jxl|alone|gif|png]\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    Formats::initialiseLibraries();
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.size() == 6 && args.at(1) == "--child" && args.at(2).startsWith("estimate"))
        return runEstimate(args.at(3), args.at(4), args.at(5).toInt(),
                           args.at(2).contains("smooth") ? Resampling::Smooth : Resampling::Nearest,
                           args.at(2).endsWith("alone") ? 2 : 0);
    if (args.size() == 6 && args.at(1) == "--child")
        return runChild(args.at(2), args.at(3), args.at(4), args.at(5).toInt());

    int size = 1024, rounds = 3;
    QString input, sets, only;
    for (int i = 1; i < args.size(); i += 2) {
        const QString value = args.value(i + 1);
        if (i + 1 == args.size())
            return usage();
        if (args.at(i) == "--size")
            size = value.toInt();
        else if (args.at(i) == "--input")
            input = value;
        else if (args.at(i) == "--sets")
            sets = value;
        else if (args.at(i) == "--only")
            only = value;
        else if (args.at(i) == "--rounds")
            rounds = qMax(1, value.toInt());
        else
            return usage();
    }
    if (size < 1)
        return usage();
    QTextStream out(stdout);
    if (!input.isEmpty()) {
        // The toolkit reads neither HEIC nor AVIF: such a folder is compared with libheif.
        const QString first = imagesIn(input).value(0).toLower();
        if (first.endsWith(".jxl")) {
            reportJxl(out, input, size, rounds);
            return 0;
        }
        const bool heif = first.endsWith(".heic") || first.endsWith(".avif");
        const Floor floor = heif                      ? Floor::Libheif
                            : first.endsWith(".webp") ? Floor::Dwebp
                            : first.endsWith(".jpg")  ? Floor::Djpeg
                                                      : Floor::None;
        report(out, QDir::toNativeSeparators(input), input, size, rounds, floor);
        if (heif)
            reportConversion(out, QDir::toNativeSeparators(input) + ", JPEG out", input, size,
                             rounds);
        return 0;
    }

    QTemporaryDir work;
    const QString root = sets.isEmpty() ? work.path() : sets;
    out << "Photo-like images in " << root << "\n\n";
    out.flush();
    // A set already there from an earlier run with the same --sets folder is used again.
    const auto ready = [&root](const char *set, const std::function<bool(const QString &)> &make) {
        const QString folder = root + "/" + set;
        return QDir(folder).exists() || make(folder);
    };
    const auto from = [&root](const char *set, int count, auto convert) {
        return [=](const QString &f) { return convertEach(root + "/" + set, f, count, convert); };
    };
    // The cameras' sets; from the corpus beside the checkout, where it is.
    const auto cameraSets = [&] {
        ready("raw-corpus", [](auto f) {
            return copiesOf(corpusFile("raw", "imageio-test_images_Blackmagic.dng"), f, "dng", 4);
        });
        ready("ultrahdr", [&root](auto f) { return ultraHdrSets(f, root + "/ultrahdr-without"); });
        return ready("raw", [](auto f) { return writeRaws(f, 4, QSize(6000, 4000)); }) &&
               ready("raw-preview",
                     [](auto f) { return writeRaws(f, 4, QSize(6000, 4000), true); }) &&
               ready("raw-huge", [](auto f) { return writeRaws(f, 1, QSize(8256, 5504)); });
    };
    const QList<QPair<QString, QString>> cameraRows{
        {"raw 45 MP (8256 x 5504)", root + "/raw-huge/r0.dng"},
        {"raw 24 MP", root + "/raw/r0.dng"},
        {"raw 24 MP, by its full-size preview", root + "/raw-preview/r0.dng"},
        {"Ultra HDR JPEG 8 MP, with its gain map", root + "/ultrahdr/c0.jpg"}};
    const QList<QPair<QString, QString>> tiffRows{
        {"TIFF 16-bit 24 MP, deflated", root + "/tiff16/t0.tif"}};
    if (only == "heic-grid") {
        if (!ready("huge-heic-grid", writeGridHuge) || !ready("heic-2048", writeHeic2048))
            return 1;
        reportGrid(out, "HEIC 48 MP grid of 512 x 512 tiles", root + "/huge-heic-grid",
                   root + "/heic-2048");
        const QList<QPair<QString, QString>> grid{
            {"HEIC 48 MP grid", root + "/huge-heic-grid/g0.heic"}};
        reportEstimates(out, grid, 2048);
        reportEstimates(out, grid, 2048, "estimate-smooth");
        return 0;
    }
    if (only == "tiff") {
        if (!ready("tiff16", [](auto f) { return writeDeepTiffs(f, 4, QSize(6000, 4000)); }))
            return 1;
        reportTiff(out, "TIFF 16-bit 24 MP, TIFF out", root + "/tiff16", size, rounds);
        reportEstimates(out, tiffRows, size);
        return 0;
    }
    const QString jxlPhotos = root + "/jxl";
    const auto jxlSet = [&ready] {
        return ready("jxl", [](auto f) { return writeJxlPhotos(f, 6, QSize(4000, 3000)); });
    };
    if (only == "jxl") {
        if (!jxlSet())
            return 1;
        reportJxl(out, jxlPhotos, size, rounds);
        reportEstimates(out, {{"JPEG XL 12 MP", jxlPhotos + "/j0.jxl"}}, 2048);
        return 0;
    }
    if (only == "cameras") {
        if (!cameraSets())
            return 1;
        reportCameras(out, root, size, rounds);
        reportEstimates(out, cameraRows, 2048);
        return 0;
    }
    const bool ok =
        ready("baseline",
              [](auto f) { return generate(f, "b", 24, QSize(4000, 3000), "jpg", false); }) &&
        ready("tagged", [&root](auto f) { return tagCopies(root + "/baseline", f); }) &&
        ready("progressive",
              [](auto f) { return generate(f, "p", 24, QSize(4000, 3000), "jpg", true); }) &&
        ready("png-photos", from("baseline", 6, asPng)) &&
        ready("huge",
              [](auto f) { return generate(f, "h", 8, QSize(8660, 5774), "jpg", false); }) &&
        ready("huge-progressive-444", from("huge", 3, asProgressive444)) &&
        ready("huge-png", from("huge", 2, asPng)) && ready("bomb", writeBomb) &&
        ready("png-interlaced", from("png-photos", 1, asInterlacedPng)) &&
        ready("heic", from("baseline", 6, asHeic)) && ready("avif", from("baseline", 6, asAvif)) &&
        ready("huge-heic", writePhoneHuge) && ready("webp", from("png-photos", 6, asWebP)) &&
        ready("webp-animated", writeAnimation) && ready("gif-animated", writeGifAnimation) &&
        ready("send", from("baseline", 6,
                           [](const QString &source, const QString &base) {
                               return QFile::copy(source, base + ".jpg");
                           })) &&
        ready("display-p3", from("baseline", 6, asDisplayP3)) &&
        ready("tiff16", [](auto f) { return writeDeepTiffs(f, 4, QSize(6000, 4000)); }) && jxlSet();
    if (!ok || !cameraSets()) {
        out << "cannot write the generated images\n";
        return 1;
    }
    if (only == "sending") {
        reportSending(out, root + "/send", root + "/display-p3", 2048, rounds);
        return 0;
    }
    if (only == "gif") {
        reportGif(out, root + "/gif-animated", 240, rounds);
        return 0;
    }
    if (only == "png") {
        report(out, "PNG photos 12 MP", root + "/png-photos", size, rounds);
        report(out, "PNG photos 12 MP, PNG out at 2048", root + "/png-photos", 2048, rounds);
        return 0;
    }
    if (only == "alone") {
        reportAlone(out, root, size, rounds);
        report(out, "PNG photos 12 MP, PNG out at 2048", root + "/png-photos", 2048, rounds);
        return 0;
    }
    const Measure plain =
        report(out, "Baseline JPEG 12 MP", root + "/baseline", size, rounds, Floor::Djpeg);
    const Measure tagged =
        report(out, "The same, with camera metadata", root + "/tagged", size, rounds);
    if (plain.images > 0 && tagged.images > 0) {
        const double extra = (tagged.seconds - plain.seconds) / plain.images;
        out << QString("Metadata step: %1 ms/image on one worker (%2 % of the time per image)\n\n")
                   .arg(extra * 1000, 0, 'f', 1)
                   .arg(100 * extra * plain.images / plain.seconds, 0, 'f', 1);
        out << QString("Metadata step alone: %1 ms/image (reading and inserting it)\n\n")
                   .arg(metadataMilliseconds(root + "/tagged"), 0, 'f', 2);
    }
    report(out, "Progressive JPEG 12 MP", root + "/progressive", size, rounds);
    report(out, "PNG photos 12 MP", root + "/png-photos", size, rounds);
    report(out, "Baseline JPEG 50 MP", root + "/huge", 2048, rounds, Floor::Djpeg);
    // The large sets are about peak memory: one round is enough.
    report(out, "Progressive 4:4:4 JPEG 50 MP", root + "/huge-progressive-444", 2048, 1);
    report(out, "PNG 50 MP", root + "/huge-png", 2048, 1);
    report(out, "PNG declaring 16000 x 16000 (750 KB)", root + "/bomb", 2048, 1);
    report(out, "HEIC 12 MP, HEIC out", root + "/heic", size, rounds, Floor::Libheif);
    reportConversion(out, "HEIC 12 MP, JPEG out", root + "/heic", size, rounds);
    report(out, "AVIF 12 MP, AVIF out", root + "/avif", size, rounds, Floor::Libheif);
    report(out, "HEIC 48 MP (8064 x 6048), HEIC out", root + "/huge-heic", 2048, 1, Floor::Libheif);
    if (ready("huge-heic-grid", writeGridHuge) && ready("heic-2048", writeHeic2048))
        reportGrid(out, "HEIC 48 MP grid of 512 x 512 tiles", root + "/huge-heic-grid",
                   root + "/heic-2048");
    report(out, "Lossy WebP 12 MP, WebP out", root + "/webp", size, rounds, Floor::Dwebp);
    report(out, "Animated WebP, 50 frames of 1920 x 1080", root + "/webp-animated", size, 1);
    reportTiff(out, "TIFF 16-bit 24 MP, TIFF out", root + "/tiff16", size, rounds);
    reportJxl(out, jxlPhotos, size, rounds);
    reportSending(out, root + "/send", root + "/display-p3", 2048, rounds);
    reportCameras(out, root, size, rounds);
    reportGif(out, root + "/gif-animated", 240, rounds);
    reportAlone(out, root, size, rounds);
    report(out, "PNG photos 12 MP, PNG out at 2048", root + "/png-photos", 2048, rounds);
    const QList<QPair<QString, QString>> rows{
        {"baseline JPEG 12 MP", root + "/baseline/b0.jpg"},
        {"progressive JPEG 12 MP", root + "/progressive/p0.jpg"},
        {"baseline JPEG 50 MP", root + "/huge/h0.jpg"},
        {"progressive 4:4:4 JPEG 50 MP", root + "/huge-progressive-444/h0.jpg"},
        {"PNG 12 MP", root + "/png-photos/b0.png"},
        {"PNG 50 MP", root + "/huge-png/h0.png"},
        {"PNG 16000 x 16000", root + "/bomb/bomb.png"},
        {"interlaced PNG 12 MP (decoded whole)", root + "/png-interlaced/b0.png"},
        {"HEIC 12 MP", root + "/heic/b0.heic"},
        {"AVIF 12 MP", root + "/avif/b0.avif"},
        {"HEIC 48 MP", root + "/huge-heic/s0.heic"},
        {"HEIC 48 MP grid", root + "/huge-heic-grid/g0.heic"},
        {"lossy WebP 12 MP", root + "/webp/b0.webp"},
        {"animated WebP, 50 x 1920 x 1080", root + "/webp-animated/anim.webp"},
        {"JPEG XL 12 MP", jxlPhotos + "/j0.jxl"}};
    reportEstimates(out, rows, 2048);
    reportEstimates(out, rows, 2048, "estimate-smooth");
    reportEstimates(out, corpusGrids(), 2048);
    reportEstimates(out, cameraRows, 2048);
    reportEstimates(out, tiffRows, size);
    return 0;
}
