#pragma once

#include <QImage>
#include <QMap>
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

// HEIF files of items put together by hand, for the files libheif's writer will not make: the
// first item is the primary.
namespace SyntheticHeif {

struct Item
{
    QByteArray type;                // "hvc1", "av01", "grid", "iovl"
    QVector<QByteArray> properties; // whole boxes, each its own in the ipco
    QByteArray data;                // coded bytes, or a derived image's description
    bool inIdat = false;            // the data in the meta box rather than the mdat
    bool hidden = false;
    QMap<QByteArray, QVector<int>> references; // by type ("dimg", "auxl"): items from 1
};

QByteArray bigEndian(quint32 value, int bytes);
QByteArray box(const char *type, const QByteArray &content);
QByteArray fullBox(const char *type, int version, int flags, const QByteArray &content);
QByteArray ispe(const QSize &size);
// `picture` coded alone: its decoder configuration box and coded bytes; a Grayscale8 picture
// as one plane, as alpha planes are coded.
bool code(const QImage &picture, bool avif, QByteArray *config, QByteArray *data);
bool write(const QString &path, const QVector<Item> &items, bool avif = false);

} // namespace SyntheticHeif
