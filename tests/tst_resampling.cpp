#include "resample/geometry.h"
#include "resample/imagecopy.h"
#include "resample/resampler.h"
#include "resample/rowsink.h"
#include "resample/wholeimage.h"
#include "row/imageresizer.h"
#include "testimages.h"
#include "testmain.h"

#include <QCryptographicHash>
#include <QImageReader>
#include <QPainter>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {

QImage load(const QString &path, int box, Resampling resampling)
{
    RowOutcome outcome;
    return RowLoad::scaled(path, box, &outcome, resampling);
}

// Writes `image` in the format of the path's suffix: lossless at full quality where it can.
bool save(const QImage &image, const QString &path)
{
    const QByteArray format = QFileInfo(path).suffix().toUtf8();
    if (format == "webp" || format == "heic" || format == "avif")
        return RowLoad::save(image, path, format).status == RowOutcome::Written;
    return image.save(path, nullptr, 100);
}

// Their distance from a uniform mid grey, leaving out the pixels nearer the centre than
// `inner` of the image's width.
double distanceFromGrey(const QImage &image, double inner)
{
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    double squares = 0, count = 0;
    const QPointF centre(grey.width() / 2.0, grey.height() / 2.0);
    for (int y = 0; y < grey.height(); ++y) {
        for (int x = 0; x < grey.width(); ++x) {
            const QPointF d = QPointF(x + 0.5, y + 0.5) - centre;
            if (std::hypot(d.x(), d.y()) < inner * grey.width())
                continue;
            const double v = grey.constScanLine(y)[x] - 127.5;
            squares += v * v, ++count;
        }
    }
    return std::sqrt(squares / count);
}

// The centre of the dark parts of an image, in pixel-centre coordinates.
QPointF darkCentre(const QImage &image)
{
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    double weight = 0, x0 = 0, y0 = 0;
    for (int y = 0; y < grey.height(); ++y) {
        for (int x = 0; x < grey.width(); ++x) {
            const double w = 255 - grey.constScanLine(y)[x];
            weight += w, x0 += w * x, y0 += w * y;
        }
    }
    return QPointF(x0 / weight, y0 / weight);
}

QImage stripes(const QSize &size, bool across)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, ((across ? y : x) & 1) ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    return image;
}

// Rings whose frequency rises to the sampling limit in the corners.
QImage zonePlate(int side)
{
    QImage image(side, side, QImage::Format_RGB32);
    const double k = M_PI / (std::sqrt(2.0) * side);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const double dx = x - side / 2.0, dy = y - side / 2.0;
            const int v = int(std::lround(127.5 + 127.5 * std::cos(k * (dx * dx + dy * dy))));
            image.setPixel(x, y, qRgb(v, v, v));
        }
    }
    return image;
}

QImage disc(const QSize &size, const QPointF &centre, double radius, QColor inside, QColor outside,
            QImage::Format format = QImage::Format_ARGB32)
{
    QImage image(size, format);
    image.fill(outside);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.setPen(Qt::NoPen);
    painter.setBrush(inside);
    painter.drawEllipse(centre, radius, radius);
    return image;
}

QByteArray pixelHash(const QImage &image)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    for (int y = 0; y < image.height(); ++y)
        hash.addData(reinterpret_cast<const char *>(image.constScanLine(y)),
                     image.width() * image.depth() / 8);
    return hash.result().toHex().left(16) + " " + QByteArray::number(int(image.format()));
}

} // namespace

class TestResampling : public QObject
{
    Q_OBJECT

private slots:
    void flatStaysFlat_data();
    void flatStaysFlat();
    void finePatternsTurnGrey_data();
    void finePatternsTurnGrey();
    void noShift_data();
    void noShift();
    void noHiddenColourFringe_data();
    void noHiddenColourFringe();
    void matchesFullDecode_data();
    void matchesFullDecode();
    void nearestAsBefore_data();
    void nearestAsBefore();
    void estimateCoversSmooth();
    void sizesAsNearest_data();
    void sizesAsNearest();
    void enlargementIsSmooth_data();
    void enlargementIsSmooth();
    void deepSourcesStayDeep();
    void partOfTheImage_data();
    void partOfTheImage();

private:
    QTemporaryDir m_dir;
};

