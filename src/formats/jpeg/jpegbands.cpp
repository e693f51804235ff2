#include "formats/jpeg/jpegbands.h"

#include <cstdlib>
#include <cstring>

namespace JpegBands {

namespace {

constexpr uchar Marker = 0xFF;
constexpr uchar FirstRestart = 0xD0;
constexpr uchar EndOfImage = 0xD9;

// The height field of the first sequential (Huffman) frame header before the scan.
int heightField(const uchar *bytes, qint64 dataStart)
{
    qint64 at = 2;
    while (at + 4 <= dataStart) {
        if (bytes[at] != Marker)
            return -1;
        const uchar marker = bytes[at + 1];
        if (marker == Marker) {
            ++at;
            continue;
        }
        if (marker == 0xC0 || marker == 0xC1)
            return at + 7 <= dataStart ? int(at + 5) : -1;
        at += 2 + (bytes[at + 2] << 8 | bytes[at + 3]);
    }
    return -1;
}

// The restart markers from the scan's data to its end-of-image marker; false where another
// marker or a wrong number comes first, or the data ends.
bool readMarkers(const uchar *bytes, qint64 size, Layout *layout)
{
    qint64 at = layout->scan.dataStart;
    while (at < size) {
        const void *found = std::memchr(bytes + at, Marker, size_t(size - at));
        if (!found)
            return false;
        at = static_cast<const uchar *>(found) - bytes;
        if (at + 1 >= size)
            return false;
        const uchar next = bytes[at + 1];
        if (next == 0x00 || next == Marker) {
            at += next == Marker ? 1 : 2;
        } else if (next == EndOfImage) {
            layout->end = at;
            return true;
        } else if ((next & 0xF8) == FirstRestart &&
                   next - FirstRestart == layout->restarts.size() % 8) {
            layout->restarts.append(at);
            at += 2;
        } else {
            return false;
        }
    }
    return false;
}

} // namespace

std::optional<Layout> find(const uchar *bytes, qint64 size, const Scan &scan)
{
    if (scan.interval <= 0 || scan.mcusPerRow <= 0 || scan.mcuRows <= 1 || scan.mcuHeight <= 0 ||
        scan.dataStart <= 0 || scan.dataStart >= size)
        return std::nullopt;
    Layout layout;
    layout.scan = scan;
    layout.heightAt = heightField(bytes, scan.dataStart);
    if (layout.heightAt < 0 || !readMarkers(bytes, size, &layout))
        return std::nullopt;
    const qint64 mcus = qint64(scan.mcusPerRow) * scan.mcuRows;
    if (layout.restarts.size() != (mcus + scan.interval - 1) / scan.interval - 1)
        return std::nullopt;
    return layout;
}

QVector<int> cuts(const Layout &layout)
{
    QVector<int> rows;
    const Scan &scan = layout.scan;
    for (int row = 1; row < scan.mcuRows; ++row)
        if (qint64(row) * scan.mcusPerRow % scan.interval == 0)
            rows.append(row);
    return rows;
}

QVector<int> evenCuts(const Layout &layout, int count)
{
    const QVector<int> all = cuts(layout);
    QVector<int> chosen;
    for (int share = 1; share < count && !all.isEmpty(); ++share) {
        const int wanted = layout.scan.mcuRows * share / count;
        int best = all.first();
        for (int row : all)
            if (std::abs(row - wanted) < std::abs(best - wanted))
                best = row;
        if (chosen.isEmpty() || best > chosen.last())
            chosen.append(best);
    }
    return chosen;
}

QByteArray band(const uchar *bytes, const Layout &layout, int mcuRow)
{
    const Scan &scan = layout.scan;
    const int first = int(qint64(mcuRow) * scan.mcusPerRow / scan.interval);
    const qint64 from = layout.restarts.at(first - 1) + 2;
    QByteArray out;
    out.reserve(int(scan.dataStart + layout.end - from + 2));
    out.append(reinterpret_cast<const char *>(bytes), int(scan.dataStart));
    const int height = scan.height - mcuRow * scan.mcuHeight;
    out[layout.heightAt] = char(height >> 8);
    out[layout.heightAt + 1] = char(height & 0xFF);
    const int dataAt = out.size();
    out.append(reinterpret_cast<const char *>(bytes + from), int(layout.end - from));
    for (int i = first; i < layout.restarts.size(); ++i)
        out[int(dataAt + layout.restarts.at(i) + 1 - from)] = char(FirstRestart + (i - first) % 8);
    out.append(char(Marker));
    out.append(char(EndOfImage));
    return out;
}

} // namespace JpegBands
