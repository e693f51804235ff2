#include "window/mainwindow.h"

#include "batch/batchplan.h"
#include "batch/batchreport.h"
#include "batch/batchrunner.h"
#include "batch/jobqueue.h"
#include "batch/naming.h"
#include "formats/registry.h"
#include "ui_mainwindow.h"
#include "window/aboutdialog.h"
#include "window/desktopnotice.h"
#include "window/droppedfiles.h"
#include "window/launcherprogress.h"
#include "window/placement.h"
#include "window/presetmenu.h"
#include "window/previewwindow.h"
#include "window/thumbnailloader.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QProgressDialog>
#include <QScreen>
#include <QStatusBar>
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
    connectRoutine();
    connectAccessibility();

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
    if (!preview || !preview->isVisible() || running || applying)
        return;
    const int row = form->pictureList->currentRow();
    if (row < 0) {
        preview->request(PlannedRow());
        return;
    }
    preview->request(plan(currentSettings()).value(row));
}

// A screen reader reads each row by its file's name rather than its whole path, and the slider's
// value as pixels.
void MainWindow::connectAccessibility()
{
    QListWidget *list = form->pictureList;
    connect(list->model(), &QAbstractItemModel::rowsInserted, this,
            [list](const QModelIndex &, int first, int last) {
                for (int row = first; row <= last; ++row) {
                    QListWidgetItem *item = list->item(row);
                    item->setData(Qt::AccessibleTextRole, QFileInfo(item->text()).fileName());
                    item->setData(Qt::AccessibleDescriptionRole,
                                  QDir::toNativeSeparators(item->text()));
                }
            });
    QSlider *slider = form->horizontalSlider;
    const auto describe = [slider](int value) {
        slider->setAccessibleDescription(tr("%1 pixels").arg(value));
    };
    connect(slider, &QSlider::valueChanged, this, describe);
    describe(slider->value());
}

// Saved settings, names from the photos, the list's order, and runs that redo nothing.
void MainWindow::connectRoutine()
{
    presets = new PresetMenu(
        {form->menu_Presets, form->actionPresetSave, form->actionPresetDelete,
         form->actionPresetAtStart},
        [this] { return currentPreset(); }, this);
    connect(presets, &PresetMenu::chosen, this, &MainWindow::applyPreset);
    if (const std::optional<Preset> starting = presets->startingPreset())
        applyPreset(*starting);
    if (!presets->problem().isEmpty())
        statusBar()->showMessage(presets->problem());
    connect(form->actionSortByDate, &QAction::triggered, this, &MainWindow::onSortByDate);
    connect(form->actionSortByName, &QAction::triggered, this, &MainWindow::onSortByName);
    const std::pair<QAction *, const char *> tokens[] = {
        {form->actionTokenDate, "{date}"},
        {form->actionTokenTime, "{heure}"},
        {form->actionTokenModel, "{appareil}"},
        {form->actionTokenName, "{nom}"},
    };
    for (const auto &token : tokens)
        connect(token.first, &QAction::triggered, this,
                [this, token] { insertToken(QString::fromLatin1(token.second)); });
    connect(form->actionSkipDone, &QAction::triggered, this, &MainWindow::updatePreview);
}

Preset MainWindow::currentPreset() const
{
    Preset preset;
    preset.settings = currentSettings();
    preset.subfolders = form->actionSubfolders->isChecked();
    return preset;
}

// Everything the setting holds, set as by hand; the rename and the destination only where it
// holds them.
void MainWindow::applyPreset(const Preset &preset)
{
    applying = true;
    const BatchSettings &settings = preset.settings;
    const int size = qBound(form->horizontalSlider->minimum(), settings.options.geometry.size,
                            form->horizontalSlider->maximum());
    form->horizontalSlider->setValue(size);
    form->lcdNumber->display(size);
    showOptions(settings.options);
    form->actionSubfolders->setChecked(preset.subfolders);
    form->actionSkipDone->setChecked(settings.skipDone);
    if (preset.holdsPattern) {
        form->changeFilename->setChecked(settings.rename);
        form->filename->setText(settings.pattern);
    }
    if (preset.holdsDestination)
        form->newPath->setText(settings.destination);
    applying = false;
    updatePreview();
}

// At the cursor, and the rename group ticked, so that the token takes effect.
void MainWindow::insertToken(const QString &token)
{
    form->changeFilename->setChecked(true);
    form->filename->insert(token);
    form->filename->setFocus();
}

void MainWindow::onSortByDate()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const QVector<int> order = captures.orderByDate(listedPaths());
    QApplication::restoreOverrideCursor();
    reorder(order);
}

void MainWindow::onSortByName()
{
    reorder(CaptureIndex::orderByName(listedPaths()));
}

// Rows move with everything they carry (their folder in a dropped tree, their picture); the
// current row stays current.
void MainWindow::reorder(const QVector<int> &order)
{
    QListWidget *list = form->pictureList;
    QListWidgetItem *current = list->currentItem();
    QVector<QListWidgetItem *> items(list->count());
    for (int row = list->count() - 1; row >= 0; --row)
        items[row] = list->takeItem(row);
    for (const int row : order)
        list->addItem(items.at(row));
    if (current)
        list->setCurrentItem(current);
    updatePreview();
}

