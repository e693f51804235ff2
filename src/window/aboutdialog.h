#pragma once

#include <QDialog>

class Ui_AboutDialog;
using AboutDialogForm = Ui_AboutDialog;

class AboutDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AboutDialog(QWidget *parent);
    ~AboutDialog() override;

private:
    AboutDialogForm *form;
};
