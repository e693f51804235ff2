#include "modalanswerer.h"
#include "testmain.h"
#include "window/desktopnotice.h"
#include "window/launcherprogress.h"
#include "window/mainwindow.h"
#include "window/thumbnailloader.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

// The desktop's side of a session bus of the test's own: a notification service and a task bar,
// each keeping what it gets as one line.
class FakeDesktop : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList notes, updates;

public slots:
    uint Notify(const QString &app, uint, const QString &icon, const QString &summary,
                const QString &body, const QStringList &, const QVariantMap &hints, int timeout,
                const QDBusMessage &message)
    {
        const bool good = message.signature() == "susssasa{sv}i" && app == "Parvimage" &&
                          icon == "parvimage" && timeout == -1 &&
                          hints.value("desktop-entry") == "parvimage" &&
                          hints.value("urgency").userType() == QMetaType::UChar;
        notes << QString("%1|%2|%3").arg(summary, body).arg(good ? hints["urgency"].toInt() : -1);
        return 1;
    }

    void update(const QDBusMessage &message)
    {
        if (message.arguments().value(0) == "mark")
            return void(updates << "mark");
        const QVariantMap entry = qdbus_cast<QVariantMap>(message.arguments().value(1));
        const bool good = message.signature() == "sa{sv}" &&
                          message.arguments().value(0) == "application://parvimage.desktop" &&
                          message.path() == "/com/canonical/unity/launcherentry/parvimage";
        if (!entry.value("progress-visible").toBool() && !entry.value("count-visible").toBool())
            updates << (good ? "cleared" : "bad");
        else if (good && entry.value("progress").userType() == QMetaType::Double &&
                 entry.value("count").userType() == QMetaType::LongLong)
            updates << QString::number(entry["progress"].toDouble(), 'g', 3) + " " +
                           QString::number(entry["count"].toLongLong());
        else
            updates << "bad";
    }
};

// Holds the window a little on each row its progress dialog shows: a run of small photos then
// lasts as long as a real one, with its rows coming faster than the task bar takes them.
class RowHolder : public QObject
{
public:
    explicit RowHolder(int ms) : m_ms(ms) { qApp->installEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *dialog = qobject_cast<QProgressDialog *>(watched);
        if (event->type() == QEvent::Show && dialog && !dialog->property("held").toBool()) {
            dialog->setProperty("held", true);
            connect(dialog->findChild<QProgressBar *>(), &QProgressBar::valueChanged, this,
                    [this] { QThread::msleep(m_ms); });
        }
        return false;
    }

private:
    int m_ms;
};

class TestDesktopNotice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup()
    {
        QDBusConnection("desktop").unregisterService("org.freedesktop.Notifications");
    }
    void notice_data();
    void notice();
    void launcher_data();
    void launcher();
    void windowRun_data();
    void windowRun();

private:
    QProcess m_daemon;
    FakeDesktop m_desktop;
};

void TestDesktopNotice::initTestCase()
{
    const QString daemon = QStandardPaths::findExecutable("dbus-daemon");
    if (daemon.isEmpty())
        QSKIP("dbus-daemon is not installed");
    m_daemon.start(daemon, {"--session", "--nofork", "--print-address"});
    while (!m_daemon.canReadLine())
        QVERIFY2(m_daemon.waitForReadyRead(10000), "the bus gave no address");
    const QString address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    QVERIFY(QDBusConnection::connectToBus(address, "app").isConnected());
    QDBusConnection desktop = QDBusConnection::connectToBus(address, "desktop");
    QVERIFY(desktop.registerObject("/org/freedesktop/Notifications", &m_desktop,
                                   QDBusConnection::ExportAllSlots));
    QVERIFY(desktop.connect(QString(), QString(), "com.canonical.Unity.LauncherEntry", "Update",
                            &m_desktop, SLOT(update(QDBusMessage))));
}

void TestDesktopNotice::cleanupTestCase()
{
    for (const char *name : {"app", "desktop", "none"})
        QDBusConnection::disconnectFromBus(name);
    m_daemon.kill();
    m_daemon.waitForFinished();
}

