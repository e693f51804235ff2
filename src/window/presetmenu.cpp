#include "window/presetmenu.h"

#include "window/presetdialog.h"

#include <QAction>
#include <QDir>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <QSet>

PresetMenu::PresetMenu(const Actions &actions, std::function<Preset()> current, QWidget *window,
                       const QString &path)
    : QObject(window), m_actions(actions), m_current(std::move(current)), m_window(window),
      m_store(path)
{
    m_actions.atStart->setChecked(m_store.startsWithLast());
    connect(m_actions.save, &QAction::triggered, this, &PresetMenu::onSave);
    connect(m_actions.remove, &QAction::triggered, this, &PresetMenu::onRemove);
    connect(m_actions.atStart, &QAction::triggered, this, &PresetMenu::onAtStart);
    rebuild();
}

QString PresetMenu::problem() const
{
    const QString file = QDir::toNativeSeparators(m_store.path());
    switch (m_store.state()) {
    case PresetStore::State::Usable:
        return QString();
    case PresetStore::State::Unreadable:
        return tr("Les réglages enregistrés n'ont pas pu être lus (%1) : la fenêtre part des "
                  "valeurs de départ.")
            .arg(file);
    case PresetStore::State::Damaged:
        return tr("Le fichier des réglages %1 est endommagé : la fenêtre part des valeurs de "
                  "départ.")
            .arg(file);
    case PresetStore::State::Later:
        return tr("Le fichier des réglages %1 vient d'une version plus récente de Parvimage : "
                  "la fenêtre part des valeurs de départ.")
            .arg(file);
    }
    return QString();
}

namespace {

// The mnemonic of a menu entry's text, in lower case; a null character where it has none.
QChar mnemonicOf(const QString &text)
{
    for (int i = 0; i + 1 < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('&')) {
            if (text.at(i + 1) != QLatin1Char('&'))
                return text.at(i + 1).toLower();
            ++i;
        }
    }
    return QChar();
}

// A user's name as an entry: its own ampersands shown, and the first letter or digit no other
// entry of the menu uses as its key.
QString entryText(const QString &name, QSet<QChar> *used)
{
    QString text;
    bool keyed = false;
    for (const QChar c : name) {
        if (!keyed && c.isLetterOrNumber() && !used->contains(c.toLower())) {
            used->insert(c.toLower());
            text += QLatin1Char('&');
            keyed = true;
        }
        text += c == QLatin1Char('&') ? QStringLiteral("&&") : QString(c);
    }
    return text;
}

} // namespace

// The entries go between the save entry's separator and the delete entry.
void PresetMenu::rebuild()
{
    qDeleteAll(m_entries);
    m_entries.clear();
    QSet<QChar> used;
    for (const QAction *fixed : {m_actions.save, m_actions.remove, m_actions.atStart})
        used.insert(mnemonicOf(fixed->text()));
    const QStringList names = m_store.names();
    for (const QString &name : names) {
        auto *entry = new QAction(entryText(name, &used), m_actions.menu);
        connect(entry, &QAction::triggered, this, [this, name] { choose(name); });
        m_actions.menu->insertAction(m_actions.remove, entry);
        m_entries.append(entry);
    }
    if (!m_entries.isEmpty())
        m_actions.menu->insertSeparator(m_actions.remove)->setParent(m_entries.first());
    m_actions.remove->setEnabled(!names.isEmpty());
}

void PresetMenu::choose(const QString &name)
{
    const std::optional<Preset> preset = m_store.preset(name);
    if (!preset)
        return rebuild();
    m_chosen = name;
    emit chosen(*preset);
    written(m_store.setChosen(name));
}

void PresetMenu::onSave()
{
    Preset preset = m_current();
    PresetDialog dialog(m_store.names(), preset.settings.pattern, preset.settings.destination,
                        m_window);
    if (dialog.exec() != QDialog::Accepted || dialog.name().isEmpty())
        return;
    preset.name = dialog.name();
    preset.holdsPattern = dialog.withPattern();
    preset.holdsDestination = dialog.withDestination();
    if (m_store.names().contains(preset.name) &&
        QMessageBox::question(m_window, tr("Enregistrer les réglages"),
                              tr("Remplacer le réglage « %1 » ?").arg(preset.name),
                              QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) != QMessageBox::Yes)
        return;
    if (written(m_store.save(preset))) {
        m_chosen = preset.name;
        written(m_store.setChosen(preset.name));
    }
    rebuild();
}

void PresetMenu::onRemove()
{
    bool ok = false;
    const QString name =
        QInputDialog::getItem(m_window, tr("Supprimer un réglage"), tr("Réglage à supprimer :"),
                              m_store.names(), 0, false, &ok);
    if (!ok || name.isEmpty())
        return;
    written(m_store.remove(name));
    if (m_chosen == name)
        m_chosen.clear();
    rebuild();
}

void PresetMenu::onAtStart(bool on)
{
    if (!written(m_store.setStartsWithLast(on, m_chosen)))
        m_actions.atStart->setChecked(!on);
}

// Says why a change could not be kept; nothing where it was.
bool PresetMenu::written(PresetStore::Written written)
{
    if (written == PresetStore::Written::Done)
        return true;
    const QString why =
        written == PresetStore::Written::NotOurs
            ? problem() + QLatin1Char('\n') +
                  tr("Il n'est pas réécrit, pour ne rien perdre de ce qu'il contient.")
            : tr("Le fichier %1 n'a pas pu être écrit.")
                  .arg(QDir::toNativeSeparators(m_store.path()));
    QMessageBox::warning(m_window, tr("Réglages non enregistrés"), why);
    return false;
}
