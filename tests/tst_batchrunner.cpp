#include "batch/batchrunner.h"
#include "system/cancellation.h"
#include "system/workercores.h"
#include "testmain.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <mutex>
#include <numeric>

// The memory budget, with made-up estimates and rows that only record when they run.
class TestBatchRunner : public QObject
{
    Q_OBJECT

private slots:
    void budget_data();
    void budget();
    void cancelStopsBeforeNextRow();
    void cores_data();
    void cores();
    void stops_data();
    void stops();
    void queue_data();
    void queue();
};

namespace {

constexpr qint64 RowNs = 40 * 1000 * 1000;

struct Span
{
    qint64 start = -1;
    qint64 end = -1;
};

// Runs rows whose estimates are `estimates` on two workers and records when each ran.
class Recorder
{
public:
    Recorder(const QVector<qint64> &estimates, qint64 budget, QVector<qint64> alone = {})
        : m_spans(estimates.size()), m_runner(makePlan(estimates), 2)
    {
        m_clock.start();
        m_runner.setMemoryBudget(budget);
        if (alone.isEmpty())
            alone = estimates;
        m_runner.setCosts([estimates, alone](const PlannedRow &row, int) {
            const int i = row.source.toInt();
            return RowMemory::Costs{estimates.at(i), alone.at(i)};
        });
        m_runner.setProcess([this](const PlannedRow &row) {
            const int index = row.source.toInt();
            record(index, &Span::start);
            recordCores(index, WorkerCores::forThisThread());
            QThread::msleep(RowNs / 1000000);
            record(index, &Span::end);
            return RowOutcome::make(RowOutcome::Written);
        });
    }

    BatchRunner &runner() { return m_runner; }
    QVector<Span> spans() const { return m_spans; }
    QVector<int> cores() const { return m_cores; }

    bool run()
    {
        QSignalSpy finished(&m_runner, &BatchRunner::finished);
        m_runner.start();
        return finished.count() == 1 || finished.wait(10000);
    }

private:
    static QVector<PlannedRow> makePlan(const QVector<qint64> &estimates)
    {
        QVector<PlannedRow> plan;
        for (int i = 0; i < estimates.size(); ++i)
            plan.append(PlannedRow::single(QString::number(i), QString(), 100));
        return plan;
    }
    void recordCores(int row, int cores)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_cores[row] = cores;
    }
    void record(int row, qint64 Span::*field)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_spans[row].*field = m_clock.nsecsElapsed();
    }

    QVector<Span> m_spans;
    QVector<int> m_cores = QVector<int>(m_spans.size(), -1);
    std::mutex m_mutex; // one that ThreadSanitizer sees
    QElapsedTimer m_clock;
    BatchRunner m_runner;
};

} // namespace

void TestBatchRunner::budget_data()
{
    QTest::addColumn<QVector<qint64>>("estimates");
    QTest::addColumn<qint64>("budget");
    QTest::addColumn<bool>("someOverlap"); // two workers are still used where rows fit
    QTest::newRow("two that together exceed it") << QVector<qint64>{300, 300} << 500LL << false;
    QTest::newRow("one above it runs alone, the small ones together after it")
        << QVector<qint64>{100, 900, 100} << 500LL << true;
    QTest::newRow("small ones share it") << QVector<qint64>{100, 100, 100, 100} << 500LL << true;
    QTest::newRow("a smaller row that fits waits its turn")
        << QVector<qint64>{100, 450, 50} << 500LL << true;
    QTest::newRow("the largest, last in the list, first")
        << QVector<qint64>{100, 100, 100, 400} << 500LL << true;
    QTest::newRow("exactly the budget") << QVector<qint64>{250, 250, 250} << 500LL << true;
}

void TestBatchRunner::budget()
{
    QFETCH(QVector<qint64>, estimates);
    QFETCH(qint64, budget);
    QFETCH(bool, someOverlap);
    Recorder recorder(estimates, budget);
    QVERIFY(recorder.run());
    const QVector<Span> spans = recorder.spans();

    // The largest first, equals in list order.
    QVector<int> order(estimates.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return estimates.at(a) > estimates.at(b); });
    bool overlapped = false;
    for (int k = 0; k < order.size(); ++k) {
        const int j = order.at(k);
        QVERIFY(spans.at(j).start >= 0 && spans.at(j).end > spans.at(j).start);
        // Rows started together may reach their first line in either order; a row held back
        // starts a whole row's time later.
        if (k > 0)
            QVERIFY2(spans.at(j).start + RowNs / 3 >= spans.at(order.at(k - 1)).start,
                     "rows start largest first");
        qint64 inFlight = 0;
        int others = 0;
        for (int i = 0; i < spans.size(); ++i) {
            if (i != j && spans.at(i).start <= spans.at(j).start &&
                spans.at(j).start < spans.at(i).end) {
                inFlight += estimates.at(i);
                ++others;
            }
        }
        overlapped |= others > 0;
        QVERIFY2(others == 0 || inFlight + estimates.at(j) <= budget,
                 qPrintable(QString("row %1 started beside rows it does not fit with").arg(j)));
    }
    QCOMPARE(overlapped, someOverlap);
}

