#include "batch/batchplan.h"

#include "batch/naming.h"
#include "row/imageresizer.h"
#include "system/filetime.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <algorithm>

namespace {

// One spelling per file, so that two names for the same file compare equal. Each folder is
// resolved once: resolving every path walks each of its folders again, which was most of the
// cost of planning a long list.
class FileKeys
{
public:
    QString of(const QString &path)
    {
        const QFileInfo info(path);
        if (info.isSymLink()) {
            const QString canonical = info.canonicalFilePath();
            if (!canonical.isEmpty())
                return canonical;
        }
        return QDir::cleanPath(folder(info.absolutePath()) + QLatin1Char('/') + info.fileName());
    }

private:
    QString folder(const QString &absolute)
    {
        auto known = m_folders.constFind(absolute);
        if (known == m_folders.cend()) {
            const QString canonical = QFileInfo(absolute).canonicalFilePath();
            known = m_folders.insert(absolute, canonical.isEmpty() ? absolute : canonical);
        }
        return *known;
    }

    QHash<QString, QString> m_folders;
};

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
                   const QString &pattern, const QString &folder, const Capture *capture,
                   int size = 0)
{
    const QFileInfo info(source);
    QString newName = Naming::newBaseName(settings.rename, pattern, row, info, capture);
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

bool notOlder(const FileTime::Stamp &output, const FileTime::Stamp &source)
{
    return output.valid &&
           (output.seconds > source.seconds ||
            (output.seconds == source.seconds && output.nanoseconds >= source.nanoseconds));
}

// Every output there already and not older than the source: the time kept from the source
// ("Conserver la date") makes an output exactly as old as it. A row written over its own source
// cannot tell, and is always done.
void skipIfDone(PlannedRow *row)
{
    if (row->replacesSource || !row->hasWork())
        return;
    const FileTime::Stamp source = FileTime::modified(row->source);
    if (!source.valid)
        return;
    for (const PlannedOutput &output : qAsConst(row->outputs))
        if (output.outcome.status != RowOutcome::Pending ||
            !notOlder(FileTime::modified(output.path), source))
            return;
    for (PlannedOutput &output : row->outputs)
        output.outcome = RowOutcome::make(RowOutcome::AlreadyDone);
}

QVector<Capture> capturesFor(const QStringList &sources, const BatchSettings &settings,
                             const QVector<Capture> &given)
{
    if (!settings.rename || !Naming::usesCapture(settings.pattern) ||
        given.size() == sources.size())
        return given;
    QVector<Capture> captures;
    captures.reserve(sources.size());
    for (const QString &source : sources)
        captures.append(Capture::read(source));
    return captures;
}

// The listed sources and the outputs claimed so far, by one spelling of each file.
class Claims
{
public:
    explicit Claims(const QStringList &sources) : m_sources(sources)
    {
        for (const QString &source : sources)
            m_sourceKeys.append(m_keys.of(source));
        for (int i = sources.size() - 1; i >= 0; --i)
            m_rowOfSource.insert(m_sourceKeys.at(i), i);
    }

    // Claims `output` for row `row`, or says which other file stands in the way.
    RowOutcome claim(const QString &output, int row, bool *replacesSource)
    {
        const QString key = m_keys.of(output);
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
    FileKeys m_keys;
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
                              const QStringList &subfolders, const QVector<Capture> &given)
{
    const QVector<Capture> captures = capturesFor(sources, settings, given);
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
            row.outputs.append({outputPath(row.source, i, settings, pattern, folder,
                                           captures.isEmpty() ? nullptr : &captures.at(i),
                                           each == size ? 0 : each),
                                each, RowOutcome()});
        const RowOutcome format =
            formatOutcome(row.outputs.first().path, writable, &row.options.encoding.format);
        for (PlannedOutput &output : row.outputs)
            output.outcome = format.status == RowOutcome::Pending
                                 ? claims.claim(output.path, i, &row.replacesSource)
                                 : format;
        if (settings.skipDone)
            skipIfDone(&row);
        plan.append(row);
    }
    return plan;
}

bool replacesASource(const QVector<PlannedRow> &plan)
{
    return std::any_of(plan.cbegin(), plan.cend(),
                       [](const PlannedRow &row) { return row.replacesSource; });
}
