#include "batch/batchplan.h"
#include "formats/registry.h"
#include "modalanswerer.h"
#include "row/imageresizer.h"
#include "row/preview.h"
#include "testimages.h"
#include "window/mainwindow.h"
#include "window/placement.h"
#include "window/previewwindow.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestPreview : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void bytesAsWritten_data();
    void bytesAsWritten();
    void decodesOnlyForPixels_data();
    void decodesOnlyForPixels();
    void windowChoices_data();
    void windowChoices();
    void newestRequestOnly();
    void followsTheWindow();
    void placedBeside_data();
    void placedBeside();

private:
    QString photo(const QString &name, int orientation = 1);
    QTemporaryDir m_dir;
};

void TestPreview::initTestCase()
{
    QVERIFY(m_dir.isValid());
    Formats::initialiseLibraries();
}

// A 1600 x 1200 photo with camera metadata, turned by its EXIF orientation where asked.
QString TestPreview::photo(const QString &name, int orientation)
{
    const QString path = m_dir.filePath(name);
    if (!QFile::exists(path)) {
        if (!TestImages::write(path, QSize(1600, 1200)))
            return QString();
        if (name.endsWith(".jpg") &&
            !TestImages::exiftool(path,
                                  {"-Artist=Preview", "-GPSLatitude=48.85", "-GPSLatitudeRef=N",
                                   QString("-Orientation#=%1").arg(orientation)}))
            return QString();
    }
    return path;
}

namespace {

enum Change
{
    Nothing,
    CompactQuality,
    Format,
    Limit,
    Metadata,
    Size,
    FrameCut,
    Srgb,
};

OutputOptions changed(OutputOptions options, Change change)
{
    switch (change) {
    case CompactQuality:
        options.encoding.quality = Quality::Compact;
        break;
    case Format:
        options.encoding.format = "webp";
        break;
    case Limit:
        options.encoding.maxBytes = 60000;
        break;
    case Metadata:
        options.carrying.metadata = MetadataKeep::NoLocation;
        break;
    case Size:
        options.geometry.size = 640;
        break;
    case FrameCut:
        options.geometry.frame = Frame::Square;
        break;
    case Srgb:
        options.carrying.srgb = true;
        break;
    case Nothing:
        break;
    }
    return options;
}

PlannedRow planned(const QString &source, const QString &folder, const OutputOptions &options)
{
    BatchSettings settings;
    settings.destination = folder;
    settings.options = options;
    return planBatch({source}, settings).value(0);
}

} // namespace

void TestPreview::bytesAsWritten_data()
{
    // The preview's bytes against the file the run writes, for each output of the row.
    QTest::addColumn<QString>("source");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<int>("change");
    QTest::addColumn<QVector<int>>("extraSizes");
    QTest::addColumn<bool>("enlarge");
    QTest::newRow("JPEG turned, as it is")
        << "turned.jpg" << QByteArray() << int(Nothing) << QVector<int>() << true;
    QTest::newRow("JPEG, compact, with other sizes")
        << "turned.jpg" << QByteArray() << int(CompactQuality) << QVector<int>{320, 1280} << true;
    QTest::newRow("JPEG to WebP") << "turned.jpg" << QByteArray() << int(Format) << QVector<int>()
                                  << true;
    QTest::newRow("JPEG under 60 Ko")
        << "turned.jpg" << QByteArray("jpg") << int(Limit) << QVector<int>() << true;
    QTest::newRow("JPEG without location, square")
        << "turned.jpg" << QByteArray() << int(Metadata) << QVector<int>{640} << true;
    QTest::newRow("JPEG to sRGB, AVIF")
        << "turned.jpg" << QByteArray("avif") << int(Srgb) << QVector<int>() << true;
    QTest::newRow("JPEG copied as it is (fits, not enlarged)")
        << "turned.jpg" << QByteArray() << int(Nothing) << QVector<int>{2048} << false;
    QTest::newRow("PNG to HEIC") << "photo.png" << QByteArray("heic") << int(FrameCut)
                                 << QVector<int>() << true;
    QTest::newRow("PNG to JPEG XL")
        << "photo.png" << QByteArray("jxl") << int(Nothing) << QVector<int>() << true;
    QTest::newRow("WebP to PNG") << "photo.webp" << QByteArray("png") << int(Nothing)
                                 << QVector<int>{320} << true;
}

