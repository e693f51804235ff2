#pragma once

#include <QByteArray>
#include <QVector>

#include <optional>

// A sequential JPEG whose scan has restart markers can be cut where a marker falls at the start
// of a row of MCUs: what follows decodes on its own, as a file of its own made of the headers
// and the remaining entropy-coded data, its markers numbered again from the first.
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

struct Layout
{
    Scan scan;
    int heightAt = -1;        // the frame header's height field
    QVector<qint64> restarts; // each restart marker, in order
    qint64 end = 0;           // the end-of-image marker
};

// Where `bytes` may be cut; nothing for a file whose scan is not one sequence of intervals
// ending at its end-of-image marker, each numbered as it should be.
std::optional<Layout> find(const uchar *bytes, qint64 size, const Scan &scan);

// The rows of MCUs a band may start at, after the first.
QVector<int> cuts(const Layout &layout);

// The MCU row from `cuts` nearest each of `count` even shares of the image, in order and
// without repeats.
QVector<int> evenCuts(const Layout &layout, int count);

// A file of the image from the row of MCUs `mcuRow` (one of `cuts`) to its end.
QByteArray band(const uchar *bytes, const Layout &layout, int mcuRow);

} // namespace JpegBands