void TestDesktopNotice::notice_data()
{
    QTest::addColumn<qint64>("elapsed");
    QTest::addColumn<bool>("inFront");
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("service");
    QTest::addColumn<int>("urgency");  // 0 where nothing is sent
    QTest::addColumn<bool>("closing"); // the window closes at once

    const qint64 enough = DesktopNotice::LongRun;
    QTest::newRow("elsewhere, all written") << enough * 20 << false << 0 << true << 1 << false;
    QTest::newRow("elsewhere, some failed") << enough * 20 << false << 1 << true << 2 << false;
    QTest::newRow("elsewhere, interrupted") << enough * 20 << false << 2 << true << 1 << false;
    QTest::newRow("just long enough") << enough << false << 1 << true << 2 << false;
    QTest::newRow("just too short") << enough - 1 << false << 1 << true << 0 << false;
    QTest::newRow("in front") << enough * 20 << true << 1 << true << 0 << false;
    QTest::newRow("window closed at once") << enough * 20 << false << 1 << true << 2 << true;
    QTest::newRow("no service on the bus") << enough * 20 << false << 1 << false << 0 << false;
}

void TestDesktopNotice::notice()
{
    QFETCH(qint64, elapsed);
    QFETCH(bool, inFront);
    QFETCH(int, kind);
    QFETCH(bool, service);
    QFETCH(int, urgency);
    QFETCH(bool, closing);

    QDBusConnection desktop("desktop");
    QVERIFY(!service || desktop.registerService("org.freedesktop.Notifications"));
    m_desktop.notes.clear();
    auto notice = std::make_unique<DesktopNotice>(QDBusConnection("app"));
    QSignalSpy settled(notice.get(), &DesktopNotice::settled);
    BatchReport report;
    report.kind = BatchReport::Kind(kind);
    report.title = QStringList{"Terminé", "Terminé avec des erreurs", "Interrompu"}.at(kind);
    report.text = "248 image(s) redimensionnée(s) sur 250.\n\nLes fichiers suivants…\n/p/a.jpg";
    notice->runEnded(report, elapsed, inFront);
    if (closing)
        notice.reset();
    const bool tried = !inFront && elapsed >= DesktopNotice::LongRun;
    QTRY_COMPARE(settled.count(), tried ? 1 : 0);
    QCOMPARE(settled.value(0).value(0).toBool(), urgency > 0);
    const QString line = "|248 image(s) redimensionnée(s) sur 250.|" + QString::number(urgency);
    if (urgency)
        QTRY_COMPARE(m_desktop.notes, QStringList{report.title + line});
    QTest::qWait(100);
    QCOMPARE(m_desktop.notes.size(), urgency ? 1 : 0);
}

// Steps: "done/total" shows, "clear" clears, "wait" lets the interval pass, "end" deletes.
void TestDesktopNotice::launcher_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("heard");

    QTest::newRow("a burst: the first at once, then the last") << "1/4 2/4 3/4"
                                                               << "0.25 3,0.75 1";
    QTest::newRow("spaced: each in order") << "1/4 wait 2/4 wait 3/4"
                                           << "0.25 3,0.5 2,0.75 1";
    QTest::newRow("the end clears after the last") << "1/2 2/2 clear"
                                                   << "0.5 1,cleared";
    QTest::newRow("a cancel clears") << "1/9 wait 3/9 clear"
                                     << "0.111 8,0.333 6,cleared";
    QTest::newRow("a waiting clear sent at the end") << "1/2 clear end"
                                                     << "0.5 1,cleared";
    QTest::newRow("the next run") << "1/2 clear wait 1/3"
                                  << "0.5 1,cleared,0.333 2";
    QTest::newRow("an empty run") << "0/0 clear"
                                  << "0 0,cleared";
    QTest::newRow("no bus") << "nobus 1/2 clear"
                            << "";
}

void TestDesktopNotice::launcher()
{
    QFETCH(QString, steps);
    QFETCH(QString, heard);

    m_desktop.updates.clear();
    QDBusConnection bus = steps.startsWith("nobus")
                              ? QDBusConnection::connectToBus("unix:path=/nonexistent", "none")
                              : QDBusConnection("app");
    auto launcher = std::make_unique<LauncherProgress>(bus);
    for (const QString &step : steps.split(' ')) {
        const QStringList numbers = step.split('/');
        if (step == "wait")
            QTest::qWait(LauncherProgress::MinInterval + 20);
        else if (step == "clear")
            launcher->clear();
        else if (step == "end")
            launcher.reset();
        else if (numbers.size() == 2)
            launcher->show(numbers.at(0).toInt(), numbers.at(1).toInt());
    }
    // Whatever waits goes within the interval; a mark sent after it is heard after it.
    QTest::qWait(2 * LauncherProgress::MinInterval);
    QDBusMessage mark = QDBusMessage::createSignal("/com/canonical/unity/launcherentry/parvimage",
                                                   "com.canonical.Unity.LauncherEntry", "Update");
    QVERIFY(QDBusConnection("app").send(mark << "mark" << QVariantMap()));
    QTRY_COMPARE(m_desktop.updates.value(m_desktop.updates.size() - 1), QString("mark"));
    QCOMPARE(m_desktop.updates.mid(0, m_desktop.updates.size() - 1).join(','), heard);
}

