#pragma once

#include "formats/quality.h"

#include <QByteArray>
#include <QtGlobal>

namespace Formats {

// How an output's pixels become its file's bytes, as chosen for the run: handed whole to the
// writer, which says which of its choices it honours.
struct Encoding
{
    QByteArray format; // the writer's suffix, in lower case; empty: each source's own
    Quality quality = Quality::Normal;
    qint64 maxBytes = 0; // the largest file; 0 for no limit

    bool operator==(const Encoding &other) const
    {
        return format == other.format && quality == other.quality && maxBytes == other.maxBytes;
    }
    bool operator!=(const Encoding &other) const { return !(*this == other); }
};

// Which of those choices change what a writer writes.
struct Honours
{
    bool quality = false;  // lossy writers
    bool sizeLimit = true; // every writer: lossless ones by their pixels
};

} // namespace Formats
