#pragma once

#include <QVector>

#include <libheif/heif.h>

class SourceFile;

// libheif reads a file through this, from the source, where it asks; with `hiddenFlags`, the
// bytes holding tiles' hidden flags read with the flag cleared, so that each tile opens as an
// image of its own.
struct HeifReader
{
    const SourceFile *source = nullptr;
    const QVector<qint64> *hiddenFlags = nullptr; // sorted offsets
    int64_t position = 0;

    static const heif_reader functions;
};
