#include "ui/chat/ColorSelectionDialog.h"

#include "ui/widgets/Placeholder.h"

ColorSelectionDialog::ColorSelectionDialog(QWidget* ip_parent)
    : QDialog(ip_parent)
{
    ShowDialogNotBuiltYet(this, tr("Application colours"));
}