void TestBatchRunner::cancelStopsBeforeNextRow()
{
    Recorder recorder({300, 300, 300}, 500);
    BatchRunner &runner = recorder.runner();
    connect(&runner, &BatchRunner::rowFinished, &runner, [&runner](int row) {
        if (row == 0)
            runner.cancel();
    });
    QVERIFY(recorder.run());
    QCOMPARE(runner.outcomes().at(0).status, RowOutcome::Written);
    QCOMPARE(runner.outcomes().at(1).status, RowOutcome::NotStarted);
    QCOMPARE(runner.outcomes().at(2).status, RowOutcome::NotStarted);
    QCOMPARE(recorder.spans().at(1).start, -1);
}

void TestBatchRunner::cores_data()
{
    QTest::addColumn<QVector<qint64>>("estimates");
    QTest::addColumn<QVector<qint64>>("alone"); // on every core; empty where the same
    QTest::addColumn<QVector<int>>("cores");
    const QVector<qint64> same;
    QTest::newRow("one photo alone, every core") << QVector<qint64>{100} << same << QVector<int>{2};
    QTest::newRow("alone for the budget but not the last, one core")
        << QVector<qint64>{100, 900} << same << QVector<int>{2, 1};
    QTest::newRow("two at once, one each")
        << QVector<qint64>{200, 200} << same << QVector<int>{1, 1};
    QTest::newRow("the last alone, within the budget on every core")
        << QVector<qint64>{100} << QVector<qint64>{450} << QVector<int>{2};
    QTest::newRow("the last alone, over the budget on every core: one")
        << QVector<qint64>{100} << QVector<qint64>{600} << QVector<int>{1};
}

// Rows beside another keep to one core; the last row, alone, gets them all where they keep it
// within the budget.
void TestBatchRunner::cores()
{
    QFETCH(QVector<qint64>, estimates);
    QFETCH(QVector<qint64>, alone);
    QFETCH(QVector<int>, cores);
    Recorder recorder(estimates, 500, alone);
    QVERIFY(recorder.run());
    QCOMPARE(recorder.cores(), cores);
    QCOMPARE(WorkerCores::forThisThread(), 0);
}

namespace {

enum class Stop
{
    PlannerReading, // cancelled while the planning thread reads a header, nothing in flight
    RowRunning,     // cancelled while a row runs that does not look
    RowWatching,    // cancelled while a row runs that stops when asked
    RowThrows,      // a row's allocation fails
};

} // namespace

void TestBatchRunner::stops_data()
{
    QTest::addColumn<int>("stop");
    QTest::addColumn<bool>("finishedAtOnce"); // before the blocked thread goes on
    QTest::addColumn<QVector<int>>("statuses");
    const int written = RowOutcome::Written, notStarted = RowOutcome::NotStarted;
    QTest::newRow("while the planner reads")
        << int(Stop::PlannerReading) << true << QVector<int>{notStarted, notStarted};
    QTest::newRow("while a row runs")
        << int(Stop::RowRunning) << false << QVector<int>{written, notStarted};
    QTest::newRow("while a row that stops when asked runs")
        << int(Stop::RowWatching) << false << QVector<int>{notStarted, notStarted};
    QTest::newRow("a row that throws")
        << int(Stop::RowThrows) << false << QVector<int>{RowOutcome::WriteFailed, written};
}

