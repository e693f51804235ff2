#pragma once

#include "batch/captureindex.h"

#include <QMainWindow>
#include <QRegExp>

class Ui_MainWindow;
using MainWindowForm = Ui_MainWindow;
class QProgressDialog;
struct BatchReport;
struct BatchSettings;
struct Geometry;
struct OutputOptions;
struct DroppedImage;
struct Preset;
struct PlannedRow;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void onAdd();
    void onRemove();
    void onHelp();
    void onResize();
    void onNewPath();
    void onTextChanged(QString text);
    void onOtherFileSize();
    void onPreview();
    void updatePreview();
    void onSortByDate();
    void onSortByName();

private:
    bool handleDrag(QEvent *event);
    void appendRows(const QStringList &paths);
    void appendImages(const QVector<DroppedImage> &images);
    void connectPreview();
    BatchSettings currentSettings() const;
    OutputOptions chosenOptions() const;
    void showOptions(const OutputOptions &options);
    qint64 chosenFileSize() const;
    void showFileSize(qint64 maxBytes);
    void setOtherFileSize(int ko);
    Preset currentPreset() const;
    void applyPreset(const Preset &preset);
    void connectRoutine();
    void connectAccessibility();
    void insertToken(const QString &token);
    void reorder(const QVector<int> &order);
    QVector<PlannedRow> plan(const BatchSettings &settings) const;
    bool replacesSources(const BatchSettings &settings) const;
    bool confirmOverwrite();
    QStringList listedPaths() const;
    QStringList listedSubfolders() const;
    BatchReport runBatch(const BatchSettings &settings, QProgressDialog &progress);
    void showReport(const BatchReport &report);

    // Where a listed image's outputs go under the destination, from a dropped tree.
    static constexpr int SubfolderRole = Qt::UserRole + 1;
    // What "Autre…" takes, in Ko.
    static constexpr int MinOtherKo = 20;
    static constexpr int MaxOtherKo = 100000;

    MainWindowForm *form;
    QRegExp invalidChars;
    bool running = false;
    int otherFileSizeKo = 0;                 // the last size given under "Autre…"
    class QAction *fileSizeChoice = nullptr; // checked before "Autre…" was picked
    class JobQueue *jobs;
    class ThumbnailLoader *thumbnails;
    class PreviewWindow *preview = nullptr;
    class PresetMenu *presets;
    mutable CaptureIndex captures; // read once per photo, for names and the order by date
    bool applying = false;         // a saved setting is being shown: one preview at its end
};
