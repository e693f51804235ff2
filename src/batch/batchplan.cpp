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

// The folder a row's outputs go to: beside the source, or under the destination at the
// source's place in a dropped tree.
QString outputFolder(const QString &source, const BatchSettings &settings, const QString &subfolder)
{
    if (settings.destination.isEmpty())
        return QFileInfo(source).absolutePath();
    if (subfolder.isEmpty())
        return settings.destination;
    return Naming::pathInFolder(settings.destination, subfolder);
}

// The output's path; `size`, where not 0, named before the last suffix for another size.
QString outputPath(const QString &source, int row, const BatchSettings &settings,
                   const QString &pattern, const QString &folder, int size = 0)
{
    const QFileInfo info(source);
    QString newName = Naming::newBaseName(settings.rename, pattern, row, info);
    if (size > 0)
        newName += QLatin1Char('-') + QString::number(size);
    // A source no writer writes in its own format (a camera raw) is written as its entry says.
    const QByteArray chosen = settings.options.encoding.format;
    const QByteArray format =
        chosen.isEmpty() ? ImageResizer::writtenAsFor(info.suffix().toLower().toUtf8()) : chosen;
    const QString suffix = format.isEmpty() ? info.completeSuffix()
                                            : Naming::convertedSuffix(info.completeSuffix(),
                                                                      QString::fromLatin1(format));
    return Naming::pathInFolder(folder, Naming::outputFileName(newName, suffix));
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

namespace {

// The listed sources and the outputs claimed so far, by one spelling of each file.
class Claims
{
public:
    explicit Claims(const QStringList &sources) : m_sources(sources)
    {
        for (const QString &source : sources)
            m_sourceKeys.append(fileKey(source));
        for (int i = sources.size() - 1; i >= 0; --i)
            m_rowOfSource.insert(m_sourceKeys.at(i), i);
    }

    // Claims `output` for row `row`, or says which other file stands in the way.
    RowOutcome claim(const QString &output, int row, bool *replacesSource)
    {
        const QString key = fileKey(output);
        const auto claimed = m_claimedBy.constFind(key);
        const auto listed = m_rowOfSource.constFind(key);
        RowOutcome outcome;
        if (claimed != m_claimedBy.cend()) {
            outcome = RowOutcome::make(RowOutcome::DuplicateOutput);
            outcome.otherSource = m_sources.at(*claimed);
        } else if (listed != m_rowOfSource.cend() && key != m_sourceKeys.at(row)) {
            outcome = RowOutcome::make(RowOutcome::OverwritesListed);
            outcome.otherSource = m_sources.at(*listed);
        } else {
            m_claimedBy.insert(key, row);
            *replacesSource |= key == m_sourceKeys.at(row);
        }
        return outcome;
    }

private:
    const QStringList &m_sources;
    QStringList m_sourceKeys;
    QHash<QString, int> m_rowOfSource;
    QHash<QString, int> m_claimedBy;
};

// The other sizes asked, each once and none the slider's own.
QVector<int> extraSizes(const Geometry &geometry)
{
    QVector<int> sizes;
    for (const int size : geometry.extraSizes)
        if (size > 0 && size != geometry.size && !sizes.contains(size))
            sizes.append(size);
    return sizes;
}

} // namespace

QVector<PlannedRow> planBatch(const QStringList &sources, const BatchSettings &settings,
                              const QStringList &subfolders)
{
    const QString pattern = Naming::effectivePattern(settings.pattern);
    // Asked once: the toolkit looks through its plugins every time.
    const QList<QByteArray> writable = ImageResizer::writableFormats();
    const int size = settings.options.geometry.size;
    const QVector<int> sizes = QVector<int>{size} + extraSizes(settings.options.geometry);
    QVector<PlannedRow> plan;
    plan.reserve(sources.size());
    Claims claims(sources);
    for (int i = 0; i < sources.size(); ++i) {
        PlannedRow row;
        row.source = sources.at(i);
        row.options = settings.options;
        const QString subfolder = subfolders.value(i);
        const QString folder = outputFolder(row.source, settings, subfolder);
        if (!settings.destination.isEmpty() && !subfolder.isEmpty())
            row.foldersUnder = settings.destination;
        for (const int each : sizes)
            row.outputs.append(
                {outputPath(row.source, i, settings, pattern, folder, each == size ? 0 : each),
                 each, RowOutcome()});
        const RowOutcome format =
            formatOutcome(row.outputs.first().path, writable, &row.options.encoding.format);
        for (PlannedOutput &output : row.outputs)
            output.outcome = format.status == RowOutcome::Pending
                                 ? claims.claim(output.path, i, &row.replacesSource)
                                 : format;
        plan.append(row);
    }
    return plan;
}

bool replacesASource(const QVector<PlannedRow> &plan)
{
    return std::any_of(plan.cbegin(), plan.cend(),
                       [](const PlannedRow &row) { return row.replacesSource; });
}
