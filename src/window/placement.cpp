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
