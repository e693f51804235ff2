#include "resample/subject.h"
#include "testmain.h"

#include <QPainter>
#include <QRandomGenerator>

#include <cmath>

// A dull grey gradient with, over `object`, coloured cells (kind 0), grey grain (1), plain skin
// (2) or plain vivid blue (3); each kind in a pixel format of its own.
static QImage photo(const QSize &size, const QRect &object, int kind)
{
    QImage image(size.expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient ground(0, 0, size.width(), size.height());
    ground.setStops({{0, QColor(90, 90, 96)}, {1, QColor(170, 170, 176)}});
    painter.fillRect(image.rect(), ground);
    // Across the picture, the same square as vivid or as bright leaves one term to tell them.
    const QColor pairs[][2] = {{QColor(224, 172, 140), QColor(140, 208, 224)},
                               {QColor(40, 90, 220), QColor(93, 93, 93)}};
    const QRect across(QPoint(size.width(), size.height()) - object.bottomRight() - QPoint(1, 1),
                       object.size());
    for (int i = 0; i < 2 && (kind == 2 || kind == 3); ++i)
        painter.fillRect(i ? across : object, pairs[kind - 2][i]);
    QRandomGenerator random(object.x() + object.y());
    for (int y = object.top(); kind < 2 && y < object.bottom(); y += 12)
        for (int x = object.left(); x < object.right(); x += 12) {
            const int v = random.bounded(40, 256);
            painter.fillRect(QRect(x, y, 12, 12) & object,
                             kind ? QColor(v, v, v) : QColor::fromHsv(random.bounded(360), 200, v));
        }
    const QImage::Format formats[] = {QImage::Format_RGB32, QImage::Format_RGB888,
                                      QImage::Format_RGBA64, QImage::Format_ARGB32,
                                      QImage::Format_Grayscale8};
    return size.isEmpty() ? QImage() : image.convertToFormat(formats[kind]);
}

class TestSubject : public QObject
{
    Q_OBJECT
private slots:
    void frame_data();
    void frame();
};

void TestSubject::frame_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("object"); // none: the frame must be centred
    QTest::addColumn<int>("kind");
    QTest::addColumn<QSize>("crop");
    int row = 0;
    // The last with smaller frames, which move both ways.
    for (const auto &[size, fill] :
         {std::pair(QSize(1200, 800), 1.0), std::pair(QSize(800, 1200), 1.0),
          std::pair(QSize(900, 900), 1.0), std::pair(QSize(1024, 683), 0.8)})
        for (const QPoint at : {QPoint(-1, 0), QPoint(1, 0), QPoint(0, -1), QPoint(0, 1),
                                QPoint(-1, -1), QPoint(1, 1)})
            for (const QSize shape : {QSize(1, 1), QSize(4, 5), QSize(5, 4), QSize(16, 9),
                                      QSize(9, 16), QSize(3, 2), QSize(2, 3)}) {
                // About 15% of the picture, 5% in from the sides `at` points to.
                const int side = int(std::lround(std::sqrt(0.15 * size.width() * size.height())));
                auto from = [&](int d, int total) {
                    return total / 20 + (d + 1) * (total * 9 / 10 - side) / 2;
                };
                const QRect object(from(at.x(), size.width()), from(at.y(), size.height()), side,
                                   side);
                const QSize crop = shape.scaled(size * fill, Qt::KeepAspectRatio);
                const QRect middle(QPoint((size - crop).width(), (size - crop).height()) / 2, crop);
                if (middle.contains(object)) // the row would show nothing
                    continue;
                QTest::addRow("%dx%d at %d,%d %d:%d kind %d", size.width(), size.height(), at.x(),
                              at.y(), shape.width(), shape.height(), row % 4)
                    << size << object << row % 4 << crop;
                ++row;
            }
    QTest::newRow("bare") << QSize(1024, 683) << QRect() << 0 << QSize(301, 500);
    QTest::newRow("whole") << QSize(900, 900) << QRect() << 0 << QSize(900, 900);
    QTest::newRow("one pixel") << QSize(1, 1) << QRect() << 4 << QSize(1, 1);
    QTest::newRow("crop too big") << QSize(10, 10) << QRect() << 2 << QSize(20, 5);
    QTest::newRow("null") << QSize(0, 0) << QRect() << 0 << QSize(8, 8);
}

void TestSubject::frame()
{
    QFETCH(QSize, size);
    QFETCH(QRect, object);
    QFETCH(int, kind);
    QFETCH(QSize, crop);
    const QRect frame = Subject::frame(photo(size, object, kind), crop);
    QCOMPARE(frame.size(), crop.boundedTo(size));
    QVERIFY(QRect(QPoint(0, 0), size).contains(frame) || size.isEmpty());
    const QRect kept = frame & object;
    QVERIFY(kept.width() * kept.height() >= 0.9 * object.width() * object.height());
    // With nothing in it, centred to the half pixel the rounding allows.
    QVERIFY(!object.isEmpty() || qAbs(2 * frame.x() + frame.width() - size.width()) <= 1);
    QVERIFY(!object.isEmpty() || qAbs(2 * frame.y() + frame.height() - size.height()) <= 1);
}

PARVIMAGE_GUILESS_TEST_MAIN(TestSubject)
#include "tst_subject.moc"
