#include "batch/batchrunner.h"
#include "system/workercores.h"
#include "testmain.h"

#include <QElapsedTimer>
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
    Recorder(const QVector<qint64> &estimates, qint64 budget)
        : m_spans(estimates.size()), m_runner(makePlan(estimates), 100, 2)
    {
        m_clock.start();
        m_runner.setMemoryBudget(budget);
        m_runner.setEstimate(
            [estimates](const PlannedRow &row, int) { return estimates.at(row.source.toInt()); });
        m_runner.setProcess([this](const PlannedRow &row, int) {
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
        QVector<PlannedRow> plan(estimates.size());
        for (int i = 0; i < plan.size(); ++i)
            plan[i].source = QString::number(i);
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
    QTest::addColumn<QVector<int>>("cores");
    QTest::newRow("one photo alone, every core") << QVector<qint64>{100} << QVector<int>{2};
    QTest::newRow("alone for the budget but not the last, one core")
        << QVector<qint64>{100, 900} << QVector<int>{2, 1};
    QTest::newRow("two at once, one each") << QVector<qint64>{200, 200} << QVector<int>{1, 1};
}

// Rows beside another keep to one core; the last row, alone, gets them all.
void TestBatchRunner::cores()
{
    QFETCH(QVector<qint64>, estimates);
    QFETCH(QVector<int>, cores);
    Recorder recorder(estimates, 500);
    QVERIFY(recorder.run());
    QCOMPARE(recorder.cores(), cores);
    QCOMPARE(WorkerCores::forThisThread(), 0);
}

PARVIMAGE_GUILESS_TEST_MAIN(TestBatchRunner)
#include "tst_batchrunner.moc"
