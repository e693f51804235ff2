#include "batch/batchrunner.h"

#include <QMetaObject>

#include <limits>

namespace {

// Each runner's rows are a group of the queue of their own.
int newGroup()
{
    static std::atomic<int> groups{0};
    return ++groups;
}

} // namespace

BatchRunner::BatchRunner(const QVector<PlannedRow> &plan, int workers, QObject *parent)
    : BatchRunner(plan, nullptr, parent)
{
    m_ownQueue = std::make_unique<JobQueue>(workers);
    m_queue = m_ownQueue.get();
}

BatchRunner::BatchRunner(const QVector<PlannedRow> &plan, JobQueue *queue, QObject *parent)
    : QObject(parent), m_plan(plan),
      m_outcomes(plan.size(), RowOutcome::make(RowOutcome::NotStarted)), m_queue(queue),
      m_group(newGroup()), m_estimate([](const PlannedRow &row, int cores) {
          return ImageResizer::memoryCosts(row, cores);
      }),
      m_process([](const PlannedRow &row) { return ImageResizer::processRow(row); }),
      m_costs(plan.size(), -1), m_aloneCosts(plan.size(), -1), m_submitted(plan.size(), false),
      m_started(plan.size(), false)
{}

BatchRunner::~BatchRunner()
{
    m_cancelled = true;
    if (m_planner)
        m_planner->wait();
    // A shared queue must not call back into this runner.
    if (!m_ownQueue && m_queue)
        m_queue->cancelGroup(m_group);
    m_ownQueue.reset();
    // After the planning thread's last hand-over.
    const std::lock_guard<std::mutex> lock(m_handedLock);
}

void BatchRunner::setCosts(Costs costs)
{
    m_estimate = std::move(costs);
    m_ownRows = false;
}

void BatchRunner::setProcess(Process process)
{
    m_process = std::move(process);
    m_ownRows = false;
}

void BatchRunner::setEstimate(Estimate estimate)
{
    m_ownRows = false;
    m_estimate = [estimate](const PlannedRow &row, int) {
        const qint64 cost = estimate(row);
        return RowMemory::Costs{cost, cost};
    };
}

void BatchRunner::start()
{
    if (m_running)
        return;
    m_running = true;
    // Read here: the planning thread never touches the queue, which may go before it is seen
    // to end.
    m_workers = m_queue->workers();
    m_planner.reset(QThread::create([this] { plan(); }));
    m_planner->start();
    if (!m_planner->isRunning() && !m_planner->isFinished())
        planWithoutThread();
    advance();
}

// No thread to read the headers on: every row counts as the whole budget and runs alone,
// on one core.
void BatchRunner::planWithoutThread()
{
    m_planner.reset();
    m_costs.fill(JobQueue::defaultMemoryBudget());
    m_aloneCosts.fill(std::numeric_limits<qint64>::max());
}

// On the planning thread: every pending row's estimate in list order, each handed to the
// owner's thread as soon as it is read, under a lock the sanitizers see and with a queued
// call that carries nothing; the call is made under the lock too, so that the destructor's
// last lock comes after it.
void BatchRunner::plan()
{
    for (int row = 0; row < m_plan.size() && !m_cancelled; ++row) {
        if (!m_plan.at(row).hasWork())
            continue;
        const RowMemory::Costs costs = estimate(row);
        const std::lock_guard<std::mutex> lock(m_handedLock);
        m_handed.push_back({row, costs});
        QMetaObject::invokeMethod(this, "collect", Qt::QueuedConnection);
    }
    const std::lock_guard<std::mutex> lock(m_handedLock);
}

// The photo stays open for a row among the next to start, while no more are held than there
// are workers.
RowMemory::Costs BatchRunner::estimate(int row)
{
    const int workers = m_workers;
    if (!m_ownRows)
        return m_estimate(m_plan.at(row), workers);
    std::unique_ptr<Photo> opened;
    const RowMemory::Costs costs = ImageResizer::memoryCosts(m_plan.at(row), workers, &opened);
    const std::lock_guard<std::mutex> lock(m_opened->lock);
    if (row < m_opened->firstNotStarted + workers && int(m_opened->photos.size()) < workers)
        m_opened->photos[row] = std::move(opened);
    return costs;
}

