// libFuzzer target: any pattern, row and source name must give one file name inside the
// destination folder, ending in the chosen output format's suffix where one is chosen.
#include "batch/batchplan.h"
#include "batch/naming.h"

#include <QDir>
#include <QFileInfo>

#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    // Byte 0: rename or not, and the output format; bytes 1-2: the row; then
    // "pattern\0source name".
    const bool rename = data[0] & 1;
    static const char *const formats[] = {"", "jpg", "png", "webp", "heic", "avif"};
    const QByteArray format = formats[(data[0] >> 1) % 6];
    const int row = data[1] << 8 | data[2];
    const QString rest = QString::fromUtf8(reinterpret_cast<const char *>(data + 3), int(size - 3));
    const int split = rest.indexOf(QChar(0));
    const QString pattern = split < 0 ? rest : rest.left(split);
    QString name = split < 0 ? QStringLiteral("photo.jpg") : rest.mid(split + 1);
    name.remove(QChar('/')).remove(QChar(0)); // a file name, as a file manager would hand it over
    if (name.isEmpty() || name == "." || name == "..")
        return 0;

    // The name for any row, from the naming functions the plan uses...
    const QFileInfo source(QStringLiteral("/nonexistent-photos/") + name);
    const QString newName =
        Naming::newBaseName(rename, Naming::effectivePattern(pattern), row, source);
    const QString fileName = Naming::outputFileName(newName, source.completeSuffix());
    check(!fileName.isEmpty() && fileName != "." && fileName != "..");
    check(!fileName.contains(QLatin1Char('/')) && !fileName.contains(QChar(0)));

    // ...and the plan's own path for it, as the first row.
    BatchSettings settings;
    settings.rename = rename;
    settings.pattern = pattern;
    settings.destination = QStringLiteral("/nonexistent-destination");
    settings.options.encoding.format = format;
    const PlannedRow planned = planBatch({source.filePath()}, settings).constFirst();
    if (planned.outputs[0].outcome.status != RowOutcome::Pending)
        return 0;
    check(QFileInfo(planned.outputs[0].path).absolutePath() == settings.destination);
    const QString planned0 = planned.outputs[0].path.mid(settings.destination.size() + 1);
    check(!planned0.isEmpty() && planned0 != "." && planned0 != ".." &&
          !planned0.contains(QLatin1Char('/')));
    check(!planned.options.encoding.format.isEmpty());
    check(format.isEmpty() ||
          (planned.options.encoding.format == format &&
           QFileInfo(planned.outputs[0].path).suffix() == QLatin1String(format)));
    return 0;
}
