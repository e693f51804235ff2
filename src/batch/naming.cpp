#include "batch/naming.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace Naming {

QString withoutPathCharacters(const QString &text)
{
    static const QRegularExpression pathCharacters(QStringLiteral("[:\\\\/\\x{0}]"));
    QString cleaned = text;
    return cleaned.remove(pathCharacters);
}

QString effectivePattern(const QString &pattern)
{
    QString result = withoutPathCharacters(pattern);
    if (!result.contains(QLatin1String("%1")))
        result += QLatin1String("%1");
    return result;
}

QString newBaseName(bool rename, const QString &effectivePattern, int row, const QFileInfo &source)
{
    if (!rename)
        return source.baseName();
    return effectivePattern.arg(QString::asprintf("%03d", row));
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
