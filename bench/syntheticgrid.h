#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <QVector>

// A grid HEIC or AVIF as phones write them, which libheif 1.15's own writer cannot make:
// `picture` cut into tiles of `tile` pixels (the last row and column running past its edges),
// each coded by libheif as an image of its own, under a grid item of the picture's size. The
// grid's transformations follow in `steps`, in order: "irot N" (quarter turns anticlockwise),
// "imir N" (1: left and right swap), "clap W H X Y" (the aperture's width, height and offsets,
// offsets in halves of a pixel).
bool writeSyntheticGrid(const QString &path, const QImage &picture, const QSize &tile, bool avif,
                        const QStringList &steps = {}, int quality = 80);
