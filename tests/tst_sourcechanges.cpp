#include "batch/batchrunner.h"
#include "batch/outcometext.h"
#include "testimages.h"
#include "testmain.h"

#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <functional>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// A photo changed by another program while a row reads it: the row is refused, the process
// lives, the rows beside it are written.
class TestSourceChanges : public QObject
{
    Q_OBJECT

private slots:
    void changedWhileRead_data();
    void changedWhileRead();

private:
    QString makeJpeg(const QString &name, const QSize &size, int seed);
    QString make(const QString &name, const QString &suffix, const QSize &size, int seed);
    QTemporaryDir dir;
};

namespace {

// The file's reads are watched in this process: once its header has been read and the first
// of its data is asked for (mapped, or read past its first bytes), the change is made before
// the read goes on. Another program would do it at any moment; here it lands at the worst one.
struct Watch
{
    std::atomic<bool> armed{false};
    dev_t device = 0;
    ino_t inode = 0;
    std::function<void()> change;
};

Watch watch;
std::atomic<bool> changeFailed{false};

bool isWatched(int fd)
{
    struct stat status;
    return fd >= 0 && fstat(fd, &status) == 0 && status.st_dev == watch.device &&
           status.st_ino == watch.inode;
}

void changeIfWatched(int fd)
{
    if (watch.armed && isWatched(fd) && watch.armed.exchange(false))
        watch.change();
}

template <typename Function> Function real(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using Mmap = void *(*)(void *, size_t, int, int, int, off_t);
using Pread = ssize_t (*)(int, void *, size_t, off_t);
// Looked up before any signal handler may map.
const Mmap realMmap = real<Mmap>("mmap");
const Pread realPread = real<Pread>("pread");

} // namespace

extern "C" void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset)
{
    void *mapped = realMmap(address, length, protection, flags, fd, offset);
    if (fd >= 0)
        changeIfWatched(fd);
    return mapped;
}

extern "C" void *mmap64(void *address, size_t length, int protection, int flags, int fd,
                        off_t offset)
{
    return mmap(address, length, protection, flags, fd, offset);
}

extern "C" ssize_t pread(int fd, void *to, size_t length, off_t offset)
{
    if (offset > 0)
        changeIfWatched(fd);
    return realPread(fd, to, length, offset);
}

extern "C" ssize_t pread64(int fd, void *to, size_t length, off_t offset)
{
    return pread(fd, to, length, offset);
}

QString TestSourceChanges::makeJpeg(const QString &name, const QSize &size, int seed)
{
    const QString ppm = dir.filePath(name + ".ppm");
    const QString jpeg = dir.filePath(name + ".jpg");
    QImage image = TestImages::pattern(size);
    image.setPixel(seed, seed, qRgb(255, 0, 0));
    if (!image.save(ppm))
        return QString();
    QProcess cjpeg;
    cjpeg.start("cjpeg",
                {"-restart", "1", "-quality", QString::number(80 + seed), "-outfile", jpeg, ppm});
    return cjpeg.waitForFinished() && cjpeg.exitCode() == 0 ? jpeg : QString();
}

QString TestSourceChanges::make(const QString &name, const QString &suffix, const QSize &size,
                                int seed)
{
    if (suffix == "jpg")
        return makeJpeg(name, size, seed);
    const QString path = dir.filePath(name + "." + suffix);
    return TestImages::write(path, size, 80 + seed) ? path : QString();
}

void TestSourceChanges::changedWhileRead_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("alone"); // last, on every core

    const QSize photo(3000, 2000);
    for (const char *change : {"truncated", "rewritten", "renamed over"}) {
        QTest::addRow("JPEG in bands, %s", change) << "jpg" << photo << change << true;
        QTest::addRow("JPEG beside others, %s", change) << "jpg" << photo << change << false;
        QTest::addRow("JPEG XL, %s", change) << "jxl" << QSize(1200, 800) << change << true;
        QTest::addRow("TIFF, %s", change) << "tif" << photo << change << true;
    }
    QTest::newRow("PNG, rewritten") << "png" << photo << "rewritten" << false;
}

void TestSourceChanges::changedWhileRead()
{
    QFETCH(QString, suffix);
    QFETCH(QSize, size);
    QFETCH(QString, change);
    QFETCH(bool, alone);
    const QString victim = make("victim", suffix, size, 1);
    // Of another size: a rewrite within the file system's clock tick still shows.
    const QString other = make("other", suffix, size + QSize(16, 16), 2);
    const QString before = make("before", "jpg", QSize(300, 200), 3);
    const QString after = make("after", "jpg", QSize(300, 200), 4);
    QVERIFY(!victim.isEmpty() && !other.isEmpty() && !before.isEmpty() && !after.isEmpty());

    const QStringList sources =
        alone ? QStringList{before, after, victim} : QStringList{before, victim, after};
    QVector<PlannedRow> plan;
    for (const QString &source : sources) {
        const QString output = dir.filePath("out-" + QFileInfo(source).fileName());
        QFile::remove(output);
        plan.append(PlannedRow::single(source, output, 1024));
    }
    struct stat status;
    QVERIFY(stat(QFile::encodeName(victim).constData(), &status) == 0);
    watch.device = status.st_dev;
    watch.inode = status.st_ino;
    const QByteArray otherBytes = TestImages::readAll(other);
    const QByteArray path = QFile::encodeName(victim);
    // On the reading thread: no test macro there.
    watch.change = [=] {
        bool done = false;
        if (change == "truncated") {
            done = truncate(path.constData(), QFileInfo(victim).size() / 3) == 0;
        } else if (change == "rewritten") {
            const int fd = open(path.constData(), O_WRONLY | O_TRUNC);
            done = fd >= 0 && write(fd, otherBytes.constData(), size_t(otherBytes.size())) ==
                                  ssize_t(otherBytes.size());
            close(fd);
        } else {
            done = rename(QFile::encodeName(other).constData(), path.constData()) == 0;
        }
        changeFailed = !done;
    };
    watch.armed = true;

    // Each row alone in the budget: the last one gets both cores.
    BatchRunner runner(plan, 2);
    runner.setMemoryBudget(alone ? 1 : 1 << 30);
    runner.setEstimate([](const PlannedRow &) { return qint64(1); });
    QSignalSpy finished(&runner, &BatchRunner::finished);
    runner.start();
    QVERIFY(finished.wait(60000));
    QVERIFY(!watch.armed); // the change was made during the read
    QVERIFY(!changeFailed);

    const int changed = sources.indexOf(victim);
    for (int i = 0; i < plan.size(); ++i) {
        const RowOutcome &outcome = runner.outcomes().at(i);
        if (i != changed) {
            QCOMPARE(outcome.status, RowOutcome::Written);
            continue;
        }
        QCOMPARE(outcome.status, RowOutcome::Changed);
        QCOMPARE(OutcomeText::reason(outcome), QString("le fichier a changé pendant la lecture"));
        QVERIFY(!QFile::exists(plan.at(i).outputs[0].path));
    }
}

PARVIMAGE_TEST_MAIN(TestSourceChanges)
#include "tst_sourcechanges.moc"
