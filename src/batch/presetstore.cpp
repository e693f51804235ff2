#include "batch/presetstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <utility>

namespace {

const QString GroupPrefix = QStringLiteral("preset");
const QString VersionKey = QStringLiteral("version");
const QString StartKey = QStringLiteral("startWithLast");
const QString LastKey = QStringLiteral("lastChosen");

const std::pair<Quality, const char *> Qualities[] = {
    {Quality::Normal, "normal"},
    {Quality::Maximum, "maximum"},
    {Quality::High, "high"},
    {Quality::Compact, "compact"},
};
const std::pair<Side, const char *> Sides[] = {
    {Side::Longest, "longest"},
    {Side::Width, "width"},
    {Side::Height, "height"},
};
const std::pair<Frame, const char *> Frames[] = {
    {Frame::Whole, "whole"},  {Frame::Square, "square"},  {Frame::Ratio4x5, "4:5"},
    {Frame::Ratio3x2, "3:2"}, {Frame::Ratio16x9, "16:9"},
};
const std::pair<MetadataKeep, const char *> Keeps[] = {
    {MetadataKeep::All, "all"},
    {MetadataKeep::NoLocation, "nolocation"},
    {MetadataKeep::ColourOnly, "none"},
};
const char *const Formats[] = {"jpg", "png", "webp", "heic", "avif", "jxl"};
const int ExtraSizes[] = {320, 640, 1280, 1920, 2560};

template <typename Value, size_t N>
QString nameOf(const std::pair<Value, const char *> (&names)[N], Value value)
{
    for (const auto &each : names)
        if (each.first == value)
            return QString::fromLatin1(each.second);
    return QString::fromLatin1(names[0].second);
}

// A name this version does not know reads as the start value, the table's first.
template <typename Value, size_t N>
Value valueOf(const std::pair<Value, const char *> (&names)[N], const QVariant &name)
{
    for (const auto &each : names)
        if (name.toString() == QLatin1String(each.second))
            return each.first;
    return names[0].first;
}

bool flag(const QSettings &settings, const QString &key)
{
    const QString text = settings.value(key).toString();
    return text == QLatin1String("true") || text == QLatin1String("1");
}

// Whole numbers only: "abc" or "12,5" read as absent.
int number(const QSettings &settings, const QString &key, int absent)
{
    bool ok = false;
    const int value = settings.value(key).toString().trimmed().toInt(&ok);
    return ok ? value : absent;
}

QStringList extraSizeNames(const QVector<int> &sizes)
{
    QStringList names;
    for (const int size : sizes)
        names.append(QString::number(size));
    return names;
}

QVector<int> knownExtraSizes(const QVariant &value)
{
    // "320, 640" reads as a list; "320" alone as a text.
    QStringList names;
    const QStringList parts = value.toStringList();
    for (const QString &part : parts)
        names += part.split(QLatin1Char(','));
    QVector<int> sizes;
    for (const int size : ExtraSizes)
        for (const QString &name : names)
            if (name.trimmed() == QString::number(size) && !sizes.contains(size))
                sizes.append(size);
    return sizes;
}

QByteArray knownFormat(const QVariant &value)
{
    const QByteArray format = value.toString().toLower().toLatin1();
    for (const char *known : Formats)
        if (format == known)
            return format;
    return QByteArray();
}

void writeOptions(QSettings &settings, const Preset &preset)
{
    const OutputOptions &options = preset.settings.options;
    settings.setValue(QStringLiteral("name"), preset.name);
    settings.setValue(QStringLiteral("size"), options.geometry.size);
    settings.setValue(QStringLiteral("smooth"), options.geometry.resampling == Resampling::Smooth);
    settings.setValue(QStringLiteral("format"), QString::fromLatin1(options.encoding.format));
    settings.setValue(QStringLiteral("quality"), nameOf(Qualities, options.encoding.quality));
    settings.setValue(QStringLiteral("maxKo"), int(options.encoding.maxBytes / 1000));
    settings.setValue(QStringLiteral("jpegBaseline"), options.encoding.baseline);
    settings.setValue(QStringLiteral("side"), nameOf(Sides, options.geometry.side));
    settings.setValue(QStringLiteral("frame"), nameOf(Frames, options.geometry.frame));
    settings.setValue(QStringLiteral("subject"), options.geometry.subject);
    settings.setValue(QStringLiteral("extraSizes"), extraSizeNames(options.geometry.extraSizes));
    settings.setValue(QStringLiteral("metadata"), nameOf(Keeps, options.carrying.metadata));
    settings.setValue(QStringLiteral("srgb"), options.carrying.srgb);
    settings.setValue(QStringLiteral("noEnlarge"), !options.geometry.enlarge);
    settings.setValue(QStringLiteral("keepDate"), options.carrying.keepDate);
    settings.setValue(QStringLiteral("subfolders"), preset.subfolders);
    settings.setValue(QStringLiteral("skipDone"), preset.settings.skipDone);
    const auto held = [&](const QString &key, bool holds, const QVariant &value) {
        if (holds)
            settings.setValue(key, value);
        else
            settings.remove(key);
    };
    held(QStringLiteral("rename"), preset.holdsPattern, preset.settings.rename);
    held(QStringLiteral("pattern"), preset.holdsPattern, preset.settings.pattern);
    held(QStringLiteral("destination"), preset.holdsDestination, preset.settings.destination);
}

Preset readOptions(const QSettings &settings)
{
    Preset preset;
    OutputOptions &options = preset.settings.options;
    preset.name = settings.value(QStringLiteral("name")).toString();
    options.geometry.size = number(settings, QStringLiteral("size"), options.geometry.size);
    options.geometry.resampling =
        flag(settings, QStringLiteral("smooth")) ? Resampling::Smooth : Resampling::Nearest;
    options.encoding.format = knownFormat(settings.value(QStringLiteral("format")));
    options.encoding.quality = valueOf(Qualities, settings.value(QStringLiteral("quality")));
    options.encoding.maxBytes = qint64(number(settings, QStringLiteral("maxKo"), 0)) * 1000;
    options.encoding.baseline = flag(settings, QStringLiteral("jpegBaseline"));
    options.geometry.side = valueOf(Sides, settings.value(QStringLiteral("side")));
    options.geometry.frame = valueOf(Frames, settings.value(QStringLiteral("frame")));
    options.geometry.subject =
        flag(settings, QStringLiteral("subject")) && options.geometry.frame != Frame::Whole;
    options.geometry.extraSizes = knownExtraSizes(settings.value(QStringLiteral("extraSizes")));
    options.carrying.metadata = valueOf(Keeps, settings.value(QStringLiteral("metadata")));
    options.carrying.srgb = flag(settings, QStringLiteral("srgb"));
    options.geometry.enlarge = !flag(settings, QStringLiteral("noEnlarge"));
    options.carrying.keepDate = flag(settings, QStringLiteral("keepDate"));
    preset.subfolders = flag(settings, QStringLiteral("subfolders"));
    preset.settings.skipDone = flag(settings, QStringLiteral("skipDone"));
    preset.holdsPattern = settings.contains(QStringLiteral("pattern"));
    preset.settings.rename = flag(settings, QStringLiteral("rename"));
    preset.settings.pattern = settings.value(QStringLiteral("pattern")).toString();
    preset.holdsDestination = settings.contains(QStringLiteral("destination"));
    preset.settings.destination = settings.value(QStringLiteral("destination")).toString();
    return preset;
}

// UTF-8, so that accented names read as written; Qt 6 writes nothing else.
void useUtf8(QSettings &settings)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    settings.setIniCodec("UTF-8");
#else
    Q_UNUSED(settings)
#endif
}

