#include "batch/jobqueue.h"
#include "formats/registry.h"
#include "row/thumbnail.h"
#include "testimages.h"
#include "window/thumbnailloader.h"

#include <QImageReader>

#include <libheif/heif.h>

#include <QListWidget>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <cstring>

class TestThumbnails : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void upright_data();
    void upright();
    void heifThumbnailItem_data();
    void heifThumbnailItem();
    void rowsCarryTheirReasons();

private:
    QTemporaryDir m_dir;
};

void TestThumbnails::initTestCase()
{
    QVERIFY(m_dir.isValid());
    Formats::initialiseLibraries();
}

namespace {

// Stored 600 x 400: red in its top-left quarter, blue elsewhere.
QImage stored()
{
    QImage image(600, 400, QImage::Format_RGB32);
    image.fill(Qt::blue);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 300; ++x)
            image.setPixel(x, y, qRgb(255, 0, 0));
    return image;
}

// Which quarter of `image` is red: 0 top left, 1 top right, 2 bottom left, 3 bottom right.
int redQuarter(const QImage &image)
{
    for (int quarter = 0; quarter < 4; ++quarter) {
        const QRgb pixel = image.pixel((quarter % 2 * 2 + 1) * image.width() / 4,
                                       (quarter / 2 * 2 + 1) * image.height() / 4);
        if (qRed(pixel) > 200 && qBlue(pixel) < 60)
            return quarter;
    }
    return -1;
}

QImage filled(const QSize &size, Qt::GlobalColor colour)
{
    QImage image(size, QImage::Format_RGB888);
    image.fill(colour);
    return image;
}

heif_image *heifImage(const QImage &picture)
{
    heif_image *image = nullptr;
    heif_image_create(picture.width(), picture.height(), heif_colorspace_RGB,
                      heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, picture.width(), picture.height(), 8);
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < picture.height(); ++y)
        memcpy(plane + y * stride, picture.constScanLine(y), size_t(picture.width()) * 3);
    return image;
}

// A HEIC of `primary` whose thumbnail item is coded from `thumbnail`, fitted to 256 pixels.
bool writeHeic(const QString &path, const QImage &primary, const QImage &thumbnail)
{
    heif_context *context = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder);
    heif_image *image = heifImage(primary), *small = heifImage(thumbnail);
    heif_image_handle *handle = nullptr, *thumbnailHandle = nullptr;
    bool ok = encoder &&
              heif_context_encode_image(context, image, encoder, nullptr, &handle).code ==
                  heif_error_Ok &&
              heif_context_encode_thumbnail(context, small, handle, encoder, nullptr, 256,
                                            &thumbnailHandle)
                      .code == heif_error_Ok &&
              heif_context_write_to_file(context, QFile::encodeName(path).constData()).code ==
                  heif_error_Ok;
    heif_image_handle_release(thumbnailHandle);
    heif_image_handle_release(handle);
    heif_image_release(small);
    heif_image_release(image);
    if (encoder)
        heif_encoder_release(encoder);
    heif_context_free(context);
    return ok;
}

} // namespace

void TestThumbnails::upright_data()
{
    QTest::addColumn<int>("orientation");
    QTest::addColumn<bool>("staleExifThumbnail");
    for (int orientation = 1; orientation <= 8; ++orientation)
        QTest::addRow("orientation %d", orientation) << orientation << false;
    // A photo edited after the camera wrote its small copy: the copy shows something else.
    QTest::newRow("stale EXIF thumbnail") << 6 << true;
}

