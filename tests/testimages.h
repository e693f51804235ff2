#pragma once

#include "formats/decoder.h"

#include "row/plannedrow.h"
#include "row/rowoutcome.h"
#include "rowload.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>

namespace TestImages {

// A photo-like image: smooth gradients with a few sharp edges, so that nearest-pixel
// sampling errors show.
QImage pattern(const QSize &size, QImage::Format format = QImage::Format_RGB32);

// Writes pattern(size) to path in the format its suffix names, HEIC, AVIF, WebP and JPEG XL
// (lossy) included.
bool write(const QString &path, const QSize &size, int quality = 90);

// A big-endian TIFF block as cameras write for EXIF: Make "Parvimage test", the orientation, and
// PixelXDimension/PixelYDimension of `stored` in an EXIF directory whose pointer has
// `pointerType` (4 LONG; 3 SHORT and 7 UNDEFINED as some writers get it wrong), the dimensions
// as `dimensionCount` values of `dimensionType`.
QByteArray exifBlock(int orientation, const QSize &stored, int pointerType = 4,
                     int dimensionType = 4, int dimensionCount = 1);

// True for the suffixes of HEIF and AVIF files, which the toolkit does not read.
bool isHeif(const QString &path);

// The size of the image at `path` once upright, whatever its format.
QSize uprightSize(const QString &path);

// The file decoded by the decoder its format opens, fitted to `box`; `*status` says how that
// went.
QImage decoded(const QString &path, int box, Resampling resampling = Resampling::Nearest,
               Formats::Status *status = nullptr);

// Runs exiftool's tag assignments (such as "-Artist=A") on the file in place.
bool exiftool(const QString &path, const QStringList &assignments);

// Sets the EXIF orientation tag with exiftool.
bool setOrientation(const QString &path, int orientation);

QByteArray readAll(const QString &path);
bool writeAll(const QString &path, const QByteArray &bytes);
// The file at `from` cut short to the share `keep` of its bytes, written to `to`.
bool writeCut(const QString &from, const QString &to, double keep);
// A hash of the file's bytes, to tell that it was left as it was.
QByteArray digest(const QString &path);

struct Difference
{
    double mean = 0;
    int max = 0;
};
// Per 8-bit sample of two images of the same size.
Difference difference(const QImage &a, const QImage &b);

// exiftool's values (-n) for `tags`, one line each.
QString exifValues(const QString &path, const QStringList &tags);
// The ICC profile's bytes, as exiftool finds them.
QByteArray profileBytes(const QString &path);

// Processes one row from `source` to `output`, in the format of the output's suffix.
RowOutcome runRow(const QString &source, const QString &output, int box);
// A row of one output from `source` to `output`, in the format of the output's suffix, its
// size set when it is processed.
PlannedRow planned(const QString &source, const QString &output);
// Processes `row` with its first output at `box`.
RowOutcome process(const PlannedRow &row, int box);

// The files of a corpus folder matching `filter`, by name; none without the corpus.
QStringList corpusFiles(const QString &folder, const QString &filter = "*");

// libtiff's own RGBA decode of a TIFF's first page, as stored (its orientation not applied),
// alpha premultiplied; null where libtiff's RGBA conversion cannot read it.
QImage libtiffRgba(const QString &path);

// A JPEG's frame marker's second byte (0xc0, 0xc1: sequential; 0xc2: progressive), found by
// walking its segments; 0 where there is none.
int jpegFrameMarker(const QByteArray &jpeg);

// Changes the frame size declared in a JPEG's SOF header, leaving the data as it is.
QByteArray withJpegFrameSize(QByteArray jpeg, int width, int height);

// A small file system mounted on `folder` while the object lives, as a full or read-only drive
// would be; with no size, just the folder. Mounting needs root and a system that allows it:
// isMounted() says whether it could.
class SmallDrive
{
public:
    SmallDrive(const QString &folder, int kilobytes);
    ~SmallDrive();
    SmallDrive(const SmallDrive &) = delete;
    SmallDrive &operator=(const SmallDrive &) = delete;

    bool isMounted() const { return m_mounted; }
    bool makeReadOnly();

private:
    QString m_folder;
    bool m_mounted = false;
};

} // namespace TestImages