// What a file that is there says of itself, before the toolkit parses it.
PresetStore::State fileState(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return PresetStore::State::Unreadable;
    const QByteArray bytes = file.read(1 << 20);
    const bool utf8 = QString::fromUtf8(bytes).toUtf8() == bytes;
    if (bytes.contains('\0') || !utf8 || !file.atEnd())
        return PresetStore::State::Damaged;
    return PresetStore::State::Usable;
}

} // namespace

PresetStore::PresetStore(const QString &path) : m_path(path)
{
    if (!QFileInfo::exists(path))
        return;
    m_state = fileState(path);
    if (m_state != State::Usable)
        return;
    QSettings settings(path, QSettings::IniFormat);
    useUtf8(settings);
    if (settings.status() != QSettings::NoError) {
        m_state = settings.status() == QSettings::AccessError ? State::Unreadable : State::Damaged;
        return;
    }
    const int version = number(settings, VersionKey, settings.contains(VersionKey) ? -1 : 0);
    if (version < 0)
        m_state = State::Damaged;
    else if (version > Version)
        m_state = State::Later;
}

QString PresetStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1String("/parvimage/parvimage.ini");
}

QStringList PresetStore::names() const
{
    if (m_state != State::Usable || !QFileInfo::exists(m_path))
        return QStringList();
    QSettings settings(m_path, QSettings::IniFormat);
    useUtf8(settings);
    QStringList names;
    const QStringList groups = settings.childGroups();
    for (const QString &group : groups) {
        const QString name = settings.value(group + QLatin1String("/name")).toString().trimmed();
        if (group.startsWith(GroupPrefix) && !name.isEmpty() && !names.contains(name))
            names.append(name);
    }
    names.sort(Qt::CaseInsensitive);
    return names;
}

