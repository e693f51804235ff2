#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QSize>

#include <functional>

// An HDR gain map beside the picture: how much brighter an HDR screen shows each part of it.
struct GainMap
{
    enum class Kind
    {
        None,
        Adobe, // Ultra HDR's XMP (hdrgm) or ISO 21496-1
        Apple, // urn:com:apple:photo:2020:aux:hdrgainmap
    };
    Kind kind = Kind::None;
    // Its upright size, turned as the picture is, and whether the source's decoder can decode
    // it (the format's decoder gives the map's own).
    QSize size;
    bool decodable = false;
    // A JPEG application segment: its marker (0xE0 to 0xEF) and payload.
    struct Segment
    {
        int marker;
        QByteArray payload;
    };
    // Its own segments to carry: its XMP, ISO block or profile.
    QList<Segment> segments;
    // What the primary image carries of it, beside its MPF index: the ISO version block.
    QList<Segment> primarySegments;

    // Set before encoding: the upright map, for a picture of `base` pixels, and what resamples
    // it as the picture was, so that an output of any size gets a map in proportion.
    QImage image;
    QSize base;
    std::function<QImage(const QImage &map, const QSize &size)> resample;

    bool present() const { return kind != Kind::None; }
    bool readable() const { return decodable && !size.isEmpty(); }
    // The map's size for an output of `output` pixels, from the map decoded for `base`.
    QSize sizeFor(const QSize &output) const;
    // The map for an output of `output` pixels.
    QImage imageFor(const QSize &output) const;
    // The box to decode the map in, for a picture of `upright` pixels reduced to `output`.
    int boxFor(const QSize &upright, const QSize &output) const;
    // Takes any coordinate out of the map's own XMP; a packet that cannot be cleaned goes.
    void removeLocation();
};

namespace GainMapXmp {

// The gain map's place in an Ultra HDR primary's XMP: any container directory goes, main
// packet and extended part alike, and one giving the map's real length is written in the main
// packet, where the hdrgm description is. False where the packet could not be edited.
bool setDirectory(QByteArray *packet, QList<QByteArray> *extended, qint64 gainMapLength);

} // namespace GainMapXmp
