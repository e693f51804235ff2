#pragma once

#include "batch/batchplan.h"

#include <QStringList>

#include <optional>

// A saved setting: the slider's size and every Option, and, where the user asked for them when
// saving, the rename pattern and the destination.
struct Preset
{
    QString name;
    BatchSettings settings;  // its rename, pattern and destination meaningful only where held
    bool subfolders = false; // dropped folders keep their tree under the destination
    bool holdsPattern = false;
    bool holdsDestination = false;
};

// The saved settings, in a readable INI file of the user's configuration folder. Nothing is
// written but on the user's request; a file this program cannot take as its own is never
// written over.
class PresetStore
{
public:
    enum class State
    {
        Usable,     // read, or no file yet
        Unreadable, // there, but the system would not let it be read
        Damaged,    // not an INI file the toolkit can read
        Later,      // written by a later version of the program
    };
    enum class Written
    {
        Done,
        NotOurs, // the file is in one of the states above
        Failed,  // the system refused the write
    };

    explicit PresetStore(const QString &path = defaultPath());
    // $XDG_CONFIG_HOME/parvimage/parvimage.ini, else under ~/.config.
    static QString defaultPath();
    static constexpr int Version = 1;

    const QString &path() const { return m_path; }
    State state() const { return m_state; }
    QStringList names() const;
    // The saved setting of that name, its values brought back to what the program knows.
    std::optional<Preset> preset(const QString &name) const;
    // Saves under the preset's name, replacing one of that name; keys this version does not
    // know stay as they were.
    Written save(const Preset &preset);
    Written remove(const QString &name);

    bool startsWithLast() const;
    // `chosen`, where not empty, is the setting chosen so far, which the next launch takes.
    Written setStartsWithLast(bool on, const QString &chosen = QString());
    // The setting to start from: the last one chosen where the user asked for it.
    std::optional<Preset> startingPreset() const;
    // Remembers the choice, written only where the next launches start from it.
    Written setChosen(const QString &name);

private:
    QString groupOf(const QString &name) const;
    template <typename Change> Written write(Change change);

    QString m_path;
    State m_state = State::Usable;
};
