#pragma once

#include "row/plannedrow.h"

#include <QByteArray>
#include <QStringList>
#include <QVector>

// What the user chose in the window for one run.
struct BatchSettings
{
    int size = 1024; // the output fits in size x size
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
};

// Works out every row's output before anything is written, so that no row can replace
// another row's output or a listed source.
QVector<PlannedRow> planBatch(const QStringList &sources, const BatchSettings &settings);

// Whether some row of the plan would write over its own source.
bool replacesASource(const QVector<PlannedRow> &plan);
