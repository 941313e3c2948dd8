#include "ui/chat/ChatsForm.h"

#include "store/windows/FocusWidget.h"
#include "ui/widgets/Placeholder.h"

ChatsForm* chatsForm = nullptr;

ChatsForm::ChatsForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    chatsForm = this;
    ShowPageNotBuiltYet(this, tr("The Chat page is not built yet."));
}

void ChatsForm::Init()
{
}

void ChatsForm::OpenChatForm(QString const&)
{
    FocusWidgetAndParents(this);
}