void BatchRunner::collect()
{
    std::vector<Estimated> handed;
    {
        const std::lock_guard<std::mutex> lock(m_handedLock);
        handed.swap(m_handed);
    }
    for (const Estimated &each : handed) {
        m_costs[each.row] = qMax<qint64>(0, each.costs.oneCore);
        m_aloneCosts[each.row] = qMax<qint64>(0, each.costs.alone);
    }
    advance();
}

void BatchRunner::cancel()
{
    m_cancelled = true;
    // The planning thread may hand nothing more: with no row in flight, the run ends here.
    m_queue->cancelGroup(m_group);
    advance();
}

// Passes over the rows already started, completing on the way those refused before any image
// is read.
void BatchRunner::skipDone()
{
    for (; m_next < m_plan.size() && !m_cancelled; ++m_next) {
        if (m_started.at(m_next))
            continue;
        if (m_plan.at(m_next).hasWork())
            break;
        m_started[m_next] = true;
        complete(m_next, m_plan.at(m_next).refusedOutcome());
    }
    m_opened->firstNotStarted = m_next;
}

// Whether every row of the next LookAhead not started has its estimate: only then is the
// largest of them known.
bool BatchRunner::windowEstimated() const
{
    const int end = qMin(m_plan.size(), m_next + LookAhead);
    for (int row = m_next; row < end; ++row)
        if (!m_started.at(row) && m_plan.at(row).hasWork() && m_costs.at(row) < 0)
            return false;
    return true;
}

// The rows of the window go to the queue, which starts the largest of those waiting first;
// once every row is there, the last may take every core.
void BatchRunner::submitWindow()
{
    const int end = qMin(m_plan.size(), m_next + LookAhead);
    std::vector<JobQueue::Job> jobs;
    for (int row = m_next; row < end; ++row)
        if (!m_submitted.at(row) && m_plan.at(row).hasWork())
            jobs.push_back(job(row));
    if (end == m_plan.size())
        m_queue->closeGroup(m_group);
    if (!jobs.empty())
        m_queue->submit(std::move(jobs));
}

JobQueue::Job BatchRunner::job(int row)
{
    m_submitted[row] = true;
    ++m_inFlight;
    auto outcome = std::make_shared<RowOutcome>();
    JobQueue::Job job;
    job.cost = m_costs.at(row);
    job.costAlone = m_aloneCosts.at(row);
    job.group = m_group;
    job.started = [this, row] {
        m_started[row] = true;
        advance();
    };
    // A row that throws, as an allocation that fails deep in a library does, is refused: the
    // exception would end the process in the pool's thread.
    job.run = [outcome, row, planned = m_plan.at(row), process = m_process, own = m_ownRows,
               opened = m_opened] {
        std::unique_ptr<Photo> photo;
        {
            const std::lock_guard<std::mutex> lock(opened->lock);
            const auto kept = opened->photos.find(row);
            if (kept != opened->photos.end()) {
                photo = std::move(kept->second);
                opened->photos.erase(kept);
            }
        }
        try {
            *outcome = own ? ImageResizer::processRow(planned, std::move(photo)) : process(planned);
        } catch (const std::bad_alloc &) {
            *outcome = RowOutcome::encodeFailed(QString(), true);
        } catch (const std::exception &e) {
            *outcome = RowOutcome::make(RowOutcome::Unreadable, QString::fromLocal8Bit(e.what()));
        }
    };
    job.done = [this, row, outcome](bool ran) {
        --m_inFlight;
        if (ran)
            complete(row, *outcome);
        advance();
    };
    return job;
}

// Re-entrant calls (a job that starts or ends within a submission, a slot of rowFinished that
// processes events) leave the work to the outer call, which loops until nothing changes.
void BatchRunner::advance()
{
    if (m_advancing || !m_running)
        return;
    m_advancing = true;
    // Rows that start as they are submitted slide the window on.
    for (int before = -1; before != m_next;) {
        before = m_next;
        skipDone();
        if (!m_cancelled && windowEstimated())
            submitWindow();
        skipDone();
    }
    m_advancing = false;
    if (m_inFlight == 0 && (m_cancelled || m_next == m_plan.size())) {
        m_running = false;
        emit finished();
    }
}

void BatchRunner::complete(int row, const RowOutcome &outcome)
{
    m_outcomes[row] = outcome;
    ++m_finished;
    emit rowFinished(row);
}