void TestResampling::flatStaysFlat_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("format");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<int>("box");
    const QColor opaque(200, 90, 31), translucent(200, 90, 31, 77);
    const QColor deep = QColor::fromRgba64(51234, 1201, 65535, 30001);
    QTest::newRow("png rgb reduced") << "a.png" << int(QImage::Format_RGB32) << opaque << 97;
    QTest::newRow("png rgb enlarged") << "b.png" << int(QImage::Format_RGB32) << opaque << 700;
    QTest::newRow("png translucent") << "c.png" << int(QImage::Format_ARGB32) << translucent << 97;
    QTest::newRow("png 16-bit translucent") << "d.png" << int(QImage::Format_RGBA64) << deep << 97;
    QTest::newRow("png 16-bit grey") << "e.png" << int(QImage::Format_Grayscale16)
                                     << QColor::fromRgba64(40001, 40001, 40001) << 131;
    QTest::newRow("png palette") << "f.png" << int(QImage::Format_Indexed8) << opaque << 97;
    QTest::newRow("jpeg") << "g.jpg" << int(QImage::Format_RGB32) << opaque << 61;
    QTest::newRow("jpeg grey") << "h.jpg" << int(QImage::Format_Grayscale8) << QColor(77, 77, 77)
                               << 61;
    QTest::newRow("heic") << "j.heic" << int(QImage::Format_RGB32) << opaque << 97;
    QTest::newRow("bmp, toolkit") << "k.bmp" << int(QImage::Format_RGB32) << opaque << 97;
    QTest::newRow("tiff translucent, toolkit")
        << "l.tif" << int(QImage::Format_ARGB32) << translucent << 500;
}

// Whatever the filter's weights, a flat image is the same colour everywhere: the smooth output
// is exactly the decoded colour.
void TestResampling::flatStaysFlat()
{
    QFETCH(QString, name);
    QFETCH(int, format);
    QFETCH(QColor, colour);
    QFETCH(int, box);
    QImage image(333, 250, QImage::Format_ARGB32);
    image.fill(colour);
    if (format == QImage::Format_RGBA64 || format == QImage::Format_Grayscale16) {
        image = QImage(333, 250, QImage::Format(format));
        image.fill(colour);
    } else if (format == QImage::Format_Indexed8) {
        image = QImage(333, 250, QImage::Format_Indexed8);
        image.setColorTable({qRgb(0, 0, 0), colour.rgb()});
        image.fill(1);
    } else {
        image = image.convertToFormat(QImage::Format(format));
    }
    const QString path = m_dir.filePath(name);
    QVERIFY(save(image, path));
    const QImage decoded = load(path, qMax(333, 250), Resampling::Nearest);
    const QImage smooth = load(path, box, Resampling::Smooth);
    QVERIFY(!smooth.isNull());
    QCOMPARE(smooth.size(), fitInSquare(decoded.size(), box));
    const bool deepOut = smooth.depth() == 64 || smooth.format() == QImage::Format_Grayscale16;
    for (int y = 0; y < smooth.height(); ++y) {
        for (int x = 0; x < smooth.width(); ++x) {
            if (deepOut) {
                QCOMPARE(smooth.pixelColor(x, y).rgba64(),
                         decoded.pixelColor(decoded.width() / 2, decoded.height() / 2).rgba64());
            } else {
                QCOMPARE(
                    QString::number(smooth.pixel(x, y), 16),
                    QString::number(decoded.pixel(decoded.width() / 2, decoded.height() / 2), 16));
            }
        }
    }
}

void TestResampling::finePatternsTurnGrey_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QImage>("image");
    QTest::addColumn<double>("inner"); // the rings a reduction keeps, left out
    QTest::newRow("png stripes") << "s.png" << stripes(QSize(800, 600), false) << 0.0;
    QTest::newRow("png lines") << "l.png" << stripes(QSize(800, 600), true) << 0.0;
    QTest::newRow("png zone plate") << "z.png" << zonePlate(1024) << 0.25;
    QTest::newRow("jpeg stripes") << "s.jpg" << stripes(QSize(800, 600), false) << 0.0;
    QTest::newRow("jpeg zone plate") << "z.jpg" << zonePlate(1024) << 0.25;
    QTest::newRow("bmp zone plate, toolkit") << "z.bmp" << zonePlate(1024) << 0.25;
    QTest::newRow("heic lines") << "l.heic" << stripes(QSize(800, 600), true) << 0.0;
}

