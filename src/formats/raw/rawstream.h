#pragma once

#include "formats/format.h"

// Camera raw files through libraw. A raw is shrunk on load as a JPEG is in its DCT: the
// camera's own full-size preview where it is at least the output's size and of the sensor's
// proportions, else libraw's half-size demosaicing where that leaves at least the output's
// size, else the full demosaicing; camera white balance, sRGB, upright by the raw's own flag.
namespace RawStream {

using Status = Formats::Status;

// The JPEG format's own streaming decoder for a JPEG held in memory, fitted to a box and
// upright, and its memory estimate; the registry, which knows both formats, hands them over.
struct EmbeddedJpeg
{
    Status (*decode)(const QByteArray &jpeg, QImageIOHandler::Transformations transform, int box,
                     Resampling resampling, QImage *out, QString *error) = nullptr;
    qint64 (*memoryEstimate)(const QByteArray &jpeg, int box, Resampling resampling) = nullptr;
};
void setEmbeddedJpegDecoder(const EmbeddedJpeg &jpeg);

// The suffixes of the raws libraw reads, in lower case.
QList<QByteArray> suffixes();

// True where the name is a raw's and libraw reads the file.
bool recognise(const QString &path);

Status decodeScaled(const QString &path, QImageIOHandler::Transformations transform, int box,
                    Resampling resampling, QImage *out, QString *error);

// The unpacked mosaic, the demosaiced buffers at the scale chosen, and the output.
qint64 memoryEstimate(const QString &path, int box, Resampling resampling);

// The upright size of the full demosaiced image, invalid where libraw cannot read the file.
QSize uprightSize(const QString &path);

// How a row of `path` at `box` is decoded: "preview", "half" or "full"; empty where it is not
// read.
QByteArray pathFor(const QString &path, int box);

} // namespace RawStream