void TestThumbnails::upright()
{
    QFETCH(int, orientation);
    QFETCH(bool, staleExifThumbnail);
    const QString path =
        m_dir.filePath(QString(QTest::currentDataTag()).replace(' ', '-') + ".jpg");
    QVERIFY(stored().save(path, "JPEG", 95));
    QVERIFY(TestImages::setOrientation(path, orientation));
    if (staleExifThumbnail) {
        const QString small = m_dir.filePath("green.jpg");
        QImage green(160, 160, QImage::Format_RGB32);
        green.fill(Qt::green);
        QVERIFY(green.save(small, "JPEG"));
        QVERIFY(TestImages::exiftool(path, {"-ThumbnailImage<=" + small}));
    }
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QImage expected = reader.read();
    const Thumbnail::Made made = Thumbnail::make(path, 64);
    QCOMPARE(int(made.refused.status), int(RowOutcome::Pending));
    QCOMPARE(made.image.size(), expected.size().scaled(64, 64, Qt::KeepAspectRatio));
    QCOMPARE(redQuarter(made.image), redQuarter(expected));
    QVERIFY(redQuarter(made.image) >= 0);
}

void TestThumbnails::heifThumbnailItem_data()
{
    // The photo red, its thumbnail item green: which one the picture comes from.
    QTest::addColumn<QSize>("thumbnail");
    QTest::addColumn<int>("box");
    QTest::addColumn<bool>("fromItem");
    QTest::newRow("same proportions, large enough") << QSize(384, 256) << 64 << true;
    QTest::newRow("other proportions: edited since") << QSize(320, 320) << 64 << false;
    QTest::newRow("smaller than asked") << QSize(384, 256) << 400 << false;
}

void TestThumbnails::heifThumbnailItem()
{
    QFETCH(QSize, thumbnail);
    QFETCH(int, box);
    QFETCH(bool, fromItem);
    const QString path =
        m_dir.filePath(QString(QTest::currentDataTag()).replace(' ', '-') + ".heic");
    QVERIFY(writeHeic(path, filled(QSize(1536, 1024), Qt::red), filled(thumbnail, Qt::green)));
    const Thumbnail::Made made = Thumbnail::make(path, box);
    QCOMPARE(int(made.refused.status), int(RowOutcome::Pending));
    QCOMPARE(made.image.size(), QSize(1536, 1024).scaled(box, box, Qt::KeepAspectRatio));
    const QRgb centre = made.image.pixel(made.image.width() / 2, made.image.height() / 2);
    QCOMPARE(qGreen(centre) > qRed(centre), fromItem);
}

// A list of photos, one cut short and one that is no photo: each row keeps its text and place,
// the readable ones get their picture, the others a sign and the reason they will not be
// written.
void TestThumbnails::rowsCarryTheirReasons()
{
    const QString good = m_dir.filePath("good.jpg");
    const QString cut = m_dir.filePath("cut.jpg");
    const QString text = m_dir.filePath("notes.jpg");
    QVERIFY(TestImages::write(good, QSize(1600, 1200)));
    QVERIFY(TestImages::writeCut(good, cut, 0.6));
    QVERIFY(TestImages::writeAll(text, "not a photo"));
    const QStringList paths{good, cut, text, m_dir.filePath("missing.jpg"), good};
    QListWidget list;
    JobQueue queue(2);
    ThumbnailLoader loader(&list, &queue);
    QSignalSpy done(&loader, &ThumbnailLoader::allDone);
    for (const QString &path : paths)
        list.addItem(path);
    QTRY_COMPARE_WITH_TIMEOUT(loader.pending(), 0, 30000);
    const QStringList reasons{QString(), "endommagé", "illisible", "illisible", QString()};
    for (int row = 0; row < paths.size(); ++row) {
        const QListWidgetItem *item = list.item(row);
        QCOMPARE(item->text(), paths.at(row));
        QVERIFY(!item->icon().isNull());
        if (reasons.at(row).isEmpty())
            QVERIFY2(item->toolTip().isEmpty(), qPrintable(item->toolTip()));
        else
            QVERIFY2(item->toolTip().contains(reasons.at(row)), qPrintable(item->toolTip()));
    }
    QVERIFY(done.count() >= 1);
}

QTEST_MAIN(TestThumbnails)
#include "tst_thumbnails.moc"
