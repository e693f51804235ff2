#include "modalanswerer.h"
#include "testimages.h"
#include "testmain.h"
#include "window/aboutdialog.h"
#include "window/mainwindow.h"
#include "window/placement.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLCDNumber>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void centring_data();
    void centring();
    void constructorCentresOnDesktop();
    void patternCleaning_data();
    void patternCleaning();
    void lcdFollowsDragsOnly();
    void renameGroupEnablesPattern();
    void addAppendsDuplicates();
    void shortcutsActAsButtons();
    void dialogOffersEveryReadableImage();
    void removeTakesOnlySelectedRow();
    void folderDialog();
    void quitEndsWithZero();
    void aboutDialog_data();
    void aboutDialog();
    void dropAddsImages_data();
    void dropAddsImages();

private:
    template <typename T> T *child(const char *name) const
    {
        return window->findChild<T *>(QLatin1String(name));
    }
    void addThroughDialog(const QStringList &names);
    void showActive();

    QTemporaryDir dir;
    MainWindow *window = nullptr;
};

void TestMainWindow::init()
{
    window = new MainWindow(nullptr);
}

void TestMainWindow::cleanup()
{
    delete window;
    window = nullptr;
}

void TestMainWindow::showActive()
{
    window->show();
    QApplication::setActiveWindow(window);
    QVERIFY(QTest::qWaitForWindowActive(window));
}

void TestMainWindow::addThroughDialog(const QStringList &names)
{
    ModalAnswerer answerer;
    answerer.expect<QFileDialog>(
        [&](QFileDialog *dialog) { chooseInFileDialog(dialog, dir.path(), names); });
    child<QPushButton>("addBtn")->click();
    QVERIFY(answerer.waitDone());
}

void TestMainWindow::centring_data()
{
    QTest::addColumn<QSize>("desktop");
    QTest::addColumn<QPoint>("expected");
    QTest::newRow("full hd") << QSize(1920, 1080) << QPoint(686, 238);
    QTest::newRow("one pixel narrower") << QSize(547, 1080) << QPoint(0, 238);
    QTest::newRow("two pixels narrower") << QSize(546, 1080) << QPoint(-1, 238);
    QTest::newRow("much narrower") << QSize(500, 600) << QPoint(-24, -1);
}

void TestMainWindow::centring()
{
    QFETCH(QSize, desktop);
    QFETCH(QPoint, expected);
    QCOMPARE(centredPosition(desktop, QSize(548, 603)), expected);
}

void TestMainWindow::constructorCentresOnDesktop()
{
    QCOMPARE(window->pos(), centredPosition(desktopSize(), QSize(548, 603)));
    QCOMPARE(window->size(), QSize(548, 603));
}

void TestMainWindow::patternCleaning_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<QString>("expected");
    QTest::newRow("typed separators") << "vacances/2012:%1"
                                      << ""
                                      << "vacances2012%1";
    QTest::newRow("pasted backslash") << ""
                                      << "a\\b"
                                      << "ab";
    QTest::newRow("other characters stay") << "%2 *?.<>|\"_-"
                                           << ""
                                           << "%2 *?.<>|\"_-";
    QTest::newRow("pasted after typed") << "x:"
                                        << "/y:\\"
                                        << "xy";
}

void TestMainWindow::patternCleaning()
{
    QFETCH(QString, typed);
    QFETCH(QString, pasted);
    QFETCH(QString, expected);
    showActive();
    child<QGroupBox>("changeFilename")->setChecked(true);
    auto *edit = child<QLineEdit>("filename");
    edit->setFocus();
    QTest::keyClicks(edit, typed);
    if (!pasted.isEmpty()) {
        QApplication::clipboard()->setText(pasted);
        QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    }
    QCOMPARE(edit->text(), expected);
}

void TestMainWindow::lcdFollowsDragsOnly()
{
    showActive();
    auto *slider = child<QSlider>("horizontalSlider");
    auto *lcd = child<QLCDNumber>("lcdNumber");
    QCOMPARE(lcd->intValue(), 1024);

    slider->setValue(1500);
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_Right);
    QCOMPARE(slider->value(), 1501);
    QCOMPARE(lcd->intValue(), 1024);

    slider->setSliderDown(true); // the handle is held, as during a drag
    slider->setSliderPosition(300);
    slider->setSliderDown(false);
    QCOMPARE(slider->value(), 300);
    QCOMPARE(lcd->intValue(), 300);
}

