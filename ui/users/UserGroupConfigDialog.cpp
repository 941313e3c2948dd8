#include "ui/users/UserGroupConfigDialog.h"

#include "ui/users/UserGroups.h"
#include "ui_UserGroupConfigDialog.h"

#include "server/StoreTypes.h"
#include "ui/widgets/OutsideText.h"

#include <QMessageBox>

UserGroupConfigDialog* userGroupConfigDialog = nullptr;

UserGroupConfigDialog::UserGroupConfigDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_UserGroupConfigDialog)
{
    userGroupConfigDialog = this;
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    UserGroups::FollowGroups(this, &UserGroupConfigDialog::OnUserGroupAdded,
                             &UserGroupConfigDialog::OnUserGroupRemoved);
    for (Item const& l_group : d["user_list_group"]->GetItems())
        OnUserGroupAdded(l_group);
    EnableEditors(false);
    connect(mp_ui->groupList, &QListWidget::currentItemChanged, this,
            &UserGroupConfigDialog::OnCurrentGroupItemChanged);
    connect(mp_ui->prioritySpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &UserGroupConfigDialog::OnPrioritySpinValueChanged);
    connect(mp_ui->acceptUploadsCheckBox, &QCheckBox::toggled, this,
            &UserGroupConfigDialog::OnAcceptUploadsCheckboxToggled);
    connect(mp_ui->deleteButton, &QPushButton::clicked, this, &UserGroupConfigDialog::OnDeleteClicked);
}

UserGroupConfigDialog::~UserGroupConfigDialog()
{
    delete mp_ui;
    if (userGroupConfigDialog == this)
        userGroupConfigDialog = nullptr;
}

void UserGroupConfigDialog::EnableEditors(bool i_enabled)
{
    mp_ui->prioritySpinBox->setEnabled(i_enabled);
    mp_ui->acceptUploadsCheckBox->setEnabled(i_enabled);
    mp_ui->deleteButton->setEnabled(i_enabled);
}

void UserGroupConfigDialog::OnUserGroupAdded(Item i_group)
{
    mp_ui->groupList->addItem(i_group.AsString());
}

void UserGroupConfigDialog::OnUserGroupRemoved(Item i_group)
{
    UserGroups::RemoveRowOf(mp_ui->groupList, i_group);
}

Item UserGroupConfigDialog::CurrentGroup() const
{
    QListWidgetItem const* lp_row = mp_ui->groupList->currentItem();
    return lp_row ? d["user_list_group"]->HasItem(Value(lp_row->text())) : Item();
}

void UserGroupConfigDialog::OnCurrentGroupItemChanged(QListWidgetItem* ip_currentItem, QListWidgetItem*)
{
    Item const l_group = CurrentGroup();
    if (!ip_currentItem || l_group.IsNull()) {
        EnableEditors(false);
        mp_ui->groupBox->setTitle(QString());
        return;
    }
    EnableEditors(true);
    mp_ui->groupBox->setTitle(LiteralTitle(ip_currentItem->text()));
    // The editors store what they show when it changes: a stored priority
    // beyond the spin box's range is stored again as the box shows it.
    mp_ui->prioritySpinBox->setValue(l_group["group_download_priority"].AsInt());
    mp_ui->acceptUploadsCheckBox->setChecked(l_group.IsConnected("accept_uploads"));
}

void UserGroupConfigDialog::OnPrioritySpinValueChanged(int i_value)
{
    Item const l_group = CurrentGroup();
    if (l_group.IsNull())
        return;
    if (i_value > 0)
        SetAttribute(l_group, "group_download_priority", Value(i_value));
    else
        l_group.Disconnect("group_download_priority");
}

void UserGroupConfigDialog::OnAcceptUploadsCheckboxToggled(bool i_toggled)
{
    SetFlag(CurrentGroup(), "accept_uploads", i_toggled);
}

void UserGroupConfigDialog::OnDeleteClicked()
{
    QString const l_name = mp_ui->groupList->currentItem() ? mp_ui->groupList->currentItem()->text() : QString();
    if (QMessageBox::question(nullptr, QStringLiteral("Delete group?"),
                              QStringLiteral("Are you sure you want to delete this user group?"),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;
    // The group named when the question was asked, if it is still there.
    d["user_list_group"]->HasItem(Value(l_name)).Remove();
}
