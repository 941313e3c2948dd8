#include "ui/users/UserListForm.h"

#include "ui/widgets/Placeholder.h"

UserListForm::UserListForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    ShowPageNotBuiltYet(this, tr("The Users page is not built yet."));
}

void UserListForm::Init()
{
}
