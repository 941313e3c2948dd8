#include "ui/chat/RoomsForm.h"

#include "ui/widgets/Placeholder.h"

RoomsForm::RoomsForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    ShowPageNotBuiltYet(this, tr("The Rooms page is not built yet."));
}

void RoomsForm::Init()
{
}
