#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <queue>

class QFileDialog;

// Answers modal dialogs from a timer, in the order they are expected, so that no test ever
// waits for a person. Each handler takes the first visible modal widget of its type.
class ModalAnswerer : public QObject
{
public:
    ModalAnswerer();

    template <typename Dialog> void expect(std::function<void(Dialog *)> handler)
    {
        m_handlers.push({[](QWidget *widget) { return qobject_cast<Dialog *>(widget) != nullptr; },
                         [handler](QWidget *widget) { handler(qobject_cast<Dialog *>(widget)); }});
    }
    // Clicks `button` on the next message box and remembers its title and text.
    void expectMessage(QMessageBox::StandardButton button);

    int pending() const { return int(m_handlers.size()); }
    // Waits until every expected dialog has been answered.
    bool waitDone(int timeoutMs = 20000);

    QStringList titles;
    QStringList texts;
    QList<QMessageBox::Icon> icons;
    QList<QMessageBox::StandardButton> defaultButtons;
    QStringList details;

private:
    void poll();

    struct Handler
    {
        std::function<bool(QWidget *)> accepts;
        std::function<void(QWidget *)> run;
    };
    std::queue<Handler> m_handlers;
    QTimer m_timer;
};

// Chooses `names` (relative to `dir`, quoted when several) in a file dialog and accepts it.
void chooseInFileDialog(QFileDialog *dialog, const QString &dir, const QStringList &names);