void TestDesktopNotice::windowRun_data()
{
    QTest::addColumn<int>("photos");

    QTest::newRow("200 photos, the window in the background") << 200;
}

void TestDesktopNotice::windowRun()
{
    QFETCH(int, photos);

    QVERIFY(QDBusConnection("desktop").registerService("org.freedesktop.Notifications"));
    m_desktop.notes.clear();
    m_desktop.updates.clear();
    QTemporaryDir dir;
    QVERIFY(dir.isValid() && QDir(dir.path()).mkdir("out"));
    QStringList paths;
    for (int i = 0; i < photos; ++i) {
        QImage image(64, 48, QImage::Format_RGB32);
        image.fill(QColor::fromHsv(i % 360, 160, 200));
        paths << dir.filePath(QString("p%1.png").arg(i, 3, 10, QLatin1Char('0')));
        QVERIFY(image.save(paths.last()));
    }

    MainWindow window(nullptr);
    // Made before the run, on the test's bus, they are the ones the window uses. The
    // offscreen platform makes every window it shows active: the user is said to be elsewhere.
    (new DesktopNotice(QDBusConnection("app"), &window))->setInFront([] { return false; });
    new LauncherProgress(QDBusConnection("app"), &window);
    window.show();
    window.findChild<QListWidget *>("pictureList")->addItems(paths);
    auto *thumbnails = window.findChild<ThumbnailLoader *>();
    QVERIFY(thumbnails);
    QTRY_COMPARE_WITH_TIMEOUT(thumbnails->pending(), 0, 60000);
    window.findChild<QSlider *>("horizontalSlider")->setValue(32);
    window.findChild<QLineEdit *>("newPath")->setText(dir.filePath("out"));

    RowHolder holder(DesktopNotice::LongRun / photos + 5);
    ModalAnswerer answerer;
    answerer.expectMessage(QMessageBox::Ok);
    QElapsedTimer run;
    run.start();
    window.findChild<QPushButton *>("resizeBtn")->click();
    QVERIFY(answerer.waitDone(120000));
    const qint64 elapsed = run.elapsed();
    QCOMPARE(answerer.titles.value(0), QString("Terminé"));

    // One notification for the run, and the task bar's entry told no more than ten times a
    // second, cleared at the end.
    QTRY_COMPARE(m_desktop.notes.size(), 1);
    QVERIFY2(m_desktop.notes.at(0).startsWith("Terminé|") && m_desktop.notes.at(0).endsWith("|1"),
             qPrintable(m_desktop.notes.at(0)));
    QDBusMessage mark = QDBusMessage::createSignal("/com/canonical/unity/launcherentry/parvimage",
                                                   "com.canonical.Unity.LauncherEntry", "Update");
    QTest::qWait(2 * LauncherProgress::MinInterval);
    QVERIFY(QDBusConnection("app").send(mark << "mark" << QVariantMap()));
    QTRY_COMPARE(m_desktop.updates.value(m_desktop.updates.size() - 1), QString("mark"));
    const QStringList heard = m_desktop.updates.mid(0, m_desktop.updates.size() - 1);
    QVERIFY2(heard.size() >= 2 && heard.size() <= 10 * elapsed / 1000 + 2,
             qPrintable(QString("%1 in %2 ms").arg(heard.size()).arg(elapsed)));
    QCOMPARE(heard.first(), QString("0 %1").arg(photos));
    QCOMPARE(heard.last(), QString("cleared"));
    QVERIFY(!heard.contains("bad"));
    QTest::qWait(200);
    QCOMPARE(m_desktop.notes.size(), 1);
}

PARVIMAGE_TEST_MAIN(TestDesktopNotice)
#include "tst_desktopnotice.moc"