// Reduced 8 times, patterns finer than the output's pixels average to grey instead of
// folding into false, full-contrast patterns.
void TestResampling::finePatternsTurnGrey()
{
    QFETCH(QString, name);
    QFETCH(QImage, image);
    QFETCH(double, inner);
    const QString path = m_dir.filePath(name);
    QVERIFY(save(image, path));
    const int box = qMax(image.width(), image.height()) / 8;
    const double nearest = distanceFromGrey(load(path, box, Resampling::Nearest), inner);
    const double smooth = distanceFromGrey(load(path, box, Resampling::Smooth), inner);
    QVERIFY2(nearest > 40, qPrintable(QString::number(nearest)));
    QVERIFY2(smooth < 6, qPrintable(QString::number(smooth)));
}

void TestResampling::noShift_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("orientation");
    for (int orientation = 1; orientation <= 8; ++orientation)
        for (const char *suffix : {"jpg", "png"})
            QTest::addRow("%s orientation %d", suffix, orientation)
                << QStringLiteral("disc%1.%2").arg(orientation).arg(suffix) << orientation;
}

// The centre of a reduced disc stays where the source's was, once both are upright.
void TestResampling::noShift()
{
    QFETCH(QString, name);
    QFETCH(int, orientation);
    const QString path = m_dir.filePath(name);
    const QImage source = disc(QSize(640, 400), QPointF(201.3, 151.7), 60, Qt::black, Qt::white,
                               QImage::Format_RGB32);
    QVERIFY(source.save(path, nullptr, 100));
    QVERIFY(TestImages::setOrientation(path, orientation));
    // As EXIF numbers them.
    static const QImageIOHandler::Transformations turns[] = {
        QImageIOHandler::TransformationNone,     QImageIOHandler::TransformationNone,
        QImageIOHandler::TransformationMirror,   QImageIOHandler::TransformationRotate180,
        QImageIOHandler::TransformationFlip,     QImageIOHandler::TransformationFlipAndRotate90,
        QImageIOHandler::TransformationRotate90, QImageIOHandler::TransformationMirrorAndRotate90,
        QImageIOHandler::TransformationRotate270};
    const QImage upright = uprightImage(source, turns[orientation]);
    const QImage smooth = load(path, 97, Resampling::Smooth);
    QCOMPARE(smooth.size(), fitInSquare(upright.size(), 97));
    const QPointF full = darkCentre(upright);
    const double sx = double(smooth.width()) / upright.width();
    const double sy = double(smooth.height()) / upright.height();
    const QPointF expected((full.x() + 0.5) * sx - 0.5, (full.y() + 0.5) * sy - 0.5);
    const QPointF found = darkCentre(smooth);
    QVERIFY2(std::abs(found.x() - expected.x()) < 0.1 && std::abs(found.y() - expected.y()) < 0.1,
             qPrintable(QStringLiteral("(%1, %2) for (%3, %4)")
                            .arg(found.x())
                            .arg(found.y())
                            .arg(expected.x())
                            .arg(expected.y())));
}

void TestResampling::noHiddenColourFringe_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("box");
    QTest::newRow("png reduced") << "g.png" << int(QImage::Format_ARGB32) << 143;
    QTest::newRow("png enlarged") << "h.png" << int(QImage::Format_ARGB32) << 900;
    QTest::newRow("png 16-bit") << "i.png" << int(QImage::Format_RGBA64) << 143;
    QTest::newRow("tiff, toolkit") << "k.tif" << int(QImage::Format_ARGB32) << 143;
}

