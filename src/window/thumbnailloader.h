#pragma once

#include <QHash>
#include <QObject>
#include <QPersistentModelIndex>
#include <QPointer>

class JobQueue;
class QListWidget;
class QListWidgetItem;

// Gives each row of the list a small picture of its photo, upright, at the screen's pixel
// ratio, the rows in view first, on the queue's lowest priority; a photo that cannot be read
// gets a warning sign and the reason as its tooltip. The rows' texts and order are left as
// they are.
class ThumbnailLoader : public QObject
{
    Q_OBJECT

public:
    ThumbnailLoader(QListWidget *list, JobQueue *queue, QObject *parent = nullptr);
    ~ThumbnailLoader() override;

    // While a run goes: no thumbnail starts, those in flight are stopped and made again later.
    void setPaused(bool paused);
    // The rows still without their picture.
    int pending() const;

signals:
    void allDone();

private:
    int side() const;
    void fill();
    QListWidgetItem *next();
    void submit(QListWidgetItem *item);
    void finished(quint64 key, const struct ThumbnailResult &result);
    QListWidgetItem *itemWith(quint64 key);

    QListWidget *m_list;
    QPointer<JobQueue> m_queue; // may go first
    bool m_closing = false;
    int m_group;
    int m_inFlight = 0;
    bool m_paused = false;
    quint64 m_nextKey = 1;
    int m_cursor = 0; // no row above it waits
    QHash<quint64, QPersistentModelIndex> m_started;
};
