#include "batch/batchrunner.h"
#include "formats/registry.h"
#include "syntheticgrid.h"
#include "system/workercores.h"
#include "testimages.h"
#include "testmain.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cerrno>

#include <dlfcn.h>
#include <pthread.h>

// A system that gives no more threads (a limit reached, no memory for a stack): each helper a
// row would start falls back to the row's own thread, with the outcome one core gives.
class TestThreadFailures : public QObject
{
    Q_OBJECT

private slots:
    void helpersRefused_data();
    void helpersRefused();
    void plannerRefused();

private:
    QTemporaryDir dir;
};

#if defined(PARVIMAGE_SANITIZED) || defined(__SANITIZE_THREAD__)
// The sanitizers start every thread themselves.
#define NO_INTERPOSITION
#endif

namespace {

// How many of the next threads asked for are refused.
std::atomic<int> refusals{0};

} // namespace

#ifndef NO_INTERPOSITION
extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attributes,
                              void *(*start)(void *), void *argument)
{
    using Create = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static const auto create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    int left = refusals.load();
    while (left > 0 && !refusals.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0 ? EAGAIN : create(thread, attributes, start, argument);
}
#endif

void TestThreadFailures::helpersRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("cjpeg"); // where the file is a JPEG
    QTest::addColumn<int>("box");
    QTest::addColumn<QString>("written"); // the format written, where the encoder is at stake
    QTest::addColumn<int>("refused");     // the threads refused from the decode's start

    QTest::newRow("JPEG bands") << "bands.jpg" << QStringList{"-restart", "1"} << 600 << QString()
                                << 1000;
    QTest::newRow("JPEG rows resampled beside the decode")
        << "rows.jpg" << QStringList{} << 600 << QString() << 1000;
    // The tile helper only: libde265 waits for ever for a worker of its own that never started.
    QTest::newRow("HEIC grid tiles") << "grid.heic" << QStringList() << 600 << QString() << 1;
    QTest::newRow("PNG deflated in shares")
        << "shares.jpg" << QStringList{} << 1600 << "png" << 1000;
}

void TestThreadFailures::helpersRefused()
{
#ifdef NO_INTERPOSITION
    QSKIP("thread creation cannot be intercepted under a sanitizer");
#endif
    QFETCH(QString, name);
    QFETCH(QStringList, cjpeg);
    QFETCH(int, box);
    QFETCH(QString, written);
    QFETCH(int, refused);
    const QString path = dir.filePath(name);
    const QImage picture = TestImages::pattern(QSize(1600, 1200));
    if (name.endsWith(".heic")) {
        QVERIFY(writeSyntheticGrid(path, picture, QSize(512, 512), false));
    } else {
        const QString ppm = dir.filePath("picture.ppm");
        QVERIFY(picture.save(ppm));
        QCOMPARE(QProcess::execute("cjpeg", cjpeg + QStringList{"-outfile", path, ppm}), 0);
    }
    const auto outcome = [&](int cores, QByteArray *bytes) {
        const WorkerCores::Scope scope(cores, 0);
        if (written.isEmpty())
            return TestImages::decoded(path, box, Resampling::Smooth);
        const QString output = dir.filePath(QString("out%1.").arg(cores) + written);
        const RowOutcome row = TestImages::runRow(path, output, box);
        *bytes = TestImages::readAll(output);
        return row.status == RowOutcome::Written ? QImage::fromData(*bytes) : QImage();
    };
    QByteArray alone;
    const QImage expected = outcome(1, &alone);
    QVERIFY(!expected.isNull());
    refusals = refused;
    QByteArray bytes;
    const QImage found = outcome(2, &bytes);
    QVERIFY2(refusals.exchange(0) < refused, "no thread was asked for");
    QCOMPARE(found, expected);
}

// The planning thread refused: every row runs alone on one core, and the run ends.
void TestThreadFailures::plannerRefused()
{
#ifdef NO_INTERPOSITION
    QSKIP("thread creation cannot be intercepted under a sanitizer");
#endif
    QVector<PlannedRow> plan;
    for (int i = 0; i < 3; ++i) {
        const QString source = dir.filePath(QString("row%1.jpg").arg(i));
        QVERIFY(TestImages::write(source, QSize(300, 200)));
        plan.append(PlannedRow::single(source, dir.filePath(QString("row%1-out.jpg").arg(i)), 100));
    }
    BatchRunner runner(plan, 2);
    QSignalSpy finished(&runner, &BatchRunner::finished);
    refusals = 1;
    runner.start();
    QCOMPARE(refusals.load(), 0);
    QVERIFY(finished.wait(20000));
    for (const RowOutcome &outcome : runner.outcomes())
        QCOMPARE(outcome.status, RowOutcome::Written);
}

PARVIMAGE_GUILESS_TEST_MAIN(TestThreadFailures)
#include "tst_threadfailures.moc"
