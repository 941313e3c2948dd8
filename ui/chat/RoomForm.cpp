// A joined room's tab: its chat, its member list, and the room's side of
// the tool bar's "room" commands (which RoomsForm.cpp carries out). The
// member rows are in RoomRows.cpp.

#include "ui/chat/RoomForm.h"

#include "ui/chat/ChatStoreTypes.h"
#include "ui/chat/ChatView.h"
#include "ui/chat/ChatsForm.h"
#include "ui/chat/RoomRows.h"
#include "ui/chat/SortedRows.h"

#include "ui_RoomForm.h"

#include "server/Server.h"
#include "server/StoreTypes.h"
#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/EventToolBar.h"
#include "ui/widgets/SizeManager.h"
#include "ui/widgets/TabWidget.h"
#include "ui/widgets/UserPageHooks.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QHeaderView>
#include <QMenu>
#include <QTimer>

#include <memory>

namespace {

int const PANE_WIDTH = 280;

QString OnOff(QString const& i_action, bool i_on)
{
    return i_action + (i_on ? QStringLiteral(" [on]") : QStringLiteral(" [off]"));
}

} // namespace

GiveUpActions GiveUpActionsFor(Item const& i_room)
{
    bool const l_owner = i_room.IsConnected("is_owner");
    return {!l_owner && (i_room.IsConnected("is_member") || i_room.IsConnected("is_operator")), l_owner};
}

RoomForm::RoomForm(QString const& i_room, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_RoomForm), m_room(i_room)
{
    mp_ui->setupUi(this);
    QList<int> l_sizes = mp_ui->splitter->sizes();
    for (int& l_size : l_sizes)
        l_size = PANE_WIDTH;
    mp_ui->splitter->setSizes(l_sizes);
    mp_ui->splitter->setStretchFactor(0, 1);
    mp_ui->splitter->setStretchFactor(1, 0);
    SetUpMemberList();
    mp_countTimer = new QTimer(this);
    mp_countTimer->setSingleShot(true);
    mp_countTimer->setInterval(0);
    connect(mp_countTimer, &QTimer::timeout, this, &RoomForm::OnCountDue);

    m_roomItem = d["room"]->GetItem(Value(m_room));
    SubscribeMembers();
    PathNode* lp_left = new PathNode(m_roomItem);
    new PathNode(lp_left, "in_room", PATH_DISCONNECTED_FIRES);
    d.AddPathEventHandler(lp_left, new EventHandler<RoomForm, Item>(this, &RoomForm::OnLeftRoom));
    RegisterToolBarActions();
    auto const l_room = [this]() { return new PathNode(m_roomItem); };
    FollowFlag<RoomForm>(l_room, "room_autojoin", this, &RoomForm::OnRoomAutojoinOn, &RoomForm::OnRoomAutojoinOff);
    for (char const* lp_role : {"is_member", "is_operator", "is_owner"})
        FollowFlag<RoomForm>(l_room, lp_role, this, &RoomForm::ShowGiveUpActions, &RoomForm::ShowGiveUpActions);
    if (d.HasType("room_activity_alert"))
        FollowFlag<RoomForm>(l_room, "room_activity_alert", this, &RoomForm::OnRoomActivityAlertOn,
                             &RoomForm::OnRoomActivityAlertOff);
    if (gp_server) {
        connect(gp_server, &Server::RoomChat, this, &RoomForm::OnRoomChat);
        connect(gp_server, &Server::Connected, this, &RoomForm::OnConnected);
        connect(gp_server, &Server::Disconnected, this, &RoomForm::OnDisconnected);
    }
    // The view keeps the conversation's activity on the shared timer.
    mp_ui->chatView->SetLog(ChatLogKind::ROOM, m_room);
    if (d.HasType("user_note")) {
        PathNode* lp_noted = new PathNode(&d, "user");
        new PathNode(lp_noted, "user_note", PATH_ON_CONNECT);
        d.AddPathEventHandler(lp_noted, new EventHandler<RoomForm, Item>(this, &RoomForm::OnUserNoteChanged));
        PathNode* lp_unnoted = new PathNode(&d, "user");
        new PathNode(lp_unnoted, "user_note", PATH_ON_DISCONNECT);
        d.AddPathEventHandler(lp_unnoted, new EventHandler<RoomForm, Item>(this, &RoomForm::OnUserNoteRemoved));
    }
    m_leftRoom = false;
}

