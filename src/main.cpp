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
    installToolkitFrench(&app);
    MainWindow window(nullptr);
    window.show();
    return app.exec();
}