QVector<PlannedRow> MainWindow::plan(const BatchSettings &settings) const
{
    const QStringList paths = listedPaths();
    const bool named = settings.rename && Naming::usesCapture(settings.pattern);
    return planBatch(paths, settings, listedSubfolders(),
                     named ? captures.of(paths) : QVector<Capture>());
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
    settings.skipDone = form->actionSkipDone->isChecked();
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
    progress.setAccessibleName(tr("Progression du redimensionnement"));
    progress.setRange(0, n);
    progress.show();

    showReport(runBatch(settings, progress));
}

// Each Option's entry beside the value it stands for, read one way to run and the other to
// show a saved setting.
namespace {

template <typename Value> using Entries = std::vector<std::pair<QAction *, Value>>;

struct OptionEntries
{
    Entries<QByteArray> formats;
    Entries<Quality> qualities;
    Entries<Side> sides;
    Entries<Frame> frames;
    Entries<MetadataKeep> keeps;
    Entries<int> extraSizes;
    Entries<qint64> fileSizes; // in Ko, "Autre…" apart
};

OptionEntries optionEntries(const MainWindowForm *form)
{
    return {
        {{form->actionFormatSource, ""},
         {form->actionFormatJpeg, "jpg"},
         {form->actionFormatPng, "png"},
         {form->actionFormatWebp, "webp"},
         {form->actionFormatHeic, "heic"},
         {form->actionFormatAvif, "avif"},
         {form->actionFormatJxl, "jxl"}},
        {{form->actionQualityNormal, Quality::Normal},
         {form->actionQualityMax, Quality::Maximum},
         {form->actionQualityHigh, Quality::High},
         {form->actionQualityCompact, Quality::Compact}},
        {{form->actionSideLongest, Side::Longest},
         {form->actionSideWidth, Side::Width},
         {form->actionSideHeight, Side::Height}},
        {{form->actionFrameWhole, Frame::Whole},
         {form->actionFrameSquare, Frame::Square},
         {form->actionFrame4x5, Frame::Ratio4x5},
         {form->actionFrame3x2, Frame::Ratio3x2},
         {form->actionFrame16x9, Frame::Ratio16x9}},
        {{form->actionMetadataKeep, MetadataKeep::All},
         {form->actionMetadataNoLocation, MetadataKeep::NoLocation},
         {form->actionMetadataNone, MetadataKeep::ColourOnly}},
        {{form->actionExtra320, 320},
         {form->actionExtra640, 640},
         {form->actionExtra1280, 1280},
         {form->actionExtra1920, 1920},
         {form->actionExtra2560, 2560}},
        {{form->actionSizeUnlimited, 0},
         {form->actionSize200, 200},
         {form->actionSize500, 500},
         {form->actionSize1000, 1000},
         {form->actionSize2000, 2000}},
    };
}

// The checked entry's value; the first entry's, the start value, where none is.
template <typename Value> Value checkedValue(const Entries<Value> &entries)
{
    for (const auto &entry : entries)
        if (entry.first->isChecked())
            return entry.second;
    return entries.front().second;
}

template <typename Value> void check(const Entries<Value> &entries, const Value &value)
{
    for (const auto &entry : entries)
        entry.first->setChecked(entry.second == value);
}

} // namespace

// The Options menu's choices; each starts at the program's first behaviour.
OutputOptions MainWindow::chosenOptions() const
{
    const OptionEntries entries = optionEntries(form);
    OutputOptions options;
    options.geometry.resampling =
        form->actionSmooth->isChecked() ? Resampling::Smooth : Resampling::Nearest;
    options.encoding.format = checkedValue(entries.formats);
    options.encoding.formatChosen = !options.encoding.format.isEmpty();
    options.encoding.quality = checkedValue(entries.qualities);
    options.encoding.maxBytes = chosenFileSize();
    options.encoding.baseline = form->actionJpegBaseline->isChecked();
    options.geometry.enlarge = !form->actionNoEnlarge->isChecked();
    options.carrying.keepDate = form->actionKeepDate->isChecked();
    options.carrying.metadata = checkedValue(entries.keeps);
    options.carrying.srgb = form->actionSrgb->isChecked();
    options.geometry.side = checkedValue(entries.sides);
    options.geometry.frame = checkedValue(entries.frames);
    options.geometry.subject =
        form->actionFrameSubject->isChecked() && options.geometry.frame != Frame::Whole;
    for (const auto &size : entries.extraSizes)
        if (size.first->isChecked())
            options.geometry.extraSizes.append(size.second);
    return options;
}

