#pragma once

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

private:
    bool handleDrag(QEvent *event);
    void appendRows(const QStringList &paths);
    void appendImages(const QVector<DroppedImage> &images);
    void connectPreview();
    BatchSettings currentSettings() const;
    OutputOptions chosenOptions() const;
    void chooseShape(Geometry *geometry) const;
    qint64 chosenFileSize() const;
    bool replacesSources(const BatchSettings &settings) const;
    bool confirmOverwrite();
    QStringList listedPaths() const;
    QStringList listedSubfolders() const;
    BatchReport runBatch(const BatchSettings &settings, QProgressDialog &progress);
    void showReport(const BatchReport &report);

    // Where a listed image's outputs go under the destination, from a dropped tree.
    static constexpr int SubfolderRole = Qt::UserRole + 1;

    MainWindowForm *form;
    QRegExp invalidChars;
    bool running = false;
    int otherFileSizeKo = 0;                 // the last size given under "Autre…"
    class QAction *fileSizeChoice = nullptr; // checked before "Autre…" was picked
    class JobQueue *jobs;
    class ThumbnailLoader *thumbnails;
    class PreviewWindow *preview = nullptr;
};
