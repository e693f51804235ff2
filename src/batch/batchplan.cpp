#include "batch/batchplan.h"

#include "batch/naming.h"
#include "row/imageresizer.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <algorithm>

namespace {

// One spelling per file, so that two names for the same file compare equal.
QString fileKey(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString dir = QFileInfo(info.absolutePath()).canonicalFilePath();
    return QDir::cleanPath((dir.isEmpty() ? info.absolutePath() : dir) + QLatin1Char('/') +
                           info.fileName());
}

QString outputPath(const QString &source, int row, const BatchSettings &settings,
                   const QString &pattern)
{
    const QFileInfo info(source);
    const QString newName = Naming::newBaseName(settings.rename, pattern, row, info);
    // A source no writer writes in its own format (a camera raw) is written as its entry says.
    const QByteArray format = settings.outputFormat.isEmpty()
                                  ? ImageResizer::writtenAsFor(info.suffix().toLower().toUtf8())
                                  : settings.outputFormat;
    const QString suffix = format.isEmpty() ? info.completeSuffix()
                                            : Naming::convertedSuffix(info.completeSuffix(),
                                                                      QString::fromLatin1(format));
    const QString name = Naming::outputFileName(newName, suffix);
    return Naming::pathInFolder(
        settings.destination.isEmpty() ? info.absolutePath() : settings.destination, name);
}

RowOutcome formatOutcome(const QString &output, const QList<QByteArray> &writable,
                         QByteArray *format)
{
    const QString suffix = QFileInfo(output).suffix();
    if (suffix.isEmpty())
        return RowOutcome::make(RowOutcome::NoSuffix);
    *format = suffix.toLower().toUtf8();
    if (!writable.contains(*format)) {
        RowOutcome unsupported = RowOutcome::make(RowOutcome::UnsupportedFormat);
        unsupported.suffix = suffix;
        return unsupported;
    }
    return RowOutcome();
}

} // namespace

QVector<PlannedRow> planBatch(const QStringList &sources, const BatchSettings &settings)
{
    const QString pattern = Naming::effectivePattern(settings.pattern);
    // Asked once: the toolkit looks through its plugins every time.
    const QList<QByteArray> writable = ImageResizer::writableFormats();
    QVector<PlannedRow> plan(sources.size());
    QStringList sourceKeys;
    QHash<QString, int> rowOfSource;
    for (const QString &source : sources)
        sourceKeys.append(fileKey(source));
    for (int i = sources.size() - 1; i >= 0; --i)
        rowOfSource.insert(sourceKeys.at(i), i);

    QHash<QString, int> claimedBy;
    for (int i = 0; i < sources.size(); ++i) {
        PlannedRow &row = plan[i];
        row.source = sources.at(i);
        row.resampling = settings.resampling;
        row.quality = settings.quality;
        row.enlarge = settings.enlarge;
        row.keepDate = settings.keepDate;
        row.maxBytes = settings.maxBytes;
        row.metadata = settings.metadata;
        row.srgb = settings.srgb;
        row.output = outputPath(row.source, i, settings, pattern);
        row.outcome = formatOutcome(row.output, writable, &row.format);
        if (row.outcome.status != RowOutcome::Pending)
            continue;
        const QString key = fileKey(row.output);
        const auto claimed = claimedBy.constFind(key);
        const auto listed = rowOfSource.constFind(key);
        if (claimed != claimedBy.cend()) {
            row.outcome = RowOutcome::make(RowOutcome::DuplicateOutput);
            row.outcome.otherSource = sources.at(*claimed);
        } else if (listed != rowOfSource.cend() && key != sourceKeys.at(i)) {
            row.outcome = RowOutcome::make(RowOutcome::OverwritesListed);
            row.outcome.otherSource = sources.at(*listed);
        } else {
            claimedBy.insert(key, i);
            row.replacesSource = key == sourceKeys.at(i);
        }
    }
    return plan;
}

bool replacesASource(const QVector<PlannedRow> &plan)
{
    return std::any_of(plan.cbegin(), plan.cend(),
                       [](const PlannedRow &row) { return row.replacesSource; });
}
