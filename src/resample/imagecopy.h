#pragma once

#include <QImage>
#include <QImageIOHandler>

#include <functional>

// What travels with an image's pixels when they are copied or turned.

// The resolution, colour space and texts of `source`, given to `target`.
void copyImageMetadata(const QImage &source, QImage *target);

// `source` with only the texts whose key `keep` accepts, its pixels shared.
QImage withTexts(const QImage &source, const std::function<bool(const QString &)> &keep);

// The part `rect` of `source` without copying its pixels: an image over them that keeps
// `source`'s buffer alive; a copy where the pixels are smaller than a byte.
QImage partOf(const QImage &source, const QRect &rect);

// The image turned upright: the toolkit mirrors and flips first, then turns a quarter
// clockwise.
QImage uprightImage(const QImage &image, QImageIOHandler::Transformations transform);