void TestMainWindow::renameGroupEnablesPattern()
{
    auto *group = child<QGroupBox>("changeFilename");
    auto *edit = child<QLineEdit>("filename");
    QVERIFY(!edit->isEnabled());
    group->setChecked(true);
    QVERIFY(edit->isEnabled());
    group->setChecked(false);
    QVERIFY(!edit->isEnabled());
}

void TestMainWindow::addAppendsDuplicates()
{
    QVERIFY(TestImages::write(dir.filePath("a.png"), QSize(4, 4)));
    QVERIFY(TestImages::write(dir.filePath("b.png"), QSize(4, 4)));
    addThroughDialog({"a.png"});
    addThroughDialog({"b.png", "a.png"});
    auto *list = child<QListWidget>("pictureList");
    QCOMPARE(list->count(), 3);
    QCOMPARE(list->item(0)->text(), dir.filePath("a.png"));
    QCOMPARE(list->item(2)->text(), dir.filePath("a.png"));
}

void TestMainWindow::shortcutsActAsButtons()
{
    QVERIFY(TestImages::write(dir.filePath("c.png"), QSize(4, 4)));
    showActive();
    auto *list = child<QListWidget>("pictureList");
    ModalAnswerer answerer;
    answerer.expect<QFileDialog>(
        [&](QFileDialog *dialog) { chooseInFileDialog(dialog, dir.path(), {"c.png"}); });
    QTest::keyClick(window, Qt::Key_Plus, Qt::ControlModifier);
    QVERIFY(answerer.waitDone());
    QCOMPARE(list->count(), 1);

    showActive(); // the closed dialog leaves no window active under offscreen
    list->setCurrentRow(0);
    child<QGroupBox>("changeFilename")->setChecked(true);
    auto *edit = child<QLineEdit>("filename");
    edit->setFocus();
    QTest::keyClicks(edit, "ab");
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(edit->text(), QString("a"));
    QCOMPARE(list->count(), 1);

    list->setFocus();
    QTest::keyClick(list, Qt::Key_Backspace);
    QCOMPARE(list->count(), 0);
}

// PNG and JPEG first, as before; the second filter shows what a drop would add, raws and
// phones' HEIC among them, whatever their letter case.
void TestMainWindow::dialogOffersEveryReadableImage()
{
    for (const char *name : {"a.dng", "b.HEIC", "c.webp", "d.JXL"})
        QVERIFY(TestImages::writeAll(dir.filePath(name), "x"));
    ModalAnswerer answerer;
    answerer.expect<QFileDialog>([&](QFileDialog *dialog) {
        const QStringList filters = dialog->nameFilters();
        QCOMPARE(filters.value(0), QString("Fichiers images (*.png *.jpg *.jpeg)"));
        QVERIFY(filters.value(1).startsWith("Toutes les images lisibles ("));
        dialog->selectNameFilter(filters.value(1));
        chooseInFileDialog(dialog, dir.path(), {"a.dng", "b.HEIC", "c.webp", "d.JXL"});
    });
    child<QPushButton>("addBtn")->click();
    QVERIFY(answerer.waitDone());
    QCOMPARE(child<QListWidget>("pictureList")->count(), 4);
}

void TestMainWindow::removeTakesOnlySelectedRow()
{
    auto *list = child<QListWidget>("pictureList");
    list->addItems({"/p/1.jpg", "/p/2.jpg", "/p/3.jpg"});
    auto *remove = child<QPushButton>("removeBtn");
    list->clearSelection();
    remove->click();
    QCOMPARE(list->count(), 3);
    list->setCurrentRow(1);
    remove->click();
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->item(1)->text(), QString("/p/3.jpg"));
}

void TestMainWindow::folderDialog()
{
    auto *path = child<QLineEdit>("newPath");
    QVERIFY(path->isReadOnly());
    ModalAnswerer answerer;
    answerer.expect<QFileDialog>([&](QFileDialog *dialog) {
        QVERIFY(dialog->testOption(QFileDialog::ShowDirsOnly));
        QCOMPARE(QDir(dialog->directory()).absolutePath(), QDir::homePath());
        dialog->setDirectory(dir.path());
        QMetaObject::invokeMethod(dialog, "accept");
    });
    answerer.expect<QFileDialog>([](QFileDialog *dialog) { dialog->reject(); });
    child<QPushButton>("newPathBtn")->click();
    child<QPushButton>("newPathBtn")->click();
    QVERIFY(answerer.waitDone());
    QCOMPARE(QDir(path->text()), QDir(dir.path()));

    showActive();
    path->setFocus();
    QTest::keyClicks(path, "typed");
    QCOMPARE(QDir(path->text()), QDir(dir.path()));
}

