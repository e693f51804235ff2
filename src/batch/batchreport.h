#pragma once

#include "batch/batchplan.h"

// The closing message of a run, in the user's language.
struct BatchReport
{
    enum Kind
    {
        Success,
        Errors,
        Interrupted
    };

    Kind kind = Success;
    QString title;
    QString text;
    QString details;     // every failed or incomplete row in full, for the message box's details
    QString informative; // the sizes before and after, where something was written

    // At most this many rows of each list are named in `text`.
    static constexpr int MaxListedFailures = 10;

    // A run with rows left NotStarted was interrupted.
    static BatchReport make(const QVector<PlannedRow> &plan, const QVector<RowOutcome> &outcomes);
};
