#pragma once

#include <QObject>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// The one queue every job off the window's thread goes through: a run's rows now, a preview's
// renders and the list's thumbnails after them. A job starts when a worker is free and its
// memory fits the budget beside the jobs in flight (a job larger than the whole budget runs
// alone), the highest priority first, then the largest, then the first submitted. The queue
// keeps each job to the cores it grants (one beside others; every core to a job alone that
// is the last of its group) and answers for its cancellation; each job is told on the owner's
// thread when it starts and when it is done.
class JobQueue : public QObject
{
    Q_OBJECT

public:
    using Id = quint64;

    struct Job
    {
        int priority = 0;
        qint64 cost = 0;       // memory on one core
        qint64 costAlone = -1; // on every core; -1 for the same
        int group = 0;         // what cancelGroup() and closeGroup() name
        // On the owner's thread as the job starts.
        std::function<void()> started;
        // On a worker, with the cores and the cancellation the queue grants; it may throw.
        std::function<void()> run;
        // On the owner's thread once `run` has returned, or where it never started: `ran`
        // says which.
        std::function<void(bool ran)> done;
    };

    explicit JobQueue(int workers, QObject *parent = nullptr);
    // Jobs not started are dropped, those in flight are asked to stop and waited for.
    ~JobQueue() override;

    // 512 MiB, or an eighth of the physical memory where that is less.
    static qint64 defaultMemoryBudget();
    void setMemoryBudget(qint64 bytes) { m_budget = bytes; }
    int workers() const { return m_workers; }

    Id submit(Job job);
    // Several at once: the largest of them starts first, whichever comes first here.
    void submit(std::vector<Job> jobs);
    // A job not started is dropped; one in flight is asked to stop.
    void cancel(Id id);
    void cancelGroup(int group);
    // No more jobs of `group` are coming: its last may take every core.
    void closeGroup(int group);

private slots:
    // On the owner's thread: the jobs the workers handed back.
    void collect();

private:
    struct Entry
    {
        Id id = 0;
        Job job;
        qint64 reserved = 0;
        int slot = -1;
        bool running = false;
        std::atomic<bool> cancelled{false};
    };
    void dispatch();
    int nextToStart() const;
    int coresFor(const Entry &entry) const;
    void start(const std::shared_ptr<Entry> &entry, int cores);
    void finish(const std::shared_ptr<Entry> &entry, bool ran);
    int takeSlot();

    int m_workers;
    qint64 m_budget;
    Id m_nextId = 1;
    std::vector<std::shared_ptr<Entry>> m_waiting; // in the order submitted
    std::vector<std::shared_ptr<Entry>> m_running;
    std::vector<int> m_closed; // the groups no more jobs come for
    std::vector<bool> m_slotTaken;
    qint64 m_reserved = 0;
    bool m_dispatching = false;
    std::mutex m_handedLock;
    std::vector<std::shared_ptr<Entry>> m_handed;
    QThreadPool m_pool;
};
