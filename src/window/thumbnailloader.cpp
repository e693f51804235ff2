#include "window/thumbnailloader.h"

#include "batch/jobqueue.h"
#include "batch/outcometext.h"
#include "row/thumbnail.h"

#include <QApplication>
#include <QListWidget>
#include <QScrollBar>
#include <QStyle>
#include <QtMath>

#include <atomic>
#include <memory>

namespace {

enum Role
{
    StateRole = Qt::UserRole + 40,
};

enum State
{
    Waiting, // also rows never seen: no data
    Started,
    Done,
};

int newGroup()
{
    static std::atomic<int> groups{1 << 20};
    return ++groups;
}

} // namespace

struct ThumbnailResult
{
    Thumbnail::Made made;
};

ThumbnailLoader::ThumbnailLoader(QListWidget *list, JobQueue *queue, QObject *parent)
    : QObject(parent), m_list(list), m_queue(queue), m_group(newGroup())
{
    // Every row is one line and an icon of the list's size: sized once, not each time a
    // picture comes in, which with thousands of rows would shape every row's text again.
    list->setUniformItemSizes(true);
    const auto restart = [this] {
        m_cursor = 0;
        fill();
    };
    connect(list->model(), &QAbstractItemModel::rowsInserted, this, restart);
    connect(list->model(), &QAbstractItemModel::rowsRemoved, this, [this] { m_cursor = 0; });
    connect(list->verticalScrollBar(), &QScrollBar::valueChanged, this, &ThumbnailLoader::fill);
}

ThumbnailLoader::~ThumbnailLoader()
{
    m_closing = true;
    if (m_queue)
        m_queue->cancelGroup(m_group);
}

void ThumbnailLoader::setPaused(bool paused)
{
    m_paused = paused;
    if (!paused) {
        fill();
        return;
    }
    if (m_queue)
        m_queue->cancelGroup(m_group);
    m_cursor = 0;
}

int ThumbnailLoader::pending() const
{
    int count = 0;
    for (int row = 0; row < m_list->count(); ++row)
        count += m_list->item(row)->data(StateRole).toInt() != Done;
    return count;
}

// The list's own icon size, the style's where none is set: its rows keep their height.
int ThumbnailLoader::side() const
{
    const QSize icon = m_list->iconSize();
    return icon.isValid() ? qMax(icon.width(), icon.height())
                          : m_list->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, m_list);
}

// As many pictures in flight as the queue has workers, so that a row scrolled into view waits
// for no more than those.
void ThumbnailLoader::fill()
{
    while (m_queue && !m_paused && m_inFlight < m_queue->workers()) {
        QListWidgetItem *item = next();
        if (!item)
            break;
        submit(item);
    }
    if (m_inFlight == 0 && !m_paused && !next())
        emit allDone();
}

// The first row in view still waiting, else the first waiting in the list.
QListWidgetItem *ThumbnailLoader::next()
{
    const QRect view = m_list->viewport()->rect();
    const QModelIndex top = m_list->indexAt(view.topLeft());
    for (int row = qMax(0, top.row()); row < m_list->count(); ++row) {
        QListWidgetItem *item = m_list->item(row);
        if (!m_list->visualItemRect(item).intersects(view))
            break;
        if (item->data(StateRole).toInt() == Waiting)
            return item;
    }
    for (; m_cursor < m_list->count(); ++m_cursor)
        if (m_list->item(m_cursor)->data(StateRole).toInt() == Waiting)
            return m_list->item(m_cursor);
    return nullptr;
}

void ThumbnailLoader::submit(QListWidgetItem *item)
{
    const quint64 key = m_nextKey++;
    item->setData(StateRole, Started);
    m_started.insert(key, QPersistentModelIndex(m_list->model()->index(m_list->row(item), 0)));
    const QString path = item->text();
    const int box = qCeil(side() * m_list->devicePixelRatioF());
    auto result = std::make_shared<ThumbnailResult>();
    JobQueue::Job job;
    job.priority = -2;
    job.group = m_group;
    job.run = [path, box, result] { result->made = Thumbnail::make(path, box); };
    const QPointer<ThumbnailLoader> self(this);
    job.done = [self, this, key, result](bool ran) {
        if (!self || m_closing)
            return;
        --m_inFlight;
        if (!ran || result->made.refused.status == RowOutcome::NotStarted) {
            if (QListWidgetItem *item = itemWith(key)) {
                item->setData(StateRole, Waiting);
                m_cursor = 0;
            }
        } else {
            finished(key, *result);
        }
        fill();
    };
    ++m_inFlight;
    m_queue->submit(std::move(job));
}

void ThumbnailLoader::finished(quint64 key, const ThumbnailResult &result)
{
    QListWidgetItem *item = itemWith(key);
    if (!item)
        return;
    item->setData(StateRole, Done);
    if (result.made.refused.status != RowOutcome::Pending) {
        item->setIcon(QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning));
        item->setToolTip(tr("Cette photo ne sera pas écrite : %1")
                             .arg(OutcomeText::reason(result.made.refused)));
        return;
    }
    QPixmap pixmap = QPixmap::fromImage(result.made.image);
    pixmap.setDevicePixelRatio(m_list->devicePixelRatioF());
    item->setIcon(QIcon(pixmap));
}

// The row a job was started for, wherever it has gone since; none where it was removed.
QListWidgetItem *ThumbnailLoader::itemWith(quint64 key)
{
    const QPersistentModelIndex index = m_started.take(key);
    return index.isValid() ? m_list->item(index.row()) : nullptr;
}
