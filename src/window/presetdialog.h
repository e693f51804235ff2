#pragma once

#include <QDialog>

class Ui_PresetDialog;
using PresetDialogForm = Ui_PresetDialog;

// Asks the name a setting is saved under, and whether it holds the rename and the destination.
class PresetDialog : public QDialog
{
    Q_OBJECT

public:
    // `pattern` and `destination` as the window has them, shown beside their boxes.
    PresetDialog(const QStringList &names, const QString &pattern, const QString &destination,
                 QWidget *parent);
    ~PresetDialog() override;

    QString name() const;
    bool withPattern() const;
    bool withDestination() const;

private:
    PresetDialogForm *form;
};