// A cancel is always answered by finished(), at once where nothing is in flight; the rows in
// flight are told; a row that throws is a failed row, not the end of the process. Latches hold
// each thread where the cancel lands.
void TestBatchRunner::stops()
{
    QFETCH(int, stop);
    QFETCH(bool, finishedAtOnce);
    QFETCH(QVector<int>, statuses);
    const Stop where = Stop(stop);
    const QVector<PlannedRow> plan{PlannedRow::single("0", QString(), 100),
                                   PlannedRow::single("1", QString(), 100)};
    QSemaphore reached, release;
    BatchRunner runner(plan, 1);
    runner.setEstimate([&](const PlannedRow &row) {
        if (where == Stop::PlannerReading && row.source == "1") {
            reached.release();
            release.acquire();
        }
        return qint64(1);
    });
    runner.setProcess([&](const PlannedRow &row) {
        if (row.source == "0" && where == Stop::RowThrows)
            throw std::bad_alloc();
        if (row.source == "0" && where != Stop::PlannerReading) {
            reached.release();
            if (where == Stop::RowRunning)
                release.acquire();
            for (int i = 0; where == Stop::RowWatching && i < 10000; ++i) {
                if (Cancellation::requested(Cancellation::forThisThread()))
                    return RowOutcome::make(RowOutcome::NotStarted);
                QThread::msleep(1);
            }
        }
        return RowOutcome::make(RowOutcome::Written);
    });
    // Whatever fails, the blocked thread goes on before the runner waits for it.
    const auto unblock = qScopeGuard([&] { release.release(); });
    QSignalSpy finished(&runner, &BatchRunner::finished);
    runner.start();
    if (where != Stop::RowThrows) {
        QTRY_VERIFY_WITH_TIMEOUT(reached.available() > 0, 10000);
        runner.cancel();
    }
    QCOMPARE(finished.count() == 1, finishedAtOnce);
    release.release();
    QVERIFY(finished.count() == 1 || finished.wait(10000));
    for (int i = 0; i < plan.size(); ++i)
        QCOMPARE(int(runner.outcomes().at(i).status), statuses.at(i));
    if (where == Stop::RowThrows)
        QCOMPARE(runner.outcomes().at(0).writeProblem, RowOutcome::WriteProblem::OutOfMemory);
}

void TestBatchRunner::queue_data()
{
    // Four jobs submitted at once on one worker, behind a fifth that holds it: their priorities
    // and costs, which are cancelled (by id, or all of group 1), and the order expected.
    QTest::addColumn<QVector<int>>("priorities");
    QTest::addColumn<QVector<qint64>>("costs");
    QTest::addColumn<QVector<int>>("groups");
    QTest::addColumn<int>("cancelledJob"); // -1: none; 9: group 1
    QTest::addColumn<QVector<int>>("order");
    const QVector<int> one{0, 0, 0, 0};
    const QVector<qint64> same{1, 1, 1, 1};
    QTest::newRow("the first submitted among equals")
        << one << same << one << -1 << QVector<int>{0, 1, 2, 3};
    QTest::newRow("the largest first")
        << one << QVector<qint64>{1, 5, 3, 5} << one << -1 << QVector<int>{1, 3, 2, 0};
    QTest::newRow("the highest priority before the largest")
        << QVector<int>{0, 0, 2, 1} << QVector<qint64>{1, 9, 1, 1} << one << -1
        << QVector<int>{2, 3, 1, 0};
    QTest::newRow("one cancelled") << one << same << one << 2 << QVector<int>{0, 1, 3};
    QTest::newRow("a group cancelled")
        << one << same << QVector<int>{1, 2, 1, 2} << 9 << QVector<int>{1, 3};
}

// The queue's order, and cancellation by job and by group: what is dropped never runs and is
// told so.
void TestBatchRunner::queue()
{
    QFETCH(QVector<int>, priorities);
    QFETCH(QVector<qint64>, costs);
    QFETCH(QVector<int>, groups);
    QFETCH(int, cancelledJob);
    QFETCH(QVector<int>, order);
    JobQueue queue(1);
    QSemaphore hold;
    std::mutex lock;
    QVector<int> ran;
    int done = 0, dropped = 0;
    JobQueue::Job first;
    first.run = [&] { hold.acquire(); };
    first.done = [&](bool) { ++done; };
    queue.submit(first);
    std::vector<JobQueue::Job> jobs;
    for (int i = 0; i < priorities.size(); ++i) {
        JobQueue::Job job;
        job.priority = priorities.at(i);
        job.cost = costs.at(i);
        job.group = groups.at(i);
        job.run = [&, i] {
            const std::lock_guard<std::mutex> locked(lock);
            ran.append(i);
        };
        job.done = [&](bool hasRun) { ++(hasRun ? done : dropped); };
        jobs.push_back(job);
    }
    queue.submit(std::move(jobs));
    if (cancelledJob == 9)
        queue.cancelGroup(1);
    else if (cancelledJob >= 0)
        queue.cancel(JobQueue::Id(cancelledJob + 2)); // the first job's id is 1
    hold.release();
    QTRY_COMPARE(done, 1 + order.size());
    QCOMPARE(dropped, priorities.size() - order.size());
    const std::lock_guard<std::mutex> locked(lock);
    QCOMPARE(ran, order);
}

PARVIMAGE_GUILESS_TEST_MAIN(TestBatchRunner)
#include "tst_batchrunner.moc"
