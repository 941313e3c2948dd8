#include "ui/users/AddUserDialog.h"

#include "ui_AddUserDialog.h"

#include "server/Server.h"
#include "store/Data.h"

AddUserDialog::AddUserDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_AddUserDialog)
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(mp_ui->addFriendButton, &QPushButton::clicked, this, &AddUserDialog::OnAddUserClicked);
    if (gp_server)
        connect(gp_server, &Server::AddUserResponse, this, &AddUserDialog::OnAddUserResponse);
}

AddUserDialog::~AddUserDialog()
{
    delete mp_ui;
}

void AddUserDialog::SetWaiting(bool i_waiting)
{
    mp_ui->userNameEdit->setReadOnly(i_waiting);
    mp_ui->addFriendButton->setEnabled(!i_waiting);
}

void AddUserDialog::OnAddUserClicked()
{
    QString const l_name = mp_ui->userNameEdit->text().trimmed();
    if (l_name.isEmpty()) {
        mp_ui->statusEdit->setText(QStringLiteral("User name must not be empty."));
    } else if (!gp_server || !gp_server->IsConnected()) {
        mp_ui->statusEdit->setText(QStringLiteral("Must be online to add a user to your list."));
    } else if (d["user"]->HasItem(Value(l_name)).IsConnected("in_user_list")) {
        mp_ui->statusEdit->setText(QStringLiteral("User already in list."));
    } else {
        mp_ui->statusEdit->setText(QStringLiteral("Adding user..."));
        SetWaiting(true);
        m_pending = l_name;
        gp_server->AddUser(l_name);
    }
}

void AddUserDialog::OnAddUserResponse(QString i_user, bool i_exists)
{
    if (m_pending.isEmpty() || i_user != m_pending)
        return;
    SetWaiting(false);
    m_pending.clear();
    if (i_exists) {
        d["user"]->GetItem(Value(i_user)).NewItem("in_user_list");
        mp_ui->statusEdit->setText(QStringLiteral("User added to list."));
    } else {
        mp_ui->statusEdit->setText(QStringLiteral("User name does not exist."));
    }
}
