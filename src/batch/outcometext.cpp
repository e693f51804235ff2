#include "batch/outcometext.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QStringList>

namespace OutcomeText {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

QString number(qint64 value)
{
    return QLocale(QLocale::French).toString(value);
}

QString writeProblem(const RowOutcome &outcome)
{
    switch (outcome.writeProblem) {
    case RowOutcome::WriteProblem::NoSpace:
        return tr("plus de place sur le disque");
    case RowOutcome::WriteProblem::ReadOnly:
        return tr("disque en lecture seule");
    case RowOutcome::WriteProblem::Denied:
        return tr("accès refusé");
    case RowOutcome::WriteProblem::NoFolder:
        return tr("dossier de destination introuvable");
    case RowOutcome::WriteProblem::NameTooLong:
        return tr("nom de fichier trop long");
    case RowOutcome::WriteProblem::DiskError:
        return tr("erreur d'entrée/sortie du disque");
    case RowOutcome::WriteProblem::OutOfMemory:
        return tr("mémoire insuffisante");
    case RowOutcome::WriteProblem::Other:
        break;
    }
    return outcome.systemError;
}

QString note(RowOutcome::Note note)
{
    switch (note) {
    case RowOutcome::Note::HdrColoursKept:
        return tr("couleurs HDR (PQ ou HLG) laissées telles quelles");
    case RowOutcome::Note::ProfileUnreadable:
        return tr("profil de couleurs illisible : couleurs non converties en sRGB");
    case RowOutcome::Note::CopiedAsIs:
    case RowOutcome::Note::TurnedLossless:
    case RowOutcome::Note::Transcoded:
        break;
    }
    return QString();
}

QString damage(Formats::Damage damage)
{
    switch (damage) {
    case Formats::Damage::AlphaSize:
        return tr("fichier endommagé : la couche alpha n'a pas la taille de l'image");
    case Formats::Damage::CanvasSize:
        return tr("fichier endommagé : la grille ou la superposition ne correspond pas à la "
                  "taille déclarée de l'image");
    case Formats::Damage::CleanAperture:
        return tr("fichier endommagé : le recadrage (clap) sort de l'image ou n'en garde au "
                  "plus qu'un pixel");
    case Formats::Damage::Unspecified:
        break;
    }
    return tr("fichier endommagé ou incomplet");
}

} // namespace

QString reason(const RowOutcome &outcome)
{
    switch (outcome.status) {
    case RowOutcome::Unreadable:
        return tr("illisible ou format non reconnu");
    case RowOutcome::Damaged:
        return damage(outcome.damage);
    case RowOutcome::Changed:
        return tr("le fichier a changé pendant la lecture");
    case RowOutcome::TooLarge:
        return tr("image trop grande (%1 × %2 pixels)")
            .arg(outcome.imageSize.width())
            .arg(outcome.imageSize.height());
    case RowOutcome::NoSuffix:
        return tr("pas d'extension : format d'écriture inconnu");
    case RowOutcome::UnsupportedFormat:
        return tr("format d'écriture « %1 » non pris en charge").arg(outcome.suffix);
    case RowOutcome::WriteFailed:
        return tr("écriture impossible : %1").arg(writeProblem(outcome));
    case RowOutcome::DuplicateOutput:
        return tr("même fichier de sortie que %1")
            .arg(QDir::toNativeSeparators(outcome.otherSource));
    case RowOutcome::OverwritesListed:
        return tr("écraserait l'image %1 de la liste")
            .arg(QDir::toNativeSeparators(outcome.otherSource));
    case RowOutcome::MultipleImages:
        return tr("%1 images ou pages : le format d'écriture « %2 » n'en garderait qu'une")
            .arg(outcome.imageCount)
            .arg(outcome.suffix);
    case RowOutcome::Pending:
    case RowOutcome::Written:
    case RowOutcome::NotStarted:
    case RowOutcome::AlreadyDone:
        break;
    }
    return QString();
}

QString warning(const RowOutcome &outcome)
{
    if (outcome.status == RowOutcome::Written && !outcome.leftOut.isEmpty())
        return tr("métadonnées non copiées");
    return QString();
}

