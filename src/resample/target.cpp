#include "resample/target.h"

#include "resample/filteredrows.h"
#include "resample/filtersink.h"
#include "resample/geometry.h"
#include "resample/kernel.h"
#include "resample/nearestsink.h"
#include "resample/wholeimage.h"

namespace {

// The part's pixels in an upright image of `upright` pixels.
QSize partSize(const QRectF &part, const QSize &upright)
{
    return storedPart(part, upright, QImageIOHandler::TransformationNone).size();
}

qint64 imageBytes(const QSize &size, QImage::Format format)
{
    return qint64(size.width()) * size.height() * QImage::toPixelFormat(format).bitsPerPixel() / 8;
}

} // namespace

QSize Target::outputFor(const QSize &upright) const
{
    if (m_size.isValid())
        return m_size;
    return scaledToSide(partSize(m_part, upright), m_box, m_side);
}

qint64 Target::rowsRead(qint64 rows, const QSize &output) const
{
    if (m_resampling != Resampling::Nearest)
        return rows;
    return qMin<qint64>(rows, qMax(output.width(), output.height()));
}

int Target::reductionFor(const QVector<QSizeF> &reduced, const QSize &fitted,
                         QImageIOHandler::Transformations transform) const
{
    if (m_resampling == Resampling::Nearest)
        return -1;
    // Reduced, the rows must still leave the filter its share on each side of the output.
    const QSize out = turned(outputFor(fitted), transform);
    const QSizeF part = transform.testFlag(QImageIOHandler::TransformationRotate90)
                            ? m_part.size().transposed()
                            : m_part.size();
    for (int i = 0; i < reduced.size(); ++i) {
        const QSizeF rows(reduced.at(i).width() * part.width(),
                          reduced.at(i).height() * part.height());
        if (rows.width() >= Kernel::FilterShare * out.width() &&
            rows.height() >= Kernel::FilterShare * out.height())
            return i;
    }
    return -1;
}

std::unique_ptr<RowSink> Target::sink(const QSize &rows, const QSize &fitted,
                                      QImageIOHandler::Transformations transform,
                                      const RowLayout &layout) const
{
    const QRect part = storedPart(m_part, rows, transform);
    const QSize out = outputFor(fitted);
    if (m_resampling == Resampling::Smooth)
        return FilterSink::make(rows, part, transform, turned(out, transform), layout);
    return NearestSink::make(rows, part, transform, out, layout);
}

QImage Target::resample(const QImage &image, const QSize &size) const
{
    return resampled(image, size, m_resampling);
}

QImage Target::fitted(const QImage &upright) const
{
    const QSize size = outputFor(upright.size());
    if (m_part == QRectF(0, 0, 1, 1))
        return resample(upright, size);
    return resample(upright.copy(storedPart(m_part, upright.size(), {})), size);
}

qint64 Target::sinkEstimate(const QSize &rows, const QSize &fitted,
                            QImageIOHandler::Transformations transform,
                            const RowLayout &layout) const
{
    const QSize out = outputFor(fitted);
    if (m_resampling == Resampling::Nearest)
        return imageBytes(out, NearestSink::outputFormat(layout));
    const QImage::Format format = FilterSink::outputFormat(layout);
    const QSize part = storedPart(m_part, rows, transform).size();
    return imageBytes(out, format) +
           FilteredRows::memoryEstimate(part, turned(out, transform), format);
}
