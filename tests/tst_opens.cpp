#include "syntheticdng.h"
#include "testimages.h"
#include "testmain.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// A photo alone in a run is opened once by the run, whatever its format: its row takes the
// opening the planning read its header from; every reader of it reads that opening. The list's
// picture of it, made before the run, opens it once more. Counted by strace over the real
// window.
class TestOpens : public QObject
{
    Q_OBJECT

private slots:
    void onlyOnce_data();
    void onlyOnce();

private:
    QTemporaryDir m_dir;
};

void TestOpens::onlyOnce_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("actions");
    for (const char *name : {"photo.jpg", "photo.png", "photo.webp", "photo.heic", "photo.avif",
                             "photo.jxl", "photo.dng", "photo.tif", "photo.bmp"})
        QTest::newRow(name) << QString(name) << QStringList();
    // Every size and the subject's frame from one decode.
    QTest::newRow("four sizes of a HEIC")
        << "sizes.heic" << QStringList{"actionExtra320", "actionExtra640", "actionExtra1920"};
    QTest::newRow("four sizes of a subject's frame")
        << "framed.jpg"
        << QStringList{"actionFrame4x5", "actionFrameSubject", "actionExtra320", "actionExtra640",
                       "actionExtra1920"};
}

void TestOpens::onlyOnce()
{
    QFETCH(QString, name);
    QFETCH(QStringList, actions);
    const QString strace = QStandardPaths::findExecutable("strace");
    if (strace.isEmpty() || QProcess::execute(strace, {"-qq", "-o", "/dev/null", "true"}) != 0)
        QSKIP("strace cannot trace here");
    const QString path = m_dir.filePath(name);
    const QImage picture = TestImages::pattern(QSize(1600, 1200));
    if (name.endsWith(".dng"))
        QVERIFY(writeSyntheticDng(path, picture));
    else
        QVERIFY(TestImages::write(path, QSize(1600, 1200)));
    const QString destination = m_dir.filePath("out-" + name);
    QVERIFY(QDir().mkpath(destination));
    const QString log = m_dir.filePath(name + ".strace");
    QProcess run;
    run.setProcessChannelMode(QProcess::ForwardedChannels);
    // LeakSanitizer cannot run under a tracer.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":detect_leaks=0");
    run.setProcessEnvironment(environment);
    run.start(strace, QStringList{"-f", "-qq", "-e", "trace=open,openat", "-o", log, WINDOWRUN} +
                          actions + QStringList{destination, path});
    QVERIFY(run.waitForFinished(120000));
    QCOMPARE(run.exitCode(), 0);
    int opens = 0;
    for (const QByteArray &line : TestImages::readAll(log).split('\n'))
        opens += line.contains('"' + QFile::encodeName(path) + '"');
    QCOMPARE(opens, 2);
    QCOMPARE(QDir(destination).entryList(QDir::Files).size(), actions.filter("Extra").size() + 1);
}

PARVIMAGE_TEST_MAIN(TestOpens)
#include "tst_opens.moc"
