#include "batch/jobqueue.h"

#include "system/cancellation.h"
#include "system/workercores.h"

#include <QMetaObject>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// Orders a task's making before its run for ThreadSanitizer, which does not see the toolkit's
// thread pool do it: one lock for every queue, since the task cannot read its queue before.
std::mutex &taskHandover()
{
    static std::mutex lock;
    return lock;
}

} // namespace

JobQueue::JobQueue(int workers, QObject *parent)
    : QObject(parent), m_workers(qMax(1, workers)), m_budget(defaultMemoryBudget()),
      m_slotTaken(size_t(m_workers), false)
{
    m_pool.setMaxThreadCount(m_workers);
}

JobQueue::~JobQueue()
{
    m_waiting.clear();
    for (const std::shared_ptr<Entry> &entry : m_running)
        entry->cancelled = true;
    m_pool.waitForDone();
    // After the workers' last hand-back.
    const std::lock_guard<std::mutex> lock(m_handedLock);
}

qint64 JobQueue::defaultMemoryBudget()
{
    qint64 budget = qint64(512) << 20;
#ifdef Q_OS_UNIX
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && pageSize > 0)
        budget = qMin(budget, qint64(pages) * pageSize / 8);
#endif
    return budget;
}

JobQueue::Id JobQueue::submit(Job job)
{
    const Id id = m_nextId;
    std::vector<Job> one;
    one.push_back(std::move(job));
    submit(std::move(one));
    return id;
}

void JobQueue::submit(std::vector<Job> jobs)
{
    for (Job &job : jobs) {
        auto entry = std::make_shared<Entry>();
        entry->id = m_nextId++;
        entry->job = std::move(job);
        if (entry->job.costAlone < 0)
            entry->job.costAlone = entry->job.cost;
        m_waiting.push_back(entry);
    }
    dispatch();
}

void JobQueue::cancel(Id id)
{
    for (const std::shared_ptr<Entry> &entry : m_running)
        if (entry->id == id)
            entry->cancelled = true;
    const auto waiting = std::find_if(m_waiting.begin(), m_waiting.end(),
                                      [id](const auto &entry) { return entry->id == id; });
    if (waiting == m_waiting.end())
        return;
    const std::shared_ptr<Entry> dropped = *waiting;
    m_waiting.erase(waiting);
    if (dropped->job.done)
        dropped->job.done(false);
}

void JobQueue::cancelGroup(int group)
{
    for (const std::shared_ptr<Entry> &entry : m_running)
        if (entry->job.group == group)
            entry->cancelled = true;
    std::vector<std::shared_ptr<Entry>> dropped;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if ((*it)->job.group != group) {
            ++it;
            continue;
        }
        dropped.push_back(*it);
        it = m_waiting.erase(it);
    }
    for (const std::shared_ptr<Entry> &entry : dropped)
        if (entry->job.done)
            entry->job.done(false);
}

void JobQueue::closeGroup(int group)
{
    if (std::find(m_closed.begin(), m_closed.end(), group) == m_closed.end())
        m_closed.push_back(group);
}

// The highest priority, then the largest, then the first submitted.
int JobQueue::nextToStart() const
{
    int best = -1;
    for (int i = 0; i < int(m_waiting.size()); ++i) {
        const Job &job = m_waiting[size_t(i)]->job;
        if (best < 0)
            best = i;
        const Job &chosen = m_waiting[size_t(best)]->job;
        if (job.priority > chosen.priority ||
            (job.priority == chosen.priority && job.cost > chosen.cost))
            best = i;
    }
    return best;
}

// Every core for a job alone that is the last of its group, unless only one keeps it within
// the budget; one for the others, each on its worker's.
int JobQueue::coresFor(const Entry &entry) const
{
    const Job &job = entry.job;
    const bool closed = std::find(m_closed.begin(), m_closed.end(), job.group) != m_closed.end();
    const bool alone = m_running.empty() && m_waiting.size() == 1 && closed;
    return alone && (job.costAlone <= m_budget || job.costAlone <= job.cost) ? m_workers : 1;
}

// Re-entrant calls (a job's callback that submits or cancels) leave the work to the outer
// call, which loops until nothing more can start.
void JobQueue::dispatch()
{
    if (m_dispatching)
        return;
    m_dispatching = true;
    while (int(m_running.size()) < m_workers && !m_waiting.empty()) {
        const int next = nextToStart();
        const std::shared_ptr<Entry> entry = m_waiting[size_t(next)];
        if (!m_running.empty() && m_reserved + entry->job.cost > m_budget)
            break;
        const int cores = coresFor(*entry);
        m_waiting.erase(m_waiting.begin() + next);
        start(entry, cores);
    }
    m_dispatching = false;
}

int JobQueue::takeSlot()
{
    const auto free = std::find(m_slotTaken.begin(), m_slotTaken.end(), false);
    const int slot = free == m_slotTaken.end() ? 0 : int(free - m_slotTaken.begin());
    m_slotTaken[size_t(slot)] = true;
    return slot;
}

void JobQueue::start(const std::shared_ptr<Entry> &entry, int cores)
{
    entry->slot = takeSlot();
    entry->reserved = cores > 1 ? entry->job.costAlone : entry->job.cost;
    entry->running = true;
    m_running.push_back(entry);
    m_reserved += entry->reserved;
    if (entry->job.started)
        entry->job.started();
    std::function<void()> task = [this, entry, cores] {
        taskHandover().lock(); // before anything of the task is read
        taskHandover().unlock();
        try {
            const WorkerCores::Scope scope(cores, entry->slot);
            const Cancellation::Scope cancellation(&entry->cancelled);
            entry->job.run();
        } catch (...) {
            // the job's own to report; the process goes on
        }
        // The call is made under the lock too: the destructor's last lock then comes after it.
        const std::lock_guard<std::mutex> lock(m_handedLock);
        m_handed.push_back(entry);
        QMetaObject::invokeMethod(this, "collect", Qt::QueuedConnection);
    };
    // The task, made on this thread, is seen whole by the worker that takes it.
    taskHandover().lock();
    taskHandover().unlock();
    m_pool.start(std::move(task));
}

void JobQueue::collect()
{
    std::vector<std::shared_ptr<Entry>> handed;
    {
        const std::lock_guard<std::mutex> lock(m_handedLock);
        handed.swap(m_handed);
    }
    for (const std::shared_ptr<Entry> &entry : handed)
        finish(entry, true);
}

void JobQueue::finish(const std::shared_ptr<Entry> &entry, bool ran)
{
    m_running.erase(std::remove(m_running.begin(), m_running.end(), entry), m_running.end());
    if (entry->slot >= 0)
        m_slotTaken[size_t(entry->slot)] = false;
    m_reserved -= entry->reserved;
    if (entry->job.done)
        entry->job.done(ran);
    dispatch();
}
