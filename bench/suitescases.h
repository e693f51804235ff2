#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QTextStream>

// The suites that time a use rather than a format: photos ready to send, camera files, an
// animated GIF, one photo alone, and each kind of row's memory estimate against its peak.
namespace Bench {

// Under a 200 Ko limit and converted to sRGB, against the same rows without.
void reportSending(QTextStream &out, const QString &photos, const QString &p3, int size,
                   int rounds);

// The camera raws and Ultra HDR sets of `root`.
void reportCameras(QTextStream &out, const QString &root, int size, int rounds);

// An animated GIF on one worker against ImageMagick on one core.
void reportGif(QTextStream &out, const QString &input, int size, int rounds);

// One photo alone of each kind of `root`'s sets, then the six in their worst and best order.
void reportAlone(QTextStream &out, const QString &root, int size, int rounds);

// Each of `kinds` (a name, a file) as one row in a child, in `mode` ("estimate" or
// "estimate-smooth").
void reportEstimates(QTextStream &out, const QList<QPair<QString, QString>> &kinds, int size,
                     const QString &mode = "estimate");

} // namespace Bench
