#include "resample/imagecopy.h"

#include <QColorSpace>
#include <QTransform>

void copyImageMetadata(const QImage &source, QImage *target)
{
    target->setDotsPerMeterX(source.dotsPerMeterX());
    target->setDotsPerMeterY(source.dotsPerMeterY());
    target->setColorSpace(source.colorSpace());
    for (const QString &key : source.textKeys())
        target->setText(key, source.text(key));
}

QImage withTexts(const QImage &source, const std::function<bool(const QString &)> &keep)
{
    QImage result(source.constBits(), source.width(), source.height(), int(source.bytesPerLine()),
                  source.format());
    result.setColorTable(source.colorTable());
    result.setColorSpace(source.colorSpace());
    result.setDotsPerMeterX(source.dotsPerMeterX());
    result.setDotsPerMeterY(source.dotsPerMeterY());
    const QStringList keys = source.textKeys();
    for (const QString &key : keys)
        if (keep(key))
            result.setText(key, source.text(key));
    return result;
}

QImage uprightImage(const QImage &image, QImageIOHandler::Transformations transform)
{
    if (transform == QImageIOHandler::TransformationNone)
        return image;
    QImage result = image.mirrored(transform.testFlag(QImageIOHandler::TransformationMirror),
                                   transform.testFlag(QImageIOHandler::TransformationFlip));
    if (transform.testFlag(QImageIOHandler::TransformationRotate90))
        result = result.transformed(QTransform().rotate(90));
    return result;
}

QImage partOf(const QImage &source, const QRect &rect)
{
    const QRect part = rect.intersected(source.rect());
    if (source.depth() < 8 || part.isEmpty())
        return source.copy(part);
    auto *kept = new QImage(source);
    uchar *first = const_cast<uchar *>(kept->constBits()) +
                   qsizetype(part.y()) * kept->bytesPerLine() +
                   qsizetype(part.x()) * (kept->depth() / 8);
    QImage view(
        first, part.width(), part.height(), kept->bytesPerLine(), kept->format(),
        [](void *image) { delete static_cast<QImage *>(image); }, kept);
    view.setColorTable(source.colorTable());
    copyImageMetadata(source, &view);
    return view;
}