void TestMainWindow::quitEndsWithZero()
{
    showActive();
    QTimer::singleShot(0, child<QAction>("actionQuit"), &QAction::trigger);
    QCOMPARE(QApplication::exec(), 0);
}

void TestMainWindow::aboutDialog_data()
{
    QTest::addColumn<bool>("escape");
    QTest::newRow("ok") << false;
    QTest::newRow("escape") << true;
}

void TestMainWindow::aboutDialog()
{
    QFETCH(bool, escape);
    showActive();
    int opened = 0;
    ModalAnswerer answerer;
    answerer.expect<AboutDialog>([&](AboutDialog *dialog) {
        ++opened;
        QCOMPARE(dialog->parentWidget(), window);
        QVERIFY(dialog->isModal());
        QCOMPARE(QApplication::activeModalWidget(), dialog);
        if (escape)
            QTest::keyClick(dialog, Qt::Key_Escape);
        else
            dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    });
    child<QAction>("action_About")->trigger(); // returns once the dialog is closed
    QVERIFY(answerer.waitDone());
    QCOMPARE(opened, 1);
    QVERIFY(window->findChildren<AboutDialog *>().isEmpty());
    QVERIFY(window->isVisible());
}

// Names are relative to the test folder; "http:" names are not local files.
void TestMainWindow::dropAddsImages_data()
{
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("files in dropped order, duplicates kept")
        << QStringList{"b.jpg", "a.png", "b.jpg"} << QStringList{"b.jpg", "a.png", "b.jpg"};
    QTest::newRow("folder: direct images by name, any case")
        << QStringList{"folder"}
        << QStringList{"folder/A.JPG", "folder/img2.png", "folder/img10.jpeg", "folder/z.jpg"};
    QTest::newRow("folder url with a trailing slash")
        << QStringList{"folder/"}
        << QStringList{"folder/A.JPG", "folder/img2.png", "folder/img10.jpeg", "folder/z.jpg"};
    QTest::newRow("non-file url and non-image ignored")
        << QStringList{"http://example.org/c.jpg", "folder/notes.txt", "a.png", "missing.jpg"}
        << QStringList{"a.png"};
    QTest::newRow("phone photos: HEIF and AVIF by suffix, any case")
        << QStringList{"c.HEIC", "phone"}
        << QStringList{"c.HEIC", "phone/b.AVIF", "phone/IMG_2.heif", "phone/IMG_10.hif"};
    QTest::newRow("desktop formats read and written; none without a writer")
        << QStringList{"more"}
        << QStringList{"more/v.jxl", "more/w.bmp", "more/x.webp", "more/Y.TIF"};
    QTest::newRow("file then folder")
        << QStringList{"a.png", "folder/sub"} << QStringList{"a.png", "folder/sub/inner.jpg"};
}

void TestMainWindow::dropAddsImages()
{
    QFETCH(QStringList, dropped);
    QFETCH(QStringList, rows);
    for (const char *name :
         {"a.png", "b.jpg", "folder/z.jpg", "folder/A.JPG", "folder/img10.jpeg", "folder/img2.png",
          "folder/sub/inner.jpg", "c.HEIC", "phone/b.AVIF", "phone/IMG_10.hif", "phone/IMG_2.heif",
          "more/x.webp", "more/Y.TIF", "more/w.bmp", "more/v.jxl"}) {
        QDir().mkpath(QFileInfo(dir.filePath(name)).absolutePath());
        QVERIFY(TestImages::write(dir.filePath(name), QSize(4, 4)));
    }
    QVERIFY(TestImages::writeAll(dir.filePath("folder/notes.txt"), "not an image"));
    QVERIFY(TestImages::writeAll(dir.filePath("more/layers.psd"), "8BPS read, never written"));
    QList<QUrl> urls;
    for (const QString &name : dropped)
        urls.append(name.startsWith("http:") ? QUrl(name)
                                             : QUrl::fromLocalFile(dir.filePath(name)));
    auto data = new QMimeData;
    data->setUrls(urls);

    QWidget *viewport = child<QListWidget>("pictureList")->viewport();
    const QPoint at = viewport->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    QVERIFY(enter.isAccepted());
    QCOMPARE(enter.dropAction(), Qt::CopyAction);
    QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &drop);
    delete data;

    QStringList listed;
    auto *list = child<QListWidget>("pictureList");
    for (int row = 0; row < list->count(); ++row)
        listed.append(QDir(dir.path()).relativeFilePath(list->item(row)->text()));
    QCOMPARE(listed, rows);
    QVERIFY(list->item(0)->text().startsWith(dir.path() + "/"));
}

PARVIMAGE_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
