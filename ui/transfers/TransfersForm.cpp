#include "ui/transfers/TransfersForm.h"

#include "app/Placeholder.h"

TransfersForm* transfersForm = nullptr;

TransfersForm::TransfersForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    transfersForm = this;
    ShowPageNotBuiltYet(this, tr("The Transfers page is not built yet."));
}

void TransfersForm::Init()
{
}