QString leftOut(LeftOut what)
{
    switch (what) {
    case LeftOut::Exif:
        return tr("EXIF");
    case LeftOut::Xmp:
        return tr("XMP");
    case LeftOut::Iptc:
        return tr("IPTC");
    case LeftOut::ExifUnreadable:
        return tr("EXIF illisibles");
    case LeftOut::ExifDirectoryLost:
        return tr("EXIF : répertoire Exif illisible, retiré");
    case LeftOut::ExifDimensions:
        return tr("EXIF : dimensions non corrigeables");
    case LeftOut::ExifNotWritten:
        return tr("EXIF non écrites");
    case LeftOut::ExifTooLarge:
        return tr("%1 trop grandes").arg(QLatin1String("EXIF"));
    case LeftOut::ExifWithLocation:
        return tr("EXIF (localisation non retirable)");
    case LeftOut::XmpUncorrectable:
        return tr("XMP non corrigeables");
    case LeftOut::XmpNotWritten:
        return tr("XMP non écrites");
    case LeftOut::XmpTooLarge:
        return tr("%1 trop grandes").arg(QLatin1String("XMP"));
    case LeftOut::XmpWithLocation:
        return tr("XMP (localisation non retirable)");
    case LeftOut::ExtendedXmp:
        return tr("XMP étendues");
    case LeftOut::IptcUnreadable:
        return tr("IPTC illisibles");
    case LeftOut::IptcTooLarge:
        return tr("%1 trop grandes").arg(QLatin1String("IPTC"));
    case LeftOut::IccProfile:
        return tr("profil ICC");
    case LeftOut::ColourDescription:
        return tr("description des couleurs (nclx)");
    case LeftOut::GainMap:
        return tr("carte de gain HDR");
    case LeftOut::PngChunks:
        return tr("EXIF et XMP");
    case LeftOut::TiffExif:
        return tr("%1 du TIFF").arg(QLatin1String("EXIF"));
    case LeftOut::TiffGps:
        return tr("%1 du TIFF").arg(QLatin1String("GPS"));
    case LeftOut::TiffXmp:
        return tr("%1 du TIFF").arg(QLatin1String("XMP"));
    case LeftOut::TiffIptc:
        return tr("%1 du TIFF").arg(QLatin1String("IPTC"));
    case LeftOut::ModificationDate:
        return tr("date de modification");
    }
    return QString();
}

QString leftOut(const RowOutcome &outcome)
{
    QStringList names;
    for (const LeftOut what : outcome.leftOut)
        names.append(leftOut(what));
    return names.join(QLatin1String(", "));
}

QString frenchSize(qint64 bytes)
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

QString remark(const RowOutcome &outcome)
{
    if (outcome.status != RowOutcome::Written)
        return QString();
    QStringList parts;
    const QString pixels = outcome.limitedTo.isValid()
                               ? tr("%1 × %2").arg(number(outcome.limitedTo.width()),
                                                   number(outcome.limitedTo.height()))
                               : QString();
    if (outcome.overLimit)
        parts.append(
            tr("ne tient pas dans %1 même à %2 : écrite en %3")
                .arg(frenchSize(outcome.limitBytes), pixels, frenchSize(outcome.outputBytes)));
    else if (outcome.limitedTo.isValid())
        parts.append(
            tr("réduite à %1 pour tenir dans %2").arg(pixels, frenchSize(outcome.limitBytes)));
    for (const RowOutcome::Note each : outcome.notes)
        if (!note(each).isEmpty())
            parts.append(note(each));
    return parts.join(QLatin1String(", "));
}

QString howWritten(const RowOutcome &outcome)
{
    if (outcome.notes.contains(RowOutcome::Note::CopiedAsIs))
        return tr("copiée telle quelle");
    if (outcome.notes.contains(RowOutcome::Note::TurnedLossless))
        return tr("tournée sans perte");
    if (outcome.notes.contains(RowOutcome::Note::Transcoded))
        return tr("convertie sans perte");
    return QString();
}

} // namespace OutcomeText
