#include "formats/registry.h"
#include "row/imageresizer.h"
#include "system/toolkitfrench.h"
#include "window/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    ImageResizer::tuneAllocator();
    Formats::initialiseLibraries();
    QApplication app(argc, argv);
    installToolkitFrench(&app);
    MainWindow window(nullptr);
    window.show();
    return app.exec();
}