// A white disc on a transparent background whose hidden colour is pure green: no output pixel
// that shows at all turns green.
void TestResampling::noHiddenColourFringe()
{
    QFETCH(QString, name);
    QFETCH(int, format);
    QFETCH(int, box);
    const QString path = m_dir.filePath(name);
    QImage image = disc(QSize(500, 400), QPointF(250, 200), 150, Qt::white, QColor(0, 255, 0, 0));
    QVERIFY(save(image.convertToFormat(QImage::Format(format)), path));
    const QImage smooth = load(path, box, Resampling::Smooth);
    QVERIFY(smooth.hasAlphaChannel());
    int worst = 0, translucent = 0;
    for (int y = 0; y < smooth.height(); ++y) {
        for (int x = 0; x < smooth.width(); ++x) {
            const QColor c = smooth.pixelColor(x, y);
            if (c.alpha() == 0)
                continue;
            translucent += c.alpha() < 255;
            worst = qMax(worst, c.green() - qMin(c.red(), c.blue()));
        }
    }
    QVERIFY(translucent > 0);
    QVERIFY2(worst <= 1, qPrintable(QString::number(worst)));
}

void TestResampling::matchesFullDecode_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("box");
    QTest::addColumn<double>("meanLimit");
    for (const char *name :
         {"p.png", "p16.png", "pi.png", "pp.png", "pl.webp", "p.heic", "p.avif", "p.bmp", "p.tif"})
        QTest::addRow("%s", name) << QString::fromLatin1(name) << 301 << 0.1;
    // libjpeg's reduction in the DCT stands for part of the filter's.
    QTest::newRow("jpeg, reduced in the DCT") << "p.jpg" << 301 << 2.0;
    QTest::newRow("jpeg, not reduced") << "q.jpg" << 700 << 0.1;
    QTest::newRow("progressive jpeg") << "r.jpg" << 301 << 2.0;
    // So does libwebp's, averaging areas while it decodes.
    QTest::newRow("webp, reduced by libwebp") << "p.webp" << 301 << 2.0;
}

// Each format's smooth output is its full decode through the same filter.
void TestResampling::matchesFullDecode()
{
    QFETCH(QString, name);
    QFETCH(int, box);
    QFETCH(double, meanLimit);
    const QString path = m_dir.filePath(name);
    const QSize size(1280, 960);
    QImage image = TestImages::pattern(size);
    if (name == "p16.png")
        image = image.convertToFormat(QImage::Format_RGBA64);
    if (name == "pp.png")
        image = image.convertToFormat(QImage::Format_Indexed8);
    if (name == "pi.png") {
        QVERIFY(image.save(path));
        QCOMPARE(QProcess::execute("convert", {path, "-interlace", "PNG", path}), 0);
    } else if (name == "r.jpg") {
        QVERIFY(image.save(path, nullptr, 95));
        QCOMPARE(QProcess::execute("convert", {path, "-interlace", "JPEG", path}), 0);
    } else if (name == "pl.webp") {
        QVERIFY(image.save(path + ".png"));
        QCOMPARE(QProcess::execute("cwebp", {"-quiet", "-lossless", path + ".png", "-o", path}), 0);
    } else {
        QVERIFY(save(image, path));
    }
    const QImage full = load(path, 1280, Resampling::Nearest);
    const QImage smooth = load(path, box, Resampling::Smooth);
    const QImage reference = sampleSmooth(full, fitInSquare(full.size(), box));
    QCOMPARE(smooth.size(), reference.size());
    const TestImages::Difference d = TestImages::difference(smooth, reference);
    QVERIFY2(d.mean <= meanLimit,
             qPrintable(QStringLiteral("mean %1 max %2").arg(d.mean).arg(d.max)));
}

void TestResampling::nearestAsBefore_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QByteArray>("expected");
    // Taken from the program before smooth resampling existed.
    QTest::newRow("jpeg") << "n.jpg" << 1 << QByteArray("ae260dfe5e172051 4");
    QTest::newRow("jpeg turned") << "o.jpg" << 6 << QByteArray("a898eacf40527dda 4");
    QTest::newRow("png") << "n.png" << 1 << QByteArray("fd991a233e413d48 4");
    QTest::newRow("png 16-bit") << "n16.png" << 1 << QByteArray("cc99e122414410ac 26");
    // WebP and HEIC since: the pixels dwebp and heif-convert give, sampled alike.
    QTest::newRow("webp") << "n.webp" << 1 << QByteArray("acde40fc51ab75d1 4");
    QTest::newRow("heic") << "n.heic" << 1 << QByteArray("8b9143e641a3c80c 4");
    QTest::newRow("bmp") << "n.bmp" << 1 << QByteArray("fd991a233e413d48 4");
}

