#include "batch/batchplan.h"
#include "batch/batchreport.h"
#include "batch/batchrunner.h"
#include "batch/outcometext.h"
#include "resample/geometry.h"
#include "resample/wholeimage.h"
#include "system/peakmemory.h"
#include "testimages.h"
#include "testmain.h"

#include <QDirIterator>
#include <QImageReader>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <map>

// Real damaged and unusual files from public decoder test suites, kept beside the checkout and
// never copied into it. Without them (a user's own clone) the test skips.
class TestCorpus : public QObject
{
    Q_OBJECT

private slots:
    void everyFileGetsATruthfulOutcome_data();
    void everyFileGetsATruthfulOutcome();

private:
    static QStringList corpusFiles(const QString &root);
};

Q_DECLARE_METATYPE(Resampling)

namespace {

#ifdef PARVIMAGE_SANITIZED
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

constexpr int Box = 256;
// The largest decodes the corpus needs at once (an 18-megapixel grid AVIF and a 12-bit
// 6-megapixel AVIF, each with its decoder's threads), with the outputs and the process itself:
// 320 to 360 MB here, depending on which rows overlap.
constexpr long PeakLimitKb = 448 * 1024;

QSize expectedSize(const QString &source)
{
    return fitInSquare(TestImages::uprightSize(source), Box);
}

} // namespace

QStringList TestCorpus::corpusFiles(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    files.sort();
    return files;
}

void TestCorpus::everyFileGetsATruthfulOutcome_data()
{
    QTest::addColumn<Resampling>("resampling");
    QTest::newRow("nearest") << Resampling::Nearest;
    QTest::newRow("smooth") << Resampling::Smooth;
}

void TestCorpus::everyFileGetsATruthfulOutcome()
{
    QFETCH(Resampling, resampling);
    const QString root = qEnvironmentVariable("PARVIMAGE_CORPORA");
    if (root.isEmpty() || !QDir(root).exists())
        QSKIP(qPrintable(QString("no corpus folder at '%1': skipped").arg(root)));
    const QStringList sources = corpusFiles(root);
    QVERIFY(!sources.isEmpty());
    QVector<QByteArray> before;
    for (const QString &source : sources)
        before.append(TestImages::digest(source));

    QTemporaryDir out;
    BatchSettings settings;
    settings.options.geometry.size = Box;
    settings.rename = true;
    settings.pattern = "row";
    settings.destination = out.path();
    settings.options.geometry.resampling = resampling;
    const QVector<PlannedRow> plan = planBatch(sources, settings);
    BatchRunner runner(plan, QThread::idealThreadCount());
    QSignalSpy finished(&runner, &BatchRunner::finished);
    runner.start();
    QVERIFY(finished.count() == 1 || finished.wait(240000));

    std::map<QString, int> counts;
    for (int i = 0; i < plan.size(); ++i) {
        const RowOutcome &outcome = runner.outcomes().at(i);
        const QString name = QDir(root).relativeFilePath(sources.at(i));
        QCOMPARE(TestImages::digest(sources.at(i)), before.at(i));
        // Cut short: the toolkit alone would "decode" these, filling the rest with grey.
        if (name == "corrupt/pillow_truncated_jpeg.jpg" ||
            name == "corrupt/pillow_truncated_image.png")
            QCOMPARE(outcome.status, RowOutcome::Damaged);
        if (outcome.status == RowOutcome::Written) {
            QCOMPARE(TestImages::uprightSize(plan.at(i).outputs[0].path),
                     expectedSize(sources.at(i)));
            ++counts[QStringLiteral("written")];
        } else {
            QVERIFY2(!OutcomeText::reason(outcome).isEmpty(), qPrintable(name));
            QVERIFY2(!QFile::exists(plan.at(i).outputs[0].path), qPrintable(name));
            ++counts[OutcomeText::reason(outcome)];
        }
        qInfo("%s: %s", qPrintable(name),
              outcome.status == RowOutcome::Written ? "written"
                                                    : qPrintable(OutcomeText::reason(outcome)));
    }
    for (const auto &[what, count] : counts)
        qInfo("%4d  %s", count, qPrintable(what));

    const BatchReport report = BatchReport::make(plan, runner.outcomes());
    QVERIFY(report.text.count('\n') <= 2 * BatchReport::MaxListedFailures + 6);
    const long peak = peakResidentKb();
    qInfo("peak resident memory: %ld MB", peak / 1024);
    // The sanitizers' shadow memory and quarantine count too; and a second pass starts over
    // the heap the first one left, so only the first pass's peak is its own.
    if (!sanitized && resampling == Resampling::Nearest)
        QVERIFY(peak > 0 && peak < PeakLimitKb);
}

PARVIMAGE_TEST_MAIN(TestCorpus)
#include "tst_corpus.moc"
