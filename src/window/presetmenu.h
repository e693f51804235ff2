#pragma once

#include "batch/presetstore.h"

#include <QObject>

#include <functional>

class QAction;
class QMenu;
class QWidget;

// The "Réglages" menu: each saved setting as an entry, saving and deleting them, and starting
// from the last one chosen. The window says what is set now and sets what is chosen.
class PresetMenu : public QObject
{
    Q_OBJECT

public:
    struct Actions
    {
        QMenu *menu;
        QAction *save;
        QAction *remove;
        QAction *atStart;
    };
    PresetMenu(const Actions &actions, std::function<Preset()> current, QWidget *window,
               const QString &path = PresetStore::defaultPath());

    // The setting the window starts from, where the user asked for the last one chosen.
    std::optional<Preset> startingPreset() const { return m_store.startingPreset(); }
    // Why the saved settings could not be taken, in the user's words; empty where they could.
    QString problem() const;

signals:
    void chosen(const Preset &preset);

private:
    void rebuild();
    void choose(const QString &name);
    void onSave();
    void onRemove();
    void onAtStart(bool on);
    bool written(PresetStore::Written written);

    Actions m_actions;
    std::function<Preset()> m_current;
    QWidget *m_window;
    PresetStore m_store;
    QList<QAction *> m_entries;
    QString m_chosen; // the last setting chosen in this session
};
