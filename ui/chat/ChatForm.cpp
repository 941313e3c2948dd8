#include "ui/chat/ChatForm.h"

#include "ui_ChatForm.h"

#include "server/Server.h"
#include "store/Settings.h"
#include "store/windows/FocusWidget.h"
#include "ui/chat/ChatLogForm.h"
#include "ui/chat/ChatStoreTypes.h"
#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/EventToolBar.h"
#include "ui/widgets/TabWidget.h"
#include "ui/widgets/UserPageHooks.h"

#include <QDesktopServices>
#include <QMenu>

ChatForm::ChatForm(QString const& i_user, QTabWidget* ip_tabs, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_ChatForm), m_user(i_user), mp_tabWidget(ip_tabs)
{
    mp_ui->setupUi(this);
    mp_ui->chatView->SetLog(ChatLogKind::USER, m_user);
    Item const l_user = d["user"]->GetItem(Value(m_user));
    d["user_chat_widget"]->GetItem(Value(this)) += l_user;
    RegisterWidgetForTabFocus(mp_ui->chatEdit, 1);
    if (actionBar) {
        actionBar->RegisterWidget(this, QStringLiteral("user_chat"));
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &ChatForm::OnActionTriggered);
    }
    // The warning our client sent this user about his empty share shows as
    // an own line, for as long as the engine keeps it.
    if (d.HasType("sent_empty_share_warning_message"))
        if (Item const l_warning = l_user["sent_empty_share_warning_message"]; l_warning.IsValid())
            AddChat(GetSetting("username"), l_warning.AsString());
    FollowFlag([l_user]() { return new PathNode(l_user); }, "is_away", this, &ChatForm::OnUserAway, &ChatForm::OnUserAvailable);
    if (l_user.IsConnected("is_away"))
        OnUserAway(l_user);
}

ChatForm::~ChatForm()
{
    delete mp_ui;
    if (d.HasType("user_chat_widget"))
        d["user_chat_widget"]->HasItem(Value(this)).Remove();
}

QString ChatForm::BalloonText(QString const& i_sender, QString const& i_text)
{
    QString l_text = i_text.left(100);
    if (i_text.size() > 100)
        l_text += QStringLiteral(" ...");
    return QStringLiteral("[%1] %2").arg(Isolated(i_sender), Isolated(l_text));
}

void ChatForm::AddChat(QString const& i_user, QString const& i_text)
{
    if (mp_ui->chatView->AddChat(i_user, i_text) != ChatView::ORDINARY_LINE || !eventToolBar)
        return;
    eventToolBar->AddEvent(m_user, QStringLiteral(":/icons/chat_icon"), mp_ui->chatEdit, BalloonText(i_user, i_text),
                           QStringLiteral("private_chat"), false);
}

void ChatForm::AddStatusMessage(QString const& i_text)
{
    mp_ui->chatView->AddStatusMessage(i_text);
}

void ChatForm::Focus()
{
    FocusWidget(mp_ui->chatEdit);
}

void ChatForm::OnEnter()
{
    QString const l_text = mp_ui->chatEdit->text();
    if (l_text.isEmpty())
        return;
    // A line is shown as sent only once it went out: otherwise it stays in
    // the input line, to be sent again.
    if (!gp_server || !gp_server->IsConnected()) {
        AddStatusMessage(tr("Not connected: message not sent."));
        return;
    }
    if (!gp_server->SendPrivateChat(m_user, l_text)) {
        AddStatusMessage(tr("Message too long: message not sent."));
        return;
    }
    AddChat(GetSetting("username"), l_text);
    mp_ui->chatEdit->clear();
}

void ChatForm::OnActionTriggered(QWidget* ip_widget, QString i_action)
{
    if (ip_widget == this && i_action == QLatin1String("user_chat_log"))
        ChatLogForm::Open(ChatLogKind::USER, m_user, mp_tabWidget);
}

void ChatForm::OnContextMenuRequested(QPoint i_point)
{
    // The partner's user menu, whatever name is under the pointer.
    QMenu l_menu;
    std::unique_ptr<QObject> const lp_userOptions = AddUserMenu(&l_menu, m_user);
    if (!l_menu.isEmpty())
        l_menu.exec(mp_ui->chatView->viewport()->mapToGlobal(i_point));
}

void ChatForm::OnURLClicked(QUrl i_url)
{
    // The view makes links of web addresses only; anything else is not
    // handed to the desktop.
    if (i_url.scheme() == QLatin1String("http") || i_url.scheme() == QLatin1String("https"))
        QDesktopServices::openUrl(i_url);
    mp_ui->chatEdit->setFocus(Qt::OtherFocusReason);
}

void ChatForm::showEvent(QShowEvent* ip_event)
{
    QWidget::showEvent(ip_event);
    if (eventToolBar)
        eventToolBar->RemoveEvents(mp_ui->chatEdit);
}

void ChatForm::OnUserAway(Item)
{
    AddStatusMessage(Isolated(m_user) + QStringLiteral(" is away."));
}

void ChatForm::OnUserAvailable(Item)
{
    AddStatusMessage(Isolated(m_user) + QStringLiteral(" is available."));
}
