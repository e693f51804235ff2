#include "window/presetdialog.h"

#include "ui_presetdialog.h"

#include <QLineEdit>
#include <QPushButton>

PresetDialog::PresetDialog(const QStringList &names, const QString &pattern,
                           const QString &destination, QWidget *parent)
    : QDialog(parent), form(new PresetDialogForm)
{
    form->setupUi(this);
    form->presetName->addItems(names);
    form->presetName->lineEdit()->setAccessibleName(tr("Nom du réglage"));
    form->presetName->setCurrentText(QString());
    if (!pattern.isEmpty())
        form->withPattern->setText(
            form->withPattern->text() +
            tr(" (« %1 »)").arg(QString(pattern).replace(QLatin1Char('&'), QLatin1String("&&"))));
    if (!destination.isEmpty())
        form->withDestination->setText(
            form->withDestination->text() +
            tr(" (« %1 »)")
                .arg(QString(destination).replace(QLatin1Char('&'), QLatin1String("&&"))));
    QPushButton *ok = form->buttons->button(QDialogButtonBox::Ok);
    ok->setText(tr("Enregistrer"));
    ok->setEnabled(false);
    connect(form->presetName, &QComboBox::currentTextChanged, ok,
            [ok](const QString &text) { ok->setEnabled(!text.trimmed().isEmpty()); });
}

PresetDialog::~PresetDialog()
{
    delete form;
}

QString PresetDialog::name() const
{
    return form->presetName->currentText().trimmed();
}

bool PresetDialog::withPattern() const
{
    return form->withPattern->isChecked();
}

bool PresetDialog::withDestination() const
{
    return form->withDestination->isChecked();
}
