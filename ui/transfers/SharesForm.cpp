#include "ui/transfers/SharesForm.h"

#include "ui/widgets/Placeholder.h"

SharesForm* sharesForm = nullptr;

SharesForm::SharesForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    sharesForm = this;
    ShowPageNotBuiltYet(this, tr("The Browse page is not built yet."));
}

void SharesForm::Init()
{
}
