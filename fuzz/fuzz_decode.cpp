// libFuzzer target: any bytes as an image file, through the same load and scale as a row, then
// through a whole row converting it, metadata and all.
#include "batch/outcometext.h"
#include "formats/registry.h"
#include "resample/geometry.h"
#include "row/imageresizer.h"
#include "rowload.h"

#include <QCoreApplication>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

QTemporaryDir *folder = nullptr;

// A row written into another format, at the size it would be, or refused with a reason.
void convert(const QString &path, int box, size_t size)
{
    static const char *const formats[] = {"jpg", "png", "webp"};
    const QString output =
        folder->filePath(QStringLiteral("output.") + QLatin1String(formats[size / 320 % 3]));
    PlannedRow row = PlannedRow::single(path, output, box);
    row.options.geometry.enlarge = size / 960 % 2 == 0;
    QFile::remove(output);
    const RowOutcome outcome = ImageResizer::processRow(row);
    if (outcome.status == RowOutcome::Written) {
        const QSize written = QImageReader(output).size();
        if (!written.isValid() || qMax(written.width(), written.height()) > box)
            std::abort();
    } else if (OutcomeText::reason(outcome).isEmpty() || QFile::exists(output)) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    Formats::initialiseLibraries();
    static QCoreApplication app(*argc, *argv); // the image plugins are found through it
    folder = new QTemporaryDir(QDir::tempPath() + "/parvimage-fuzz-XXXXXX");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The length picks the box and the resampling, so enlargements and reductions, nearest and
    // smooth, all get their turn and every seed stays the valid file it was.
    const int box = 1 + int(size % 160);
    const Resampling resampling = size / 160 % 2 ? Resampling::Smooth : Resampling::Nearest;
    // Half of what looks like a TIFF goes to the camera raw decoder, which knows raws by name.
    const QByteArray head(reinterpret_cast<const char *>(data), int(qMin<size_t>(size, 4)));
    const bool tiffLike = head == QByteArray("II*\0", 4) || head == QByteArray("MM\0*", 4);
    const QString path = folder->filePath(tiffLike && size % 2 ? "input.dng" : "input");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();

    RowOutcome outcome;
    const QImage scaled = RowLoad::scaled(path, box, &outcome, resampling);
    // Either an image that fits the box, or a reason; never both, never neither.
    if (scaled.isNull() == (outcome.status == RowOutcome::Pending))
        std::abort();
    if (!scaled.isNull() &&
        (qMax(scaled.width(), scaled.height()) != box || scaled.width() < 1 || scaled.height() < 1))
        std::abort();
    if (scaled.isNull() && OutcomeText::reason(outcome).isEmpty())
        std::abort();
    if (!scaled.isNull())
        convert(path, box, size);
    return 0;
}