// Sets the Options menu as `options` says, as the user would by hand.
void MainWindow::showOptions(const OutputOptions &options)
{
    const OptionEntries entries = optionEntries(form);
    form->actionSmooth->setChecked(options.geometry.resampling == Resampling::Smooth);
    check(entries.formats, options.encoding.format);
    check(entries.qualities, options.encoding.quality);
    showFileSize(options.encoding.maxBytes);
    form->actionJpegBaseline->setChecked(options.encoding.baseline);
    form->actionNoEnlarge->setChecked(!options.geometry.enlarge);
    form->actionKeepDate->setChecked(options.carrying.keepDate);
    check(entries.keeps, options.carrying.metadata);
    form->actionSrgb->setChecked(options.carrying.srgb);
    check(entries.sides, options.geometry.side);
    check(entries.frames, options.geometry.frame);
    form->actionFrameSubject->setChecked(options.geometry.subject);
    form->actionFrameSubject->setEnabled(options.geometry.frame != Frame::Whole);
    for (const auto &size : entries.extraSizes)
        size.first->setChecked(options.geometry.extraSizes.contains(size.second));
}

// A limit of the menu's own, or one of the user's under "Autre…", brought into the range that
// entry offers.
void MainWindow::showFileSize(qint64 maxBytes)
{
    const qint64 ko = maxBytes / 1000;
    const Entries<qint64> sizes = optionEntries(form).fileSizes;
    for (const auto &size : sizes) {
        if (size.second == ko) {
            size.first->setChecked(true);
            fileSizeChoice = size.first;
            return;
        }
    }
    setOtherFileSize(int(qBound(qint64(MinOtherKo), ko, qint64(MaxOtherKo))));
}

// In bytes, 1 Ko being 1 000 as the desktop's file managers count; 0 for no limit.
qint64 MainWindow::chosenFileSize() const
{
    if (form->actionSizeOther->isChecked())
        return qint64(otherFileSizeKo) * 1000;
    return checkedValue(optionEntries(form).fileSizes) * 1000;
}

// Asks for a size of one's own; cancelling keeps the choice made before.
void MainWindow::onOtherFileSize()
{
    QInputDialog dialog(this);
    dialog.setLocale(QLocale(QLocale::French, QLocale::France));
    dialog.setInputMode(QInputDialog::IntInput);
    dialog.setWindowTitle(tr("Taille maximale des fichiers"));
    dialog.setLabelText(tr("Taille maximale de chaque fichier, en Ko (1 Ko = 1 000 octets) :"));
    dialog.setIntRange(MinOtherKo, MaxOtherKo);
    dialog.setIntStep(50);
    dialog.setIntValue(otherFileSizeKo > 0 ? otherFileSizeKo : 300);
    if (dialog.exec() != QDialog::Accepted) {
        fileSizeChoice->setChecked(true);
        return;
    }
    setOtherFileSize(dialog.intValue());
}

void MainWindow::setOtherFileSize(int ko)
{
    otherFileSizeKo = ko;
    fileSizeChoice = form->actionSizeOther;
    form->actionSizeOther->setChecked(true);
    form->actionSizeOther->setText(
        tr("&Autre (%1 Ko)…").arg(QLocale(QLocale::French).toString(otherFileSizeKo)));
}

// Without a destination or a rename, each output replaces its source unless a chosen format
// gives it another name.
bool MainWindow::replacesSources(const BatchSettings &settings) const
{
    return settings.options.encoding.format.isEmpty() || replacesASource(plan(settings));
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
    const QVector<PlannedRow> planned = plan(settings);
    BatchRunner runner(planned, jobs);
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
    // The task bar's entry follows the dialog; rows that finish after a cancel leave it clear.
    LauncherProgress *launcher = LauncherProgress::of(this);
    connect(&runner, &BatchRunner::rowFinished, launcher, [&] {
        if (!progress.wasCanceled())
            launcher->show(runner.finishedCount(), planned.size());
    });
    connect(&progress, &QProgressDialog::canceled, launcher, &LauncherProgress::clear);

    QEventLoop loop;
    connect(&runner, &BatchRunner::finished, &loop, &QEventLoop::quit);
    running = true;
    thumbnails->setPaused(true);
    if (preview)
        preview->setPaused(true);
    launcher->show(0, planned.size());
    QElapsedTimer runTime;
    runTime.start();
    runner.start();
    // quit() from elsewhere ends every event loop; this one lasts until the run is over.
    while (runner.isRunning())
        loop.exec();
    running = false;
    thumbnails->setPaused(false);
    if (preview)
        preview->setPaused(false);
    launcher->clear();
    const BatchReport report = BatchReport::make(planned, runner.outcomes());
    DesktopNotice::of(this)->runEnded(report, runTime.elapsed());
    return report;
}

void MainWindow::showReport(const BatchReport &report)
{
    QMessageBox box(report.kind == BatchReport::Errors ? QMessageBox::Warning
                                                       : QMessageBox::Information,
                    report.title, report.text, QMessageBox::Ok, this);
    box.setInformativeText(report.informative);
    // Read out with the alert, not only its title.
    box.setAccessibleDescription(report.text + QLatin1Char('\n') + report.informative);
    box.setDetailedText(report.details);
    box.exec();
}
