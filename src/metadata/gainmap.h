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
    // The map as the source stores it: its own JPEG, where it is one.
    QByteArray coded;
    // Its upright size, and what decodes it upright (turned as the picture is) fitted to a box,
    // by either resampling; a null image where it does not decode whole.
    QSize size;
    std::function<QImage(int box, bool smooth)> decode;
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

    // Set before encoding: the upright map, for a picture of `base` pixels, so that an output of
    // any size gets a map in proportion.
    QImage image;
    QSize base;
    bool smooth = true;

    bool present() const { return kind != Kind::None; }
    bool readable() const { return bool(decode) && !size.isEmpty(); }
    // The map's size for an output of `output` pixels, from the map decoded for `base`.
    QSize sizeFor(const QSize &output) const;
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
