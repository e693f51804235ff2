#include "window/mainwindow.h"

#include "batch/batchplan.h"
#include "batch/batchreport.h"
#include "batch/batchrunner.h"
#include "batch/jobqueue.h"
#include "formats/registry.h"
#include "ui_mainwindow.h"
#include "window/aboutdialog.h"
#include "window/droppedfiles.h"
#include "window/placement.h"
#include "window/previewwindow.h"
#include "window/thumbnailloader.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QProgressDialog>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QWindow>

namespace {

// Once a cancel has hidden the progress dialog, the window must still take no input until the
// row in flight has finished.
class InputBlocker
{
public:
    explicit InputBlocker(QMainWindow *window) : m_window(window) {}
    InputBlocker(const InputBlocker &) = delete;
    InputBlocker &operator=(const InputBlocker &) = delete;
    ~InputBlocker()
    {
        for (const QPointer<QWidget> &widget : qAsConst(m_widgets))
            if (widget)
                widget->setEnabled(true);
        for (const QPointer<QAction> &action : qAsConst(m_actions))
            if (action)
                action->setEnabled(true);
    }

    void engage()
    {
        if (m_engaged)
            return;
        m_engaged = true;
        for (QWidget *widget : {m_window->centralWidget(), m_window->menuWidget()})
            disable(widget);
        const auto actions = m_window->findChildren<QAction *>();
        for (QAction *action : actions) {
            if (action->isEnabled()) {
                action->setEnabled(false);
                m_actions.append(action);
            }
        }
    }

private:
    void disable(QWidget *widget)
    {
        if (widget && widget->isEnabled()) {
            widget->setEnabled(false);
            m_widgets.append(widget);
        }
    }

    QMainWindow *m_window;
    bool m_engaged = false;
    QVector<QPointer<QWidget>> m_widgets;
    QVector<QPointer<QAction>> m_actions;
};

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), form(new MainWindowForm)
{
    // Without them every HEIC, AVIF and raw would be refused as unreadable, run after run.
    if (!Formats::librariesInitialised())
        qFatal("Formats::initialiseLibraries() must be called before the window is made");
    form->setupUi(this);

    connect(form->addBtn, SIGNAL(clicked()), this, SLOT(onAdd()));
    connect(form->removeBtn, SIGNAL(clicked()), this, SLOT(onRemove()));
    connect(form->actionQuit, SIGNAL(triggered()), qApp, SLOT(quit()));
    connect(form->action_About, SIGNAL(triggered()), this, SLOT(onHelp()));
    connect(form->newPathBtn, SIGNAL(clicked()), this, SLOT(onNewPath()));
    connect(form->resizeBtn, SIGNAL(clicked()), this, SLOT(onResize()));
    connect(form->filename, SIGNAL(textChanged(QString)), this, SLOT(onTextChanged(QString)));
    connect(form->actionSizeOther, SIGNAL(triggered()), this, SLOT(onOtherFileSize()));
    connectPreview();
    fileSizeChoice = form->actionSizeUnlimited;
    connect(form->fileSizeGroup, &QActionGroup::triggered, this, [this](QAction *action) {
        if (action != form->actionSizeOther)
            fileSizeChoice = action;
    });

    // The subject decides where a frame is cut: nothing to decide for the whole photo.
    form->actionFrameSubject->setEnabled(false);
    connect(form->frameGroup, &QActionGroup::triggered, this,
            [this] { form->actionFrameSubject->setEnabled(!form->actionFrameWhole->isChecked()); });

    jobs = new JobQueue(QThread::idealThreadCount(), this);
    thumbnails = new ThumbnailLoader(form->pictureList, jobs, this);

    form->pictureList->viewport()->setAcceptDrops(true);
    form->pictureList->viewport()->installEventFilter(this);

    move(centredPosition(desktopSize(), geometry().size()));

    invalidChars = QRegExp(QStringLiteral(":|\\\\|/"), Qt::CaseSensitive, QRegExp::RegExp);
}

// With some system fonts the wrapped explanations need more lines than the form's height
// leaves them; once they have their width, give them the height they need so that they are
// never clipped. The window grows past the form's size only when it must.
void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    const auto labels = centralWidget()->findChildren<QLabel *>();
    for (QLabel *label : labels) {
        if (label->wordWrap())
            label->setMinimumHeight(label->heightForWidth(label->width()));
    }
}

