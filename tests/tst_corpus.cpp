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
    void verdictsPerFolder_data();
    void verdictsPerFolder();

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

// The batch over `sources` into `destination`, as the window runs it.
bool runBatch(const QStringList &sources, Resampling resampling, const QString &destination,
              QVector<PlannedRow> *plan, QVector<RowOutcome> *outcomes)
{
    BatchSettings settings;
    settings.options.geometry.size = Box;
    settings.rename = true;
    settings.pattern = "row";
    settings.destination = destination;
    settings.options.geometry.resampling = resampling;
    *plan = planBatch(sources, settings);
    BatchRunner runner(*plan, QThread::idealThreadCount());
    QSignalSpy finished(&runner, &BatchRunner::finished);
    runner.start();
    if (finished.count() != 1 && !finished.wait(240000))
        return false;
    *outcomes = runner.outcomes();
    return true;
}

// Plain words, stable whatever the report says.
const char *statusName(RowOutcome::Status status)
{
    switch (status) {
    case RowOutcome::Pending:
        return "pending";
    case RowOutcome::Written:
        return "written";
    case RowOutcome::NotStarted:
        return "not started";
    case RowOutcome::AlreadyDone:
        return "already done";
    case RowOutcome::Unreadable:
        return "unreadable";
    case RowOutcome::Damaged:
        return "damaged";
    case RowOutcome::Changed:
        return "changed";
    case RowOutcome::TooLarge:
        return "too large";
    case RowOutcome::NoSuffix:
        return "no suffix";
    case RowOutcome::UnsupportedFormat:
        return "unsupported format";
    case RowOutcome::WriteFailed:
        return "write failed";
    case RowOutcome::DuplicateOutput:
        return "duplicate output";
    case RowOutcome::OverwritesListed:
        return "overwrites listed";
    case RowOutcome::MultipleImages:
        return "multiple images";
    }
    return "?";
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
    QVector<PlannedRow> plan;
    QVector<RowOutcome> outcomes;
    QVERIFY(runBatch(sources, resampling, out.path(), &plan, &outcomes));

    std::map<QString, int> counts;
    for (int i = 0; i < plan.size(); ++i) {
        const RowOutcome &outcome = outcomes.at(i);
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

    const BatchReport report = BatchReport::make(plan, outcomes);
    QVERIFY(report.text.count('\n') <= 2 * BatchReport::MaxListedFailures + 6);
    const long peak = peakResidentKb();
    qInfo("peak resident memory: %ld MB", peak / 1024);
    // The sanitizers' shadow memory and quarantine count too; and a second pass starts over
    // the heap the first one left, so only the first pass's peak is its own.
    if (!sanitized && resampling == Resampling::Nearest)
        QVERIFY(peak > 0 && peak < PeakLimitKb);
}

void TestCorpus::verdictsPerFolder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("verdicts"); // how many of its files each outcome took
    const struct
    {
        const char *folder;
        const char *verdicts;
    } folders[] = {
        {"cameras", "written 41"},
        {"corrupt", "written 15, unreadable 129, damaged 66, too large 1, multiple images 2"},
        {"gif", "written 37, damaged 2"},
        {"hdr", "written 8, damaged 1"},
        {"heif", "written 112, unreadable 2"},
        {"odd", "written 47, unreadable 2, unsupported format 1"},
        {"orientation", "written 27"},
        {"raw", "written 4, unreadable 1"},
        {"tiff", "written 89, multiple images 6"},
        {"webp", "written 145"},
    };
    for (const auto &row : folders)
        QTest::newRow(row.folder) << QString(row.folder) << QString(row.verdicts);
}

// A decoder that changes its verdict on a real file, for better or worse, changes a count here:
// the change is then a choice, the count updated with it.
void TestCorpus::verdictsPerFolder()
{
    QFETCH(QString, folder);
    QFETCH(QString, verdicts);
    const QString root = qEnvironmentVariable("PARVIMAGE_CORPORA");
    if (root.isEmpty() || !QDir(root).exists())
        QSKIP(qPrintable(QString("no corpus folder at '%1': skipped").arg(root)));
    const QStringList sources = corpusFiles(QDir(root).filePath(folder));
    QVERIFY2(!sources.isEmpty(), qPrintable(folder + " is missing from the corpus"));
    QTemporaryDir out;
    QVector<PlannedRow> plan;
    QVector<RowOutcome> outcomes;
    QVERIFY(runBatch(sources, Resampling::Nearest, out.path(), &plan, &outcomes));
    std::map<RowOutcome::Status, int> counts;
    for (const RowOutcome &outcome : outcomes)
        ++counts[outcome.status];
    QStringList found;
    for (const auto &[status, count] : counts)
        found.append(QString("%1 %2").arg(statusName(status)).arg(count));
    if (found.join(", ") != verdicts) // which files, to tell which changed
        for (int i = 0; i < sources.size(); ++i)
            qInfo("%s: %s", qPrintable(QDir(root).relativeFilePath(sources.at(i))),
                  statusName(outcomes.at(i).status));
    QCOMPARE(found.join(", "), verdicts);
}

PARVIMAGE_TEST_MAIN(TestCorpus)
#include "tst_corpus.moc"
