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
    qint64 maxBytes = 0;       // the largest file; 0 for no limit
    bool formatChosen = false; // `format` is the user's choice, not each source's own
    bool baseline = false;     // JPEGs in one sequential scan, for devices that show no other

    // Whether anything beyond the start values was chosen: only then may a writer change the
    // way its files are laid out, since some devices read no other.
    bool chosen() const { return formatChosen || quality != Quality::Normal || maxBytes > 0; }

    bool operator==(const Encoding &other) const
    {
        return format == other.format && quality == other.quality && maxBytes == other.maxBytes &&
               formatChosen == other.formatChosen && baseline == other.baseline;
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
