#pragma once

#include "row/capture.h"
#include "row/plannedrow.h"

#include <QByteArray>
#include <QStringList>
#include <QVector>

// What the user chose in the window for one run.
struct BatchSettings
{
    bool rename = false;
    QString pattern;     // rename pattern, as typed
    QString destination; // empty: beside each source
    // The slider's size and every Option; the format empty where each source keeps its own.
    OutputOptions options;
    // A row whose every output is there already, newer than its source, is left as it is.
    bool skipDone = false;
};

// Works out every row's outputs before anything is written, so that no output can replace
// another or a listed source. `subfolders`, where given, holds each source's folder under the
// destination ("Vacances/Jour 1"), empty for a source that goes straight into it. `captures`,
// where given, holds each source's capture for a pattern that names photos by them; where the
// pattern needs them and none are given, they are read here.
QVector<PlannedRow> planBatch(const QStringList &sources, const BatchSettings &settings,
                              const QStringList &subfolders = QStringList(),
                              const QVector<Capture> &captures = QVector<Capture>());

// Whether some row of the plan would write over its own source.
bool replacesASource(const QVector<PlannedRow> &plan);
