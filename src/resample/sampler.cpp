#include "resample/sampler.h"

#include <QColorSpace>
#include <QVector>

#include <cstring>

QSize fitInSquare(const QSize &source, int box)
{
    // A very thin image would round to no pixels at all; it keeps one.
    return source.scaled(box, box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

namespace {

template <typename Pixel>
void sampleRows(const QImage &source, QImage &target, const QVector<int> &columns)
{
    const int inHeight = source.height();
    const int outHeight = target.height();
    for (int y = 0; y < outHeight; ++y) {
        const auto *in = reinterpret_cast<const Pixel *>(
            source.constScanLine(nearestIndex(y, inHeight, outHeight)));
        auto *out = reinterpret_cast<Pixel *>(target.scanLine(y));
        for (int x = 0; x < columns.size(); ++x)
            out[x] = in[columns.at(x)];
    }
}

// Three-byte pixels, copied as opaque blocks.
struct Bytes3
{
    uchar b[3];
};

} // namespace

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

QImage sampleNearest(const QImage &source, const QSize &target)
{
    if (source.isNull() || target.isEmpty())
        return QImage();
    if (source.depth() < 8)
        return sampleNearest(source.convertToFormat(QImage::Format_Indexed8), target);

    QImage result(target, source.format());
    if (result.isNull())
        return result;
    result.setColorTable(source.colorTable());
    copyImageMetadata(source, &result);
    QVector<int> columns(target.width());
    for (int x = 0; x < columns.size(); ++x)
        columns[x] = nearestIndex(x, source.width(), target.width());

    switch (source.depth()) {
    case 8:
        sampleRows<quint8>(source, result, columns);
        break;
    case 16:
        sampleRows<quint16>(source, result, columns);
        break;
    case 24:
        sampleRows<Bytes3>(source, result, columns);
        break;
    case 32:
        sampleRows<quint32>(source, result, columns);
        break;
    case 64:
        sampleRows<quint64>(source, result, columns);
        break;
    default:
        return sampleNearest(source.convertToFormat(QImage::Format_ARGB32), target);
    }
    return result;
}

namespace {

QVector<int> indices(int outLength, int inLength, bool reversed)
{
    QVector<int> result(outLength);
    for (int i = 0; i < outLength; ++i) {
        const int index = nearestIndex(i, inLength, outLength);
        result[i] = reversed ? inLength - 1 - index : index;
    }
    return result;
}

} // namespace

QImage uprightOutput(const QSize &stored, QImageIOHandler::Transformations transform, int box,
                     QImage::Format format)
{
    const bool quarterTurn = transform & QImageIOHandler::TransformationRotate90;
    return QImage(fitInSquare(quarterTurn ? stored.transposed() : stored, box), format);
}

SamplePlan samplePlan(QImageIOHandler::Transformations transform, const QSize &stored,
                      const QSize &out)
{
    const bool mirror = transform & QImageIOHandler::TransformationMirror;
    const bool flip = transform & QImageIOHandler::TransformationFlip;
    SamplePlan plan;
    plan.quarterTurn = transform & QImageIOHandler::TransformationRotate90;
    if (plan.quarterTurn) {
        plan.storedRow = indices(out.width(), stored.height(), !flip);
        plan.storedColumn = indices(out.height(), stored.width(), mirror);
    } else {
        plan.storedRow = indices(out.height(), stored.height(), flip);
        plan.storedColumn = indices(out.width(), stored.width(), mirror);
    }
    return plan;
}