RoomForm::~RoomForm()
{
    if (!m_leftRoom) {
        // The page's own handler of the room's "in_room" link must not run
        // while it goes.
        m_leftRoom = true;
        // At shutdown the server link is gone before the pages: nothing is
        // sent, and nothing of it is touched. Offline no answer will come,
        // so the room is marked left here, and a later join opens a page.
        if (gp_server && gp_server->IsConnected())
            gp_server->LeaveRoom(m_room);
        else if (gp_server)
            SetFlag(m_roomItem, "in_room", false);
    }
    // The member list and the table of its rows go after the page, in
    // slices (a few dozen names a step): a room of 50,000 held the window
    // for a tenth of a second when they went with it (the table alone took
    // 30 to 40 ms). Its order goes first, with the rows it still held.
    delete mp_order;
    auto const lp_names = std::make_shared<QHash<QString, SortedRow*>>();
    lp_names->swap(m_rows);
    auto const lp_at = std::make_shared<QHash<QString, SortedRow*>::iterator>(lp_names->begin());
    // The page's window takes them if it goes first (a page on its own
    // takes them with it).
    QWidget* lp_window = window();
    DeleteListInSlices(mp_ui->userList, lp_window != this ? lp_window : nullptr, [lp_names, lp_at]() {
        for (int l_name = 0; l_name < 64 && *lp_at != lp_names->end(); ++l_name)
            *lp_at = lp_names->erase(*lp_at);
        return *lp_at != lp_names->end();
    });
    delete mp_ui;
}

void RoomForm::Init()
{
    if (sizeManager) {
        sizeManager->RegisterSplitter(QStringLiteral("room_splitter"), mp_ui->splitter, {});
        sizeManager->RegisterTreeWidget(QStringLiteral("room_user_list"), mp_ui->userList);
    }
    RegisterWidgetForTabFocus(mp_ui->chatEdit, 1);
    mp_ui->userList->setColumnWidth(MEMBER_BLANK, 20);
}

void RoomForm::RegisterToolBarActions()
{
    if (!actionBar)
        return;
    actionBar->RegisterWidget(this, QStringLiteral("room"));
    actionBar->AddWidgetKey(this, QStringLiteral("room"), m_room);
    SetActionText("toggle_room_autojoin", OnOff(QStringLiteral("Auto-Join"), m_roomItem.IsConnected("room_autojoin")));
    SetActionText("toggle_room_activity_alert",
                  OnOff(QStringLiteral("Activity Alert"), m_roomItem.IsConnected("room_activity_alert")));
    ShowGiveUpActions(Item());
}

void RoomForm::ShowGiveUpActions(Item)
{
    // The server tells the own roles after the join answer, and again as
    // they change: the actions follow for as long as the page is open.
    if (!actionBar)
        return;
    GiveUpActions const l_shown = GiveUpActionsFor(m_roomItem);
    actionBar->SetWidgetActionHidden(this, QStringLiteral("give_up_membership"), !l_shown.m_membership);
    actionBar->SetWidgetActionHidden(this, QStringLiteral("give_up_ownership"), !l_shown.m_ownership);
}

void RoomForm::SetActionText(char const* ip_action, QString const& i_text)
{
    if (actionBar)
        actionBar->SetWidgetActionText(this, QString::fromLatin1(ip_action), i_text);
}

void RoomForm::OnRoomAutojoinOn(Item)
{
    SetActionText("toggle_room_autojoin", OnOff(QStringLiteral("Auto-Join"), true));
}

void RoomForm::OnRoomAutojoinOff(Item)
{
    SetActionText("toggle_room_autojoin", OnOff(QStringLiteral("Auto-Join"), false));
}

void RoomForm::OnRoomActivityAlertOn(Item)
{
    SetActionText("toggle_room_activity_alert", OnOff(QStringLiteral("Activity Alert"), true));
}

void RoomForm::OnRoomActivityAlertOff(Item)
{
    SetActionText("toggle_room_activity_alert", OnOff(QStringLiteral("Activity Alert"), false));
}

void RoomForm::OnLeftRoom(Item)
{
    if (m_leftRoom)
        return;
    m_leftRoom = true;
    // The store allows a handler to delete its owner; nothing of the page
    // is touched after this.
    delete this;
}

