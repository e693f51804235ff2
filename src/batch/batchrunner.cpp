#include "batch/batchrunner.h"

#include "row/imageresizer.h"
#include "system/cancellation.h"
#include "system/workercores.h"

#include <QMetaObject>

#include <limits>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// Orders a task's making before its run for ThreadSanitizer, which does not see the toolkit's
// thread pool do it: one lock for every runner, since the task cannot read its runner before.
std::mutex &taskHandover()
{
    static std::mutex lock;
    return lock;
}

} // namespace

BatchRunner::BatchRunner(const QVector<PlannedRow> &plan, int workers, QObject *parent)
    : QObject(parent), m_plan(plan),
      m_outcomes(plan.size(), RowOutcome::make(RowOutcome::NotStarted)),
      m_workers(qMax(1, workers)), m_budget(defaultMemoryBudget()),
      m_estimate(ImageResizer::memoryCosts), m_process(ImageResizer::processRow),
      m_costs(plan.size(), -1), m_aloneCosts(plan.size(), -1), m_started(plan.size(), false)
{
    m_pool.setMaxThreadCount(m_workers);
    m_slotTaken.fill(false, m_workers);
}

BatchRunner::~BatchRunner()
{
    m_cancelled = true;
    if (m_planner)
        m_planner->wait();
    m_pool.waitForDone();
    // After the other threads' last hand-over.
    const std::lock_guard<std::mutex> lock(m_handedLock);
}

qint64 BatchRunner::defaultMemoryBudget()
{
    qint64 budget = qint64(512) << 20;
#ifdef Q_OS_UNIX
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && pageSize > 0)
        budget = qMin(budget, qint64(pages) * pageSize / 8);
#endif
    return budget;
}

void BatchRunner::setEstimate(Estimate estimate)
{
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
    m_planner.reset(QThread::create([this] { plan(); }));
    m_planner->start();
    if (!m_planner->isRunning() && !m_planner->isFinished())
        planWithoutThread();
    dispatch();
}

// No thread to read the headers on: every row counts as the whole budget and runs alone,
// on one core.
void BatchRunner::planWithoutThread()
{
    m_planner.reset();
    m_costs.fill(m_budget);
    m_aloneCosts.fill(std::numeric_limits<qint64>::max());
}

// On the planning thread: every pending row's estimate in list order, each handed to the
// owner's thread as soon as it is read.
void BatchRunner::plan()
{
    for (int row = 0; row < m_plan.size() && !m_cancelled; ++row) {
        if (!m_plan.at(row).hasWork())
            continue;
        const RowMemory::Costs costs = m_estimate(m_plan.at(row), m_workers);
        hand({row, qMax<qint64>(0, costs.oneCore), true, qMax<qint64>(0, costs.alone),
              RowOutcome()});
    }
    const std::lock_guard<std::mutex> lock(m_handedLock);
}

// The call is made under the lock too: the destructor's last lock then comes after it.
void BatchRunner::hand(const Handed &handed)
{
    const std::lock_guard<std::mutex> lock(m_handedLock);
    m_handed.push_back(handed);
    QMetaObject::invokeMethod(this, "collect", Qt::QueuedConnection);
}

void BatchRunner::collect()
{
    std::vector<Handed> handed;
    {
        const std::lock_guard<std::mutex> lock(m_handedLock);
        handed.swap(m_handed);
    }
    for (const Handed &each : handed) {
        if (each.estimated) {
            m_costs[each.row] = each.cost;
            m_aloneCosts[each.row] = each.alone;
            dispatch();
        } else {
            onRowDone(each.row, each.cost, each.slot, each.outcome);
        }
    }
}

void BatchRunner::cancel()
{
    m_cancelled = true;
    // The planning thread may hand nothing more: with no row in flight, the run ends here.
    dispatch();
}

// Passes over the rows already started, completing on the way those refused before any image
// is read.
void BatchRunner::skipDone()
{
    for (; m_next < m_plan.size() && !m_cancelled; ++m_next) {
        if (m_started.at(m_next))
            continue;
        if (m_plan.at(m_next).hasWork())
            return;
        m_started[m_next] = true;
        complete(m_next, m_plan.at(m_next).refusedOutcome());
    }
}

