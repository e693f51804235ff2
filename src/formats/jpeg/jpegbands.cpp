#include "formats/jpeg/jpegbands.h"

#include <cstdlib>
#include <cstring>
#include <numeric>
#include <utility>

namespace JpegBands {

namespace {

constexpr uchar Marker = 0xFF;
constexpr uchar FirstRestart = 0xD0;
constexpr int LargestHeight = 0xFFFF;
// A made-up row costs libjpeg about this share of a row of data: it only counts its MCUs.
constexpr double EmptyRowCost = 1.0 / 16;

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

// Where restart marker `index` (from 0) starts; -1 where another marker, a wrong number or the
// end of the data comes first.
qint64 restartAt(const uchar *bytes, qint64 size, qint64 at, int index)
{
    int seen = 0;
    while (at < size) {
        const void *found = std::memchr(bytes + at, Marker, size_t(size - at));
        if (!found)
            return -1;
        at = static_cast<const uchar *>(found) - bytes;
        if (at + 1 >= size)
            return -1;
        const uchar next = bytes[at + 1];
        if (next == 0x00 || next == Marker) {
            at += next == Marker ? 1 : 2;
        } else if ((next & 0xF8) == FirstRestart && next - FirstRestart == seen % 8) {
            if (seen == index)
                return at;
            ++seen;
            at += 2;
        } else {
            return -1;
        }
    }
    return -1;
}

// x with a * x = 1 modulo m, for a and m without a common factor.
qint64 inverse(qint64 a, qint64 m)
{
    qint64 old = a % m, r = m, x = 1, y = 0;
    while (r != 0) {
        const qint64 q = old / r;
        old = std::exchange(r, old - q * r);
        x = std::exchange(y, x - q * y);
    }
    return ((x % m) + m) % m;
}

// Where each interval would start a band. A band starting inside a row of MCUs begins with k
// empty intervals such that k * interval = column, modulo a row of MCUs: always possible, as the
// column is a multiple of both lengths' common factor.
class Cutter
{
public:
    explicit Cutter(const Scan &scan)
        : m_interval(scan.interval), m_mcus(scan.mcusPerRow),
          m_common(std::gcd(m_interval, m_mcus)), m_period(m_mcus / m_common),
          m_step(m_period == 1 ? 0 : inverse((m_interval / m_common) % m_period, m_period))
    {}

    Cut at(qint64 interval) const
    {
        const qint64 first = interval * m_interval; // its first MCU
        const qint64 column = first % m_mcus;
        Cut cut;
        cut.interval = int(interval);
        cut.mcuRow = int(first / m_mcus + (column == 0 ? 0 : 1));
        const qint64 empty = (column / m_common) * m_step % m_period;
        cut.empty = int(empty);
        cut.fileRow = int((empty * m_interval + cut.mcuRow * m_mcus - first) / m_mcus);
        return cut;
    }

private:
    qint64 m_interval, m_mcus, m_common, m_period, m_step;
};

int bandHeight(const Scan &scan, const Cut &cut)
{
    return (cut.fileRow - cut.mcuRow) * scan.mcuHeight + scan.height;
}

} // namespace

QVector<Cut> evenCuts(const Scan &scan, int count)
{
    QVector<Cut> chosen;
    if (scan.interval <= 0 || scan.mcusPerRow <= 0 || scan.mcuRows <= 1 || scan.mcuHeight <= 0)
        return chosen;
    const qint64 intervals =
        (qint64(scan.mcusPerRow) * scan.mcuRows + scan.interval - 1) / scan.interval;
    const Cutter cutter(scan);
    for (int share = 1; share < count; ++share) {
        const double wanted = double(scan.mcuRows) * share / count;
        std::optional<Cut> best;
        double bestCost = 0;
        for (qint64 i = 1; i < intervals; ++i) {
            const Cut cut = cutter.at(i);
            if (cut.mcuRow >= scan.mcuRows || bandHeight(scan, cut) > LargestHeight ||
                (!chosen.isEmpty() && cut.mcuRow <= chosen.last().mcuRow))
                continue;
            // The band's made-up rows weigh on its thread: its start moves down by half.
            const double made = cut.fileRow * EmptyRowCost;
            const double cost = std::abs(cut.mcuRow - wanted - made / 2) + made;
            if (!best || cost < bestCost) {
                best = cut;
                bestCost = cost;
            }
        }
        if (best)
            chosen.append(*best);
    }
    return chosen;
}

std::optional<BandFile> BandFile::make(const uchar *bytes, qint64 size, const Scan &scan,
                                       const Cut &cut)
{
    if (scan.dataStart <= 0 || scan.dataStart >= size || cut.interval < 1)
        return std::nullopt;
    const int heightAt = heightField(bytes, scan.dataStart);
    const qint64 restart = restartAt(bytes, size, scan.dataStart, cut.interval - 1);
    if (heightAt < 0 || restart < 0)
        return std::nullopt;
    BandFile band;
    band.m_head = QByteArray(reinterpret_cast<const char *>(bytes), int(scan.dataStart));
    const int height = bandHeight(scan, cut);
    band.m_head[heightAt] = char(height >> 8);
    band.m_head[heightAt + 1] = char(height & 0xFF);
    for (int i = 0; i < cut.empty; ++i) {
        band.m_head.append(char(Marker));
        band.m_head.append(char(FirstRestart + i % 8));
    }
    band.m_emptyEnd = cut.empty > 0 ? band.m_head.size() : 0;
    band.m_bytes = bytes;
    band.m_from = restart + 2;
    band.m_size = size;
    band.m_shift = ((cut.empty - cut.interval) % 8 + 8) % 8;
    return band;
}

qint64 BandFile::read(qint64 offset, uchar *to, qint64 length) const
{
    qint64 done = 0;
    if (offset < m_head.size()) {
        done = qMin(length, m_head.size() - offset);
        std::memcpy(to, m_head.constData() + offset, size_t(done));
    }
    const qint64 from = m_from + offset + done - m_head.size();
    const qint64 count = qMax<qint64>(0, qMin(length - done, m_size - from));
    std::memcpy(to + done, m_bytes + from, size_t(count));
    // A marker's number is the byte after 0xFF, which may be the last byte before `from`.
    for (qint64 at = qMax(m_from, from - 1); at + 1 < from + count; ++at) {
        const void *found = std::memchr(m_bytes + at, Marker, size_t(from + count - 1 - at));
        if (!found)
            break;
        at = static_cast<const uchar *>(found) - m_bytes;
        const uchar next = m_bytes[at + 1];
        if ((next & 0xF8) == FirstRestart)
            to[done + at + 1 - from] = uchar(FirstRestart + (next - FirstRestart + m_shift) % 8);
    }
    return done + count;
}

} // namespace JpegBands
