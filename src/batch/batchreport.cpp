#include "batch/batchreport.h"

#include "batch/outcometext.h"

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

// "12 images : 48,3 Mo → 2,1 Mo (−96 %)"
QString savings(int count, qint64 before, qint64 after)
{
    if (count == 0)
        return QString();
    const qint64 change = before > 0 ? qRound64((after - before) * 100.0 / before) : 0;
    const QString percent = change < 0 ? QString(QChar(0x2212)) + QString::number(-change)
                                       : QLatin1Char('+') + QString::number(change);
    const QString images = count == 1 ? tr("1 image") : tr("%1 images").arg(count);
    return tr("%1 : %2 → %3 (%4 %)")
        .arg(images, OutcomeText::frenchSize(before), OutcomeText::frenchSize(after), percent);
}

QString sizeLine(const QString &source, const RowOutcome &outcome)
{
    QString line =
        QStringLiteral("%1 : %2 → %3")
            .arg(QDir::toNativeSeparators(source), OutcomeText::frenchSize(outcome.sourceBytes),
                 OutcomeText::frenchSize(outcome.outputBytes));
    const QString how = OutcomeText::howWritten(outcome);
    return how.isEmpty() ? line : QStringLiteral("%1 (%2)").arg(line, how);
}

// One output of the run: a row's, or one of its other sizes'.
struct Written
{
    QString source; // as the report names it
    const RowOutcome *outcome;
    bool firstOfRow; // its source's size counts once, however many outputs it has
};

QVector<Written> everyOutput(const QVector<PlannedRow> &plan, const QVector<RowOutcome> &outcomes)
{
    QVector<Written> all;
    for (int i = 0; i < outcomes.size(); ++i) {
        all.append({plan.at(i).source, &outcomes.at(i), true});
        const RowOutcome &outcome = outcomes.at(i);
        // A row not started has no outcome for its other sizes: they were not started either.
        const QVector<PlannedOutput> &outputs = plan.at(i).outputs;
        for (int k = 0; k + 1 < outputs.size(); ++k)
            all.append({tr("%1 (%2 px)").arg(plan.at(i).source).arg(outputs.at(k + 1).size),
                        k < int(outcome.extras.size()) ? &outcome.extras.at(k) : &outcome, false});
    }
    return all;
}

} // namespace

BatchReport BatchReport::make(const QVector<PlannedRow> &plan, const QVector<RowOutcome> &outcomes)
{
    int written = 0, done = 0;
    qint64 before = 0, after = 0;
    bool cancelled = false;
    QStringList failures, warnings, remarks, detailLines, sizeLines;
    const QVector<Written> all = everyOutput(plan, outcomes);
    bool sourceCounted = false;
    for (const Written &each : all) {
        const RowOutcome &outcome = *each.outcome;
        const QString &source = each.source;
        if (each.firstOfRow)
            sourceCounted = false;
        if (outcome.status == RowOutcome::Written) {
            ++written;
            before += sourceCounted ? 0 : outcome.sourceBytes;
            sourceCounted = true;
            after += outcome.outputBytes;
            sizeLines.append(sizeLine(source, outcome));
        }
        cancelled |= outcome.status == RowOutcome::NotStarted;
        done += outcome.status == RowOutcome::AlreadyDone;
        const QString remark = OutcomeText::remark(outcome);
        if (!remark.isEmpty()) {
            remarks.append(QStringLiteral("%1 : %2").arg(QFileInfo(source).fileName(), remark));
            detailLines.append(detailLine(source, remark, QString()));
        }
        const QString why =
            outcome.isFailure() ? OutcomeText::reason(outcome) : OutcomeText::warning(outcome);
        if (why.isEmpty())
            continue;
        (outcome.isFailure() ? failures : warnings)
            .append(QStringLiteral("%1 : %2").arg(QFileInfo(source).fileName(), why));
        detailLines.append(
            detailLine(source, why,
                       outcome.isFailure() ? outcome.systemError : OutcomeText::leftOut(outcome)));
    }

    BatchReport report;
    report.informative = savings(written, before, after);
    // Counted apart: neither written this time nor failed.
    const QString remarked =
        (done == 0
             ? QString()
             : QLatin1String("\n\n") +
                   tr("%1 image(s) déjà faite(s), laissée(s) telle(s) quelle(s).").arg(done)) +
        section(tr("Remarques :"), remarks);
    if (!failures.isEmpty() || !warnings.isEmpty()) {
        report.kind = Errors;
        report.title = failures.isEmpty() ? tr("Terminé avec des avertissements")
                                          : tr("Terminé avec des erreurs");
        report.text =
            tr("%1 image(s) redimensionnée(s) sur %2.").arg(written).arg(all.size()) +
            section(tr("Les fichiers suivants n'ont pas été écrits :"), failures) +
            section(tr("Les fichiers suivants ont été écrits sans leurs métadonnées :"), warnings) +
            remarked;
    } else if (cancelled) {
        report.kind = Interrupted;
        report.title = tr("Interrompu");
        report.text = tr("Redimensionnement interrompu : %1 image(s) redimensionnée(s) sur %2.")
                          .arg(written)
                          .arg(all.size()) +
                      remarked;
    } else {
        report.title = tr("Terminé");
        report.text = tr("Le redimensionnement des images s'est effectué avec succés.") + remarked;
    }
    QStringList details = detailLines;
    if (!sizeLines.isEmpty())
        details += QStringList{QString(), tr("Tailles avant et après :")} + sizeLines;
    report.details = details.join(QLatin1Char('\n')).trimmed();
    return report;
}
