#include "window/launcherprogress.h"

#include "window/desktopnotice.h"

#include <QDBusMessage>

LauncherProgress::LauncherProgress(const QDBusConnection &bus, QObject *parent)
    : QObject(parent), m_bus(bus)
{
    m_timer.setSingleShot(true);
    // A coarse timer may fire a little early.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &LauncherProgress::flush);
}

LauncherProgress::~LauncherProgress()
{
    flush();
}

LauncherProgress *LauncherProgress::of(QObject *window)
{
    auto *launcher = window->findChild<LauncherProgress *>(QString(), Qt::FindDirectChildrenOnly);
    return launcher ? launcher : new LauncherProgress(QDBusConnection::sessionBus(), window);
}

void LauncherProgress::show(int done, int total)
{
    offer({
        {QStringLiteral("progress"), total > 0 ? double(done) / total : 0.0},
        {QStringLiteral("progress-visible"), true},
        {QStringLiteral("count"), qint64(total - done)},
        {QStringLiteral("count-visible"), true},
    });
}

void LauncherProgress::clear()
{
    offer({
        {QStringLiteral("progress-visible"), false},
        {QStringLiteral("count-visible"), false},
    });
}

void LauncherProgress::offer(const QVariantMap &properties)
{
    m_waiting = properties;
    if (!m_sinceSent.isValid() || m_sinceSent.elapsed() >= MinInterval)
        flush();
    else if (!m_timer.isActive())
        m_timer.start(int(MinInterval - m_sinceSent.elapsed()));
}

void LauncherProgress::flush()
{
    m_timer.stop();
    if (m_waiting.isEmpty())
        return;
    // An object path's element allows letters, digits and underscores only.
    QString element = desktopEntryName();
    for (QChar &c : element)
        if (!(c.isLetterOrNumber() && c.unicode() < 128))
            c = QLatin1Char('_');
    QDBusMessage update = QDBusMessage::createSignal(
        QStringLiteral("/com/canonical/unity/launcherentry/") + element,
        QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
    update << QStringLiteral("application://%1.desktop").arg(desktopEntryName()) << m_waiting;
    m_waiting.clear();
    m_sinceSent.start();
    if (m_bus.isConnected())
        m_bus.send(update);
}
