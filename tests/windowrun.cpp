// Runs the real window once, as a person would: the Options menu's actions named first are
// triggered, the files given listed, the slider set to 1024, a destination folder chosen,
// "Redimensionner" pressed and the closing box answered; what it said is printed.
//
//   windowrun [ACTION...] DESTINATION FILE...
#include "formats/registry.h"
#include "modalanswerer.h"
#include "row/imageresizer.h"
#include "window/mainwindow.h"

#include <QAction>
#include <QApplication>
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
