#include "resample/resampler.h"

#include "resample/blockaverage.h"
#include "resample/vectorpasses.h"

#include <QVarLengthArray>

#include <algorithm>

namespace {

int lanesFor(int width, int channels)
{
    return (width * channels + 3) / 4 * 4;
}

// How far apart the first rows of a batch of output rows are, at most.
int batchSpread(const Kernel::Axis &axis, int outLength, int batch)
{
    int spread = 0;
    for (int y = 0; y + 1 < outLength; ++y)
        spread = std::max(spread,
                          axis.start.at(std::min(y + batch - 1, outLength - 1)) - axis.start.at(y));
    return spread;
}

} // namespace

Resampler::Resampler(const QSize &in, const QSize &out, int channels)
    : m_in(in), m_out(out), m_channels(channels)
{
    if (in.isEmpty() || out.isEmpty() || (channels != 1 && channels != 4))
        return;
    m_blockX = Kernel::blockSide(in.width(), out.width());
    m_blockY = Kernel::blockSide(in.height(), out.height());
    m_averagedWidth = Kernel::averagedLength(in.width(), m_blockX);
    const int averagedHeight = Kernel::averagedLength(in.height(), m_blockY);
    // The blocks keep the source's geometry: a last, narrower block stands a little off.
    m_across =
        Kernel::axis(m_averagedWidth, out.width(), double(in.width()) / m_blockX / out.width());
    m_down =
        Kernel::axis(averagedHeight, out.height(), double(in.height()) / m_blockY / out.height());
    m_ringLanes = lanesFor(m_averagedWidth, channels);
    if (m_blockX * m_blockY > 1)
        m_input.resize(in.width() * channels);
    m_ringRows = m_down.taps + batchSpread(m_down, out.height(), Batch);
    m_ring.fill(0.0f, qint64(m_ringRows) * m_ringLanes);
    m_column.fill(0.0f, qint64(Batch) * m_ringLanes);
    m_result.fill(0.0f, out.width() * channels);
    if (channels == 4)
        m_pairWeights = VectorPasses::pairWeights(m_across, out.width());
    m_valid = true;
}

qint64 Resampler::memoryEstimate(const QSize &in, const QSize &out, int channels)
{
    const int bx = Kernel::blockSide(in.width(), out.width());
    const int by = Kernel::blockSide(in.height(), out.height());
    const QSize averaged(Kernel::averagedLength(in.width(), bx),
                         Kernel::averagedLength(in.height(), by));
    const qint64 lanes = lanesFor(averaged.width(), channels);
    const qint64 downTaps = Kernel::tapBound(averaged.height(), out.height());
    const qint64 across = qint64(out.width()) * Kernel::tapBound(averaged.width(), out.width());
    const qint64 down = qint64(out.height()) * downTaps;
    const qint64 spread = (Batch - 1) * (averaged.height() / out.height() + 1);
    return 4 * (qint64(in.width()) * channels + (downTaps + spread + Batch) * lanes +
                qint64(out.width()) * channels + 5 * across + down + out.width() + out.height());
}

// Adds the stored row's blocks to the ring's next row; true once a whole band of rows, or the
// last, is in it, averaged.
bool Resampler::averageRow()
{
    ++m_storedIn;
    if (m_blockX == 1 && m_blockY == 1)
        return true;
    const bool first = (m_storedIn - 1) % m_blockY == 0;
    float *sum = ringRow(m_rowsIn);
    BlockAverage::add(m_input.constData(), sum, m_channels, m_blockX, m_in.width(), first);
    const int band = (m_storedIn - 1) % m_blockY + 1;
    if (band < m_blockY && m_storedIn < m_in.height())
        return false;
    BlockAverage::divide(sum, m_channels, m_blockX, m_in.width(), band);
    return true;
}

// The next output rows whose kept rows are all in: a whole batch, or what is left at the end.
int Resampler::readyRows() const
{
    const int left = m_out.height() - m_rowsOut;
    if (left == 0 || rowsNeeded(m_rowsOut) > m_rowsIn)
        return 0;
    const int batch = std::min(Batch, left);
    return rowsNeeded(m_rowsOut + batch - 1) <= m_rowsIn ? batch : 0;
}

void Resampler::filterDown(int first, int count)
{
    const int taps = m_down.taps;
    QVarLengthArray<const float *, 4 * 64> rows(count * taps);
    for (int k = 0; k < count; ++k)
        for (int t = 0; t < taps; ++t)
            rows[k * taps + t] = ringRow(m_down.start.at(first + k) + t);
    const float *weights = m_down.weight.constData() + qint64(first) * taps;
    VectorPasses::weighBatch(rows.constData(), weights, taps, count, m_ringLanes, m_column.data());
}

void Resampler::filterAcross(const float *source)
{
    float *target = m_result.data();
    if (m_channels == 4) {
        VectorPasses::weighPixels(source, m_across, m_pairWeights, m_out.width(), target);
        return;
    }
    const int taps = m_across.taps;
    for (int x = 0; x < m_out.width(); ++x) {
        const float *w = m_across.weight.constData() + x * taps;
        const float *sample = source + m_across.start.at(x);
        float sum = 0;
        for (int t = 0; t < taps; ++t)
            sum += w[t] * sample[t];
        target[x] = sum;
    }
}
