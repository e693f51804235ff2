#include "formats/registry.h"
#include "row/imageresizer.h"
#include "window/mainwindow.h"
#include "window/toolkitfrench.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    ImageResizer::tuneAllocator();
    Formats::initialiseLibraries();
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Icons and the list's pictures drawn from their device pixels on a scaled screen, not
    // from their size in points stretched; Qt 6 always does.
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
    QApplication app(argc, argv);
    // The installed desktop file's name: the desktop ties the window, its notifications and
    // its task bar entry to the menu entry by it.
    QApplication::setDesktopFileName(QStringLiteral("parvimage"));
    installToolkitFrench(&app);
    MainWindow window(nullptr);
    window.show();
    return app.exec();
}
