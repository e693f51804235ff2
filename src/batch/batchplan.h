#pragma once

#include "row/plannedrow.h"

#include <QByteArray>
#include <QStringList>
#include <QVector>

// What the user chose in the window for one run.
struct BatchSettings
{
    int size = 1024; // the length of the bounded side: the output fits in size x size
    bool rename = false;
    QString pattern;     // rename pattern, as typed
    QString destination; // empty: beside each source
    Resampling resampling = Resampling::Nearest;
    QByteArray outputFormat; // the suffix of the format to write; empty: each source's own
    Quality quality = Quality::Normal;
    bool enlarge = true;
    bool keepDate = false;
    qint64 maxBytes = 0; // each output's largest file size; 0 for no limit
    MetadataKeep metadata = MetadataKeep::All;
    bool srgb = false;
    Side side = Side::Longest;  // the side `size` bounds
    Frame frame = Frame::Whole; // the shape each output is cut to
    bool subject = false;       // cut around the subject rather than centred
    QVector<int> extraSizes;    // each adds an output per photo at that size
};

// Works out every row's outputs before anything is written, so that no output can replace
// another or a listed source. `subfolders`, where given, holds each source's folder under the
// destination ("Vacances/Jour 1"), empty for a source that goes straight into it.
QVector<PlannedRow> planBatch(const QStringList &sources, const BatchSettings &settings,
                              const QStringList &subfolders = QStringList());

// Whether some row of the plan would write over its own source.
bool replacesASource(const QVector<PlannedRow> &plan);
