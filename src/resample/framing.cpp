#include "resample/framing.h"

#include <QRect>

#include <cmath>

namespace Framing {

QSize ratio(Frame frame, const QSize &upright)
{
    QSize wide;
    switch (frame) {
    case Frame::Whole:
        return QSize();
    case Frame::Square:
        return QSize(1, 1);
    case Frame::Ratio4x5:
        wide = QSize(5, 4);
        break;
    case Frame::Ratio3x2:
        wide = QSize(3, 2);
        break;
    case Frame::Ratio16x9:
        wide = QSize(16, 9);
        break;
    }
    return upright.height() > upright.width() ? wide.transposed() : wide;
}

QRectF centredPart(const QSize &upright, const QSize &ratio)
{
    if (upright.isEmpty() || ratio.isEmpty())
        return QRectF(0, 0, 1, 1);
    const double photo = double(upright.width()) / upright.height();
    const double frame = double(ratio.width()) / ratio.height();
    if (photo > frame) {
        const double width = frame / photo;
        return QRectF((1 - width) / 2, 0, width, 1);
    }
    const double height = photo / frame;
    return QRectF(0, (1 - height) / 2, 1, height);
}

QSize partPixels(const QRectF &part, const QSize &upright)
{
    const int width = int(std::lround(part.width() * upright.width()));
    const int height = int(std::lround(part.height() * upright.height()));
    return QSize(qMax(1, width), qMax(1, height));
}

QRectF fractions(const QRect &rect, const QSize &size)
{
    if (size.isEmpty())
        return QRectF(0, 0, 1, 1);
    return QRectF(double(rect.x()) / size.width(), double(rect.y()) / size.height(),
                  double(rect.width()) / size.width(), double(rect.height()) / size.height());
}

} // namespace Framing
