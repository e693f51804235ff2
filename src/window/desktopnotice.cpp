#include "window/desktopnotice.h"

#include <QApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");

} // namespace

QString desktopEntryName()
{
    const QString name = QGuiApplication::desktopFileName();
    return name.isEmpty() ? QStringLiteral("parvimage") : name;
}

DesktopNotice::DesktopNotice(const QDBusConnection &bus, QWidget *window)
    : QObject(window), m_bus(bus), m_window(window)
{}

// A notification asked for just before the window closed still goes out; the bus answers
// within its timeout.
DesktopNotice::~DesktopNotice()
{
    for (QDBusPendingCallWatcher *watcher : findChildren<QDBusPendingCallWatcher *>())
        watcher->waitForFinished(); // delivers its finished() here
}

DesktopNotice *DesktopNotice::of(QWidget *window)
{
    auto *notice = window->findChild<DesktopNotice *>(QString(), Qt::FindDirectChildrenOnly);
    return notice ? notice : new DesktopNotice(QDBusConnection::sessionBus(), window);
}

void DesktopNotice::runEnded(const BatchReport &report, qint64 elapsed)
{
    runEnded(report, elapsed,
             m_inFront ? m_inFront()
                       : QGuiApplication::applicationState() == Qt::ApplicationActive);
}

void DesktopNotice::runEnded(const BatchReport &report, qint64 elapsed, bool inFront)
{
    if (inFront || elapsed < LongRun)
        return;
    if (m_window)
        QApplication::alert(m_window);
    notify(report.title, report.text.section(QLatin1Char('\n'), 0, 0),
           report.kind == BatchReport::Errors);
}

void DesktopNotice::notify(const QString &title, const QString &body, bool urgent)
{
    if (!m_bus.isConnected()) {
        emit settled(false);
        return;
    }
    // Asked first, since a call to a name nobody owns may start a service or wait for one.
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << Service;
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(ask, BusTimeout), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [=] {
        watcher->deleteLater();
        const QDBusPendingReply<bool> owned = *watcher;
        if (owned.isError() || !owned.value()) {
            emit settled(false);
            return;
        }
        send(title, body, urgent);
    });
}

void DesktopNotice::send(const QString &title, const QString &body, bool urgent)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(Service, QStringLiteral("/org/freedesktop/Notifications"),
                                       Service, QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("urgency"), QVariant::fromValue(uchar(urgent ? 2 : 1))},
        {QStringLiteral("desktop-entry"), desktopEntryName()},
    };
    call << QStringLiteral("Parvimage") << uint(0) << QStringLiteral("parvimage") << title << body
         << QStringList() << hints << qint32(-1);
    // The reply, the notification's number, is of no use: nothing waits for it.
    emit settled(m_bus.send(call));
}
