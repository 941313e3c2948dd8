#include "ui/transfers/ExcludedExtensionsDialog.h"

#include "app/Placeholder.h"

ExcludedExtensionsDialog::ExcludedExtensionsDialog(QWidget* ip_parent)
    : QDialog(ip_parent)
{
    ShowDialogNotBuiltYet(this, tr("Excluded extensions"));
}
