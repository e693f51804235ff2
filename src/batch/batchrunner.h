#pragma once

#include "batch/batchplan.h"
#include "batch/jobqueue.h"
#include "row/imageresizer.h"
#include "row/photo.h"

#include <QObject>
#include <QThread>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

// Runs the planned rows as jobs of a queue, the largest first by their estimates among the
// next LookAhead rows not started (so that the run does not end on one large photo while the
// other worker idles), and reports each finished row on the thread that owns the runner;
// outcomes stay in list order. The estimates are read from the files' headers on a thread of
// their own, ahead of the rows: the owner's thread never reads a file.
class BatchRunner : public QObject
{
    Q_OBJECT

public:
    using Estimate = std::function<qint64(const PlannedRow &row)>;
    using Costs = std::function<RowMemory::Costs(const PlannedRow &row, int cores)>;
    using Process = std::function<RowOutcome(const PlannedRow &row)>;

    // On a queue of its own with `workers` workers, or on `queue`.
    BatchRunner(const QVector<PlannedRow> &plan, int workers = 1, QObject *parent = nullptr);
    BatchRunner(const QVector<PlannedRow> &plan, JobQueue *queue, QObject *parent = nullptr);
    ~BatchRunner() override;

    // These are set before start(); the defaults are the real ones. The estimate is called on
    // the planning thread, the process on the workers.
    void setMemoryBudget(qint64 bytes) { m_queue->setMemoryBudget(bytes); }
    void setCosts(Costs costs);
    // The same estimate on any number of cores.
    void setEstimate(Estimate estimate);
    void setProcess(Process process);

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
    // On the owner's thread: the estimates the planning thread handed over.
    void collect();

private:
    struct Estimated
    {
        int row;
        RowMemory::Costs costs;
    };
    void plan();
    void planWithoutThread();
    void advance();
    void skipDone();
    bool windowEstimated() const;
    void submitWindow();
    JobQueue::Job job(int row);
    void complete(int row, const RowOutcome &outcome);

    // The photos the planning thread opened for rows about to start, taken by their rows: a
    // photo the row follows at once is opened once.
    struct Opened
    {
        std::mutex lock;
        std::map<int, std::unique_ptr<Photo>> photos;
        std::atomic<int> firstNotStarted{0};
    };
    RowMemory::Costs estimate(int row);

    QVector<PlannedRow> m_plan;
    QVector<RowOutcome> m_outcomes;
    std::shared_ptr<Opened> m_opened = std::make_shared<Opened>();
    bool m_ownRows = true; // the real estimate and process, which share openings
    std::unique_ptr<JobQueue> m_ownQueue;
    JobQueue *m_queue;
    int m_workers = 1;
    int m_group;
    Costs m_estimate;
    Process m_process;
    // The rows among which the largest is started first.
    static constexpr int LookAhead = 32;
    QVector<qint64> m_costs;      // each row's estimate once the planning thread has read it, or -1
    QVector<qint64> m_aloneCosts; // the same, alone on every core
    QVector<bool> m_submitted;
    QVector<bool> m_started;
    int m_next = 0;     // the first row not started
    int m_inFlight = 0; // submitted and not done
    int m_finished = 0;
    bool m_running = false;
    bool m_advancing = false;
    std::atomic<bool> m_cancelled{false};
    std::mutex m_handedLock;
    std::vector<Estimated> m_handed;
    std::unique_ptr<QThread> m_planner;
};
