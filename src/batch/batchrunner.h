#pragma once

#include "batch/batchplan.h"
#include "row/imageresizer.h"

#include <QObject>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// Runs the planned rows off the GUI thread on at most `workers` threads, the largest first by
// their estimates among the next LookAhead rows not started (so that the run does not end on
// one large photo while the other worker idles), and reports each finished row on the thread
// that owns the runner; outcomes stay in list order. A row starts only when its memory
// estimate and those of the rows in flight fit in the memory budget; a row larger than the
// whole budget runs alone. The estimates are read from the files' headers on a
// thread of their own, ahead of the rows: the owner's thread never reads a file.
class BatchRunner : public QObject
{
    Q_OBJECT

public:
    using Estimate = std::function<qint64(const PlannedRow &row)>;
    using Costs = std::function<RowMemory::Costs(const PlannedRow &row, int cores)>;
    using Process = std::function<RowOutcome(const PlannedRow &row)>;

    BatchRunner(const QVector<PlannedRow> &plan, int workers = 1, QObject *parent = nullptr);
    ~BatchRunner() override;

    // 512 MiB, or an eighth of the physical memory where that is less.
    static qint64 defaultMemoryBudget();
    // These three are set before start(); the defaults are the real ones. The estimate is
    // called on the planning thread, the process on the workers.
    void setMemoryBudget(qint64 bytes) { m_budget = bytes; }
    void setCosts(Costs costs) { m_estimate = std::move(costs); }
    // The same estimate on any number of cores.
    void setEstimate(Estimate estimate);
    void setProcess(Process process) { m_process = std::move(process); }

    void start();
    // No row starts after this; rows in flight are asked to stop (decoders that can stop do),
    // and finished() follows the last of them, or comes at once where none is in flight.
    void cancel();

    bool isRunning() const { return m_running; }
    int finishedCount() const { return m_finished; }
    const QVector<RowOutcome> &outcomes() const { return m_outcomes; }

signals:
    void rowFinished(int row);
    void finished();

private slots:
    // On the owner's thread: takes what the other threads handed over.
    void collect();

private:
    // What the planning thread and the workers hand over, under a lock the sanitizers see,
    // with a queued call that carries nothing.
    struct Handed
    {
        int row;
        qint64 cost;
        bool estimated; // else the row is done
        qint64 alone;   // the estimate on every core
        RowOutcome outcome;
        int slot = -1; // the worker's, for a done row
    };
    void hand(const Handed &handed);
    void plan();
    void dispatch();
    void startRow(int row, int cores);
    void planWithoutThread();
    int nextToStart() const;
    bool rowsLeft() const;
    int takeSlot();
    void skipDone();
    void complete(int row, const RowOutcome &outcome);
    void onRowDone(int row, qint64 cost, int slot, const RowOutcome &outcome);

    QVector<PlannedRow> m_plan;
    QVector<RowOutcome> m_outcomes;
    int m_workers;
    qint64 m_budget;
    Costs m_estimate;
    Process m_process;
    // The rows among which the largest is started first.
    static constexpr int LookAhead = 32;
    QVector<qint64> m_costs;      // each row's estimate once the planning thread has read it, or -1
    QVector<qint64> m_aloneCosts; // the same, alone on every core
    QVector<bool> m_started;
    QVector<bool> m_slotTaken; // each worker's place, for the core it keeps to
    qint64 m_reserved = 0;     // the estimates of the rows in flight
    int m_next = 0;            // the first row not started
    int m_inFlight = 0;
    int m_finished = 0;
    bool m_running = false;
    std::atomic<bool> m_cancelled{false};
    bool m_dispatching = false;
    std::mutex m_handedLock;
    std::vector<Handed> m_handed;
    QThreadPool m_pool;
    std::unique_ptr<QThread> m_planner;
};
