#include "window/aboutdialog.h"

#include "ui_aboutdialog.h"

AboutDialog::AboutDialog(QWidget *parent) : QDialog(parent), form(new AboutDialogForm)
{
    form->setupUi(this);
}

AboutDialog::~AboutDialog()
{
    delete form;
}