MainWindow::~MainWindow()
{
    delete form;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (running)
        event->ignore();
    else
        QMainWindow::closeEvent(event);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == form->pictureList->viewport() && handleDrag(event))
        return true;
    return QMainWindow::eventFilter(watched, event);
}

// Files and folders dropped from a file manager are added as the open-files dialog adds them.
// The list's own drag and drop, which moves items, stays off.
bool MainWindow::handleDrag(QEvent *event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *drag = static_cast<QDragMoveEvent *>(event);
        const bool usable =
            !running && drag->mimeData()->hasUrls() && (drag->possibleActions() & Qt::CopyAction);
        drag->setDropAction(Qt::CopyAction);
        drag->setAccepted(usable);
        return true;
    }
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        if (running || !drop->mimeData()->hasUrls()) {
            drop->ignore();
            return true;
        }
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        appendImages(droppedImages(drop->mimeData()->urls(), form->actionSubfolders->isChecked()));
        return true;
    }
    case QEvent::DragLeave:
        return true;
    default:
        return false;
    }
}

void MainWindow::appendRows(const QStringList &paths)
{
    for (const QString &path : paths)
        form->pictureList->insertItem(form->pictureList->count(), new QListWidgetItem(path));
}

// Each image keeps the folder its outputs go to under a destination.
void MainWindow::appendImages(const QVector<DroppedImage> &images)
{
    for (const DroppedImage &image : images) {
        auto *item = new QListWidgetItem(image.path);
        item->setData(SubfolderRole, image.subfolder);
        form->pictureList->insertItem(form->pictureList->count(), item);
    }
}

// The preview follows every choice the run reads: the list's current row, the slider once
// released, the name, the destination and each Option.
void MainWindow::connectPreview()
{
    connect(form->actionPreview, &QAction::triggered, this, &MainWindow::onPreview);
    connect(form->pictureList, &QListWidget::itemDoubleClicked, this, &MainWindow::onPreview);
    connect(form->pictureList, &QListWidget::currentRowChanged, this, &MainWindow::updatePreview);
    connect(form->horizontalSlider, &QSlider::sliderReleased, this, &MainWindow::updatePreview);
    connect(form->horizontalSlider, &QSlider::valueChanged, this, [this] {
        if (!form->horizontalSlider->isSliderDown())
            updatePreview();
    });
    connect(form->changeFilename, &QGroupBox::toggled, this, &MainWindow::updatePreview);
    connect(form->filename, &QLineEdit::textChanged, this, &MainWindow::updatePreview);
    connect(form->newPath, &QLineEdit::textChanged, this, &MainWindow::updatePreview);
    const auto actions = form->menu_Options->findChildren<QAction *>();
    for (QAction *action : actions)
        if (action != form->actionPreview)
            connect(action, &QAction::triggered, this, &MainWindow::updatePreview);
}

void MainWindow::onPreview()
{
    if (!preview) {
        preview = new PreviewWindow(jobs, this);
        const QScreen *screen = windowHandle() ? windowHandle()->screen() : nullptr;
        if (screen) {
            const QRect room = screen->availableGeometry();
            preview->resize(besideSize(room, frameGeometry(), preview->size()));
            preview->move(besidePosition(room, frameGeometry(), preview->frameGeometry().size()));
        }
    }
    preview->show();
    preview->raise();
    preview->activateWindow();
    updatePreview();
}

void MainWindow::updatePreview()
{
    if (!preview || !preview->isVisible() || running)
        return;
    const int row = form->pictureList->currentRow();
    if (row < 0) {
        preview->request(PlannedRow());
        return;
    }
    preview->request(planBatch(listedPaths(), currentSettings(), listedSubfolders()).value(row));
}

void MainWindow::onAdd()
{
    appendRows(QFileDialog::getOpenFileNames(
        this, tr("Selectionnez des fichiers images"), QDir::homePath(),
        tr("Fichiers images (*.png *.jpg *.jpeg)") + QLatin1String(";;") +
            tr("Toutes les images lisibles (%1)").arg(droppableImagePatterns()),
        nullptr, QFileDialog::Options()));
}

void MainWindow::onRemove()
{
    qDeleteAll(form->pictureList->selectedItems());
}

void MainWindow::onHelp()
{
    AboutDialog dialog(this);
    dialog.exec();
}