// Whether a row with work is still to start.
bool BatchRunner::rowsLeft() const
{
    for (int row = m_next; row < m_plan.size(); ++row)
        if (!m_started.at(row) && m_plan.at(row).hasWork())
            return true;
    return false;
}

int BatchRunner::takeSlot()
{
    const int slot = qMax(0, int(m_slotTaken.indexOf(false)));
    m_slotTaken[slot] = true;
    return slot;
}

// The largest row among the next LookAhead not started, the first in the list of equals; -1
// until all their estimates are read.
int BatchRunner::nextToStart() const
{
    int best = -1;
    const int end = qMin(m_plan.size(), m_next + LookAhead);
    for (int row = m_next; row < end; ++row) {
        if (m_started.at(row) || !m_plan.at(row).hasWork())
            continue;
        if (m_costs.at(row) < 0)
            return -1;
        if (best < 0 || m_costs.at(row) > m_costs.at(best))
            best = row;
    }
    return best;
}

// Re-entrant calls (a slot of rowFinished that processes events) leave the work to the
// outer call, which loops until nothing more can start.
void BatchRunner::dispatch()
{
    if (m_dispatching)
        return;
    m_dispatching = true;
    for (skipDone(); !m_cancelled && m_next < m_plan.size() && m_inFlight < m_workers; skipDone()) {
        const int row = nextToStart();
        if (row < 0)
            break;
        if (m_inFlight > 0 && m_reserved + m_costs.at(row) > m_budget)
            break;
        m_started[row] = true;
        // The last row, alone, gets every core, unless only one keeps it within the budget; the
        // others keep to their worker's.
        const bool last = m_inFlight == 0 && !rowsLeft();
        const qint64 alone = m_aloneCosts.at(row);
        startRow(row, last && (alone <= m_budget || alone <= m_costs.at(row)) ? m_workers : 1);
    }
    m_dispatching = false;
    const bool noMoreRows = m_cancelled || m_next == m_plan.size();
    if (m_running && m_inFlight == 0 && noMoreRows) {
        m_running = false;
        emit finished();
    }
}

// A row that throws, as an allocation that fails deep in a library does, is refused: the
// exception would end the process in the pool's thread.
void BatchRunner::startRow(int row, int cores)
{
    const qint64 cost = cores > 1 ? m_aloneCosts.at(row) : m_costs.at(row);
    const int slot = takeSlot();
    ++m_inFlight;
    m_reserved += cost;
    const PlannedRow planned = m_plan.at(row);
    std::function<void()> task = [this, row, cost, planned, cores, slot, process = m_process] {
        taskHandover().lock(); // before anything of the task is read
        taskHandover().unlock();
        RowOutcome outcome;
        try {
            const WorkerCores::Scope scope(cores, slot);
            const Cancellation::Scope cancellation(&m_cancelled);
            outcome = process(planned);
        } catch (const std::bad_alloc &) {
            outcome = RowOutcome::encodeFailed(QString(), true);
        } catch (const std::exception &e) {
            outcome = RowOutcome::make(RowOutcome::Unreadable, QString::fromLocal8Bit(e.what()));
        }
        hand({row, cost, false, 0, outcome, slot});
    };
    // The task, made on this thread, is seen whole by the worker that takes it.
    taskHandover().lock();
    taskHandover().unlock();
    m_pool.start(std::move(task));
}

void BatchRunner::complete(int row, const RowOutcome &outcome)
{
    m_outcomes[row] = outcome;
    ++m_finished;
    emit rowFinished(row);
}

void BatchRunner::onRowDone(int row, qint64 cost, int slot, const RowOutcome &outcome)
{
    if (slot >= 0 && slot < m_slotTaken.size())
        m_slotTaken[slot] = false;
    --m_inFlight;
    m_reserved -= cost;
    complete(row, outcome);
    dispatch();
}
