#include "row/sizelimit.h"

#include "resample/geometry.h"
#include "resample/wholeimage.h"

#include <cmath>

namespace SizeLimit {

namespace {

// Aimed at just under the limit: sizes do not follow the setting exactly.
constexpr double Aim = 0.95;
// Where no second point is known yet: the log of the size falls by about this much a setting
// step in every lossy writer here (measured between the Maximale and Compacte levels).
constexpr double SlopeGuess = 0.03;
// A file that fills this share of the limit wastes little: the search may stop there.
constexpr double Enough = 0.85;

int longSide(const QSize &size)
{
    return qMax(size.width(), size.height());
}

QImage withLongSide(const QImage &image, int side)
{
    return sampleSmooth(image, fitInSquare(image.size(), side));
}

struct Trial
{
    int setting = 0;
    qint64 size = 0;
    Encoded encoded;
};

class Search
{
public:
    Search(const Formats::Writer &writer, const Formats::EncodeRequest &request,
           const PhotoMetadata &metadata, qint64 maxBytes)
        : m_writer(writer), m_request(request), m_metadata(metadata), m_max(maxBytes)
    {}

    bool failed() const { return m_failed; }
    Formats::EncodeError error() const { return m_error; }
    int encodes() const { return m_encodes; }

    Trial trial(const QImage &image, int setting)
    {
        Trial t;
        t.setting = setting;
        Formats::EncodeRequest request = m_request;
        request.setting = setting;
        ++m_encodes;
        Formats::EncodeError error;
        if (!m_writer.encode(image, request, m_metadata, &t.encoded.bytes, &t.encoded.leftOut,
                             &error)) {
            m_error = error;
            m_failed = true;
        }
        t.size = t.encoded.bytes.size();
        t.encoded.pixels = image.size();
        t.encoded.fits = t.size <= m_max && !failed();
        return t;
    }

    // The highest setting at or under `top` whose file fits, from `first`, its encode at `top`:
    // secant steps on the log of the size until a file fits and fills most of the limit, then
    // one step up where the slope says it may still fit.
    Trial bestSetting(const QImage &image, const Trial &first)
    {
        const int floor = m_writer.floorSetting;
        const int top = first.setting < 0 ? m_writer.defaultSetting : first.setting;
        if (first.encoded.fits || failed() || floor < 0 || m_request.lossless || top <= floor)
            return first;
        Trial high = first, low, last = first;
        high.setting = last.setting = top;
        low.setting = floor - 1; // none fits yet
        double slope = SlopeGuess;
        while (high.setting - low.setting > 1 && !failed()) {
            const double step = std::log(m_max * Aim / double(last.size)) / slope;
            const int guess = qBound(qMax(low.setting + 1, floor),
                                     last.setting + int(std::floor(step)), high.setting - 1);
            Trial t = trial(image, guess);
            if (t.size > 0 && last.size > 0 && t.setting != last.setting) {
                const double measured = (std::log(double(last.size)) - std::log(double(t.size))) /
                                        (last.setting - t.setting);
                if (measured > 0.001)
                    slope = measured;
            }
            last = t;
            if (!t.encoded.fits) {
                high = t;
                if (t.setting == floor)
                    return t;
                continue;
            }
            low = t;
            const bool nextMayFit = t.size * std::exp(slope) <= m_max;
            if (t.size >= Enough * m_max && !nextMayFit)
                break;
        }
        return low;
    }

    // Fewer pixels, each time from the reduced image, at the setting `tooLarge` was encoded
    // at: secant steps on the log of the size against the log of the longest side, until a
    // file fits and fills most of the limit, or the smallest side is reached.
    Trial fewerPixels(const QImage &image, const Trial &tooLarge)
    {
        Trial last = tooLarge, fitting;
        int fits = SmallestSide - 1, fails = longSide(image.size());
        double slope = 2; // the size follows the pixels' count
        while (fails - fits > 1 && !failed()) {
            const double scale = std::exp(std::log(m_max * Aim / double(last.size)) / slope);
            const int side = qBound(qMax(fits + 1, SmallestSide),
                                    int(longSide(last.encoded.pixels) * scale), fails - 1);
            Trial t = trial(withLongSide(image, side), tooLarge.setting);
            const double measured =
                (std::log(double(last.size)) - std::log(double(t.size))) /
                (std::log(double(longSide(last.encoded.pixels))) - std::log(double(side)));
            if (measured > 0.1 && std::isfinite(measured))
                slope = measured;
            last = t;
            if (!t.encoded.fits) {
                fails = side;
                if (side == SmallestSide)
                    return t;
                continue;
            }
            fits = side;
            fitting = t;
            if (t.size >= Enough * m_max)
                break;
        }
        return fitting.encoded.fits ? fitting : last;
    }

private:
    const Formats::Writer &m_writer;
    const Formats::EncodeRequest &m_request;
    const PhotoMetadata &m_metadata;
    qint64 m_max;
    int m_encodes = 0;
    bool m_failed = false;
    Formats::EncodeError m_error;
};

} // namespace

int smallerBox(int box, qint64 bytes, qint64 maxBytes)
{
    const double scale = std::sqrt(maxBytes * 0.92 / double(qMax<qint64>(bytes, 1)));
    return qMax(SmallestSide, qMin(box - 1, int(box * qMin(scale, 0.95))));
}

Encoded encode(const QImage &image, const Formats::Writer &writer,
               const Formats::EncodeRequest &request, const PhotoMetadata &metadata,
               qint64 maxBytes)
{
    Search search(writer, request, metadata, maxBytes);
    Trial best = search.bestSetting(image, search.trial(image, request.setting));
    if (!best.encoded.fits && !search.failed())
        best = search.fewerPixels(image, best);
    best.encoded.encodes = search.encodes();
    best.encoded.setting = best.setting;
    best.encoded.error = search.error();
    best.encoded.failed = search.failed();
    return best.encoded;
}

} // namespace SizeLimit
