// libFuzzer target, differential: any bytes as an image file, loaded and scaled as a row does,
// on one core and on two to four; the JPEG bands, the pipelined sink and the grid's tiles on
// several cores must give what one core gives, the same outcome and the same pixels. A grid
// HEIC is also decoded whole, as libheif gives it, which the tiles must match too.
#include "formats/heif/heifdecoder.h"
#include "formats/registry.h"
#include "resample/geometry.h"
#include "row/imageresizer.h"
#include "rowload.h"
#include "system/sourcefile.h"
#include "system/workercores.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

QTemporaryDir *folder = nullptr;

struct Loaded
{
    RowOutcome outcome;
    QImage image;
};

// The row's own loading; `whole`: a grid HEIF decoded whole by libheif instead, as its decoder
// may be asked to, the rest as the row does it.
Loaded load(const QString &path, int box, Resampling resampling, int cores, bool whole)
{
    Loaded loaded;
    const WorkerCores::Scope scope(cores, 0);
    if (!whole) {
        loaded.image = RowLoad::scaled(path, box, &loaded.outcome, resampling);
        return loaded;
    }
    const SourceFile source(path);
    const std::unique_ptr<Formats::Decoder> decoder =
        HeifDecoder::open(source, HeifDecoder::Grid::Whole);
    QString words;
    const Formats::Status status =
        decoder->refusal() != Formats::Status::Decoded
            ? decoder->refusal()
            : decoder->decode(Target(box, resampling), &loaded.image, &words);
    loaded.outcome =
        RowOutcome::make(status == Formats::Status::Decoded   ? RowOutcome::Pending
                         : status == Formats::Status::Damaged ? RowOutcome::Damaged
                                                              : RowOutcome::Unreadable);
    if (status != Formats::Status::Decoded)
        loaded.image = QImage();
    return loaded;
}

const char *name(Resampling resampling)
{
    return resampling == Resampling::Nearest ? "nearest" : "smooth";
}

// What differs between the two, or nothing; the first differing pixel is printed.
const char *difference(const char *label, const Loaded &one, const Loaded &other, bool print)
{
    if (one.outcome.status != other.outcome.status)
        return "status";
    if (one.image.isNull() != other.image.isNull() || one.image.size() != other.image.size() ||
        one.image.format() != other.image.format())
        return "image";
    if (one.image.isNull())
        return nullptr;
    const int bytes = (one.image.width() * one.image.depth() + 7) / 8;
    for (int y = 0; y < one.image.height(); ++y) {
        const uchar *a = one.image.constScanLine(y);
        const uchar *b = other.image.constScanLine(y);
        const uchar *end = a + bytes;
        const uchar *at = std::mismatch(a, end, b).first;
        if (at == end)
            continue;
        const int x = int((at - a) * 8 / one.image.depth());
        if (print)
            std::fprintf(stderr, "fuzz_cores: pixel (%d, %d) differs (%s): %08x against %08x\n", x,
                         y, label, one.image.pixel(x, y), other.image.pixel(x, y));
        return "pixels";
    }
    return nullptr;
}

// Says what differs and stops the run, unless one core itself gives another image when asked
// again: a damaged file whose decoders read memory they never wrote (libde265 leaves the
// blocks of a lost slice so), which says nothing of the cores. AddressSanitizer's fill of every
// allocation (scripts/fuzz.sh sets it) makes those reads give the same bytes each time.
void compare(const char *label, const Loaded &one, const Loaded &other,
             const std::function<Loaded()> &again)
{
    const char *what = difference(label, one, other, true);
    if (!what)
        return;
    for (int i = 0; i < 3; ++i) {
        if (difference(label, one, again(), false)) {
            std::fprintf(stderr, "fuzz_cores: one core is not repeatable here: left out\n");
            return;
        }
    }
    std::fprintf(stderr,
                 "fuzz_cores: %s differs (%s): one core status %d \"%s\" %dx%d, other "
                 "status %d \"%s\" %dx%d\n",
                 what, label, int(one.outcome.status), qPrintable(one.outcome.systemError),
                 one.image.width(), one.image.height(), int(other.outcome.status),
                 qPrintable(other.outcome.systemError), other.image.width(), other.image.height());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    Formats::initialiseLibraries();
    static QCoreApplication app(*argc, *argv); // the image plugins are found through it
    folder = new QTemporaryDir(QDir::tempPath() + "/parvimage-fuzz-cores-XXXXXX");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The length picks the box and the cores, so every seed stays the valid file it was.
    const int box = 1 + int(size % 160);
    const int cores = 2 + int(size / 160 % 3);
    const QString path = folder->filePath("input");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();
    // Only an ISO media file that names a grid item can be decoded tile by tile; the others
    // would only be decoded whole a second time.
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const bool grid = size >= 12 && bytes.mid(4, 4) == "ftyp" && bytes.contains("grid");

    char label[64];
    for (Resampling resampling : {Resampling::Nearest, Resampling::Smooth}) {
        const auto oneCore = [&] { return load(path, box, resampling, 1, false); };
        const Loaded one = oneCore();
        const Loaded several = load(path, box, resampling, cores, false);
        std::snprintf(label, sizeof label, "%s, box %d, %d cores", name(resampling), box, cores);
        compare(label, one, several, oneCore);
        // A photo too large is refused by the row before any decoder is asked.
        if (grid && one.outcome.status != RowOutcome::TooLarge) {
            const Loaded whole = load(path, box, resampling, cores, true);
            std::snprintf(label, sizeof label, "%s, box %d, whole on %d cores", name(resampling),
                          box, cores);
            compare(label, one, whole, oneCore);
        }
    }
    return 0;
}