QString PresetStore::groupOf(const QString &name) const
{
    QSettings settings(m_path, QSettings::IniFormat);
    useUtf8(settings);
    const QStringList groups = settings.childGroups();
    for (const QString &group : groups)
        if (group.startsWith(GroupPrefix) &&
            settings.value(group + QLatin1String("/name")).toString().trimmed() == name)
            return group;
    return QString();
}

std::optional<Preset> PresetStore::preset(const QString &name) const
{
    const QString group = m_state == State::Usable ? groupOf(name) : QString();
    if (group.isEmpty())
        return std::nullopt;
    QSettings settings(m_path, QSettings::IniFormat);
    useUtf8(settings);
    settings.beginGroup(group);
    Preset preset = readOptions(settings);
    preset.name = name;
    return preset;
}

template <typename Change> PresetStore::Written PresetStore::write(Change change)
{
    if (m_state != State::Usable)
        return Written::NotOurs;
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QSettings settings(m_path, QSettings::IniFormat);
    useUtf8(settings);
    settings.setValue(VersionKey, Version);
    change(settings);
    settings.sync();
    return settings.status() == QSettings::NoError ? Written::Done : Written::Failed;
}

PresetStore::Written PresetStore::save(const Preset &preset)
{
    QString group = groupOf(preset.name.trimmed());
    return write([&](QSettings &settings) {
        for (int i = 1; group.isEmpty(); ++i)
            if (!settings.childGroups().contains(GroupPrefix + QString::number(i)))
                group = GroupPrefix + QString::number(i);
        settings.beginGroup(group);
        Preset named = preset;
        named.name = preset.name.trimmed();
        writeOptions(settings, named);
        settings.endGroup();
    });
}

PresetStore::Written PresetStore::remove(const QString &name)
{
    const QString group = groupOf(name);
    return write([&](QSettings &settings) {
        if (!group.isEmpty())
            settings.remove(group);
        if (settings.value(LastKey).toString() == name)
            settings.remove(LastKey);
    });
}

bool PresetStore::startsWithLast() const
{
    if (m_state != State::Usable || !QFileInfo::exists(m_path))
        return false;
    QSettings settings(m_path, QSettings::IniFormat);
    useUtf8(settings);
    return flag(settings, StartKey);
}

PresetStore::Written PresetStore::setStartsWithLast(bool on, const QString &chosen)
{
    return write([&](QSettings &settings) {
        settings.setValue(StartKey, on);
        if (on && !chosen.isEmpty())
            settings.setValue(LastKey, chosen);
    });
}

std::optional<Preset> PresetStore::startingPreset() const
{
    if (!startsWithLast())
        return std::nullopt;
    QSettings settings(m_path, QSettings::IniFormat);
    useUtf8(settings);
    return preset(settings.value(LastKey).toString());
}

PresetStore::Written PresetStore::setChosen(const QString &name)
{
    if (!startsWithLast())
        return Written::Done;
    return write([&](QSettings &settings) { settings.setValue(LastKey, name); });
}
