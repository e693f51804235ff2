#pragma once

#include "formats/quality.h"
#include "metadata/photometadata.h"
#include "resample/target.h"
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
    Quality quality = Quality::Normal;
    bool enlarge = true;         // false: an image that fits the box keeps its size
    bool keepDate = false;       // the output takes the source's modification time
    bool replacesSource = false; // the output is the row's own source
    qint64 maxBytes = 0;         // the output's largest file size; 0 for no limit
    MetadataKeep metadata = MetadataKeep::All;
    bool srgb = false; // colours described otherwise converted to sRGB
};
