#pragma once

#include "formats/encoding.h"
#include "metadata/photometadata.h"
#include "resample/framing.h"
#include "resample/target.h"

#include <QVector>

// How each photo is cut and sized.
struct Geometry
{
    int size = 1024; // the bounded side's length: the slider's value
    Side side = Side::Longest;
    Frame frame = Frame::Whole;
    bool subject = false; // the frame cut around the subject rather than centred
    bool enlarge = true;  // false: a photo that fits keeps its size
    Resampling resampling = Resampling::Nearest;
    QVector<int> extraSizes; // each adds an output at that size

    bool operator==(const Geometry &other) const
    {
        return size == other.size && side == other.side && frame == other.frame &&
               subject == other.subject && enlarge == other.enlarge &&
               resampling == other.resampling && extraSizes == other.extraSizes;
    }
};

// What goes into the file beside the pixels.
struct Carrying
{
    MetadataKeep metadata = MetadataKeep::All;
    bool srgb = false;     // colours described otherwise converted to sRGB
    bool keepDate = false; // the output takes the source's modification time

    bool operator==(const Carrying &other) const
    {
        return metadata == other.metadata && srgb == other.srgb && keepDate == other.keepDate;
    }
};

// Every choice that shapes an output, as one record: built once from the window, held by the
// run's settings and by every planned row, and handed whole to the stage that uses it.
struct OutputOptions
{
    Geometry geometry;
    Formats::Encoding encoding;
    Carrying carrying;

    bool operator==(const OutputOptions &other) const
    {
        return geometry == other.geometry && encoding == other.encoding &&
               carrying == other.carrying;
    }
    bool operator!=(const OutputOptions &other) const { return !(*this == other); }

    // Whether an output of `output` pixels from a photo of `upright` pixels is the photo as it
    // is, its metadata included, so that its own bytes may be written: only where the photo is
    // neither enlarged nor cut, and every choice left as the photo has it.
    bool keepsPhoto(const QSize &upright, const QSize &output) const
    {
        return !geometry.enlarge && geometry.frame == Frame::Whole && !carrying.srgb &&
               carrying.metadata == MetadataKeep::All && output == upright;
    }
};
