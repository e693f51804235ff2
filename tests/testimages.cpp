#include "testimages.h"

#include <tiffio.h>

#include "formats/registry.h"
#include "row/imageresizer.h"
#include "system/sourcefile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QProcess>

namespace TestImages {

QImage pattern(const QSize &size, QImage::Format format)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const int edge = ((x / 7) + (y / 5)) % 3 == 0 ? 80 : 0;
            line[x] = qRgb((x * 255 / qMax(1, size.width() - 1)) ^ edge,
                           (y * 255 / qMax(1, size.height() - 1)), (x * 7 + y * 13) % 256);
        }
    }
    return image.convertToFormat(format);
}

bool write(const QString &path, const QSize &size, int quality)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (isHeif(path) || suffix == "webp" || suffix == "jxl")
        return RowLoad::save(pattern(size), path, suffix.toUtf8()).status == RowOutcome::Written;
    return pattern(size).save(path, nullptr, quality);
}

namespace {

QByteArray be16(quint32 v)
{
    return QByteArray(1, char(v >> 8 & 0xff)) + char(v & 0xff);
}

QByteArray be32(quint32 v)
{
    return be16(v >> 16) + be16(v & 0xffff);
}

// A 12-byte directory entry whose value fits in its four bytes.
QByteArray entry(int tag, int type, quint32 count, quint32 value)
{
    const QByteArray bytes = type == 3 ? be16(value) + be16(0) : be32(value);
    return be16(quint32(tag)) + be16(quint32(type)) + be32(count) + bytes;
}

} // namespace

QByteArray exifBlock(int orientation, const QSize &stored, int pointerType, int dimensionType,
                     int dimensionCount)
{
    const QByteArray make("Parvimage test\0", 15);
    const quint32 ifd0 = 8, exifIfd = ifd0 + 2 + 3 * 12 + 4, makeAt = exifIfd + 2 + 2 * 12 + 4;
    QByteArray tiff = QByteArray("MM\0*", 4) + be32(ifd0) + be16(3);
    tiff += entry(0x010F, 2, quint32(make.size()), makeAt) +
            entry(0x0112, 3, 1, quint32(orientation)) +
            entry(0x8769, pointerType, pointerType == 7 ? 4 : 1, exifIfd) + be32(0);
    tiff +=
        be16(2) + entry(0xA002, dimensionType, quint32(dimensionCount), quint32(stored.width())) +
        entry(0xA003, dimensionType, quint32(dimensionCount), quint32(stored.height())) + be32(0);
    return tiff + make;
}

bool isHeif(const QString &path)
{
    static const QStringList suffixes{"heic", "heif", "hif", "avif"};
    return suffixes.contains(QFileInfo(path).suffix().toLower());
}

QSize uprightSize(const QString &path)
{
    const SourceFile source(path);
    return source.isOpen() ? Formats::open(source)->header().upright() : QSize();
}

QImage decoded(const QString &path, int box, Resampling resampling, Formats::Status *status)
{
    const SourceFile source(path);
    Formats::Status result = Formats::Status::Failed;
    QImage image;
    if (source.isOpen()) {
        const std::unique_ptr<Formats::Decoder> decoder = Formats::open(source);
        QString words;
        result = decoder->refusal() != Formats::Status::Decoded
                     ? decoder->refusal()
                     : decoder->decode(Target(box, resampling), &image, &words);
    }
    if (status)
        *status = result;
    return result == Formats::Status::Decoded ? image : QImage();
}

bool exiftool(const QString &path, const QStringList &assignments)
{
    const QStringList arguments =
        QStringList{QStringLiteral("-q"), QStringLiteral("-overwrite_original")} + assignments +
        QStringList{path};
    return QProcess::execute(QStringLiteral("exiftool"), arguments) == 0;
}

