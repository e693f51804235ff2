#include "batch/naming.h"

#include "row/capture.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace Naming {

QString withoutPathCharacters(const QString &text)
{
    static const QRegularExpression pathCharacters(QStringLiteral("[:\\\\/\\x{0}]"));
    QString cleaned = text;
    return cleaned.remove(pathCharacters);
}

QString withoutForbiddenCharacters(const QString &text)
{
    static const QRegularExpression forbidden(QStringLiteral("[<>:\"/\\\\|?*\\x{0}-\\x{1f}]"));
    static const QRegularExpression ends(QStringLiteral("^[ .]+|[ .]+$"));
    QString cleaned = text;
    return cleaned.remove(forbidden).remove(ends);
}

namespace {

const QLatin1String DateToken("{date}"), TimeToken("{heure}"), ModelToken("{appareil}"),
    NameToken("{nom}");

// A token's value; a capture token stays as typed where no capture was read.
QString tokenValue(const QString &token, const QFileInfo &source, const Capture *capture)
{
    if (token == NameToken)
        return source.baseName();
    if (!capture)
        return token;
    if (token == DateToken)
        return capture->taken.toString(QStringLiteral("yyyy-MM-dd"));
    if (token == TimeToken)
        return capture->taken.toString(QStringLiteral("HH'h'mm'm'ss"));
    return withoutForbiddenCharacters(capture->model);
}

} // namespace

bool usesCapture(const QString &pattern)
{
    return pattern.contains(DateToken) || pattern.contains(TimeToken) ||
           pattern.contains(ModelToken);
}

QString effectivePattern(const QString &pattern)
{
    QString result = withoutPathCharacters(pattern);
    if (!result.contains(QLatin1String("%1")))
        result += QLatin1String("%1");
    return result;
}

QString newBaseName(bool rename, const QString &effectivePattern, int row, const QFileInfo &source,
                    const Capture *capture)
{
    if (!rename)
        return source.baseName();
    // Filled in after the number, so that a "%1" in a camera's model stays as it is.
    QString name = effectivePattern.arg(QString::asprintf("%03d", row));
    if (!name.contains(QLatin1Char('{')))
        return name;
    // One pass, so that a value holding a token's spelling is never filled in again.
    static const QRegularExpression tokens(QStringLiteral("\\{(?:date|heure|appareil|nom)\\}"));
    QString filled;
    int from = 0;
    for (auto it = tokens.globalMatch(name); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        filled += name.mid(from, match.capturedStart() - from);
        filled += tokenValue(match.captured(), source, capture);
        from = match.capturedEnd();
    }
    return filled + name.mid(from);
}

QString outputFileName(const QString &newName, const QString &completeSuffix)
{
    return newName + QLatin1Char('.') + completeSuffix;
}

QString convertedSuffix(const QString &completeSuffix, const QString &suffix)
{
    const int dot = completeSuffix.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? suffix : completeSuffix.left(dot + 1) + suffix;
}

QString pathInFolder(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

} // namespace Naming
