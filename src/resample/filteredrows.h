#pragma once

#include "resample/resampler.h"

#include <QImage>
#include <QImageIOHandler>
#include <QRgba64>

// Feeds a Resampler with stored rows of any of the usual pixel kinds and stores its rows in an
// image of the output's format; the result is turned upright at the end, which on the small
// output costs next to nothing.
class FilteredRows
{
public:
    // `format` is one formatFor() gives: grey, RGB32, ARGB32 or a 64-bit format, premultiplied
    // or not. Rows of `in` pixels go to an output of `out`, in the stored orientation.
    FilteredRows(const QSize &in, const QSize &out, QImageIOHandler::Transformations transform,
                 QImage::Format format);

    bool isValid() const { return m_resampler.isValid() && !m_out.isNull(); }
    int channels() const { return m_channels; }
    // 255 for 8-bit outputs, 65535 for 16-bit ones: the scale the input rows use.
    float maximum() const { return m_max; }

    // Convert one stored row, of in.width() pixels, and push it.
    void pushRgb32(const QRgb *pixels, bool alpha); // without alpha, 0xff in its place
    void pushRgb24(const uchar *pixels);            // red, green, blue bytes, opaque
    void pushRgba64(const QRgba64 *pixels, bool alpha);
    void pushGrey8(const uchar *pixels);
    void pushGrey16(const quint16 *pixels);
    // Colour-table indices: their colours, or their grey levels for a grey output.
    void pushIndexed(const uchar *indices, const QVector<QRgb> &table);
    // Red, green, blue and alpha floats a pixel (one float for a grey output), in the scale of
    // maximum(), alpha not applied.
    void pushFloats(const float *samples);
    // A row of luma and chroma samples, and alpha or none, converted by `matrix` into the
    // scale of maximum().
    struct YCbCr
    {
        float luma = 1, redCr = 0, greenCb = 0, greenCr = 0, blueCb = 0;
        float redOffset = 0, greenOffset = 0, blueOffset = 0;
    };
    void pushYCbCr(const float *luma, const float *cb, const float *cr, const float *alpha,
                   const YCbCr &matrix);

    // The upright output, once every stored row was pushed; taken out, so that the caller's
    // changes to it copy nothing.
    QImage result();

    // What the filter and a turned copy of the output take, besides the output itself.
    static qint64 memoryEstimate(const QSize &in, const QSize &out, QImage::Format format);
    // The format a filtered output has for rows of `format`: indexed and packed formats become
    // grey or RGB, as averaged pixels no longer fit in a colour table.
    static QImage::Format formatFor(QImage::Format format, bool hasAlpha);

private:
    // Where each sample stands among a pixel's four floats.
    struct Lanes
    {
        int red, green, blue, alpha;
    };
    float *inputRow() { return m_resampler.inputRow(); }
    void put(float *row, int x, float red, float green, float blue, float alpha) const
    {
        float *p = row + 4 * x;
        const float f = m_premultiply ? alpha / m_max : 1.0f;
        p[m_lanes.red] = red * f, p[m_lanes.green] = green * f, p[m_lanes.blue] = blue * f;
        p[m_lanes.alpha] = alpha;
    }
    void pushRow();
    void premultiplyRow(float *row) const;
    void store(int y, const float *row);

    QImage m_out; // in the stored orientation
    QImageIOHandler::Transformations m_transform;
    int m_channels;
    float m_max;
    bool m_premultiply;
    bool m_premultiplied;
    int m_inWidth;
    Lanes m_lanes{0, 1, 2, 3};
    Resampler m_resampler;
};
