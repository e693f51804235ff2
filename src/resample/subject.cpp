#include "resample/subject.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Interest is a matter of regions, not pixels: a copy this long is plenty, and quick.
constexpr int analysedSide = 128;

// Windows within this fraction of the best count as equal, so near-flat images stay centred.
constexpr double tolerance = 1e-4;

// `image` reduced by `factor` on each side, each pixel the mean of its block, in one pass;
// large blocks are sampled on every other row and column, which regions' means hardly notice.
QImage blockMeans(const QImage &image, int factor)
{
    const int w = std::max(1, image.width() / factor), h = std::max(1, image.height() / factor);
    QImage copy(w, h, QImage::Format_ARGB32_Premultiplied);
    std::vector<quint32> sums(size_t(w) * 4);
    const int rows = std::min(factor, image.height()), cols = std::min(factor, image.width());
    const int step = factor >= 4 ? 2 : 1;
    for (int y = 0; y < h; ++y) {
        std::fill(sums.begin(), sums.end(), 0);
        for (int k = 0; k < rows; k += step) {
            const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y * rows + k));
            for (int x = 0; x < w; ++x, row += cols) {
                quint32 *sum = &sums[size_t(x) * 4];
                for (int i = 0; i < cols; i += step) {
                    sum[0] += qRed(row[i]), sum[1] += qGreen(row[i]), sum[2] += qBlue(row[i]);
                    sum[3] += qAlpha(row[i]);
                }
            }
        }
        QRgb *out = reinterpret_cast<QRgb *>(copy.scanLine(y));
        const quint32 n = quint32((rows + step - 1) / step) * quint32((cols + step - 1) / step);
        for (int x = 0; x < w; ++x) {
            const quint32 *sum = &sums[size_t(x) * 4];
            out[x] = qRgba(int(sum[0] / n), int(sum[1] / n), int(sum[2] / n), int(sum[3] / n));
        }
    }
    return copy;
}

// The image in premultiplied 32-bit pixels, about analysedSide long.
QImage workingCopy(const QImage &image)
{
    // Premultiplied, so that transparent parts read as black: flat and dull.
    const QImage pixels = image.format() == QImage::Format_RGB32 ||
                                  image.format() == QImage::Format_ARGB32_Premultiplied
                              ? image
                              : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int factor = std::max(image.width(), image.height()) / analysedSide;
    return factor > 1 ? blockMeans(pixels, factor)
                      : pixels.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// How close a colour is to a skin tone, from 0 to 1: its direction in RGB near that of skin,
// whatever the lighting's strength, but neither in deep shadow nor blown out.
double skin(QRgb pixel)
{
    const double r = qRed(pixel), g = qGreen(pixel), b = qBlue(pixel);
    const double length = std::sqrt(r * r + g * g + b * b);
    const double brightness = qGray(pixel) / 255.0;
    if (brightness < 0.2 || brightness > 0.95)
        return 0;
    const double dr = r / length - 0.735, dg = g / length - 0.537, db = b / length - 0.414;
    return std::max(0.0, 1 - std::sqrt(dr * dr + dg * dg + db * db) / 0.15);
}

// Saturation squared, so that the faint tints of skies and walls hardly count.
double vividness(QRgb pixel)
{
    const int high = std::max({qRed(pixel), qGreen(pixel), qBlue(pixel)});
    const int low = std::min({qRed(pixel), qGreen(pixel), qBlue(pixel)});
    const double saturation = (high - low) / 255.0;
    return saturation * saturation;
}

std::vector<int> lumaOf(const QImage &rgb)
{
    std::vector<int> luma(size_t(rgb.width()) * rgb.height());
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x)
            luma[size_t(y) * rgb.width() + x] = qGray(row[x]);
    }
    return luma;
}

