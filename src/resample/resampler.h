#pragma once

#include "resample/kernel.h"

#include <QSize>
#include <QVector>

// A separable Lanczos 3 resampler fed with the stored rows in order. Where the reduction is
// large, whole blocks of pixels are first averaged (see BlockAverage). Only the rows the
// vertical pass still needs are kept; each output row is filtered down from them, then across.
// Colours are handed in premultiplied by their alpha, so that the hidden colour of transparent
// pixels never bleeds into their neighbours.
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
    Kernel::Axis m_across, m_down;
    QVector<float> m_input, m_ring, m_column, m_result;
    QVector<float> m_pairWeights; // the across weights as the wide vectors take them
    int m_storedIn = 0;           // stored rows handed in
    int m_rowsIn = 0;             // averaged rows kept
    int m_rowsOut = 0;
};
