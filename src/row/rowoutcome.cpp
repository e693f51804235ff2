#include "row/rowoutcome.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>

#include <cerrno>

RowOutcome RowOutcome::make(Status status, const QString &argument, const QString &systemError)
{
    RowOutcome outcome;
    outcome.status = status;
    outcome.argument = argument;
    outcome.systemError = systemError;
    return outcome;
}

static QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

RowOutcome RowOutcome::writeFailed(int code, const QString &systemText)
{
    QString why;
    switch (code) {
    case ENOSPC:
    case EDQUOT:
        why = tr("plus de place sur le disque");
        break;
    case EROFS:
        why = tr("disque en lecture seule");
        break;
    case EACCES:
    case EPERM:
        why = tr("accès refusé");
        break;
    case ENOENT:
        why = tr("dossier de destination introuvable");
        break;
    case ENAMETOOLONG:
        why = tr("nom de fichier trop long");
        break;
    case EIO:
        why = tr("erreur d'entrée/sortie du disque");
        break;
    default:
        return make(WriteFailed, systemText);
    }
    return make(WriteFailed, why, systemText);
}

QString RowOutcome::reason() const
{
    switch (status) {
    case Unreadable:
        return tr("illisible ou format non reconnu");
    case Damaged:
        return tr("fichier endommagé ou incomplet");
    case TooLarge:
        return tr("image trop grande (%1 × %2 pixels)")
            .arg(imageSize.width())
            .arg(imageSize.height());
    case NoSuffix:
        return tr("pas d'extension : format d'écriture inconnu");
    case UnsupportedFormat:
        return tr("format d'écriture « %1 » non pris en charge").arg(argument);
    case WriteFailed:
        return tr("écriture impossible : %1").arg(argument);
    case DuplicateOutput:
        return tr("même fichier de sortie que %1").arg(QDir::toNativeSeparators(argument));
    case OverwritesListed:
        return tr("écraserait l'image %1 de la liste").arg(QDir::toNativeSeparators(argument));
    case MultipleImages:
        return tr("%1 images ou pages : le format d'écriture « %2 » n'en garderait qu'une")
            .arg(imageCount)
            .arg(argument);
    case Pending:
    case Written:
    case NotStarted:
        break;
    }
    return QString();
}

QString RowOutcome::warning() const
{
    if (status == Written && metadataNotCopied)
        return tr("métadonnées non copiées");
    return QString();
}

namespace {

QString number(qint64 value)
{
    return QLocale(QLocale::French).toString(value);
}

} // namespace

QString RowOutcome::frenchSize(qint64 bytes)
{
    if (bytes < 1000)
        return tr("%1 octets").arg(bytes);
    const char *const units[] = {"Ko", "Mo", "Go"};
    double value = bytes / 1000.0;
    int unit = 0;
    for (; value >= 999.95 && unit < 2; ++unit)
        value /= 1000;
    QString text = QLocale(QLocale::French).toString(value, 'f', value < 99.95 ? 1 : 0);
    if (text.endsWith(QLatin1String(",0")))
        text.chop(2);
    return QStringLiteral("%1 %2").arg(text, tr(units[unit]));
}

QString RowOutcome::remark() const
{
    if (status != Written)
        return QString();
    QStringList parts;
    const QString pixels = limitedTo.isValid() ? tr("%1 × %2").arg(number(limitedTo.width()),
                                                                   number(limitedTo.height()))
                                               : QString();
    if (overLimit)
        parts.append(tr("ne tient pas dans %1 même à %2 : écrite en %3")
                         .arg(frenchSize(limitBytes), pixels, frenchSize(outputBytes)));
    else if (limitedTo.isValid())
        parts.append(tr("réduite à %1 pour tenir dans %2").arg(pixels, frenchSize(limitBytes)));
    return (parts + notes).join(QLatin1String(", "));
}