// With the option off, the pixels are those the program gave before it had the option.
void TestResampling::nearestAsBefore()
{
    QFETCH(QString, name);
    QFETCH(int, orientation);
    QFETCH(QByteArray, expected);
    const QString path = m_dir.filePath(name);
    if (name == "n16.png")
        QVERIFY(TestImages::pattern(QSize(901, 677), QImage::Format_RGBA64).save(path));
    else
        QVERIFY(TestImages::write(path, QSize(901, 677), 90));
    if (orientation != 1)
        QVERIFY(TestImages::setOrientation(path, orientation));
    RowOutcome outcome;
    QCOMPARE(pixelHash(RowLoad::scaled(path, 211, &outcome)), expected);
}

// The memory estimate of a smooth row is never below what it takes.
void TestResampling::estimateCoversSmooth()
{
    const QString path = m_dir.filePath("big.png");
    QVERIFY(TestImages::write(path, QSize(4000, 3000)));
    const qint64 nearest = RowLoad::memoryEstimate(path, 2048, "png");
    const qint64 smooth = RowLoad::memoryEstimate(path, 2048, "png", Resampling::Smooth);
    QVERIFY(smooth > nearest);
    const qint64 filter = Resampler::memoryEstimate(QSize(4000, 3000), QSize(2048, 1536), 4);
    QVERIFY(smooth - nearest >= filter);
}

void TestResampling::sizesAsNearest_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("box");
    QTest::newRow("one row") << QSize(3000, 1) << 100;
    QTest::newRow("one column") << QSize(1, 3000) << 100;
    QTest::newRow("one pixel, enlarged") << QSize(1, 1) << 300;
    QTest::newRow("tiny, enlarged") << QSize(5, 3) << 2048;
    QTest::newRow("thin, reduced a lot") << QSize(4001, 7) << 100;
    QTest::newRow("same size") << QSize(640, 480) << 640;
    QTest::newRow("one pixel smaller") << QSize(641, 480) << 640;
}

// Whatever the shape, the smooth output has the size nearest sampling gives.
void TestResampling::sizesAsNearest()
{
    QFETCH(QSize, size);
    QFETCH(int, box);
    for (const char *suffix : {"png", "jpg", "bmp"}) {
        const QString path = m_dir.filePath(QStringLiteral("size.") + suffix);
        QVERIFY(TestImages::pattern(size).save(path));
        const QImage smooth = load(path, box, Resampling::Smooth);
        QCOMPARE(smooth.size(), load(path, box, Resampling::Nearest).size());
    }
}

void TestResampling::enlargementIsSmooth_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("png") << "big.png";
    QTest::newRow("jpeg") << "big.jpg";
    QTest::newRow("bmp, toolkit") << "big.bmp";
}

