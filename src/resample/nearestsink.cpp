#include "resample/nearestsink.h"

#include "resample/geometry.h"

#include <QRgba64>

#include <algorithm>
#include <cmath>
#include <utility>

namespace NearestSink {

namespace {

bool copyable(int depth)
{
    return depth == 8 || depth == 16 || depth == 24 || depth == 32 || depth == 64;
}

// Three-byte pixels, copied as opaque blocks.
struct Bytes3
{
    uchar b[3];
};

QVector<int> indices(int outLength, int inLength, bool reversed, int offset)
{
    QVector<int> result(outLength);
    for (int i = 0; i < outLength; ++i) {
        const int index = nearestIndex(i, inLength, outLength);
        result[i] = offset + (reversed ? inLength - 1 - index : index);
    }
    return result;
}

// Which stored row and column each output pixel reads. With a quarter turn an output column
// reads one stored row; otherwise an output row does.
struct Plan
{
    bool quarterTurn = false;
    QVector<int> storedRow;    // per output row, or per output column with a quarter turn
    QVector<int> storedColumn; // per output column, or per output row with a quarter turn
};

// The toolkit mirrors and flips the stored image first, then turns it a quarter clockwise.
Plan plan(QImageIOHandler::Transformations transform, const QRect &part, const QSize &out)
{
    const bool mirror = transform & QImageIOHandler::TransformationMirror;
    const bool flip = transform & QImageIOHandler::TransformationFlip;
    Plan plan;
    plan.quarterTurn = transform & QImageIOHandler::TransformationRotate90;
    const int rows = plan.quarterTurn ? out.width() : out.height();
    const int columns = plan.quarterTurn ? out.height() : out.width();
    plan.storedRow = indices(rows, part.height(), plan.quarterTurn ? !flip : flip, part.top());
    plan.storedColumn = indices(columns, part.width(), mirror, part.left());
    return plan;
}

int roundTo(float value, float max)
{
    return int(std::clamp(value, 0.0f, max) + 0.5f);
}

class Sink : public RowSink
{
public:
    Sink(const QSize &rows, const Plan &plan, const QSize &out, const RowLayout &layout)
        : RowSink(rows, distinct(plan.storedColumn)), m_plan(plan), m_layout(layout),
          m_out(out, outputFormat(layout))
    {
        m_failed = m_out.isNull();
        // The rows' padding too: writers that copy whole rows would put stale memory in files.
        m_out.fill(0);
        m_convert = layout.kind == RowLayout::Kind::Image && m_out.format() != layout.format;
        if (m_out.format() == QImage::Format_Indexed8 && !m_convert)
            m_out.setColorTable(layout.colorTable);
        for (int i = 0; i < plan.storedRow.size(); ++i)
            m_order.append({plan.storedRow.at(i), i});
        std::sort(m_order.begin(), m_order.end());
    }

    int nextRow(int from) const override
    {
        const auto next =
            std::lower_bound(m_order.begin() + m_done, m_order.end(), std::make_pair(from, 0));
        return next == m_order.end() ? rowCount() : next->first;
    }

    void pushImageRow(int y, const uchar *pixels) override
    {
        if (m_convert) {
            QImage row(pixels, m_rows.width(), 1, m_layout.format);
            row.setColorTable(m_layout.colorTable);
            const QImage converted = row.convertToFormat(m_out.format());
            if (m_out.format() == QImage::Format_Indexed8 && m_out.colorCount() == 0)
                m_out.setColorTable(converted.colorTable());
            copyRow(y, converted.constScanLine(0));
            return;
        }
        copyRow(y, pixels);
    }

