#include "ui/users/UserNoteDialog.h"

#include "ui/widgets/Placeholder.h"

UserNoteDialog::UserNoteDialog(QWidget* ip_parent)
    : QDialog(ip_parent)
{
    ShowDialogNotBuiltYet(this, tr("User note"));
}

void UserNoteDialog::Init()
{
}
