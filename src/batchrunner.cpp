#include "batchrunner.h"

#include "imageresizer.h"

#include <QMetaObject>

BatchRunner::BatchRunner(const QVector<PlannedRow> &plan, int box, int workers, QObject *parent)
    : QObject(parent), m_plan(plan),
      m_outcomes(plan.size(), RowOutcome::make(RowOutcome::NotStarted)), m_box(box),
      m_workers(qMax(1, workers))
{
    m_pool.setMaxThreadCount(m_workers);
}

BatchRunner::~BatchRunner()
{
    m_cancelled = true;
    m_pool.waitForDone();
}

void BatchRunner::start()
{
    if (m_running)
        return;
    m_running = true;
    dispatch();
}

void BatchRunner::cancel()
{
    m_cancelled = true;
}

// Re-entrant calls (a slot of rowFinished that processes events) leave the work to the
// outer call, which loops until nothing more can start.
void BatchRunner::dispatch()
{
    if (m_dispatching)
        return;
    m_dispatching = true;
    while (!m_cancelled && m_next < m_plan.size() && m_inFlight < m_workers) {
        const int row = m_next++;
        if (m_plan.at(row).outcome.status != RowOutcome::Pending) {
            complete(row, m_plan.at(row).outcome);
            continue;
        }
        ++m_inFlight;
        const PlannedRow planned = m_plan.at(row);
        const int box = m_box;
        m_pool.start([this, row, planned, box] {
            const RowOutcome outcome = ImageResizer::processRow(planned, box);
            QMetaObject::invokeMethod(
                this, [this, row, outcome] { onRowDone(row, outcome); }, Qt::QueuedConnection);
        });
    }
    m_dispatching = false;
    const bool noMoreRows = m_cancelled || m_next == m_plan.size();
    if (m_running && m_inFlight == 0 && noMoreRows) {
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

void BatchRunner::onRowDone(int row, const RowOutcome &outcome)
{
    --m_inFlight;
    complete(row, outcome);
    dispatch();
}
