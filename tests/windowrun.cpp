// Runs the real window once, as a person would: the Options menu's actions named first are
// triggered, the files given listed, the slider set to 1024, a destination folder chosen,
// "Redimensionner" pressed and the closing box answered; what it said is printed.
//
//   windowrun [ACTION...] DESTINATION FILE...
//
// The list's pictures are made before the run, as they would be while a person sets the run.
#include "formats/registry.h"
#include "modalanswerer.h"
#include "row/imageresizer.h"
#include "window/mainwindow.h"
#include "window/thumbnailloader.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QTextStream>

int main(int argc, char *argv[])
{
    ImageResizer::tuneAllocator();
    Formats::initialiseLibraries();
    QApplication app(argc, argv);
    QStringList args = app.arguments();
    MainWindow window(nullptr);
    while (args.size() > 1 && args.at(1).startsWith("action")) {
        auto *action = window.findChild<QAction *>(args.takeAt(1));
        if (!action)
            return 2;
        action->trigger();
    }
    if (args.size() < 3)
        return 2;
    window.findChild<QListWidget *>("pictureList")->addItems(args.mid(2));
    // As a person would, the run waits for the list's pictures: it would stop them otherwise,
    // and they would be made again after it.
    auto *thumbnails = window.findChild<ThumbnailLoader *>();
    if (!thumbnails)
        return 2;
    QEventLoop waiting;
    QObject::connect(thumbnails, &ThumbnailLoader::allDone, &waiting, &QEventLoop::quit);
    if (thumbnails->pending() > 0)
        waiting.exec();
    window.findChild<QSlider *>("horizontalSlider")->setValue(1024);
    window.findChild<QLineEdit *>("newPath")->setText(args.at(1));
    ModalAnswerer answerer;
    answerer.expectMessage(QMessageBox::Ok);
    window.findChild<QPushButton *>("resizeBtn")->click();
    const bool answered = answerer.waitDone();
    // What the closing box said, for runs to be compared.
    QTextStream(stdout) << answerer.titles.value(0) << '\n'
                        << answerer.texts.value(0) << '\n'
                        << answerer.details.value(0) << '\n';
    return answered && answerer.titles.value(0) == "Terminé" ? 0 : 1;
}
