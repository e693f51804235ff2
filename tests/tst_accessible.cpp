#include "modalanswerer.h"
#include "testimages.h"
#include "testmain.h"
#include "window/mainwindow.h"
#include "window/presetdialog.h"

#include <QAccessible>
#include <QAccessibleEvent>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

// What a screen reader and a keyboard reach of the window: every control named, the focus in
// reading order, and every menu entry keyed.
class TestAccessible : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void named_data();
    void named();
    void everyFocusableNamed();
    void tabOrder();
    void mnemonics_data();
    void mnemonics();
    void closingBoxIsAnAlert();

private:
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QTemporaryDir> config;
};

namespace {

// Every focusable object under `iface` without a name or a role, by its path in the tree.
void nameless(QAccessibleInterface *iface, const QString &path, QStringList *found)
{
    if (!iface || !iface->isValid())
        return;
    const QString here = path + "/" + QString::number(int(iface->role()));
    if (iface->state().focusable && !iface->state().invisible &&
        (iface->text(QAccessible::Name).trimmed().isEmpty() ||
         iface->role() == QAccessible::NoRole))
        found->append(here + " " +
                      (iface->object() ? iface->object()->objectName() : QString("(item)")));
    for (int i = 0; i < iface->childCount(); ++i)
        nameless(iface->child(i), here, found);
}

QChar mnemonic(const QString &text)
{
    for (int i = 0; i + 1 < text.size(); ++i) {
        if (text.at(i) == '&' && text.at(i + 1) != '&')
            return text.at(i + 1).toLower();
        if (text.at(i) == '&')
            ++i;
    }
    return QChar();
}

} // namespace

void TestAccessible::init()
{
    config = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", config->path().toLocal8Bit());
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void TestAccessible::cleanup()
{
    window.reset();
}

void TestAccessible::named_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("description"); // part of it; empty where the label says it

    QTest::newRow("+") << "addBtn"
                       << "Ajouter des images"
                       << "";
    QTest::newRow("-") << "removeBtn"
                       << "Retirer l'image choisie"
                       << "";
    QTest::newRow("...") << "newPathBtn"
                         << "Choisir le dossier de destination"
                         << "";
    QTest::newRow("slider, its value as pixels") << "horizontalSlider"
                                                 << "Taille maximale, en pixels"
                                                 << "1024 pixels";
    QTest::newRow("display") << "lcdNumber"
                             << "Taille choisie, en pixels"
                             << "";
    QTest::newRow("list") << "pictureList"
                          << "Images à redimensionner"
                          << "nom de fichier";
    QTest::newRow("name") << "filename"
                          << "Nouveau nom des images"
                          << "{date}";
    QTest::newRow("destination") << "newPath"
                                 << "Dossier de destination"
                                 << "remplace";
}

// The buttons read as what they do, not as their symbols.
void TestAccessible::named()
{
    QFETCH(QString, object);
    QFETCH(QString, name);
    QFETCH(QString, description);
    QObject *widget = window->findChild<QObject *>(object);
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(iface);
    QCOMPARE(iface->text(QAccessible::Name), name);
    QVERIFY2(iface->text(QAccessible::Description).contains(description),
             qPrintable(iface->text(QAccessible::Description)));
}

// Nothing the keyboard reaches is nameless, in the window, its list's rows and the save dialog.
void TestAccessible::everyFocusableNamed()
{
    auto *list = window->findChild<QListWidget *>("pictureList");
    list->addItem("/photos/vacances/plage.jpg");
    QAccessibleInterface *row = QAccessible::queryAccessibleInterface(list)->child(0);
    QVERIFY(row);
    QCOMPARE(row->text(QAccessible::Name), QString("plage.jpg"));

    QStringList found;
    nameless(QAccessible::queryAccessibleInterface(window.get()), "", &found);
    PresetDialog dialog({"Courriel"}, "a%1", "/tmp", window.get());
    dialog.show();
    nameless(QAccessible::queryAccessibleInterface(&dialog), "dialog", &found);
    QVERIFY2(found.isEmpty(), qPrintable(found.join('\n')));
}

// Top to bottom, as the window reads.
void TestAccessible::tabOrder()
{
    const QStringList expected{"pictureList",      "addBtn",         "removeBtn",
                               "horizontalSlider", "changeFilename", "filename",
                               "newPath",          "newPathBtn",     "resizeBtn"};
    QApplication::setActiveWindow(window.get());
    window->findChild<QWidget *>("changeFilename")->setProperty("checked", true);
    window->findChild<QWidget *>("pictureList")->setFocus();
    QStringList order;
    for (int i = 0; i < expected.size(); ++i) {
        order << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(order, expected);
}

void TestAccessible::mnemonics_data()
{
    QTest::addColumn<QString>("menu");
    const QStringList menus{"menu_File",       "menu_Options",  "menu_Format", "menu_Quality",
                            "menu_FileSize",   "menu_Metadata", "menu_Side",   "menu_Frame",
                            "menu_ExtraSizes", "menu_Presets",  "menu_Sort",   "menu_NameTokens"};
    for (const QString &menu : menus)
        QTest::newRow(qPrintable(menu)) << menu;
}

// Every entry has a key of its own among its siblings, the saved settings' entries too.
void TestAccessible::mnemonics()
{
    QFETCH(QString, menu);
    for (const char *name : {"Courriel", "Copains", "&&", "Écran"}) {
        ModalAnswerer answerer;
        answerer.expect<PresetDialog>([&](PresetDialog *dialog) {
            dialog->findChild<QComboBox *>("presetName")->setCurrentText(QString::fromUtf8(name));
            dialog->accept();
        });
        window->findChild<QAction *>("actionPresetSave")->trigger();
        QVERIFY(answerer.waitDone());
    }
    QSet<QChar> keys;
    const auto actions = window->findChild<QMenu *>(menu)->actions();
    for (QAction *action : actions) {
        if (action->isSeparator() || !action->isVisible())
            continue;
        const QChar key = mnemonic(action->text());
        if (QString(action->text()).remove('&').isEmpty()) // no letter to key it by
            continue;
        QVERIFY2(!key.isNull(), qPrintable(action->text()));
        QVERIFY2(!keys.contains(key), qPrintable(action->text()));
        keys.insert(key);
    }
}

// The closing box reaches a screen reader as an alert, its text with it.
void TestAccessible::closingBoxIsAnAlert()
{
    QTemporaryDir out;
    window->findChild<QListWidget *>("pictureList")->addItem("/nowhere/missing.jpg");
    window->findChild<QLineEdit *>("newPath")->setText(out.path());
    QAccessible::Role role = QAccessible::NoRole;
    QString text;
    ModalAnswerer answerer;
    answerer.expect<QMessageBox>([&](QMessageBox *box) {
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(box);
        role = iface->role();
        text = iface->text(QAccessible::Name) + "|" + iface->text(QAccessible::Value) + "|" +
               iface->text(QAccessible::Description);
        box->accept();
    });
    window->findChild<QPushButton *>("resizeBtn")->click();
    QVERIFY(answerer.waitDone());
    QCOMPARE(role, QAccessible::AlertMessage);
    QVERIFY2(text.contains("0 image(s) redimensionnée(s) sur 1"), qPrintable(text));
}

PARVIMAGE_TEST_MAIN(TestAccessible)
#include "tst_accessible.moc"