void TestPreview::bytesAsWritten()
{
    QFETCH(QString, source);
    QFETCH(QByteArray, format);
    QFETCH(int, change);
    QFETCH(QVector<int>, extraSizes);
    QFETCH(bool, enlarge);
    const QString path = photo(source, 6);
    QVERIFY(!path.isEmpty());
    OutputOptions options = changed(OutputOptions(), Change(change));
    if (!format.isEmpty())
        options.encoding.format = format;
    options.geometry.extraSizes = extraSizes;
    options.geometry.enlarge = enlarge;
    const QString out = m_dir.filePath(QString(QTest::currentDataTag()).replace(' ', '-'));
    QVERIFY(QDir().mkpath(out));
    const PlannedRow row = planned(path, out, options);
    QVERIFY(!row.outputs.isEmpty());

    RowPreview preview;
    const RowPreview::Result result = preview.make(row);
    const RowOutcome written = ImageResizer::processRow(row);
    QCOMPARE(int(written.status), int(RowOutcome::Written));
    QCOMPARE(result.outputs.size(), row.outputs.size());
    for (int i = 0; i < row.outputs.size(); ++i) {
        const RowPreview::Output &output = result.outputs.at(i);
        QCOMPARE(int(output.outcome.status), int(RowOutcome::Written));
        QCOMPARE(output.bytes.size(), QFileInfo(row.outputs.at(i).path).size());
        QVERIFY(output.bytes == TestImages::readAll(row.outputs.at(i).path));
        QCOMPARE(output.size, TestImages::uprightSize(row.outputs.at(i).path));
    }
    const QImage back = RowPreview::decodedBack(
        result.outputs.at(0).bytes, QFileInfo(row.outputs.at(0).path).suffix().toUtf8());
    QCOMPARE(back.size(), result.outputs.at(0).size);
    // Upright: the photo stored 1600 x 1200 under orientation 6 is shown tall.
    QCOMPARE(result.photo.height() > result.photo.width(), source.endsWith(".jpg"));
}

void TestPreview::decodesOnlyForPixels_data()
{
    QTest::addColumn<int>("change");
    QTest::addColumn<bool>("decodes");
    QTest::newRow("quality") << int(CompactQuality) << false;
    QTest::newRow("format") << int(Format) << false;
    QTest::newRow("size limit") << int(Limit) << false;
    QTest::newRow("metadata") << int(Metadata) << false;
    QTest::newRow("size") << int(Size) << true;
    QTest::newRow("frame") << int(FrameCut) << true;
    QTest::newRow("sRGB") << int(Srgb) << true;
}

void TestPreview::decodesOnlyForPixels()
{
    QFETCH(int, change);
    QFETCH(bool, decodes);
    const QString path = photo("turned.jpg", 6);
    RowPreview preview;
    const PlannedRow first = planned(path, m_dir.filePath("decodes"), OutputOptions());
    QVERIFY(preview.make(first).decoded);
    QVERIFY(!preview.make(first).decoded);
    const RowPreview::Result after = preview.make(
        planned(path, m_dir.filePath("decodes"), changed(OutputOptions(), Change(change))));
    QCOMPARE(after.decoded, decodes);
    QCOMPARE(int(after.outputs.value(0).outcome.status), int(RowOutcome::Written));
}

void TestPreview::windowChoices_data()
{
    // Every set of choices the golden outputs are made with, through the window's own actions,
    // each on one of three sources in turn.
    QTest::addColumn<QStringList>("actions");
    const QList<QPair<const char *, QStringList>> sets{
        {"start", {}},
        {"smooth", {"actionSmooth"}},
        {"jpeg", {"actionFormatJpeg"}},
        {"png", {"actionFormatPng"}},
        {"webp", {"actionFormatWebp"}},
        {"heic", {"actionFormatHeic"}},
        {"avif", {"actionFormatAvif"}},
        {"jxl", {"actionFormatJxl"}},
        {"maximum", {"actionQualityMax", "actionFormatJpeg"}},
        {"high", {"actionQualityHigh", "actionFormatWebp"}},
        {"compact", {"actionQualityCompact", "actionFormatJpeg"}},
        {"no-enlarge", {"actionNoEnlarge"}},
        {"keep-date", {"actionKeepDate"}},
        {"200k", {"actionSize200", "actionFormatJpeg"}},
        {"500k-webp", {"actionSize500", "actionFormatWebp"}},
        {"no-location", {"actionMetadataNoLocation"}},
        {"no-metadata", {"actionMetadataNone"}},
        {"srgb", {"actionSrgb"}},
        {"width", {"actionSideWidth"}},
        {"height", {"actionSideHeight"}},
        {"square", {"actionFrameSquare"}},
        {"4x5-subject", {"actionFrame4x5", "actionFrameSubject"}},
        {"16x9-smooth", {"actionFrame16x9", "actionSmooth"}},
        {"extras", {"actionExtra320", "actionExtra1280"}},
        {"extras-png", {"actionExtra640", "actionFormatPng"}},
    };
    for (const auto &set : sets)
        QTest::newRow(set.first) << set.second;
}

