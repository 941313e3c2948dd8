#include "ui/users/UserGroupsDialog.h"

#include "ui/users/UserGroups.h"
#include "ui_UserGroupsDialog.h"

#include "ui/widgets/OutsideText.h"

#include <QSignalBlocker>

UserGroupsDialog::UserGroupsDialog(QString const& i_user, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_UserGroupsDialog), m_user(i_user)
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    UserGroups::FollowGroups(this, &UserGroupsDialog::OnUserGroupAdded, &UserGroupsDialog::OnUserGroupRemoved);
    setWindowTitle("User Groups for [" + LiteralWindowTitle(i_user) + "]");
    Item const l_entry = d["user"]->GetItem(Value(i_user))["in_user_list"];
    for (Item const& l_group : d["user_list_group"]->GetItems())
        AddRow(l_group.AsString(), l_entry.IsConnected(l_group));
    connect(mp_ui->groupListWidget, &QListWidget::itemChanged, this, &UserGroupsDialog::OnGroupItemChanged);
    connect(mp_ui->newGroupButton, &QPushButton::clicked, this, &UserGroupsDialog::OnNewGroupButtonClicked);
}

UserGroupsDialog::~UserGroupsDialog()
{
    delete mp_ui;
}

void UserGroupsDialog::AddRow(QString const& i_group, bool i_ticked)
{
    // Filling a row is no change of the user's groups.
    QSignalBlocker const l_quiet(mp_ui->groupListWidget);
    auto* lp_row = new QListWidgetItem();
    lp_row->setFlags(lp_row->flags() | Qt::ItemIsUserCheckable);
    lp_row->setText(i_group);
    lp_row->setCheckState(i_ticked ? Qt::Checked : Qt::Unchecked);
    mp_ui->groupListWidget->addItem(lp_row);
}

void UserGroupsDialog::OnUserGroupAdded(Item i_group)
{
    AddRow(i_group.AsString(), false);
}

void UserGroupsDialog::OnUserGroupRemoved(Item i_group)
{
    UserGroups::RemoveRowOf(mp_ui->groupListWidget, i_group);
}

void UserGroupsDialog::OnGroupItemChanged(QListWidgetItem* ip_item)
{
    Qt::CheckState const l_state = ip_item->checkState();
    if (l_state == Qt::PartiallyChecked || ip_item->text().isEmpty())
        return;
    // Looked up again: the user may have left the list, and the group may
    // be gone; neither is made again here.
    Item const l_entry = d["user"]->GetItem(Value(m_user))["in_user_list"];
    Item const l_group = d["user_list_group"]->HasItem(Value(ip_item->text()));
    if (l_entry.IsNull() || l_group.IsNull())
        return;
    if (l_state == Qt::Checked)
        l_entry += l_group;
    else if (l_entry.IsConnected(l_group))
        l_entry -= l_group;
}

void UserGroupsDialog::OnNewGroupButtonClicked()
{
    QString const l_name = mp_ui->newGroupEdit->text().trimmed();
    mp_ui->newGroupEdit->clear();
    if (!l_name.isEmpty())
        d["user_list_group"]->GetItem(Value(l_name));
}
