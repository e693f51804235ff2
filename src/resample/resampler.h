#pragma once

#include <QImage>
#include <QImageIOHandler>
#include <QRgba64>
#include <QVector>

// How an output's pixels are made from the source's.
enum class Resampling
{
    Nearest, // each output pixel is the source pixel under its centre
    Smooth,  // a Lanczos 3 filter as wide as the reduction
};

// A separable Lanczos 3 resampler fed with the stored rows in order. Where the reduction is
// large, whole blocks of pixels are first averaged, as far as leaves the filter about twice
// the output's size: the filter's cost then no longer grows with the source. Only the rows
// the vertical pass still needs are kept; each output row is filtered down from them, then
// across. Colours are handed in premultiplied by their alpha, so that the hidden colour of
// transparent pixels never bleeds into their neighbours.
class Resampler
{
public:
    // `channels` is 1 (grey) or 4 (red, green, blue, alpha). Rows of `in` go to an image of
    // `out`, both in the stored orientation.
    Resampler(const QSize &in, const QSize &out, int channels);

    bool isValid() const { return m_valid; }
    // Where the next stored row goes: in.width() pixels of `channels` floats.
    float *inputRow() { return m_blockX * m_blockY == 1 ? ringRow(m_rowsIn) : m_input.data(); }
    // Takes the row just written to inputRow(); `deliver(y, row)` gets every output row that
    // is now complete, out.width() pixels of `channels` floats.
    template <typename Deliver> void pushRow(Deliver deliver)
    {
        if (!averageRow())
            return;
        ++m_rowsIn;
        for (int count = readyRows(); count > 0; count = readyRows()) {
            filterDown(m_rowsOut, count);
            for (int k = 0; k < count; ++k) {
                filterAcross(m_column.constData() + qint64(k) * m_ringLanes);
                deliver(m_rowsOut, m_result.data());
                ++m_rowsOut;
            }
        }
    }

    // The memory the filter holds besides the rows it is handed, for `in` reduced to `out`.
    static qint64 memoryEstimate(const QSize &in, const QSize &out, int channels);

    // Blocks are averaged, and a JPEG reduced in its DCT, while the filter is still left this
    // much reduction to do.
    static constexpr double FilterShare = 1.9;
    // How many source pixels a side of the averaged blocks takes: 1 where the filter does it
    // all.
    static int blockSide(int inLength, int outLength);

    // One axis: output i reads `taps` inputs from start[i], with the weights from weight[i*taps].
    struct Axis
    {
        int taps = 0;
        QVector<int> start;
        QVector<float> weight;
    };
    // For `inLength` samples that stand for `inLength * scale / outLength` of the source.
    static Axis axis(int inLength, int outLength, double scale);

private:
    // Output rows are filtered down a few at once, so that each kept row is read from the
    // cache once for all of them.
    static constexpr int Batch = 4;
    int rowsNeeded(int y) const { return m_down.start.at(y) + m_down.taps; }
    int readyRows() const;
    float *ringRow(int row) { return m_ring.data() + qint64(row % m_ringRows) * m_ringLanes; }
    bool averageRow();
    void filterDown(int first, int count);
    void filterAcross(const float *column);

    QSize m_in, m_out;
    int m_channels;
    int m_blockX = 1, m_blockY = 1;
    int m_averagedWidth = 0;
    int m_ringLanes = 0; // floats in a kept row, rounded up to whole vectors
    int m_ringRows = 0;  // rows kept: those a batch of output rows reads
    bool m_valid = false;
    Axis m_across, m_down;
    QVector<float> m_input, m_ring, m_column, m_result;
    QVector<float> m_pairWeights; // the across weights as the wide vectors take them
    int m_storedIn = 0;           // stored rows handed in
    int m_rowsIn = 0;             // averaged rows kept
    int m_rowsOut = 0;
};

// Feeds a Resampler and stores its rows in an image of the output's format; the result is
// turned upright at the end, which on the small output costs next to nothing.
class SmoothRows
{
public:
    // `format` is one smoothFormat() gives: grey, RGB32, ARGB32 or a 64-bit format,
    // premultiplied or not.
    SmoothRows(const QSize &stored, QImageIOHandler::Transformations transform, int box,
               QImage::Format format);
    // The same for an output of `out` pixels, in the stored orientation.
    SmoothRows(const QSize &stored, const QSize &out, QImageIOHandler::Transformations transform,
               QImage::Format format);

    bool isValid() const { return m_resampler.isValid() && !m_out.isNull(); }
    int channels() const { return m_channels; }
    // 255 for 8-bit outputs, 65535 for 16-bit ones: the scale the input rows use.
    float maximum() const { return m_max; }
    float *inputRow() { return m_resampler.inputRow(); }
    // Sets pixel x of inputRow() from samples in the scale of maximum(), premultiplying
    // them where the output is neither opaque nor premultiplied already.
    void put(int x, float red, float green, float blue, float alpha)
    {
        float *p = inputRow() + 4 * x;
        const float f = m_premultiply ? alpha / m_max : 1.0f;
        p[m_lanes.red] = red * f, p[m_lanes.green] = green * f, p[m_lanes.blue] = blue * f;
        p[m_lanes.alpha] = alpha;
    }
    void pushRow();
    // The upright output, once every stored row was pushed; taken out, so that the caller's
    // changes to it copy nothing.
    QImage result();

    // Convert one stored row into inputRow() and push it.
    void pushRgb32(const QRgb *pixels, bool alpha); // without alpha, 0xff in its place
    void pushRgb24(const uchar *pixels);            // red, green, blue bytes, opaque
    void pushRgba64(const QRgba64 *pixels, bool alpha);
    // A row of luma and chroma samples, and alpha or none, converted by `matrix` into the
    // scale of maximum().
    struct YCbCr
    {
        float luma = 1, redCr = 0, greenCb = 0, greenCr = 0, blueCb = 0;
        float redOffset = 0, greenOffset = 0, blueOffset = 0;
    };
    void pushYCbCr(const float *luma, const float *cb, const float *cr, const float *alpha,
                   const YCbCr &matrix);
    void pushGrey8(const uchar *pixels);
    void pushGrey16(const quint16 *pixels);

    // What the filter and a turned copy of the output take, besides the output itself.
    static qint64 memoryEstimate(const QSize &stored, const QSize &out, QImage::Format format);
    // The output's size in the stored orientation.
    static QSize outputFor(const QSize &stored, QImageIOHandler::Transformations transform,
                           int box);

private:
    // Where each sample stands among a pixel's four floats.
    struct Lanes
    {
        int red, green, blue, alpha;
    };
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

// The format a smooth output has for a source decoded to `format`: indexed and packed formats
// become grey or RGB, as averaged pixels no longer fit in a colour table.
QImage::Format smoothFormat(QImage::Format format, bool hasAlpha);

// The toolkit mirrors and flips first, then turns a quarter clockwise.
QImage uprightImage(const QImage &image, QImageIOHandler::Transformations transform);

// Smooth resampling of a whole decoded image, keeping its colour space, resolution and text.
QImage sampleSmooth(const QImage &source, const QSize &target);

// The whole decoded image fitted to `box`, by either mode.
QImage sampleFitted(const QImage &source, int box, Resampling resampling);