// What the preview shows of the list's current row against what the run then writes.
void TestPreview::windowChoices()
{
    QFETCH(QStringList, actions);
    const QStringList sources{photo("turned.jpg", 6), photo("photo.png"), photo("photo.webp")};
    const QString source = sources.at(QTest::currentDataTag()[0] % 3);
    const QString out = m_dir.filePath(QString("window-") + QTest::currentDataTag());
    QVERIFY(QDir().mkpath(out));
    MainWindow window;
    for (const QString &name : actions)
        window.findChild<QAction *>(name)->trigger();
    window.findChild<QListWidget *>("pictureList")->addItem(source);
    window.findChild<QListWidget *>("pictureList")->setCurrentRow(0);
    window.findChild<QLineEdit *>("newPath")->setText(out);
    window.findChild<QAction *>("actionPreview")->trigger();
    auto *preview = window.findChild<PreviewWindow *>("previewWindow");
    QTRY_VERIFY_WITH_TIMEOUT(preview->resultsShown() > 0, 60000);
    const QVector<qint64> shown = preview->shownBytes();
    ModalAnswerer answerer;
    answerer.expectMessage(QMessageBox::Ok);
    window.findChild<QPushButton *>("resizeBtn")->click();
    QVERIFY(answerer.waitDone(60000));
    QStringList written = QDir(out).entryList(QDir::Files, QDir::Name);
    QCOMPARE(shown.size(), written.size());
    QVector<qint64> sizes;
    for (const QString &name : written)
        sizes.append(QFileInfo(QDir(out).filePath(name)).size());
    std::sort(sizes.begin(), sizes.end());
    QVector<qint64> sorted = shown;
    std::sort(sorted.begin(), sorted.end());
    QVERIFY2(sorted == sizes, qPrintable(QString("shown %1, written %2")
                                             .arg(QStringList(QList<QString>([&] {
                                                      QStringList l;
                                                      for (qint64 v : sorted)
                                                          l << QString::number(v);
                                                      return l;
                                                  }()))
                                                      .join(" "),
                                                  QStringList([&] {
                                                      QStringList l;
                                                      for (qint64 v : sizes)
                                                          l << QString::number(v);
                                                      return l;
                                                  }())
                                                      .join(" "))));
}

// Requests made one after another before any is done: only the last is shown.
void TestPreview::newestRequestOnly()
{
    PreviewWindow window;
    QSignalSpy shown(&window, &PreviewWindow::shown);
    const QStringList sources{photo("turned.jpg", 6), photo("photo.png"), photo("photo.webp")};
    for (const QString &source : sources)
        window.request(planned(source, m_dir.filePath("newest"), OutputOptions()));
    QVERIFY(shown.wait(30000));
    QTest::qWait(300);
    QCOMPARE(shown.count(), 1);
    QCOMPARE(window.windowTitle(), QString("photo.webp"));
}

// Opened from the keyboard on the list's current row, then following the row and the slider.
void TestPreview::followsTheWindow()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *list = window.findChild<QListWidget *>("pictureList");
    list->addItem(photo("turned.jpg", 6));
    list->addItem(photo("photo.png"));
    list->setCurrentRow(1);
    QTest::keyClick(&window, Qt::Key_P, Qt::ControlModifier);
    auto *preview = window.findChild<PreviewWindow *>("previewWindow");
    QVERIFY(preview);
    QVERIFY(preview->isVisible());
    QVERIFY(!preview->isModal());
    QTRY_COMPARE_WITH_TIMEOUT(preview->windowTitle(), QString("photo.png"), 30000);
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Up);
    QTRY_COMPARE_WITH_TIMEOUT(preview->windowTitle(), QString("turned.jpg"), 30000);
    auto *info = preview->findChild<QLabel *>("previewInfo");
    QTRY_VERIFY_WITH_TIMEOUT(info->text().contains(QString::fromUtf8("% de l'original")), 30000);
    QVERIFY(info->text().contains(QString::fromUtf8("Format : JPEG")));
    // The preview's own buttons from the keyboard: the original in the output's place, and back.
    auto *flip = preview->findChild<QPushButton *>("flipButton");
    flip->setFocus();
    QTest::keyClick(flip, Qt::Key_Space);
    QVERIFY(flip->isChecked());
    QTest::keyClick(flip, Qt::Key_Space);
    QVERIFY(!flip->isChecked());
}

void TestPreview::placedBeside_data()
{
    // The main window 548 x 603 (wider in the last row) on a screen of 1920 x 1080; the
    // preview 900 x 560, narrowed to fit beside it, down to 600.
    QTest::addColumn<QRect>("main");
    QTest::addColumn<int>("width");
    QTest::addColumn<QPoint>("expected");
    QTest::newRow("room on the right") << QRect(100, 200, 548, 603) << 900 << QPoint(664, 200);
    QTest::newRow("room on the left only") << QRect(1300, 200, 548, 603) << 900 << QPoint(384, 200);
    QTest::newRow("centred: narrowed") << QRect(686, 238, 548, 603) << 670 << QPoint(1250, 238);
    QTest::newRow("low on the screen") << QRect(100, 900, 548, 603) << 900 << QPoint(664, 520);
    QTest::newRow("no room: over it, on the screen")
        << QRect(0, 0, 1800, 603) << 600 << QPoint(1320, 0);
}

void TestPreview::placedBeside()
{
    QFETCH(QRect, main);
    QFETCH(int, width);
    QFETCH(QPoint, expected);
    const QRect screen(0, 0, 1920, 1080);
    const QSize size = besideSize(screen, main, QSize(900, 560));
    QCOMPARE(size, QSize(width, 560));
    QCOMPARE(besidePosition(screen, main, size), expected);
}

QTEST_MAIN(TestPreview)
#include "tst_preview.moc"
