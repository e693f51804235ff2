#pragma once

#include "formats/resampler.h"
#include "row/rowoutcome.h"

#include <QByteArray>
#include <QString>

// One row of the run: where it reads, where it writes, and what is already decided about it.
struct PlannedRow
{
    QString source;
    QString output;
    QByteArray format;  // writer format, from the output's last suffix
    RowOutcome outcome; // Pending unless the row is refused before any image is read
    Resampling resampling = Resampling::Nearest;
};
