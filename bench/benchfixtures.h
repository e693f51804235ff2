#pragma once

#include <QImage>
#include <QList>
#include <QPair>
#include <QSize>
#include <QString>
#include <QStringList>

#include <functional>

// The benchmark's photo sets, made once in a folder that a later run with the same --sets
// finds again. Only the benchmark uses them: the tests make their own in fixtures/.
namespace Bench {

// The images of `folder` the benchmark reads, by name.
QStringList imagesIn(const QString &folder);

// Smooth light, some texture and sensor-like noise: compresses like a photo.
QImage photoLike(const QSize &size, quint32 seed);

// The same picture as the toolkit writes it in JPEG, at its default quality.
QByteArray jpegOf(const QSize &size, quint32 seed);

// `count` photo-like images named `prefix` and their number, in `format`.
bool generate(const QString &folder, const QString &prefix, int count, const QSize &size,
              const QByteArray &format, bool progressive);

// What a camera and a photo manager leave in a file: EXIF with GPS and a thumbnail, XMP, IPTC.
bool tagLikeACamera(const QString &path);
bool tagCopies(const QString &from, const QString &to);

// The same pictures in another form, through `convert` (which returns false on failure).
bool convertEach(const QString &from, const QString &to, int count,
                 const std::function<bool(const QString &, const QString &)> &convert);

// The converters convertEach takes: `source` written at `base` and the form's suffix.
bool asDisplayP3(const QString &source, const QString &base);
bool asPng(const QString &source, const QString &base);
bool asInterlacedPng(const QString &source, const QString &base);
bool asProgressive444(const QString &source, const QString &base);
bool asHeic(const QString &source, const QString &base);
bool asAvif(const QString &source, const QString &base);
bool asWebP(const QString &source, const QString &base);

// The sets made from photo-like pictures by the encoders' own tools or by libraries.
bool writeJxlPhotos(const QString &folder, int count, const QSize &size);
bool writeAnimation(const QString &folder);
bool writeGifAnimation(const QString &folder);
bool writePhoneHuge(const QString &folder);
bool writeGridHuge(const QString &folder);
bool writeHeic2048(const QString &folder);
bool writeBomb(const QString &folder);
bool writeRaws(const QString &folder, int count, const QSize &size, bool withPreview = false);
bool writeDeepTiffs(const QString &folder, int count, const QSize &size);
bool withRestartMarkers(const QString &source, const QString &folder);

// From the corpus beside the checkout, where it is: empty or false without it.
QString corpusFile(const QString &folder, const QString &name);
bool copiesOf(const QString &source, const QString &folder, const QString &suffix, int count,
              qint64 keep = -1);
bool ultraHdrSets(const QString &with, const QString &without);
QList<QPair<QString, QString>> corpusGrids();

} // namespace Bench
