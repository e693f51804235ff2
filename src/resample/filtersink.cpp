#include "resample/filtersink.h"

#include "resample/filteredrows.h"

#include <QRgba64>

#include <utility>

namespace FilterSink {

namespace {

FilteredRows::YCbCr filterMatrix(const YCbCrMatrix &m)
{
    FilteredRows::YCbCr matrix;
    matrix.luma = m.luma, matrix.redCr = m.redCr, matrix.greenCb = m.greenCb;
    matrix.greenCr = m.greenCr, matrix.blueCb = m.blueCb;
    matrix.redOffset = m.redOffset, matrix.greenOffset = m.greenOffset;
    matrix.blueOffset = m.blueOffset;
    return matrix;
}

class Sink : public RowSink
{
public:
    Sink(const QSize &rows, const QRect &part, QImageIOHandler::Transformations transform,
         const QSize &out, const RowLayout &layout)
        : RowSink(rows, allColumns(part)), m_part(part), m_layout(layout),
          m_format(outputFormat(layout)), m_filter(part.size(), out, transform, m_format),
          m_matrix(filterMatrix(layout.matrix))
    {
        m_failed = !m_filter.isValid();
    }

    int nextRow(int from) const override
    {
        if (from > m_part.bottom())
            return rowCount();
        return qMax(from, m_part.top());
    }

    void pushImageRow(int y, const uchar *pixels) override
    {
        if (!wanted(y))
            return;
        const int bytes = QImage::toPixelFormat(m_layout.format).bitsPerPixel() / 8;
        const uchar *first = pixels + qint64(m_part.left()) * bytes;
        if (m_layout.format == QImage::Format_Indexed8)
            return m_filter.pushIndexed(first, m_layout.colorTable);
        if (!direct(m_layout.format))
            return pushConverted(pixels);
        pushAs(m_layout.format, first);
    }

    void pushFloatRow(int y, const float *samples) override
    {
        if (wanted(y))
            m_filter.pushFloats(samples + qint64(m_part.left()) * m_filter.channels());
    }

    void pushYCbCrRow(int y, const float *luma, const float *cb, const float *cr,
                      const float *alpha) override
    {
        if (!wanted(y))
            return;
        const int x = m_part.left();
        m_filter.pushYCbCr(luma + x, cb + x, cr + x, alpha ? alpha + x : nullptr, m_matrix);
    }

    QImage result() override { return m_failed ? QImage() : m_filter.result(); }

private:
    static QVector<int> allColumns(const QRect &part)
    {
        QVector<int> columns(part.width());
        for (int i = 0; i < columns.size(); ++i)
            columns[i] = part.left() + i;
        return columns;
    }
    bool wanted(int y) const { return !m_failed && y >= m_part.top() && y <= m_part.bottom(); }
    static bool direct(QImage::Format format)
    {
        return FilteredRows::formatFor(format, false) == format ||
               FilteredRows::formatFor(format, true) == format;
    }

    void pushAs(QImage::Format format, const uchar *first)
    {
        const bool alpha = m_layout.alpha;
        switch (format) {
        case QImage::Format_Grayscale8:
            return m_filter.pushGrey8(first);
        case QImage::Format_Grayscale16:
            return m_filter.pushGrey16(reinterpret_cast<const quint16 *>(first));
        case QImage::Format_RGBX64:
        case QImage::Format_RGBA64:
        case QImage::Format_RGBA64_Premultiplied:
            return m_filter.pushRgba64(reinterpret_cast<const QRgba64 *>(first), alpha);
        default:
            return m_filter.pushRgb32(reinterpret_cast<const QRgb *>(first), alpha);
        }
    }

    // A row of another format, converted by the toolkit into the output's.
    void pushConverted(const uchar *pixels)
    {
        QImage row(pixels, m_rows.width(), 1, m_layout.format);
        row.setColorTable(m_layout.colorTable);
        const QImage converted = row.convertToFormat(m_format);
        const int bytes = converted.depth() / 8;
        pushAs(m_format, converted.constScanLine(0) + qint64(m_part.left()) * bytes);
    }

    QRect m_part;
    RowLayout m_layout;
    QImage::Format m_format;
    FilteredRows m_filter;
    FilteredRows::YCbCr m_matrix;
};

} // namespace

QImage::Format outputFormat(const RowLayout &layout)
{
    if (layout.kind != RowLayout::Kind::Image)
        return layout.format;
    if (layout.greyLevels)
        return QImage::Format_Grayscale8;
    return FilteredRows::formatFor(layout.format, layout.alpha);
}

std::unique_ptr<RowSink> make(const QSize &rows, const QRect &part,
                              QImageIOHandler::Transformations transform, const QSize &out,
                              const RowLayout &layout)
{
    return std::make_unique<Sink>(rows, part, transform, out, layout);
}

} // namespace FilterSink
