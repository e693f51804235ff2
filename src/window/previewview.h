#pragma once

#include <QImage>
#include <QRectF>
#include <QScrollArea>

class QLabel;

// One image of the preview, fitted to the view or at 100 %, panned with its twin.
class PreviewView : public QScrollArea
{
    Q_OBJECT

public:
    explicit PreviewView(QWidget *parent = nullptr);

    // `frame`, as fractions of the image's sides, is drawn over it where valid.
    void setImage(const QImage &image, const QRectF &frame = QRectF());
    void setText(const QString &text);
    void setFit(bool fit);
    // Both pan as one, by the same share of their range.
    void pairWith(PreviewView *other);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void refresh();

    QLabel *m_label;
    QImage m_image;
    QRectF m_frame;
    bool m_fit = true;
};
