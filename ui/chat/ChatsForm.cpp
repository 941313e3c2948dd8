#include "ui/chat/ChatsForm.h"

#include "ui/widgets/Placeholder.h"

ChatsForm::ChatsForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    ShowPageNotBuiltYet(this, tr("The Chat page is not built yet."));
}

void ChatsForm::Init()
{
}
