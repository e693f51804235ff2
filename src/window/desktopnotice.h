#pragma once

#include "batch/batchreport.h"

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>

// The installed desktop file's name without ".desktop", by which the desktop ties the
// notifications and the task bar's entry to the program.
QString desktopEntryName();

// Tells the desktop that a long run ended while the user was elsewhere: a notification
// through the desktop's notification service, where one answers, and the window asking for
// attention. The service is asked for asynchronously, so the window never waits on the bus.
class DesktopNotice : public QObject
{
    Q_OBJECT

public:
    // Runs shorter than this, in milliseconds, end under the user's eyes.
    static constexpr qint64 LongRun = 5000;
    // How long the bus may take to answer before the notification is given up.
    static constexpr int BusTimeout = 2000;

    explicit DesktopNotice(const QDBusConnection &bus, QWidget *window = nullptr);
    ~DesktopNotice() override;

    // The window's own, on the session bus, made on first use.
    static DesktopNotice *of(QWidget *window);

    // A run of `elapsed` milliseconds ended with `report`; whether the program is in front is
    // asked of the application.
    void runEnded(const BatchReport &report, qint64 elapsed);
    void runEnded(const BatchReport &report, qint64 elapsed, bool inFront);

    // What tells whether the program is in front as a run ends, in place of the application's
    // state: for a desktop, or a test, that knows better.
    void setInFront(std::function<bool()> inFront) { m_inFront = std::move(inFront); }

    // The notification alone, sent only where the service has an owner on the bus.
    void notify(const QString &title, const QString &body, bool urgent);

signals:
    // Once a notification was sent or given up.
    void settled(bool sent);

private:
    void send(const QString &title, const QString &body, bool urgent);

    QDBusConnection m_bus;
    QPointer<QWidget> m_window;
    std::function<bool()> m_inFront;
};
