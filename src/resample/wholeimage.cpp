#include "resample/wholeimage.h"

#include "resample/filtersink.h"
#include "resample/geometry.h"
#include "resample/imagecopy.h"
#include "resample/nearestsink.h"

QImage resampled(const QImage &source, const QSize &size, Resampling resampling)
{
    if (source.isNull() || size.isEmpty())
        return QImage();
    const RowLayout layout =
        RowLayout::image(source.format(), source.hasAlphaChannel(), source.colorTable());
    const QRect whole(QPoint(0, 0), source.size());
    const auto make = resampling == Resampling::Smooth ? FilterSink::make : NearestSink::make;
    const std::unique_ptr<RowSink> sink =
        make(source.size(), whole, QImageIOHandler::TransformationNone, size, layout);
    if (!sink->isValid())
        return QImage();
    sink->pushImage(source);
    QImage result = sink->result();
    if (!result.isNull())
        copyImageMetadata(source, &result);
    return result;
}

QImage sampleNearest(const QImage &source, const QSize &size)
{
    return resampled(source, size, Resampling::Nearest);
}

QImage sampleSmooth(const QImage &source, const QSize &size)
{
    return resampled(source, size, Resampling::Smooth);
}