// ---------------------------------------------------------------- the chat

void RoomForm::AddStatusMessage(QString const& i_text)
{
    mp_ui->chatView->AddStatusMessage(i_text);
}

void RoomForm::OnRoomChat(QString i_room, QString i_user, QString i_text)
{
    // Every page hears every room's lines.
    if (i_room != m_room)
        return;
    if (mp_ui->chatView->AddChat(i_user, i_text.trimmed()) != ChatView::ORDINARY_LINE)
        return;
    if (m_roomItem.IsConnected("room_activity_alert") && eventToolBar)
        eventToolBar->AddEvent(m_room, QStringLiteral(":/icons/room_icon"), mp_ui->chatEdit, QString(),
                               QStringLiteral("room_chat"), false);
}

void RoomForm::OnEnterPressed()
{
    QString const l_text = mp_ui->chatEdit->text();
    if (l_text.isEmpty())
        return;
    // The line shows when the server sends it back; offline it would be
    // dropped, so it stays in the entry line instead.
    if (!gp_server || !gp_server->IsConnected()) {
        AddStatusMessage(QStringLiteral("Not connected: message not sent."));
        return;
    }
    gp_server->SendRoomChat(m_room, l_text);
    mp_ui->chatEdit->clear();
}

void RoomForm::OnConnected()
{
    AddStatusMessage(QStringLiteral("Reconnected at %1.").arg(ChatShortTime(QDateTime::currentDateTime())));
    if (gp_server)
        gp_server->EnterRoom(m_room, false);
}

void RoomForm::OnDisconnected()
{
    AddStatusMessage(QStringLiteral("Disconnected at %1.").arg(ChatShortTime(QDateTime::currentDateTime())));
}

void RoomForm::OnURLClicked(QUrl i_url)
{
    QDesktopServices::openUrl(i_url);
    mp_ui->chatEdit->setFocus();
}

// --------------------------------------------------------- the member list

void RoomForm::SetUpMemberList()
{
    QTreeWidget* lp_list = mp_ui->userList;
    lp_list->setHeaderLabels(
        {QString(), QString(), QStringLiteral("User"), QString(), QStringLiteral("Files"), QStringLiteral("K/s")});
    int const l_widths[MEMBER_COLUMNS] = {20, 25, 90, 25, 50, 40};
    for (int l_column = 0; l_column < MEMBER_COLUMNS; ++l_column)
        lp_list->setColumnWidth(l_column, l_widths[l_column]);
    lp_list->header()->setStretchLastSection(true);
    lp_list->headerItem()->setIcon(MEMBER_NOTE, NoteIcon());
    mp_order = new SortedRows(lp_list, &MemberKey);
    mp_order->SortBy(MEMBER_NAME, Qt::AscendingOrder);
}

void RoomForm::SubscribeMembers()
{
    PathNode* lp_added = new PathNode(&d, "user");
    new PathNode(lp_added, m_roomItem, PATH_CONNECTED_FIRES);
    for (char const* lp_attribute : {"average_download_speed", "shared_file_count", "country_code"})
        new PathNode(lp_added, lp_attribute, PATH_CONNECTED_FIRES);
    d.AddPathEventHandler(lp_added, new EventHandler<RoomForm, Item>(this, &RoomForm::OnUserAdded));

    PathNode* lp_removed = new PathNode(&d, "user");
    new PathNode(lp_removed, m_roomItem, PATH_ON_DISCONNECT);
    d.AddPathEventHandler(lp_removed, new EventHandler<RoomForm, Item>(this, &RoomForm::OnUserRemoved));

    // The owner comes apart from the join: the creator of a room is in it
    // before the server names him its owner.
    struct RoleStep
    {
        char const* mp_role;
        PathNodeRelation m_relation;
        void (RoomForm::*mp_handler)(Item);
    };
    for (RoleStep const& l_step : {RoleStep{"room_operators", PATH_CONNECTED_FIRES, &RoomForm::OnOperatorAdded},
                                   RoleStep{"room_operators", PATH_ON_DISCONNECT, &RoomForm::OnOperatorRemoved},
                                   RoleStep{"room_owner", PATH_CONNECTED_FIRES, &RoomForm::OnOwnerAdded},
                                   RoleStep{"room_owner", PATH_ON_DISCONNECT, &RoomForm::OnOwnerRemoved}}) {
        PathNode* lp_user = new PathNode(&d, "user");
        PathNode* lp_role = new PathNode(lp_user, l_step.mp_role, l_step.m_relation);
        new PathNode(lp_role, m_roomItem, PATH_CONNECTED_FIRES);
        d.AddPathEventHandler(lp_user, new EventHandler<RoomForm, Item>(this, l_step.mp_handler));
    }
}

