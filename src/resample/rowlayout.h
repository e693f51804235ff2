#pragma once

#include <QImage>
#include <QRgb>
#include <QVector>

#include <functional>

// Luma and chroma to red, green and blue, in floats: red = luma * y + redCr * cr + redOffset,
// and so on, in the scale of the output's samples.
struct YCbCrMatrix
{
    float luma = 1, redCr = 0, greenCb = 0, greenCr = 0, blueCb = 0;
    float redOffset = 0, greenOffset = 0, blueOffset = 0;
};

// What a decoder's stored rows hold, as it pushes them into a RowSink.
struct RowLayout
{
    enum class Kind
    {
        // Rows of `format`'s pixels, any format the toolkit has; Indexed8 with `colorTable`.
        Image,
        // Red, green, blue and alpha floats a pixel, alpha not applied, in the scale of
        // `format`'s samples (255 or 65535); one float a pixel for a grey `format`.
        Floats,
        // Luma, chroma (one sample a pixel) and alpha (or none) floats a pixel, for an 8-bit
        // `format`.
        YCbCr,
    };
    Kind kind = Kind::Image;
    // The rows' format for Image, the output's for Floats and YCbCr.
    QImage::Format format = QImage::Format_RGB32;
    QVector<QRgb> colorTable;
    // Whether the pixels' alpha is meant, where the format has one.
    bool alpha = false;
    // Indexed8 rows whose indices stand for grey levels: their table is a ramp of opaque greys.
    bool greyLevels = false;
    // YCbCr: the conversion as the filter takes it, and one pixel exactly as a whole decode of
    // the file gives it, from its samples (alpha 255 where there is none).
    YCbCrMatrix matrix;
    using Exact = std::function<QRgb(float luma, float cb, float cr, float alpha)>;
    Exact exact;

    static RowLayout image(QImage::Format format, bool alpha = false,
                           const QVector<QRgb> &table = QVector<QRgb>())
    {
        RowLayout layout;
        layout.format = format;
        layout.alpha = alpha;
        layout.colorTable = table;
        return layout;
    }
    static RowLayout floats(QImage::Format output, bool alpha)
    {
        RowLayout layout = image(output, alpha);
        layout.kind = Kind::Floats;
        return layout;
    }
    static RowLayout ycbcr(bool alpha, const YCbCrMatrix &matrix, const Exact &exact)
    {
        RowLayout layout = image(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32, alpha);
        layout.kind = Kind::YCbCr;
        layout.matrix = matrix;
        layout.exact = exact;
        return layout;
    }
};
