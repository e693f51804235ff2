#include "window/previewview.h"

#include "resample/wholeimage.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>

PreviewView::PreviewView(QWidget *parent) : QScrollArea(parent), m_label(new QLabel)
{
    m_label->setAlignment(Qt::AlignCenter);
    setWidget(m_label);
    setWidgetResizable(true);
    setAlignment(Qt::AlignCenter);
    setMinimumSize(240, 180);
}

void PreviewView::setImage(const QImage &image, const QRectF &frame)
{
    m_image = image;
    m_frame = frame;
    refresh();
}

void PreviewView::setText(const QString &text)
{
    m_image = QImage();
    m_label->setPixmap(QPixmap());
    m_label->setText(text);
}

void PreviewView::setFit(bool fit)
{
    m_fit = fit;
    setWidgetResizable(fit);
    refresh();
}

void PreviewView::pairWith(PreviewView *other)
{
    const auto follow = [](QScrollBar *from, QScrollBar *to) {
        connect(from, &QScrollBar::valueChanged, to, [from, to](int value) {
            if (from->maximum() > 0)
                to->setValue(int(qint64(value) * to->maximum() / from->maximum()));
        });
    };
    follow(horizontalScrollBar(), other->horizontalScrollBar());
    follow(verticalScrollBar(), other->verticalScrollBar());
    follow(other->horizontalScrollBar(), horizontalScrollBar());
    follow(other->verticalScrollBar(), verticalScrollBar());
}

void PreviewView::resizeEvent(QResizeEvent *event)
{
    QScrollArea::resizeEvent(event);
    if (m_fit)
        refresh();
}

// Drawn at the screen's pixel ratio: at 100 %, one pixel of the image is one of the screen.
void PreviewView::refresh()
{
    if (m_image.isNull())
        return;
    const qreal ratio = devicePixelRatioF();
    QImage shown = m_image;
    if (m_fit) {
        const QSize room = viewport()->size() * ratio;
        if (shown.width() > room.width() || shown.height() > room.height())
            shown = resampled(shown, shown.size().scaled(room, Qt::KeepAspectRatio),
                              Resampling::Smooth);
    }
    shown = shown.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (m_frame.isValid() && m_frame != QRectF(0, 0, 1, 1)) {
        QPainter painter(&shown);
        const QRectF cut(m_frame.x() * shown.width(), m_frame.y() * shown.height(),
                         m_frame.width() * shown.width(), m_frame.height() * shown.height());
        QPainterPath outside;
        outside.addRect(shown.rect());
        outside.addRect(cut);
        painter.fillPath(outside, QColor(0, 0, 0, 140));
        painter.setPen(QPen(Qt::white, 2 * ratio));
        painter.drawRect(cut);
    }
    QPixmap pixmap = QPixmap::fromImage(shown);
    pixmap.setDevicePixelRatio(ratio);
    m_label->setText(QString());
    m_label->setPixmap(pixmap);
    if (!m_fit)
        m_label->resize(pixmap.size() / ratio);
}
