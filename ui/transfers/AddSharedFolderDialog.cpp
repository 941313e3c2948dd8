#include "ui/transfers/AddSharedFolderDialog.h"

#include "app/Placeholder.h"

AddSharedFolderDialog::AddSharedFolderDialog(Item const& i_folder, QWidget* ip_parent)
    : QDialog(ip_parent)
{
    Q_UNUSED(i_folder);
    ShowDialogNotBuiltYet(this, tr("Share a folder"));
}