bool setOrientation(const QString &path, int orientation)
{
    return exiftool(path, {QStringLiteral("-Orientation#=%1").arg(orientation)});
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray withJpegFrameSize(QByteArray jpeg, int width, int height)
{
    for (int i = 2; i + 9 < jpeg.size(); ++i) {
        const auto marker = uchar(jpeg.at(i + 1));
        if (uchar(jpeg.at(i)) == 0xFF && (marker == 0xC0 || marker == 0xC2)) {
            jpeg[i + 5] = char(height >> 8);
            jpeg[i + 6] = char(height & 0xFF);
            jpeg[i + 7] = char(width >> 8);
            jpeg[i + 8] = char(width & 0xFF);
            return jpeg;
        }
    }
    return QByteArray();
}

SmallDrive::SmallDrive(const QString &folder, int kilobytes) : m_folder(folder)
{
    QDir().mkpath(folder);
    if (kilobytes <= 0)
        return;
    const QString options = QStringLiteral("size=%1k").arg(kilobytes);
    m_mounted = QProcess::execute("mount", {"-t", "tmpfs", "-o", options, "tmpfs", folder}) == 0;
}

SmallDrive::~SmallDrive()
{
    if (m_mounted)
        QProcess::execute("umount", {"-l", m_folder});
}

bool SmallDrive::makeReadOnly()
{
    return QProcess::execute("mount", {"-o", "remount,ro", m_folder}) == 0;
}

bool writeCut(const QString &from, const QString &to, double keep)
{
    const QByteArray bytes = readAll(from);
    return !bytes.isEmpty() && writeAll(to, bytes.left(int(bytes.size() * keep)));
}

QByteArray digest(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (file.open(QIODevice::ReadOnly))
        hash.addData(&file);
    return hash.result();
}

Difference difference(const QImage &a, const QImage &b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGBA8888);
    const QImage y = b.convertToFormat(QImage::Format_RGBA8888);
    Difference d;
    qint64 sum = 0;
    for (int row = 0; row < x.height(); ++row)
        for (int i = 0; i < x.width() * 4; ++i) {
            const int delta = qAbs(x.constScanLine(row)[i] - y.constScanLine(row)[i]);
            sum += delta;
            d.max = qMax(d.max, delta);
        }
    d.mean = double(sum) / qMax<qint64>(1, qint64(x.width()) * x.height() * 4);
    return d;
}

QString exifValues(const QString &path, const QStringList &tags)
{
    QProcess process;
    QStringList arguments{"-s3", "-n"};
    for (const QString &tag : tags)
        arguments << "-" + tag;
    process.start("exiftool", arguments << path);
    process.waitForFinished();
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QByteArray profileBytes(const QString &path)
{
    QProcess process;
    process.start("exiftool", {"-b", "-ICC_Profile", path});
    process.waitForFinished();
    return process.readAllStandardOutput();
}

RowOutcome runRow(const QString &source, const QString &output, int box)
{
    return ImageResizer::processRow(PlannedRow::single(source, output, box));
}

PlannedRow planned(const QString &source, const QString &output)
{
    return PlannedRow::single(source, output, 0);
}

RowOutcome process(const PlannedRow &row, int box)
{
    return RowLoad::process(row, box);
}

QStringList corpusFiles(const QString &folder, const QString &filter)
{
    const QString root = qEnvironmentVariable("PARVIMAGE_CORPORA");
    QStringList paths;
    const QDir dir(root + "/" + folder);
    if (root.isEmpty())
        return paths;
    for (const QString &name : dir.entryList({filter}, QDir::Files, QDir::Name))
        paths.append(dir.filePath(name));
    return paths;
}

} // namespace TestImages

namespace TestImages {

QImage libtiffRgba(const QString &path)
{
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tiff)
        return QImage();
    quint32 width = 0, height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    QImage image(int(width), int(height), QImage::Format_RGBA8888_Premultiplied);
    // Rows as stored, top first, whatever the file's orientation.
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    const bool read =
        !image.isNull() &&
        TIFFReadRGBAImageOriented(tiff, width, height, reinterpret_cast<quint32 *>(image.bits()),
                                  ORIENTATION_TOPLEFT, 0);
    TIFFClose(tiff);
    return read ? image : QImage();
}

int jpegFrameMarker(const QByteArray &jpeg)
{
    for (int at = 2; at + 4 <= jpeg.size() && uchar(jpeg[at]) == 0xff;) {
        const int marker = uchar(jpeg[at + 1]);
        if (marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc)
            return marker;
        at += 2 + (uchar(jpeg[at + 2]) << 8 | uchar(jpeg[at + 3]));
    }
    return 0;
}

} // namespace TestImages
