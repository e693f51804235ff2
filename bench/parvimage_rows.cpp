// Ten thousand rows: how long the list takes to fill from the open-files dialog, how long a run
// over that many small photos takes per row, how long the window goes without handling events,
// and the peak resident memory, each row count in a process of its own.
//
//   parvimage_rows [--rows 1000,10000] [--sets FOLDER]
//
// The photos (160 x 120 JPEGs) are generated in a temporary folder, or in the --sets folder,
// where a later run finds them again.

#include "formats/registry.h"
#include "modalanswerer.h"
#include "system/peakmemory.h"
#include "window/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QImage>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <unistd.h>

namespace {

// The longest time the event loop went without running this timer's slot.
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        connect(&m_timer, &QTimer::timeout, this,
                [this] { m_longest = qMax(m_longest, m_since.restart()); });
        m_since.start();
        m_timer.start(5);
    }
    qint64 longestMs() const { return m_longest; }

private:
    QTimer m_timer;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
};

// A folder holding exactly `rows` photos, hard links to the generated ones.
QString folderOf(const QString &root, int rows)
{
    const QString folder = QString("%1/rows-%2").arg(root).arg(rows);
    if (QDir(folder).exists())
        return folder;
    QDir().mkpath(folder);
    for (int i = 0; i < rows; ++i) {
        const QString name = QString("photo%1.jpg").arg(i, 5, 10, QChar('0'));
        if (::link(qPrintable(root + "/all/" + name), qPrintable(folder + "/" + name)) != 0)
            return QString();
    }
    return folder;
}

bool generate(const QString &root, int rows)
{
    const QString all = root + "/all";
    QDir().mkpath(all);
    QImage photo(160, 120, QImage::Format_RGB32);
    for (int i = 0; i < rows; ++i) {
        const QString path = QString("%1/photo%2.jpg").arg(all).arg(i, 5, 10, QChar('0'));
        if (QFile::exists(path))
            continue;
        for (int y = 0; y < photo.height(); ++y)
            for (int x = 0; x < photo.width(); ++x)
                photo.setPixel(x, y, qRgb((x + i) % 256, (y * 2 + i) % 256, (x * y + i) % 256));
        if (!photo.save(path, "jpg", 85))
            return false;
    }
    return true;
}

// The child's side: add `folder`'s photos through the dialog, then run them into `out`.
int runChild(const QString &folder, const QString &out)
{
    MainWindow window(nullptr);
    window.show();
    ModalAnswerer answerer;
    const int rows = QDir(folder).count() - 2;
    qint64 listingMs = 0, addingMs = 0;
    QElapsedTimer clock;
    answerer.expect<QFileDialog>([&](QFileDialog *dialog) {
        clock.start();
        dialog->setDirectory(folder);
        auto *model = dialog->findChild<QFileSystemModel *>();
        const bool listed =
            QTest::qWaitFor([&] { return model->rowCount(model->index(folder)) == rows; }, 120000);
        listingMs = listed ? clock.restart() : -1;
        dialog->findChild<QListView *>("listView")->selectAll();
        QMetaObject::invokeMethod(dialog, "accept");
    });
    window.findChild<QPushButton *>("addBtn")->click();
    addingMs = clock.elapsed();
    if (window.findChild<QListWidget *>("pictureList")->count() != rows)
        return 2;

    window.findChild<QLineEdit *>("newPath")->setText(out);
    qint64 runMs = 0;
    answerer.expect<QMessageBox>([&](QMessageBox *box) {
        runMs = clock.elapsed();
        answerer.texts.append(box->text());
        box->button(QMessageBox::Ok)->click();
    });
    StallMeter stalls;
    clock.restart();
    window.findChild<QPushButton *>("resizeBtn")->click();
    const int written = QDir(out).count() - 2;
    std::printf("%d %lld %lld %lld %lld %ld %d %d\n", rows, listingMs, addingMs, runMs,
                stalls.longestMs(), peakResidentKb(), written,
                int(answerer.texts.value(0).count('\n') + 1));
    return 0;
}

QStringList measure(const QString &folder)
{
    QTemporaryDir out;
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--child", folder, out.path()});
    if (!child.waitForFinished(-1) || child.exitCode() != 0)
        return {};
    return QString::fromLatin1(child.readAllStandardOutput()).split(' ');
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Formats::initialiseLibraries();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args.at(1) == "--child")
        return runChild(args.at(2), args.at(3));

    QList<int> counts{1000, 10000};
    QString sets;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == "--rows") {
            counts.clear();
            for (const QString &count : args.at(i + 1).split(','))
                counts.append(count.toInt());
        } else if (args.at(i) == "--sets") {
            sets = args.at(i + 1);
        }
    }
    QTemporaryDir work;
    const QString root = sets.isEmpty() ? work.path() : sets;
    QTextStream out(stdout);
    out << "Small photos (160 x 120 JPEG) in " << root << "\n";
    out.flush();
    if (!generate(root, *std::max_element(counts.begin(), counts.end()))) {
        out << "cannot write the generated images\n";
        return 1;
    }
    out << QString("%1 %2 %3 %4 %5 %6 %7 %8\n")
               .arg("rows", 6)
               .arg("dialog lists", 13)
               .arg("rows added", 11)
               .arg("run", 9)
               .arg("per row", 9)
               .arg("longest stall", 14)
               .arg("peak", 9)
               .arg("report lines", 13);
    for (int rows : qAsConst(counts)) {
        const QStringList m = measure(folderOf(root, rows));
        if (m.size() < 8 || m.at(6).toInt() != rows) {
            out << rows << ": the run failed\n";
            continue;
        }
        out << QString("%1 %2 %3 %4 %5 %6 %7 %8\n")
                   .arg(rows, 6)
                   .arg(QString("%1 ms").arg(m.at(1)), 13)
                   .arg(QString("%1 ms").arg(m.at(2)), 11)
                   .arg(QString("%1 s").arg(m.at(3).toDouble() / 1000, 0, 'f', 2), 9)
                   .arg(QString("%1 ms").arg(m.at(3).toDouble() / rows, 0, 'f', 2), 9)
                   .arg(QString("%1 ms").arg(m.at(4)), 14)
                   .arg(QString("%1 MB").arg(m.at(5).toDouble() / 1024, 0, 'f', 1), 9)
                   .arg(m.at(7).trimmed(), 13);
        out.flush();
    }
    return 0;
}
