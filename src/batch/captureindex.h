#pragma once

#include "row/capture.h"

#include <QDateTime>
#include <QHash>
#include <QStringList>
#include <QVector>

// The list's captures, each read once from its photo's header and read again only where the
// file changed, so that names and orders by date cost one header per photo.
class CaptureIndex
{
public:
    // Each path's capture, in order; those not known yet read side by side on `cores` threads.
    QVector<Capture> of(const QStringList &paths, int cores = 0);

    // The list's order by when each photo was taken (its file's time where it says none), or by
    // file name; rows that tie keep their order. Each is a permutation of row numbers.
    QVector<int> orderByDate(const QStringList &paths, int cores = 0);
    static QVector<int> orderByName(const QStringList &paths);

private:
    struct Known
    {
        qint64 size = -1;
        QDateTime modified;
        Capture capture;
    };
    QHash<QString, Known> m_known;
};
