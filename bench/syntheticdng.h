#pragma once

#include <QImage>
#include <QString>

// A camera-like raw file for the benchmark: `picture`'s colours as an RGGB Bayer mosaic of
// 12-bit samples, in an uncompressed DNG with its colour matrix and white balance; with
// `withPreview`, `picture` itself goes first as the camera's full-size JPEG preview. The EXIF
// `orientation` says how the camera was held.
bool writeSyntheticDng(const QString &path, const QImage &picture, bool withPreview = false,
                       int orientation = 1);
