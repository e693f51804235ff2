#include "window/placement.h"

#include <QGuiApplication>
#include <QScreen>

QPoint centredPosition(const QSize &desktop, const QSize &window)
{
    return QPoint((desktop.width() - window.width()) / 2, (desktop.height() - window.height()) / 2);
}

QSize desktopSize()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->virtualGeometry().size() : QSize();
}

QSize besideSize(const QRect &screen, const QRect &main, const QSize &window)
{
    const int gap = 16;
    const int room = qMax(screen.right() - main.right() - gap, main.left() - screen.left() - gap);
    return QSize(qBound(qMin(600, window.width()), room, window.width()), window.height());
}

QPoint besidePosition(const QRect &screen, const QRect &main, const QSize &window)
{
    const int gap = 16;
    int x = main.right() + 1 + gap;
    if (x + window.width() > screen.right() + 1)
        x = main.left() - gap - window.width();
    if (x < screen.left())
        x = screen.right() + 1 - window.width();
    const int y = qMin(main.top(), screen.bottom() + 1 - window.height());
    return QPoint(qMax(x, screen.left()), qMax(y, screen.top()));
}