SortedRow* RoomForm::Row(Item const& i_user) const
{
    return m_rows.value(i_user.AsString());
}

void RoomForm::CountUsers()
{
    if (!mp_countTimer->isActive())
        mp_countTimer->start();
}

void RoomForm::OnCountDue()
{
    SetAttribute(m_roomItem, "user_count", Value(static_cast<unsigned long long>(m_roomItem.CountItems("user"))));
}

void RoomForm::OnUserAdded(Item i_user)
{
    // An existing row is never refreshed: its values are those of the join.
    QString const l_name = i_user.AsString();
    if (m_rows.contains(l_name))
        return;
    QRoomUserListItemWidget* lp_row = new QRoomUserListItemWidget;
    FillMemberRow(*lp_row, i_user, m_roomItem);
    m_rows.insert(l_name, lp_row);
    mp_order->Add(lp_row);
    CountUsers();
}

void RoomForm::OnUserRemoved(Item i_user)
{
    if (SortedRow* lp_row = m_rows.take(i_user.AsString()))
        mp_order->Remove(lp_row);
    // Also for a user who had no row yet (his statistics had not come):
    // the count is of the users in the room.
    CountUsers();
}

void RoomForm::OnOperatorAdded(Item i_user)
{
    if (QTreeWidgetItem* lp_row = Row(i_user))
        SetMemberBold(*lp_row, true);
}

void RoomForm::OnOperatorRemoved(Item i_user)
{
    if (QTreeWidgetItem* lp_row = Row(i_user))
        SetMemberBold(*lp_row, false);
}

void RoomForm::OnOwnerAdded(Item i_user)
{
    if (QTreeWidgetItem* lp_row = Row(i_user))
        SetMemberOwner(*lp_row, true, true);
}

void RoomForm::OnOwnerRemoved(Item i_user)
{
    if (QTreeWidgetItem* lp_row = Row(i_user))
        SetMemberOwner(*lp_row, false, d.GetItem(i_user, m_roomItem, "room_operators").IsValid());
}

void RoomForm::SetNoteIcon(Item const& i_user, bool i_note)
{
    SortedRow* lp_row = Row(i_user);
    if (!lp_row)
        return;
    lp_row->setIcon(MEMBER_NOTE, i_note ? NoteIcon() : QIcon());
    if (mp_ui->userList->header()->sortIndicatorSection() == MEMBER_NOTE)
        mp_order->Place(lp_row);
}

void RoomForm::OnUserNoteChanged(Item i_user)
{
    SetNoteIcon(i_user, true);
}

void RoomForm::OnUserNoteRemoved(Item i_user)
{
    SetNoteIcon(i_user, false);
}

void RoomForm::OnUserItemClicked(QTreeWidgetItem* ip_item, int i_column)
{
    if (!ip_item || i_column != MEMBER_NOTE)
        return;
    Item const l_user = d["user"]->HasItem(Value(CellName(*ip_item, MEMBER_NAME)));
    if (l_user.IsConnected("user_note"))
        ShowUserNote(l_user.AsString());
}

void RoomForm::OnUserItemDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    if (ip_item && chatsForm)
        chatsForm->OpenChatForm(CellName(*ip_item, MEMBER_NAME));
}

void RoomForm::OnUserListContextMenuRequested(QPoint i_point)
{
    QTreeWidgetItem* lp_row = mp_ui->userList->itemAt(i_point);
    if (!lp_row)
        return;
    QMenu l_menu;
    std::unique_ptr<QObject> const lp_userOptions = AddUserMenu(&l_menu, CellName(*lp_row, MEMBER_NAME));
    if (!l_menu.isEmpty())
        l_menu.exec(mp_ui->userList->viewport()->mapToGlobal(i_point));
}
