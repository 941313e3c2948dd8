#include "ui/users/MessageUsersDialog.h"

#include "ui_MessageUsersDialog.h"

#include "server/Server.h"
#include "ui/widgets/OutsideText.h"

MessageUsersDialog* messageUsersDialog = nullptr;

namespace {

enum Target { ALL_LISTED = 0, DOWNLOADING = 1 };

} // namespace

MessageUsersDialog::MessageUsersDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui_MessageUsersDialog)
{
    messageUsersDialog = this;
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    PopulateUserList();
    connect(mp_ui->targetBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &MessageUsersDialog::OnTargetIndexChanged);
    connect(mp_ui->sendButton, &QPushButton::clicked, this, &MessageUsersDialog::OnSendMessageClicked);
    for (Item const& l_group : d["user_list_group"]->GetItems().SortAlphabetic(true, false))
        mp_ui->targetBox->addItem("group: " + Isolated(l_group.AsString()), l_group.AsString());
}

MessageUsersDialog::~MessageUsersDialog()
{
    delete mp_ui;
    if (messageUsersDialog == this)
        messageUsersDialog = nullptr;
}

ItemSet MessageUsersDialog::GetUsers() const
{
    int const l_target = mp_ui->targetBox->currentIndex();
    if (l_target == ALL_LISTED)
        return d["in_user_list"]->GetItems().GetItems("user");
    if (l_target == DOWNLOADING)
        return d.HasType("upload_entry") ? d["upload_entry"]->GetItems().GetItems("user").Connected("is_online")
                                         : ItemSet();
    Item const l_group = d["user_list_group"]->HasItem(Value(mp_ui->targetBox->currentData().toString()));
    return l_group.GetItems("in_user_list").GetItems("user");
}

void MessageUsersDialog::PopulateUserList()
{
    mp_ui->userList->clear();
    for (Item const& l_user : GetUsers().SortAlphabetic(true, false))
        mp_ui->userList->addItem(l_user.AsString());
}

void MessageUsersDialog::OnTargetIndexChanged(int)
{
    PopulateUserList();
}

void MessageUsersDialog::OnSendMessageClicked()
{
    QString l_text = mp_ui->messageEdit->toPlainText().trimmed();
    if (l_text.isEmpty())
        return;
    l_text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    QStringList l_names;
    for (Item const& l_user : GetUsers())
        l_names << l_user.AsString();
    if (gp_server)
        gp_server->MessageUsers(l_names, l_text);
    close();
}
