#include "ui/chat/ChatsForm.h"

#include "ui_ChatsForm.h"

#include "server/Server.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/windows/FocusWidget.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/ChatRules.h"
#include "ui/chat/ChatStoreTypes.h"
#include "ui/widgets/TabWidget.h"

#include <QDir>

ChatsForm* chatsForm = nullptr;

namespace {

QString OnlineIcon(bool i_online)
{
    return i_online ? QStringLiteral(":/icons/online_icon") : QStringLiteral(":/icons/offline_icon");
}

} // namespace

ChatsForm::ChatsForm(QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_ChatsForm)
{
    chatsForm = this;
    mp_ui->setupUi(this);
    mp_ui->horizontalLayout->setContentsMargins(0, 0, 0, 0);
    connect(mp_ui->chatTabControl, &QTabWidget::tabCloseRequested, this, &ChatsForm::OnChatTabClosed);
}

ChatsForm::~ChatsForm()
{
    delete mp_ui;
    if (chatsForm == this)
        chatsForm = nullptr;
}

void ChatsForm::Init()
{
    FollowFlag([]() { return new PathNode(&d, "user"); }, "is_online", this, &ChatsForm::OnUserOnline,
               &ChatsForm::OnUserOffline);
}

ChatForm* ChatsForm::GetChatForm(QString const& i_user)
{
    if (i_user.isEmpty())
        return nullptr;
    Item const l_user = d["user"]->GetItem(Value(i_user));
    if (Item const l_page = l_user["user_chat_widget"]; l_page.IsValid())
        return reinterpret_cast<ChatForm*>(l_page.AsUInt64());
    QTabWidget* lp_tabs = mp_ui->chatTabControl;
    ChatForm* lp_page = new ChatForm(i_user, lp_tabs, this);
    AddNamedTab(lp_tabs, lp_page, QIcon(OnlineIcon(l_user.IsConnected("is_online"))), i_user);
    if (gp_server)
        gp_server->TrackUser(i_user);
    return lp_page;
}

void ChatsForm::OpenChatForm(QString const& i_user)
{
    if (ChatForm* lp_page = GetChatForm(i_user))
        FocusWidgetAndParents(lp_page);
}

void ChatsForm::AddIncomingChat(QString const& i_user, QString const& i_text)
{
    if (i_user.isEmpty())
        return;
    Item const l_user = d["user"]->GetItem(Value(i_user));
    if (l_user.IsConnected("user_chat_widget") || int(d["user_chat_widget"]->GetItemCount()) < MAX_CHAT_PAGES) {
        if (ChatForm* lp_page = GetChatForm(i_user))
            lp_page->AddChat(i_user, i_text);
        return;
    }
    Log("Chat", 1, QStringLiteral("%1 chat pages are open: a message from %2 went to his log only.")
                       .arg(MAX_CHAT_PAGES)
                       .arg(Isolated(i_user)));
    if (IsSettingYes("log_private_chat"))
        AppendChatLog(ChatLogPath(ChatLogKind::USER, i_user, QDir::homePath()),
                      ChatLogEntry(QDateTime::currentDateTime(), i_user, i_text));
}

void ChatsForm::OnChatTabClosed(int i_index)
{
    delete mp_ui->chatTabControl->widget(i_index);
}

void ChatsForm::OnUserOnline(Item i_user)
{
    SetTabIcon(i_user, OnlineIcon(true));
}

void ChatsForm::OnUserOffline(Item i_user)
{
    SetTabIcon(i_user, OnlineIcon(false));
}

void ChatsForm::SetTabIcon(Item const& i_user, QString const& i_icon)
{
    Item const l_page = i_user["user_chat_widget"];
    if (l_page.IsNull())
        return;
    QTabWidget* lp_tabs = mp_ui->chatTabControl;
    int const l_index = lp_tabs->indexOf(reinterpret_cast<ChatForm*>(l_page.AsUInt64()));
    if (l_index >= 0)
        lp_tabs->setTabIcon(l_index, QIcon(i_icon));
}