void MainWindow::onNewPath()
{
    const QString dir =
        QFileDialog::getExistingDirectory(this, tr("Selectionnez un emplacement de destination"),
                                          QDir::homePath(), QFileDialog::ShowDirsOnly);
    if (!dir.isEmpty())
        form->newPath->setText(dir);
}

void MainWindow::onTextChanged(QString text)
{
    // QString's QRegExp overloads are gone in Qt 6; QRegExp's own calls work under both.
    int at = invalidChars.indexIn(text);
    if (at < 0)
        return;
    for (; at >= 0; at = invalidChars.indexIn(text, at))
        text.remove(at, invalidChars.matchedLength());
    form->filename->setText(text);
}

BatchSettings MainWindow::currentSettings() const
{
    BatchSettings settings;
    settings.options = chosenOptions();
    settings.rename = form->changeFilename->isChecked();
    settings.pattern = form->filename->text();
    settings.options.geometry.size = form->horizontalSlider->value();
    settings.destination = form->newPath->text();
    return settings;
}

void MainWindow::onResize()
{
    const int n = form->pictureList->count();
    const BatchSettings settings = currentSettings();

    if (n == 0) {
        QMessageBox::critical(this, tr("Pas de fichier"),
                              tr("Vous n'avez pas ajouté de fichier dans la liste."),
                              QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    if (form->newPath->text().isEmpty() && !settings.rename && replacesSources(settings) &&
        !confirmOverwrite())
        return;

    QProgressDialog progress(this);
    progress.setWindowModality(Qt::WindowModal);
    progress.setLabelText(tr("Miniaturisation de l'image"));
    progress.setRange(0, n);
    progress.show();

    showReport(runBatch(settings, progress));
}

// The Options menu's choices; each starts at the program's first behaviour.
OutputOptions MainWindow::chosenOptions() const
{
    OutputOptions options;
    options.geometry.resampling =
        form->actionSmooth->isChecked() ? Resampling::Smooth : Resampling::Nearest;
    const std::pair<QAction *, const char *> formats[] = {
        {form->actionFormatJpeg, "jpg"},  {form->actionFormatPng, "png"},
        {form->actionFormatWebp, "webp"}, {form->actionFormatHeic, "heic"},
        {form->actionFormatAvif, "avif"}, {form->actionFormatJxl, "jxl"},
    };
    for (const auto &format : formats)
        if (format.first->isChecked())
            options.encoding.format = format.second;
    options.encoding.formatChosen = !options.encoding.format.isEmpty();
    const std::pair<QAction *, Quality> qualities[] = {
        {form->actionQualityMax, Quality::Maximum},
        {form->actionQualityHigh, Quality::High},
        {form->actionQualityCompact, Quality::Compact},
    };
    for (const auto &quality : qualities)
        if (quality.first->isChecked())
            options.encoding.quality = quality.second;
    options.encoding.maxBytes = chosenFileSize();
    options.encoding.baseline = form->actionJpegBaseline->isChecked();
    options.geometry.enlarge = !form->actionNoEnlarge->isChecked();
    options.carrying.keepDate = form->actionKeepDate->isChecked();
    options.carrying.metadata = form->actionMetadataNone->isChecked() ? MetadataKeep::ColourOnly
                                : form->actionMetadataNoLocation->isChecked()
                                    ? MetadataKeep::NoLocation
                                    : MetadataKeep::All;
    options.carrying.srgb = form->actionSrgb->isChecked();
    chooseShape(&options.geometry);
    return options;
}

void MainWindow::chooseShape(Geometry *geometry) const
{
    geometry->side = form->actionSideWidth->isChecked()    ? Side::Width
                     : form->actionSideHeight->isChecked() ? Side::Height
                                                           : Side::Longest;
    const std::pair<QAction *, Frame> frames[] = {
        {form->actionFrameSquare, Frame::Square},
        {form->actionFrame4x5, Frame::Ratio4x5},
        {form->actionFrame3x2, Frame::Ratio3x2},
        {form->actionFrame16x9, Frame::Ratio16x9},
    };
    for (const auto &frame : frames)
        if (frame.first->isChecked())
            geometry->frame = frame.second;
    geometry->subject = form->actionFrameSubject->isChecked() && geometry->frame != Frame::Whole;
    const std::pair<QAction *, int> sizes[] = {
        {form->actionExtra320, 320},   {form->actionExtra640, 640},   {form->actionExtra1280, 1280},
        {form->actionExtra1920, 1920}, {form->actionExtra2560, 2560},
    };
    for (const auto &size : sizes)
        if (size.first->isChecked())
            geometry->extraSizes.append(size.second);
}

// In bytes, 1 Ko being 1 000 as the desktop's file managers count; 0 for no limit.
qint64 MainWindow::chosenFileSize() const
{
    const std::pair<QAction *, qint64> sizes[] = {
        {form->actionSize200, 200},
        {form->actionSize500, 500},
        {form->actionSize1000, 1000},
        {form->actionSize2000, 2000},
        {form->actionSizeOther, otherFileSizeKo},
    };
    for (const auto &size : sizes)
        if (size.first->isChecked())
            return size.second * 1000;
    return 0;
}

// Asks for a size of one's own; cancelling keeps the choice made before.
void MainWindow::onOtherFileSize()
{
    QInputDialog dialog(this);
    dialog.setLocale(QLocale(QLocale::French, QLocale::France));
    dialog.setInputMode(QInputDialog::IntInput);
    dialog.setWindowTitle(tr("Taille maximale des fichiers"));
    dialog.setLabelText(tr("Taille maximale de chaque fichier, en Ko (1 Ko = 1 000 octets) :"));
    dialog.setIntRange(20, 100000);
    dialog.setIntStep(50);
    dialog.setIntValue(otherFileSizeKo > 0 ? otherFileSizeKo : 300);
    if (dialog.exec() != QDialog::Accepted) {
        fileSizeChoice->setChecked(true);
        return;
    }
    otherFileSizeKo = dialog.intValue();
    fileSizeChoice = form->actionSizeOther;
    form->actionSizeOther->setText(
        tr("Autre (%1 Ko)…").arg(QLocale(QLocale::French).toString(otherFileSizeKo)));
}

// Without a destination or a rename, each output replaces its source unless a chosen format
// gives it another name.
bool MainWindow::replacesSources(const BatchSettings &settings) const
{
    return settings.options.encoding.format.isEmpty() ||
           replacesASource(planBatch(listedPaths(), settings, listedSubfolders()));
}

bool MainWindow::confirmOverwrite()
{
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Pas de répertoire de destination"),
        tr("Attention ! \nVous n'avez pas indiqué de répertoire de destination\nVous allez "
           "détruire les images originales.\n\nVoulez-vous continuer quand même ?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    return answer != QMessageBox::No;
}

QStringList MainWindow::listedPaths() const
{
    QStringList paths;
    for (int row = 0; row < form->pictureList->count(); ++row)
        paths.append(form->pictureList->item(row)->text());
    return paths;
}

QStringList MainWindow::listedSubfolders() const
{
    QStringList subfolders;
    for (int row = 0; row < form->pictureList->count(); ++row)
        subfolders.append(form->pictureList->item(row)->data(SubfolderRole).toString());
    return subfolders;
}

BatchReport MainWindow::runBatch(const BatchSettings &settings, QProgressDialog &progress)
{
    const QVector<PlannedRow> plan = planBatch(listedPaths(), settings, listedSubfolders());
    BatchRunner runner(plan, jobs);
    InputBlocker blocker(this);
    const auto checkCancel = [&] {
        if (!progress.wasCanceled())
            return false;
        runner.cancel();
        if (runner.isRunning())
            blocker.engage();
        return true;
    };
    connect(&runner, &BatchRunner::rowFinished, &progress, [&] {
        if (checkCancel())
            return;
        progress.setValue(runner.finishedCount()); // processes events: a cancel may come in
        checkCancel();
    });
    connect(&progress, &QProgressDialog::canceled, &runner, checkCancel);

    QEventLoop loop;
    connect(&runner, &BatchRunner::finished, &loop, &QEventLoop::quit);
    running = true;
    thumbnails->setPaused(true);
    if (preview)
        preview->setPaused(true);
    runner.start();
    // quit() from elsewhere ends every event loop; this one lasts until the run is over.
    while (runner.isRunning())
        loop.exec();
    running = false;
    thumbnails->setPaused(false);
    if (preview)
        preview->setPaused(false);
    return BatchReport::make(plan, runner.outcomes());
}

void MainWindow::showReport(const BatchReport &report)
{
    QMessageBox box(report.kind == BatchReport::Errors ? QMessageBox::Warning
                                                       : QMessageBox::Information,
                    report.title, report.text, QMessageBox::Ok, this);
    box.setInformativeText(report.informative);
    box.setDetailedText(report.details);
    box.exec();
}
