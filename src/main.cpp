#include "formats/registry.h"
#include "row/imageresizer.h"
#include "window/mainwindow.h"
#include "window/toolkitfrench.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    ImageResizer::tuneAllocator();
    Formats::initialiseLibraries();
    QApplication app(argc, argv);
    // The installed desktop file's name: the desktop ties the window, its notifications and
    // its task bar entry to the menu entry by it.
    QApplication::setDesktopFileName(QStringLiteral("parvimage"));
    installToolkitFrench(&app);
    MainWindow window(nullptr);
    window.show();
    return app.exec();
}
