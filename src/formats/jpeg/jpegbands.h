#pragma once

#include <QByteArray>
#include <QVector>

#include <optional>

// A sequential JPEG whose scan has restart markers can be cut at any marker: what follows
// decodes on its own, as a file of its own made of the headers and the remaining entropy-coded
// data, its markers numbered again from the first. Where the marker falls inside a row of MCUs,
// empty intervals come first, as many as put the next whole row at the start of a row of the
// band's file; libjpeg fills them with nothing, with one warning each.
namespace JpegBands {

// What the frame's header says of its scan, in MCUs.
struct Scan
{
    qint64 dataStart = 0; // the first byte after the scan's header
    int interval = 0;     // MCUs from one restart marker to the next
    int mcusPerRow = 0;
    int mcuRows = 0;
    int mcuHeight = 0; // stored rows in a row of MCUs
    int height = 0;    // stored rows in the image
};

// Where a band starts.
struct Cut
{
    int interval = 0; // the image's first interval in the band, after the marker before it
    int mcuRow = 0;   // the band's first whole row of MCUs
    int fileRow = 0;  // that row in the band's file
    int empty = 0;    // empty intervals before the image's first
};

// For `count` bands of about even rows, the `count - 1` cuts after the first band, in order;
// none where the scan has no markers, or no interval starts at a usable place.
QVector<Cut> evenCuts(const Scan &scan, int count);

// The band's file, read as a file would be, the entropy-coded data taken from `bytes` as it
// is asked for.
class BandFile
{
public:
    // Nothing where the frame header cannot be found, or where the markers up to the cut are
    // not restart markers numbered in order.
    static std::optional<BandFile> make(const uchar *bytes, qint64 size, const Scan &scan,
                                        const Cut &cut);

    // Up to `length` bytes from `offset`: fewer at the end of `bytes`.
    qint64 read(qint64 offset, uchar *to, qint64 length) const;
    // The bytes up to the end of the empty intervals, 0 where there are none: libjpeg's
    // warnings while it has read no further are about them.
    qint64 emptyEnd() const { return m_emptyEnd; }

private:
    QByteArray m_head; // the headers, the frame's height changed, and the empty intervals
    const uchar *m_bytes = nullptr;
    qint64 m_emptyEnd = 0;
    qint64 m_from = 0; // the image's first data byte in the band
    qint64 m_size = 0;
    int m_shift = 0; // added to each restart number after m_from, modulo 8
};

} // namespace JpegBands
