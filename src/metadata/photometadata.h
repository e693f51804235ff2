#pragma once

#include "colour/cicp.h"
#include "metadata/gainmap.h"
#include "metadata/leftout.h"

#include <QByteArray>
#include <QColorSpace>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// What a TIFF source says of itself that only a TIFF output takes: how its pixels were
// compressed, and the chromaticities it gave in place of a profile.
struct TiffTags
{
    int compression = 0;       // libtiff's code; 0 for other sources
    QVector<float> whitePoint; // x and y
    QVector<float> primaries;  // red, green and blue, x and y each
};

// What of a source's metadata its outputs carry.
enum class MetadataKeep
{
    All,        // everything, corrected
    NoLocation, // everything but where the photo was taken
    ColourOnly, // nothing but the colour description the pixels need
};

// The EXIF, XMP, IPTC and colour description of a source, whatever its container, carried into
// the encoded output as the camera wrote them: only the orientation, the pixel dimensions and
// the thumbnail change.
class PhotoMetadata
{
public:
    // What a container reader found, as the source holds it.
    struct Record
    {
        QByteArray exif;               // the TIFF block
        bool exifFirst = false;        // right after the start of image, as cameras write it
        QByteArray xmp;                // the main packet
        QList<QByteArray> extendedXmp; // a JPEG's extension segments, as they were
        QByteArray iptc;               // the IPTC resource of a Photoshop segment
        LeftOuts unreadable;           // what was there but could not be read or carried
        QByteArray icc;
        std::optional<Cicp> cicp;
        // The profile's bytes as a JPEG stores them, for converting colours only: the pixels
        // carry it where the toolkit can read it, and nothing where it cannot.
        QByteArray profile;
        GainMap gainMap;
        TiffTags tiff;
    };

    PhotoMetadata() = default;
    explicit PhotoMetadata(const Record &record) : m(record) {}
    const Record &record() const { return m; }

    // The record as `keep` asks, without what declares a gain map the output does not carry
    // (`keepsGainMap` false, or no metadata kept). What could not be cleaned is left out whole
    // and named in unreadable, never carried with a coordinate in it.
    PhotoMetadata filtered(MetadataKeep keep, bool keepsGainMap = false) const;
    // The record without its gain map, nor what declares one, which is named as left out.
    PhotoMetadata withoutGainMap() const;
    // The record with its gain map's pixels, upright, for a picture of `base` pixels, and what
    // resamples them for a picture of another size.
    PhotoMetadata
    withGainMapImage(const QImage &image, const QSize &base,
                     const std::function<QImage(const QImage &, const QSize &)> &resample) const;
    // The record without its colour description, for pixels converted to another.
    PhotoMetadata withoutColour() const;

    // The EXIF and XMP blocks corrected for an upright image of `size` without a thumbnail,
    // for a container that stores them whole; `leftOut` says what could not be.
    struct Corrected
    {
        QByteArray exif; // the TIFF block
        QByteArray xmp;
        LeftOuts leftOut;
    };
    Corrected corrected(const QSize &size) const;

    // The colour description a HEIF or WebP source gave, to be written as it was: its code
    // points, and the ICC profile to write: the source's own bytes; else, where it gave no code
    // points either or the output keeps none, the profile the pixels carry (other sources'
    // profile travels with the pixels, code points as their equivalent).
    std::optional<Cicp> cicp() const { return m.cicp; }
    QByteArray profileFor(const QColorSpace &pixels, bool keepsNclx = true) const;
    // What of the colour description an output without nclx leaves out, for pixels that carry
    // `pixels`: an nclx that no profile expresses, and, unless the writer takes the source's
    // profile bytes, a profile the toolkit could not read.
    LeftOuts colourLeftOut(const QColorSpace &pixels, bool writesProfileBytes) const;
    // What a container without IPTC or extended XMP leaves out.
    LeftOuts jpegOnly() const;
    // Everything the source had, for an output that carries no metadata at all.
    LeftOuts present() const;

private:
    Record m;
};
