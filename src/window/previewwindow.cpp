#include "window/previewwindow.h"

#include "batch/jobqueue.h"
#include "batch/outcometext.h"
#include "resample/wholeimage.h"
#include "window/previewview.h"

#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QShortcut>

#include <cmath>

struct PreviewWindow::Shown
{
    PlannedRow row;
    RowPreview::Result result;
    QImage after; // the first output decoded back from its bytes
};

namespace {

QString pixels(const QSize &size)
{
    return PreviewWindow::tr("%1 × %2 px").arg(size.width()).arg(size.height());
}

QString formatName(const QString &suffix)
{
    static const QHash<QString, QString> names{
        {"jpg", "JPEG"},  {"jpeg", "JPEG"}, {"jxl", "JPEG XL"},
        {"webp", "WebP"}, {"tif", "TIFF"},  {"tiff", "TIFF"},
    };
    return names.value(suffix.toLower(), suffix.toUpper());
}

// The part of the photo the output shows, at the output's size: what "before" is in its place.
QImage partOf(const QImage &photo, const QRectF &part, const QSize &size)
{
    const QRect cut(qRound(part.x() * photo.width()), qRound(part.y() * photo.height()),
                    qRound(part.width() * photo.width()), qRound(part.height() * photo.height()));
    const QImage copy = photo.copy(cut.intersected(photo.rect()));
    return copy.isNull() || !size.isValid() ? copy : resampled(copy, size, Resampling::Smooth);
}

} // namespace

PreviewWindow::PreviewWindow(JobQueue *queue, QWidget *parent)
    : QWidget(parent, Qt::Window), m_ownQueue(queue ? nullptr : std::make_unique<JobQueue>(1)),
      m_queue(queue ? queue : m_ownQueue.get()), m_preview(std::make_shared<RowPreview>()),
      m_before(new PreviewView(this)), m_after(new PreviewView(this)),
      m_fit(new QPushButton(tr("&Ajuster"), this)), m_actual(new QPushButton(tr("&100 %"), this)),
      m_flip(new QPushButton(tr("&Voir l'original à la place"), this)), m_info(new QLabel(this))
{
    setObjectName(QStringLiteral("previewWindow"));
    setWindowTitle(tr("Aperçu"));
    m_before->setObjectName(QStringLiteral("previewBefore"));
    m_after->setObjectName(QStringLiteral("previewAfter"));
    m_before->setAccessibleName(tr("La photo telle qu'elle est, avec le cadre découpé"));
    m_after->setAccessibleName(tr("La photo telle qu'elle sera écrite"));
    m_fit->setObjectName(QStringLiteral("fitButton"));
    m_actual->setObjectName(QStringLiteral("actualSizeButton"));
    m_flip->setObjectName(QStringLiteral("flipButton"));
    m_info->setObjectName(QStringLiteral("previewInfo"));
    for (QPushButton *button : {m_fit, m_actual, m_flip})
        button->setCheckable(true);
    m_fit->setAutoExclusive(true);
    m_actual->setAutoExclusive(true);
    m_fit->setChecked(true);
    m_info->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_info->setWordWrap(true);
    m_before->pairWith(m_after);

    auto *layout = new QGridLayout(this);
    layout->addWidget(new QLabel(tr("Avant"), this), 0, 0);
    layout->addWidget(new QLabel(tr("Après"), this), 0, 1);
    layout->addWidget(m_before, 1, 0);
    layout->addWidget(m_after, 1, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_fit);
    buttons->addWidget(m_actual);
    buttons->addStretch();
    buttons->addWidget(m_flip);
    layout->addLayout(buttons, 2, 0, 1, 2);
    layout->addWidget(m_info, 3, 0, 1, 2);
    layout->setRowStretch(1, 1);
    resize(900, 560);

    connect(m_fit, &QPushButton::toggled, this, [this](bool on) { setZoom(on); });
    connect(m_flip, &QPushButton::toggled, this,
            [this](bool on) { m_after->setImage(on ? m_partImage : m_afterImage); });
    m_before->setText(tr("Aucune photo choisie"));
}

PreviewWindow::~PreviewWindow()
{
    // Jobs hold the preview and their own results; their ends call back into this window.
    m_closing = true;
    if (m_inFlight && m_queue)
        m_queue->cancel(m_jobId);
    m_ownQueue.reset();
}

