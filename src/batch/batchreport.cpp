#include "batch/batchreport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

QString detailLine(const QString &source, const QString &why, const QString &systemError)
{
    QString line = QStringLiteral("%1 : %2").arg(QDir::toNativeSeparators(source), why);
    if (!systemError.isEmpty() && !line.contains(systemError))
        line += QStringLiteral(" (%1)").arg(systemError);
    return line;
}

QString section(const QString &heading, const QStringList &lines)
{
    if (lines.isEmpty())
        return QString();
    QString text = QLatin1String("\n\n") + heading;
    for (int i = 0; i < qMin(lines.size(), BatchReport::MaxListedFailures); ++i)
        text += QLatin1Char('\n') + lines.at(i);
    const int more = lines.size() - BatchReport::MaxListedFailures;
    if (more > 0)
        text += QLatin1Char('\n') + tr("… et %1 autre(s).").arg(more);
    return text;
}

} // namespace

BatchReport BatchReport::make(const QVector<PlannedRow> &plan, const QVector<RowOutcome> &outcomes)
{
    int written = 0;
    bool cancelled = false;
    QStringList failures, warnings, detailLines;
    for (int i = 0; i < outcomes.size(); ++i) {
        const RowOutcome &outcome = outcomes.at(i);
        written += outcome.status == RowOutcome::Written;
        cancelled |= outcome.status == RowOutcome::NotStarted;
        const QString why = outcome.isFailure() ? outcome.reason() : outcome.warning();
        if (why.isEmpty())
            continue;
        const QString &source = plan.at(i).source;
        (outcome.isFailure() ? failures : warnings)
            .append(QStringLiteral("%1 : %2").arg(QFileInfo(source).fileName(), why));
        detailLines.append(detailLine(source, why, outcome.systemError));
    }

    BatchReport report;
    if (!failures.isEmpty() || !warnings.isEmpty()) {
        report.kind = Errors;
        report.title = failures.isEmpty() ? tr("Terminé avec des avertissements")
                                          : tr("Terminé avec des erreurs");
        report.text =
            tr("%1 image(s) redimensionnée(s) sur %2.").arg(written).arg(outcomes.size()) +
            section(tr("Les fichiers suivants n'ont pas été écrits :"), failures) +
            section(tr("Les fichiers suivants ont été écrits sans leurs métadonnées :"), warnings);
        report.details = detailLines.join(QLatin1Char('\n'));
    } else if (cancelled) {
        report.kind = Interrupted;
        report.title = tr("Interrompu");
        report.text = tr("Redimensionnement interrompu : %1 image(s) redimensionnée(s) sur %2.")
                          .arg(written)
                          .arg(outcomes.size());
    } else {
        report.title = tr("Terminé");
        report.text = tr("Le redimensionnement des images s'est effectué avec succés.");
    }
    return report;
}