// The interest of each pixel of `rgb`, row after row: edges of its luma (a Laplacian, small
// steps left out as noise), vividness and skin.
std::vector<double> interest(const QImage &rgb)
{
    const int w = rgb.width(), h = rgb.height();
    const std::vector<int> luma = lumaOf(rgb);
    auto at = [&](int x, int y) { return luma[size_t(y) * w + x]; };
    std::vector<double> out(luma.size());
    for (int y = 0; y < h; ++y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            // The picture's own border is no edge of anything, and has no pixels past it.
            const bool border = x == 0 || y == 0 || x == w - 1 || y == h - 1;
            const int edge = border ? 0
                                    : std::abs(4 * at(x, y) - at(x - 1, y) - at(x + 1, y) -
                                               at(x, y - 1) - at(x, y + 1));
            const double detail = edge < 4 ? 0.0 : std::min(1.0, edge / 64.0);
            out[size_t(y) * w + x] = detail + vividness(row[x]) + skin(row[x]);
        }
    }
    return out;
}

// Sums of any rectangle of a w x h map in four look-ups.
class SummedArea
{
public:
    SummedArea(const std::vector<double> &values, int w, int h)
        : m_stride(w + 1), m_sums(size_t(w + 1) * (h + 1), 0.0)
    {
        for (int y = 0; y < h; ++y) {
            double row = 0;
            for (int x = 0; x < w; ++x) {
                row += values[size_t(y) * w + x];
                m_sums[index(x + 1, y + 1)] = m_sums[index(x + 1, y)] + row;
            }
        }
    }
    double sum(int x, int y, const QSize &size) const
    {
        const int r = x + size.width(), b = y + size.height();
        return m_sums[index(r, b)] - m_sums[index(x, b)] - m_sums[index(r, y)] +
               m_sums[index(x, y)];
    }

private:
    size_t index(int x, int y) const { return size_t(y) * m_stride + x; }
    int m_stride;
    std::vector<double> m_sums;
};

// How far the `window` of the `area` with the most interest lies from the centre, in half
// pixels; of the windows about as good as the best, the one nearest the centre.
QPoint bestWindow(const SummedArea &table, const QSize &area, const QSize &window)
{
    const int spanX = area.width() - window.width(), spanY = area.height() - window.height();
    std::vector<double> scores;
    scores.reserve(size_t(spanX + 1) * (spanY + 1));
    for (int y = 0; y <= spanY; ++y)
        for (int x = 0; x <= spanX; ++x)
            scores.push_back(table.sum(x, y, window));
    const double top = *std::max_element(scores.begin(), scores.end());
    const double good = top - tolerance * std::abs(top) - 1e-9;
    QPoint best;
    qint64 nearest = -1;
    for (int y = 0, i = 0; y <= spanY; ++y) {
        for (int x = 0; x <= spanX; ++x, ++i) {
            const qint64 dx = 2 * x - spanX, dy = 2 * y - spanY;
            if (scores[size_t(i)] >= good && (nearest < 0 || dx * dx + dy * dy < nearest))
                best = QPoint(int(dx), int(dy)), nearest = dx * dx + dy * dy;
        }
    }
    return best;
}

// Where a side of `length` starts on one of `total` pixels, for a window `halves` half pixels
// off the centre of a `span` the small copy let it move: ends map to ends. Half a pixel of the
// copy is below what it can tell, so that much off counts as centred.
int place(int halves, int span, int length, int total)
{
    const double offset =
        std::abs(halves) <= 1 ? 0.0 : halves * double(total - length) / (2 * span);
    return std::clamp(int(std::lround((total - length) / 2.0 + offset)), 0, total - length);
}

} // namespace

namespace Subject {

QRect frame(const QImage &image, const QSize &crop)
{
    const QSize size = crop.expandedTo(QSize(0, 0)).boundedTo(image.size());
    if (image.isNull() || size == image.size())
        return QRect(QPoint(0, 0), size);
    const QImage rgb = workingCopy(image);
    const double sx = double(rgb.width()) / image.width();
    const double sy = double(rgb.height()) / image.height();
    const QSize window(std::clamp(int(std::lround(size.width() * sx)), 0, rgb.width()),
                       std::clamp(int(std::lround(size.height() * sy)), 0, rgb.height()));
    const SummedArea table(interest(rgb), rgb.width(), rgb.height());
    const QPoint off = bestWindow(table, rgb.size(), window);
    const QSize span = rgb.size() - window;
    return QRect(place(off.x(), span.width(), size.width(), image.width()),
                 place(off.y(), span.height(), size.height(), image.height()), size.width(),
                 size.height());
}

} // namespace Subject
