#include "modalanswerer.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

ModalAnswerer::ModalAnswerer()
{
    connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    m_timer.start(10);
}

void ModalAnswerer::expectMessage(QMessageBox::StandardButton button)
{
    expect<QMessageBox>([this, button](QMessageBox *box) {
        titles.append(box->windowTitle());
        texts.append(box->text());
        icons.append(box->icon());
        defaultButtons.append(box->defaultButton() ? box->standardButton(box->defaultButton())
                                                   : QMessageBox::NoButton);
        details.append(box->detailedText());
        box->button(button)->click();
    });
}

void ModalAnswerer::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (m_handlers.empty() || !modal || !modal->isVisible() || modal->property("answered").toBool())
        return;
    if (!m_handlers.front().accepts(modal))
        return;
    // The handler may open a nested event loop: take it out of the queue first.
    const Handler handler = m_handlers.front();
    m_handlers.pop();
    modal->setProperty("answered", true);
    handler.run(modal);
}

bool ModalAnswerer::waitDone(int timeoutMs)
{
    return QTest::qWaitFor([this] { return m_handlers.empty(); }, timeoutMs);
}

void chooseInFileDialog(QFileDialog *dialog, const QString &dir, const QStringList &names)
{
    dialog->setDirectory(dir);
    QStringList quoted;
    for (const QString &name : names)
        quoted.append(names.size() > 1 ? QLatin1Char('"') + name + QLatin1Char('"') : name);
    auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    edit->setText(quoted.join(QLatin1Char(' ')));
    QMetaObject::invokeMethod(dialog, "accept");
}