// A black and white checkerboard of 8 x 8 pixels enlarged 50 times: nearest sampling gives
// two colours in blocks, the smooth mode a ramp between each square and the next.
void TestResampling::enlargementIsSmooth()
{
    QFETCH(QString, name);
    const QString path = m_dir.filePath(name);
    QImage board(8, 8, QImage::Format_RGB32);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            board.setPixel(x, y, (x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    QVERIFY(board.save(path, nullptr, 100));
    const QImage smooth = load(path, 400, Resampling::Smooth);
    QSet<int> levels;
    int largestStep = 0;
    for (int x = 0; x < smooth.width(); ++x) {
        const int level = qGray(smooth.pixel(x, 25));
        levels.insert(level);
        if (x > 0)
            largestStep = qMax(largestStep, qAbs(level - qGray(smooth.pixel(x - 1, 25))));
    }
    QVERIFY2(levels.size() > 40, qPrintable(QString::number(levels.size())));
    QVERIFY2(largestStep < 40, qPrintable(QString::number(largestStep)));
}

// A 16-bit gradient reduced smoothly keeps levels between the 8-bit ones.
void TestResampling::deepSourcesStayDeep()
{
    QImage ramp(1000, 10, QImage::Format_RGBX64);
    for (int y = 0; y < ramp.height(); ++y)
        for (int x = 0; x < ramp.width(); ++x)
            reinterpret_cast<QRgba64 *>(ramp.scanLine(y))[x] =
                QRgba64::fromRgba64(quint16(x * 13), quint16(x * 7), quint16(x * 3), 0xffff);
    const QString path = m_dir.filePath("ramp16.png");
    QVERIFY(ramp.save(path));
    const QImage smooth = load(path, 333, Resampling::Smooth);
    QCOMPARE(smooth.depth(), 64);
    int between = 0;
    for (int x = 0; x < smooth.width(); ++x)
        between += smooth.pixelColor(x, 1).rgba64().red() % 257 != 0;
    QVERIFY(between > smooth.width() / 2);
}

void TestResampling::partOfTheImage_data()
{
    QTest::addColumn<QRectF>("part"); // of the upright image, as fractions of its sides
    QTest::addColumn<int>("transform");
    QTest::addColumn<int>("resampling");
    const QRectF square(0.2, 0.1, 0.5, 0.6), corner(0.5, 0.5, 0.5, 0.5);
    for (const int resampling : {int(Resampling::Nearest), int(Resampling::Smooth)}) {
        const char *mode = resampling == int(Resampling::Nearest) ? "nearest" : "smooth";
        QTest::addRow("%s, stored upright", mode) << square << 0 << resampling;
        QTest::addRow("%s, turned a quarter", mode)
            << square << int(QImageIOHandler::TransformationRotate90) << resampling;
        QTest::addRow("%s, mirrored and turned", mode)
            << corner << int(QImageIOHandler::TransformationRotate270) << resampling;
        QTest::addRow("%s, flipped", mode)
            << corner << int(QImageIOHandler::TransformationFlip) << resampling;
    }
}

// A part of the image, taken by the sink from the stored rows a decoder pushes, is what the same
// part cut out of the upright image gives; the decoder skips the rows the part leaves out.
void TestResampling::partOfTheImage()
{
    QFETCH(QRectF, part);
    QFETCH(int, transform);
    QFETCH(int, resampling);
    const QImage stored =
        disc(QSize(301, 187), QPointF(120, 90), 70, Qt::red, Qt::darkBlue, QImage::Format_RGB32);
    const auto turn = QImageIOHandler::Transformations(transform);
    const QImage upright = uprightImage(stored, turn);
    const Target target(96, Resampling(resampling), part);
    const std::unique_ptr<RowSink> sink =
        target.sink(stored.size(), upright.size(), turn, RowLayout::image(stored.format()));
    int pushed = 0;
    for (int y = sink->nextRow(0); y < sink->rowCount(); y = sink->nextRow(y + 1), ++pushed)
        sink->pushImageRow(y, stored.constScanLine(y));
    const QImage result = sink->result();

    // Its edges at the nearest pixel boundaries.
    const auto edge = [](double fraction, int length) {
        return int(std::lround(fraction * length));
    };
    const QRect pixels(
        QPoint(edge(part.left(), upright.width()), edge(part.top(), upright.height())),
        QPoint(edge(part.right(), upright.width()) - 1, edge(part.bottom(), upright.height()) - 1));
    const QImage cut = upright.copy(pixels);
    const QImage expected =
        resampled(cut, target.outputFor(upright.size()), Resampling(resampling));
    QCOMPARE(result.size(), expected.size());
    // Filtered in the stored orientation, the sums come in another order: a level at most.
    if (Resampling(resampling) == Resampling::Nearest)
        QCOMPARE(pixelHash(result), pixelHash(expected));
    else
        QVERIFY(TestImages::difference(result, expected).max <= 1);
    const bool quarter = turn.testFlag(QImageIOHandler::TransformationRotate90);
    QVERIFY(pushed <= (quarter ? pixels.width() : pixels.height()));
}

PARVIMAGE_TEST_MAIN(TestResampling)
#include "tst_resampling.moc"
