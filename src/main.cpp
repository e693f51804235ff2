#include "row/imageresizer.h"
#include "window/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    ImageResizer::tuneAllocator();
    QApplication app(argc, argv);
    MainWindow window(nullptr);
    window.show();
    return app.exec();
}
