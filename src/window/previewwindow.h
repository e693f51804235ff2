#pragma once

#include "row/plannedrow.h"
#include "row/preview.h"

#include <QPointer>
#include <QWidget>

#include <memory>

class JobQueue;
class QLabel;
class QPushButton;
class PreviewView;

// The list's current photo as it is, with the frame the options cut, beside the file the run
// would write for it, decoded back from its very bytes, with its size. Each request replaces the
// one before; the work runs on the queue, one job at a time, and waits while a run goes.
class PreviewWindow : public QWidget
{
    Q_OBJECT

public:
    // On `queue`, or on one of its own where none is given.
    explicit PreviewWindow(JobQueue *queue = nullptr, QWidget *parent = nullptr);
    ~PreviewWindow() override;

    // The row to show; a row without a source shows nothing.
    void request(const PlannedRow &row);
    // While a run goes: nothing is computed, the newest request waits.
    void setPaused(bool paused);
    // How many results came back and how many were shown (a request replaced is never shown).
    int resultsShown() const { return m_shown; }
    // The byte count of each output shown, in the plan's order; -1 for one not written.
    const QVector<qint64> &shownBytes() const { return m_shownBytes; }

signals:
    void shown();

private:
    struct Shown;
    void submit();
    void display(const Shown &shown);
    void setZoom(bool fit);
    QString describe(const Shown &shown) const;

    std::unique_ptr<JobQueue> m_ownQueue;
    QPointer<JobQueue> m_queue; // a shared one may go first
    bool m_closing = false;
    std::shared_ptr<RowPreview> m_preview;
    PlannedRow m_wanted;
    bool m_waiting = false; // m_wanted not submitted yet
    bool m_inFlight = false;
    bool m_paused = false;
    quint64 m_generation = 0;
    quint64 m_jobId = 0;
    int m_shown = 0;
    QVector<qint64> m_shownBytes;
    PreviewView *m_before;
    PreviewView *m_after;
    QPushButton *m_fit;
    QPushButton *m_actual;
    QPushButton *m_flip;
    QLabel *m_info;
    QImage m_afterImage;
    QImage m_partImage; // the source's part the output shows, at the output's size
};