void PreviewWindow::request(const PlannedRow &row)
{
    m_wanted = row;
    m_waiting = true;
    ++m_generation;
    if (m_inFlight && m_queue)
        m_queue->cancel(m_jobId);
    else if (!m_inFlight)
        submit();
}

void PreviewWindow::setPaused(bool paused)
{
    m_paused = paused;
    if (paused && m_inFlight && m_queue) {
        m_queue->cancel(m_jobId);
        m_waiting = true;
        ++m_generation;
    } else if (!paused && !m_inFlight) {
        submit();
    }
}

void PreviewWindow::submit()
{
    if (m_paused || !m_waiting || !m_queue)
        return;
    m_waiting = false;
    if (m_wanted.source.isEmpty()) {
        m_before->setText(tr("Aucune photo choisie"));
        m_after->setText(QString());
        m_info->clear();
        return;
    }
    auto shown = std::make_shared<Shown>();
    shown->row = m_wanted;
    JobQueue::Job job;
    job.priority = -1;
    const std::shared_ptr<RowPreview> preview = m_preview;
    job.run = [preview, shown] {
        shown->result = preview->make(shown->row);
        const RowPreview::Output first = shown->result.outputs.value(0);
        if (first.outcome.status == RowOutcome::Written)
            shown->after = RowPreview::decodedBack(
                first.bytes, QFileInfo(shown->row.outputs.at(0).path).suffix().toLower().toUtf8());
    };
    const quint64 generation = m_generation;
    const QPointer<PreviewWindow> self(this);
    job.done = [self, this, shown, generation](bool ran) {
        if (!self || m_closing)
            return;
        m_inFlight = false;
        if (ran && generation == m_generation &&
            shown->result.refused.status != RowOutcome::NotStarted) {
            display(*shown);
            return;
        }
        m_waiting = true;
        submit();
    };
    m_inFlight = true;
    m_jobId = m_queue->submit(std::move(job));
}

void PreviewWindow::display(const Shown &shown)
{
    ++m_shown;
    setWindowTitle(QFileInfo(shown.row.source).fileName());
    const RowPreview::Result &result = shown.result;
    if (result.photo.isNull())
        m_before->setText(tr("Photo illisible"));
    else
        m_before->setImage(result.photo, result.part);
    m_afterImage = shown.after;
    m_partImage = partOf(result.photo, result.part, shown.after.size());
    if (shown.after.isNull())
        m_after->setText(tr("Rien ne serait écrit"));
    else
        m_after->setImage(m_flip->isChecked() ? m_partImage : m_afterImage);
    m_info->setText(describe(shown));
    m_shownBytes.clear();
    for (const RowPreview::Output &output : result.outputs)
        m_shownBytes.append(output.outcome.status == RowOutcome::Written ? output.bytes.size()
                                                                         : -1);
    emit this->shown();
}

void PreviewWindow::setZoom(bool fit)
{
    m_before->setFit(fit);
    m_after->setFit(fit);
}

// "1024 × 683 px, 187 Ko, 4 % de l'original", the format and the path, then each other size.
QString PreviewWindow::describe(const Shown &shown) const
{
    const RowPreview::Result &result = shown.result;
    QStringList lines;
    for (int i = 0; i < result.outputs.size() && i < shown.row.outputs.size(); ++i) {
        const RowPreview::Output &output = result.outputs.at(i);
        const QString path = QDir::toNativeSeparators(shown.row.outputs.at(i).path);
        if (output.outcome.status != RowOutcome::Written) {
            const RowOutcome &why =
                result.refused.status != RowOutcome::Pending ? result.refused : output.outcome;
            lines.append(tr("%1 : non écrite, %2").arg(path, OutcomeText::reason(why)));
            continue;
        }
        const qint64 bytes = output.bytes.size();
        QString line = tr("%1, %2").arg(pixels(output.size), OutcomeText::frenchSize(bytes));
        if (result.sourceBytes > 0)
            line += tr(", %1 % de l'original")
                        .arg(QLocale(QLocale::French)
                                 .toString(std::round(100.0 * bytes / result.sourceBytes), 'f', 0));
        if (i == 0)
            line += tr("\nFormat : %1\nÉcrite dans : %2")
                        .arg(formatName(QFileInfo(path).suffix()), path);
        else
            line = tr("Autre taille : %1 (%2)").arg(line, path);
        lines.append(line);
    }
    return lines.join(QLatin1Char('\n'));
}
