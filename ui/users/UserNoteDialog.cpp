#include "ui/users/UserNoteDialog.h"

#include "app/Placeholder.h"

UserNoteDialog::UserNoteDialog(QWidget* ip_parent)
    : QDialog(ip_parent)
{
    ShowDialogNotBuiltYet(this, tr("User note"));
}

void UserNoteDialog::Init()
{
}
