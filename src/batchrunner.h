#pragma once

#include "batchplan.h"

#include <QObject>
#include <QThreadPool>

// Runs the planned rows off the GUI thread, starting them in list order on at most `workers`
// threads, and reports each finished row on the thread that owns the runner.
class BatchRunner : public QObject
{
    Q_OBJECT

public:
    BatchRunner(const QVector<PlannedRow> &plan, int box, int workers = 1,
                QObject *parent = nullptr);
    ~BatchRunner() override;

    void start();
    // No row starts after this; rows in flight finish.
    void cancel();

    bool isRunning() const { return m_running; }
    bool wasCancelled() const { return m_cancelled; }
    int finishedCount() const { return m_finished; }
    const QVector<RowOutcome> &outcomes() const { return m_outcomes; }

signals:
    void rowFinished(int row);
    void finished();

private:
    void dispatch();
    void complete(int row, const RowOutcome &outcome);
    void onRowDone(int row, const RowOutcome &outcome);

    QVector<PlannedRow> m_plan;
    QVector<RowOutcome> m_outcomes;
    int m_box;
    int m_workers;
    int m_next = 0;
    int m_inFlight = 0;
    int m_finished = 0;
    bool m_running = false;
    bool m_cancelled = false;
    bool m_dispatching = false;
    QThreadPool m_pool;
};