    void pushFloatRow(int y, const float *samples) override
    {
        const float max =
            m_out.depth() == 64 || m_out.format() == QImage::Format_Grayscale16 ? 65535.0f : 255.0f;
        switch (m_out.format()) {
        case QImage::Format_Grayscale8:
            return sample<uchar>(y, [&](int x) { return uchar(roundTo(samples[x], max)); });
        case QImage::Format_Grayscale16:
            return sample<quint16>(y, [&](int x) { return quint16(roundTo(samples[x], max)); });
        case QImage::Format_RGBX64:
        case QImage::Format_RGBA64:
        case QImage::Format_RGBA64_Premultiplied:
            return sample<QRgba64>(y, [&](int x) {
                const float *p = samples + 4 * x;
                return QRgba64::fromRgba64(quint16(roundTo(p[0], max)), quint16(roundTo(p[1], max)),
                                           quint16(roundTo(p[2], max)),
                                           quint16(roundTo(p[3], max)));
            });
        default:
            return sample<QRgb>(y, [&](int x) {
                const float *p = samples + 4 * x;
                return qRgba(roundTo(p[0], max), roundTo(p[1], max), roundTo(p[2], max),
                             roundTo(p[3], max));
            });
        }
    }

    void pushYCbCrRow(int y, const float *luma, const float *cb, const float *cr,
                      const float *alpha) override
    {
        sample<QRgb>(y, [&](int x) {
            return m_layout.exact(luma[x], cb[x], cr[x], alpha ? alpha[x] : 255.0f);
        });
    }

    QImage result() override { return std::exchange(m_out, QImage()); }

private:
    static QVector<int> distinct(QVector<int> columns)
    {
        std::sort(columns.begin(), columns.end());
        columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
        return columns;
    }

    // Fills every output row (or column, with a quarter turn) that reads stored row `y`, where
    // fetch(column) gives the stored pixel at that column in the output's pixel type.
    template <typename Pixel, typename Fetch> void sample(int y, Fetch fetch)
    {
        const QVector<int> &columns = m_plan.storedColumn;
        for (; m_done < m_order.size() && m_order.at(m_done).first <= y; ++m_done) {
            if (m_order.at(m_done).first < y || m_failed)
                continue;
            const int target = m_order.at(m_done).second;
            if (!m_plan.quarterTurn) {
                auto *line = reinterpret_cast<Pixel *>(m_out.scanLine(target));
                for (int x = 0; x < columns.size(); ++x)
                    line[x] = fetch(columns.at(x));
                continue;
            }
            for (int x = 0; x < columns.size(); ++x)
                reinterpret_cast<Pixel *>(m_out.scanLine(x))[target] = fetch(columns.at(x));
        }
    }

    template <typename Pixel> void copyAs(int y, const uchar *pixels)
    {
        const auto *in = reinterpret_cast<const Pixel *>(pixels);
        sample<Pixel>(y, [in](int x) { return in[x]; });
    }

    void copyRow(int y, const uchar *pixels)
    {
        switch (m_out.depth()) {
        case 8:
            return copyAs<quint8>(y, pixels);
        case 16:
            return copyAs<quint16>(y, pixels);
        case 24:
            return copyAs<Bytes3>(y, pixels);
        case 32:
            return copyAs<quint32>(y, pixels);
        default:
            return copyAs<quint64>(y, pixels);
        }
    }

    Plan m_plan;
    RowLayout m_layout;
    QImage m_out;
    bool m_convert = false;
    QVector<std::pair<int, int>> m_order; // (stored row, output row or column), in order
    int m_done = 0;                       // entries of m_order already filled
};

} // namespace

QImage::Format outputFormat(const RowLayout &layout)
{
    if (layout.kind != RowLayout::Kind::Image)
        return layout.format;
    const int depth = QImage::toPixelFormat(layout.format).bitsPerPixel();
    if (depth < 8)
        return QImage::Format_Indexed8;
    return copyable(depth) ? layout.format : QImage::Format_ARGB32;
}

std::unique_ptr<RowSink> make(const QSize &rows, const QRect &part,
                              QImageIOHandler::Transformations transform, const QSize &out,
                              const RowLayout &layout)
{
    return std::make_unique<Sink>(rows, plan(transform, part, out), out, layout);
}

} // namespace NearestSink
