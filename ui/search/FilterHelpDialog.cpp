#include "ui/search/FilterHelpDialog.h"

#include "ui_FilterHelpDialog.h"

FilterHelpDialog* filterHelpDialog = nullptr;

FilterHelpDialog::FilterHelpDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_FilterHelpDialog)
{
    mp_ui->setupUi(this);
    filterHelpDialog = this;
    setAttribute(Qt::WA_DeleteOnClose);
}

FilterHelpDialog::~FilterHelpDialog()
{
    delete mp_ui;
    if (filterHelpDialog == this)
        filterHelpDialog = nullptr;
}

void FilterHelpDialog::ShowHelp(QWidget* ip_page)
{
    if (!filterHelpDialog)
        new FilterHelpDialog(ip_page);
    filterHelpDialog->show();
}
