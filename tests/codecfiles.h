#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

// Test files written and read by the codecs' own libraries, never by the program, so that the
// program is checked against them.
namespace CodecFiles {

// The image as EXIF `orientation` says to show it, by the standard's own words: mirrored left to
// right first where it says so, then turned clockwise.
QImage upright(const QImage &stored, int orientation);
// exiftool's EXIF orientation of the file, 1 where it has none.
int exifOrientation(const QString &path);

// An animation's frames as its library reads them.
struct Frames
{
    int count = 0;
    QList<int> durations; // in milliseconds
    int loops = -1;
    QSize canvas;
};

bool writeLosslessWebP(const QString &path, const QImage &image);
// Frames of the pattern, every other one inverted, with their own durations.
bool writeWebPAnimation(const QString &path, const QSize &size, const QList<int> &durations,
                        int loops, bool lossless);
Frames webpFrames(const QString &path);

// An animated PNG whose frames all show the pattern.
bool writeAnimatedPng(const QString &path, const QSize &size, int frames);

// How a JPEG XL file is written: what libjxl is asked for.
struct JxlFile
{
    bool lossless = true;
    float distance = 1;
    int orientation = 1;
    bool alpha = false;
    QByteArray exif; // the TIFF block, put in an Exif box after its 4-byte offset
    QByteArray xmp;
    bool compressBoxes = false; // as brob boxes, which exiftool cannot read
    QByteArray icc;
};
// libjxl's own encode of `image` as `file` says, 8 bits a sample.
bool writeJxl(const QString &path, const QImage &image, const JxlFile &file);
// Frames of the pattern, every other one inverted, with their own durations, lossless.
bool writeJxlAnimation(const QString &path, const QSize &size, const QList<int> &durations,
                       int loops);
Frames jxlFrames(const QString &path);
// Every box of a container file, by type: what a reader that knows no Brotli finds.
QStringList jxlBoxTypes(const QByteArray &file);
// An XMP packet that labels the photo "Vacances".
extern const QByteArray LabelXmp;

// A phone's photo: stored sideways with irot and EXIF orientation 6 saying the same, an XMP
// packet whose orientation says 6 too and a Display P3 profile.
bool writePhonePhoto(const QString &path, bool avif, const QImage &stored);
// libheif's own decode to interleaved RGBA, sampled as the program samples; null where libheif
// cannot decode the file.
QImage libheifDecode(const QString &path, int box);

// The program's decode of `path` fitted to `size`, null where it is refused.
QImage decodedWith(const QString &path, const QSize &size);
bool isLosslessFile(const QString &path);

} // namespace CodecFiles
