#include "batchreport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

QString detailLine(const QString &source, const RowOutcome &outcome)
{
    QString line =
        QStringLiteral("%1 : %2").arg(QDir::toNativeSeparators(source), outcome.reason());
    if (!outcome.systemError.isEmpty() && !line.contains(outcome.systemError))
        line += QStringLiteral(" (%1)").arg(outcome.systemError);
    return line;
}

QString failureText(int written, int total, const QStringList &shortLines)
{
    QString text = tr("%1 image(s) redimensionnée(s) sur %2.").arg(written).arg(total);
    text += QLatin1String("\n\n") + tr("Les fichiers suivants n'ont pas été écrits :");
    for (int i = 0; i < qMin(shortLines.size(), BatchReport::MaxListedFailures); ++i)
        text += QLatin1Char('\n') + shortLines.at(i);
    const int more = shortLines.size() - BatchReport::MaxListedFailures;
    if (more > 0)
        text += QLatin1Char('\n') + tr("… et %1 autre(s).").arg(more);
    return text;
}

} // namespace

BatchReport BatchReport::make(const QVector<PlannedRow> &plan, const QVector<RowOutcome> &outcomes)
{
    int written = 0;
    bool cancelled = false;
    QStringList shortLines;
    QStringList detailLines;
    for (int i = 0; i < outcomes.size(); ++i) {
        const RowOutcome &outcome = outcomes.at(i);
        if (outcome.status == RowOutcome::Written)
            ++written;
        if (outcome.status == RowOutcome::NotStarted)
            cancelled = true;
        if (!outcome.isFailure())
            continue;
        const QString &source = plan.at(i).source;
        shortLines.append(
            QStringLiteral("%1 : %2").arg(QFileInfo(source).fileName(), outcome.reason()));
        detailLines.append(detailLine(source, outcome));
    }

    BatchReport report;
    if (!shortLines.isEmpty()) {
        report.kind = Errors;
        report.title = tr("Terminé avec des erreurs");
        report.text = failureText(written, outcomes.size(), shortLines);
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
