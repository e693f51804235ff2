#pragma once

#include "formats/quality.h"
#include "metadata/photometadata.h"
#include "resample/framing.h"
#include "resample/target.h"
#include "row/rowoutcome.h"

#include <QByteArray>
#include <QString>
#include <QVector>

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
    bool srgb = false;          // colours described otherwise converted to sRGB
    Side side = Side::Longest;  // the side the size bounds
    Frame frame = Frame::Whole; // the shape the output is cut to
    bool subject = false;       // the frame cut around the photo's subject rather than centred
    QString foldersUnder{};     // where the output's missing folders may be made; empty for none

    // Another output of the same photo at another size, in the same format.
    struct Extra
    {
        int box = 0;
        QString output;
        RowOutcome outcome; // Pending unless refused before any image is read
    };
    QVector<Extra> extras{};

    // Whether some output is still to be made.
    bool hasWork() const
    {
        if (outcome.status == RowOutcome::Pending)
            return true;
        for (const Extra &extra : extras)
            if (extra.outcome.status == RowOutcome::Pending)
                return true;
        return false;
    }
    // What became of a row refused whole before any image was read, each output's own.
    RowOutcome refusedOutcome() const
    {
        RowOutcome refused = outcome;
        for (const Extra &extra : extras)
            refused.extras.push_back(extra.outcome);
        return refused;
    }
};
