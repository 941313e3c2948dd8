#include "ui/transfers/SharesForm.h"

#include "peers/PeerMessenger.h"
#include "store/windows/FocusWidget.h"
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

ShareForm* SharesForm::OpenShareBrowse(QString const& i_user)
{
    if (peerMessenger)
        peerMessenger->GetUserSharedFiles(i_user);
    FocusWidgetAndParents(this);
    return nullptr;
}

UploadForm* SharesForm::OpenUploadBrowse(QString const&)
{
    FocusWidgetAndParents(this);
    return nullptr;
}
