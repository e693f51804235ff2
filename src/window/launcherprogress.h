#pragma once

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVariantMap>

// A run's progress and the rows it has left, on the program's entry in the task bar or dock:
// the launcher entry signal that KDE's task manager and GNOME's docks listen to, for the
// installed desktop file. A broadcast that nobody answers, so nothing waits on it and nothing
// fails where nobody listens.
class LauncherProgress : public QObject
{
    Q_OBJECT

public:
    // At most one signal in this many milliseconds, eight a second, which leaves the bus's own
    // delays room under ten: a value that comes sooner waits, and only the latest waiting one
    // is sent.
    static constexpr int MinInterval = 125;

    explicit LauncherProgress(const QDBusConnection &bus, QObject *parent = nullptr);
    // A value still waiting is sent, so that the entry is never left showing a run.
    ~LauncherProgress() override;

    // The window's own, on the session bus, made on first use; it outlives the runs so that
    // the interval holds from one run to the next.
    static LauncherProgress *of(QObject *window);

    // `done` rows of `total`; the count shown is the rows left.
    void show(int done, int total);
    // Progress and count hidden, at the end of a run and on cancel.
    void clear();

private:
    void offer(const QVariantMap &properties);
    void flush();

    QDBusConnection m_bus;
    QVariantMap m_waiting;
    QElapsedTimer m_sinceSent;
    QTimer m_timer;
};
