#pragma once

#include "resample/rowlayout.h"

#include <QImage>
#include <QVector>

// Where a decoder pushes its stored rows, in order, at whatever reduction it took for free.
// The sink makes the output from them: it alone knows how output pixels are made, which stored
// rows and columns they read, and how the image turns upright.
class RowSink
{
public:
    virtual ~RowSink() = default;

    bool isValid() const { return !m_failed; }
    // The next stored row, from `from` on, that the output reads; rowCount() where none is
    // left. Decoders may skip the rows before it.
    virtual int nextRow(int from) const = 0;
    int rowCount() const { return m_rows.height(); }
    // The stored columns the output reads, in order: a decoder that converts its pixels one by
    // one need only convert these.
    const QVector<int> &columns() const { return m_columns; }

    // Takes stored row `y`, as the layout describes it; rows come in order.
    virtual void pushImageRow(int y, const uchar *pixels) = 0;
    virtual void pushFloatRow(int y, const float *samples) = 0;
    virtual void pushYCbCrRow(int y, const float *luma, const float *cb, const float *cr,
                              const float *alpha) = 0;
    // Every row of `image` (of the layout's format) pushed in turn.
    void pushImage(const QImage &image);

    // The upright output, once every row the sink reads was pushed; null where memory ran out.
    virtual QImage result() = 0;

protected:
    RowSink(const QSize &rows, const QVector<int> &columns) : m_rows(rows), m_columns(columns) {}
    QSize m_rows;
    QVector<int> m_columns;
    bool m_failed = false;
};
