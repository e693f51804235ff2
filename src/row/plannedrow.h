#pragma once

#include "row/outputoptions.h"
#include "row/rowoutcome.h"

#include <QString>
#include <QVector>

// One file a row writes: where, at which size of the bounded side, and what is already decided
// about it.
struct PlannedOutput
{
    QString path;
    int size = 0;
    RowOutcome outcome; // Pending unless refused before any image is read
};

// One row of the run: the photo it reads, the files it writes (the slider's size first, then
// the other sizes asked), and the options they are made with, its format resolved.
struct PlannedRow
{
    QString source;
    QVector<PlannedOutput> outputs;
    OutputOptions options;
    bool replacesSource = false; // an output is the row's own source
    QString foldersUnder;        // where the outputs' missing folders may be made; empty for none

    // A row of one output of `size` pixels in the format of its suffix, with `options`.
    static PlannedRow single(const QString &source, const QString &output, int size,
                             OutputOptions options = OutputOptions());

    // Each output's size of the bounded side, in order.
    QVector<int> sizes() const
    {
        QVector<int> sizes;
        for (const PlannedOutput &output : outputs)
            sizes.append(output.size);
        return sizes;
    }
    // Whether some output is still to be made.
    bool hasWork() const
    {
        for (const PlannedOutput &output : outputs)
            if (output.outcome.status == RowOutcome::Pending)
                return true;
        return false;
    }
    // What became of a row refused whole before any image was read, each output's own.
    RowOutcome refusedOutcome() const
    {
        RowOutcome refused = outputs.value(0).outcome;
        for (int i = 1; i < outputs.size(); ++i)
            refused.extras.push_back(outputs.at(i).outcome);
        return refused;
    }
};
