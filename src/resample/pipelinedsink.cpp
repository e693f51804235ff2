#include "resample/pipelinedsink.h"

#include "system/helperthreads.h"
#include "system/workercores.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Rows on their way: enough that neither side waits on the other's every row.
constexpr int Depth = 32;

class PipelinedSink : public RowSink
{
public:
    PipelinedSink(std::unique_ptr<RowSink> inner, const QSize &rows, int rowBytes)
        : RowSink(rows, inner->columns()), m_inner(std::move(inner)), m_rowBytes(rowBytes),
          m_pixels(size_t(Depth) * size_t(rowBytes))
    {
        // Asked before any row is pushed, while the inner sink's answers are its whole plan.
        for (int y = m_inner->nextRow(0); y < rows.height(); y = m_inner->nextRow(y + 1))
            m_wanted.push_back(y);
        m_failed = !m_inner->isValid();
    }
    ~PipelinedSink() override { finish(); }

    // False where no thread could be started: the inner sink then takes the rows itself.
    bool start()
    {
        std::vector<std::thread> thread;
        if (!HelperThreads::start(&thread, &PipelinedSink::drain, this))
            return false;
        m_thread = std::move(thread.front());
        return true;
    }
    std::unique_ptr<RowSink> takeInner() { return std::move(m_inner); }

    int nextRow(int from) const override
    {
        const auto next = std::lower_bound(m_wanted.begin(), m_wanted.end(), from);
        return next == m_wanted.end() ? rowCount() : *next;
    }

    void pushImageRow(int y, const uchar *pixels) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_count < Depth; });
        const int slot = (m_first + m_count) % Depth;
        std::memcpy(&m_pixels[size_t(slot) * size_t(m_rowBytes)], pixels, size_t(m_rowBytes));
        m_rows[slot] = y;
        ++m_count;
        m_changed.notify_all();
    }
    // Not pipelined: never made for such rows.
    void pushFloatRow(int y, const float *samples) override
    {
        waitUntilDrained();
        m_inner->pushFloatRow(y, samples);
    }
    void pushYCbCrRow(int y, const float *luma, const float *cb, const float *cr,
                      const float *alpha) override
    {
        waitUntilDrained();
        m_inner->pushYCbCrRow(y, luma, cb, cr, alpha);
    }

    QImage result() override
    {
        finish();
        return m_lost ? QImage() : m_inner->result();
    }

private:
    void drain()
    {
        for (;;) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_count > 0 || m_finished; });
            if (m_count == 0)
                return;
            const int slot = m_first;
            lock.unlock();
            pushInner(m_rows[slot], &m_pixels[size_t(slot) * size_t(m_rowBytes)]);
            lock.lock();
            m_first = (m_first + 1) % Depth;
            --m_count;
            m_changed.notify_all();
        }
    }
    // Memory that runs out on this thread loses the image, not the process: the rows still
    // pushed are let through so that the decoder never waits.
    void pushInner(int y, const uchar *pixels)
    {
        if (m_lost)
            return;
        try {
            m_inner->pushImageRow(y, pixels);
        } catch (const std::bad_alloc &) {
            m_lost = true;
        }
    }
    void waitUntilDrained()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_count == 0; });
    }
    void finish()
    {
        if (!m_thread.joinable())
            return;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_finished = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    std::unique_ptr<RowSink> m_inner;
    const int m_rowBytes;
    std::vector<int> m_wanted;
    std::vector<uchar> m_pixels;
    int m_rows[Depth] = {};
    int m_first = 0;
    int m_count = 0;
    bool m_finished = false;
    bool m_lost = false; // on the draining thread until it is joined
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_thread;
};

} // namespace

std::unique_ptr<RowSink> pipelined(std::unique_ptr<RowSink> inner, const QSize &rows,
                                   const RowLayout &layout)
{
    if (WorkerCores::forThisThread() < 2 || layout.kind != RowLayout::Kind::Image ||
        !inner->isValid() || rows.isEmpty())
        return inner;
    const int depth = QImage(1, 1, layout.format).depth();
    const qint64 rowBytes = (qint64(rows.width()) * depth + 7) / 8;
    if (depth <= 0 || rowBytes > (qint64(1) << 26))
        return inner;
    auto sink = std::make_unique<PipelinedSink>(std::move(inner), rows, int(rowBytes));
    if (!sink->start())
        return sink->takeInner();
    return sink;
}
