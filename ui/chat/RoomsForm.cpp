// The Rooms page: the room list, the tabs of the joined rooms, walls and
// logs, and the room commands of the tool bar. The room pages are in
// RoomForm.cpp, the list's rows in RoomRows.cpp, the wall in
// RoomWallForm.cpp, the create-room dialog in CreateRoomDialog.cpp.

#include "ui/chat/RoomsForm.h"

#include "ui/chat/ChatLogForm.h"
#include "ui/chat/CreateRoomDialog.h"
#include "ui/chat/RoomForm.h"
#include "ui/chat/RoomRows.h"
#include "ui/chat/RoomWallForm.h"
#include "ui/chat/SortedRows.h"

#include "ui_RoomsForm.h"

#include "server/Server.h"
#include "server/StoreTypes.h"
#include "store/Settings.h"
#include "store/windows/FocusWidget.h"
#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/SizeManager.h"
#include "ui/widgets/TabWidget.h"

#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>

#include <algorithm>
#include <iterator>

namespace {

int const LIST_WIDTH = 220;

QString const s_acceptInvitations = QStringLiteral("Accept Private Room Invitations");
QString const s_rejectInvitations = QStringLiteral("Reject Private Room Invitations");

// The commands that act on the room named by the action key "room".
char const* const s_roomActions[] = {"toggle_room_autojoin", "toggle_room_activity_alert", "room_chat_log",
                                     "room_wall", "give_up_membership", "give_up_ownership"};

// A question whose answer is No unless the user picks Yes. Room names are
// chosen by other users: the text is never read as markup.
bool Confirm(QString const& i_title, QString const& i_text)
{
    QMessageBox l_box(QMessageBox::Question, i_title, i_text, QMessageBox::Yes | QMessageBox::No);
    l_box.setDefaultButton(QMessageBox::No);
    l_box.setTextFormat(Qt::PlainText);
    return l_box.exec() == QMessageBox::Yes;
}

} // namespace

RoomsForm::RoomsForm(QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui_RoomsForm)
{
    mp_ui->setupUi(this);
    QTreeWidget* lp_list = mp_ui->roomList;
    lp_list->setColumnWidth(0, 150);
    lp_list->setColumnWidth(1, 30);
    mp_ui->roomSplitter->setStretchFactor(0, 1);
    mp_ui->roomSplitter->setStretchFactor(1, 0);
    lp_list->setHeaderLabels({QStringLiteral("Room Name"), QStringLiteral("Users")});
    lp_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lp_list, &QWidget::customContextMenuRequested, this, &RoomsForm::OnRoomListContextMenuRequested);
    connect(lp_list, &QTreeWidget::itemDoubleClicked, this, &RoomsForm::OnRoomListItemDoubleClicked);
    mp_ui->horizontalLayout->setContentsMargins(0, 0, 0, 0);
}

RoomsForm::~RoomsForm()
{
    // The rows go with the list; their bindings must not outlive them, or a
    // later page would take the rooms as listed already.
    if (d.HasType("room_node"))
        d["room_node"]->GetItems().Remove();
    delete mp_ui;
}

// ------------------------------------------------------------------- start

void RoomsForm::DeclareTypes()
{
    EnsureType("room_node", ROOT, false, true);
    EnsureRelation("room", "room_node", ONE, ONE, false);
}

void RoomsForm::Subscribe(char const* ip_flag, PathNodeRelation i_relation, void (RoomsForm::*ip_handler)(Item))
{
    PathNode* lp_root = new PathNode(&d, "room");
    new PathNode(lp_root, ip_flag, i_relation);
    d.AddPathEventHandler(lp_root, new EventHandler<RoomsForm, Item>(this, ip_handler));
}

void RoomsForm::Init()
{
    DeclareTypes();
    mp_order = new SortedRows(mp_ui->roomList, &RoomListKey, &RefreshRoomRow);
    d["room"]->AddNewItemEventHandler(new EventHandler<RoomsForm, Item>(this, &RoomsForm::OnRoomAdded));
    d["room"]->AddRemovedItemEventHandler(new EventHandler<RoomsForm, Item>(this, &RoomsForm::OnRoomRemoved));
    for (Item const& l_room : d["room"]->GetItems())
        OnRoomAdded(l_room);

    Subscribe("user_count", PATH_CONNECTED_FIRES, &RoomsForm::OnRoomUserCountChanged);
    Subscribe("is_owner", PATH_CONNECTED_FIRES, &RoomsForm::OnBecomingRoomOwner);
    Subscribe("is_operator", PATH_CONNECTED_FIRES, &RoomsForm::OnBecomingRoomOperator);
    Subscribe("is_member", PATH_CONNECTED_FIRES, &RoomsForm::OnBecomingRoomMember);
    for (char const* lp_role : {"is_member", "is_operator", "is_owner"})
        Subscribe(lp_role, PATH_DISCONNECTED_FIRES, &RoomsForm::OnLosingRoomRole);

    mp_order->SortBy(0, Qt::AscendingOrder);
    d.AddConnectionEventHandler(d["room"], d["in_room"],
                                new EventHandler<RoomsForm, ConnectionInfo&>(this, &RoomsForm::OnEnteredRoom));
    RegisterToolBarActions();

    mp_ui->roomSplitter->setSizes({width() - LIST_WIDTH, LIST_WIDTH});
    if (sizeManager) {
        sizeManager->RegisterSplitter(QStringLiteral("room_list_splitter"), mp_ui->roomSplitter, {});
        sizeManager->RegisterTreeWidget(QStringLiteral("room_list"), mp_ui->roomList);
    }

    if (gp_server) {
        connect(gp_server, &Server::PrivateRoomAddEnabled, this, &RoomsForm::OnPrivateRoomAddEnabled);
        connect(gp_server, &Server::Connected, this, &RoomsForm::OnConnected);
    }
    if (actionBar)
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &RoomsForm::OnToolBarActionTriggered);
    connect(mp_ui->roomsTabControl, &QTabWidget::tabCloseRequested, this, &RoomsForm::OnRoomTabClosed);

    EnsureType("room_wall_form", ROOT, false, true);
    EnsureRelation("room_wall_form", "room", ONE, ONE, false);
    EnsureFlag("room", "room_activity_alert");
}

void RoomsForm::RegisterToolBarActions()
{
    if (!actionBar)
        return;
    actionBar->AddSetActions({
        {"room_list", "create_room", "Create Room", ":/icons/room_icon"},
        {"room_list", "refresh_room_list", "Refresh Room List", ":/icons/room_icon"},
        {"room_list", "enable_private_room_add", "Accept Private Room Invitations", ":/icons/room_icon"},
    });
    actionBar->RegisterWidget(mp_ui->roomList, QStringLiteral("room_list"));
    actionBar->AddWidgetColumnKey(mp_ui->roomList, QStringLiteral("room"), 0);
    actionBar->AddSetActions({
        {"room", "toggle_room_autojoin", "Toggle Autojoin", ":/icons/room_icon"},
        {"room", "toggle_room_activity_alert", "Toggle Activity Alert", ":/icons/alert_icon"},
        {"room", "room_chat_log", "Chat Log", ":/icons/note_icon"},
        {"room", "room_wall", "Room Wall", ":/icons/wall_icon"},
        {"room", "give_up_membership", "Give Up Membership", ":/icons/room_icon"},
        {"room", "give_up_ownership", "Give Up Room", ":/icons/room_icon"},
    });
}

// --------------------------------------------------------------- room rows

SortedRow* RoomsForm::RoomRow(Item const& i_room) const
{
    return reinterpret_cast<SortedRow*>(static_cast<std::uintptr_t>(i_room["room_node"].AsUInt64()));
}

void RoomsForm::OnRoomAdded(Item i_room)
{
    if (i_room.IsConnected("room_node"))
        return;
    QRoomListItemWidget* lp_row = new QRoomListItemWidget;
    SetNameCell(*lp_row, 0, i_room.AsString());
    i_room += d["room_node"]->GetItem(Value(lp_row));
    mp_order->Add(lp_row);
}

void RoomsForm::OnRoomRemoved(Item i_room)
{
    // Only a room that lists alone named goes (the server link drops those
    // the next list leaves out); its row goes with it.
    if (SortedRow* lp_row = RoomRow(i_room)) {
        i_room["room_node"].Remove();
        mp_order->Remove(lp_row);
    }
}

void RoomsForm::OnRoomUserCountChanged(Item i_room)
{
    // The count cell follows with the next batch: a room's count changes
    // with every member of a join answer.
    if (SortedRow* lp_row = RoomRow(i_room))
        mp_order->Place(lp_row);
}

void RoomsForm::SetRowFont(SortedRow* ip_row, QFont const& i_font)
{
    ip_row->setFont(0, i_font);
    mp_order->Place(ip_row);
}

void RoomsForm::MarkRole(Item const& i_room, bool i_underline, bool i_bold)
{
    SortedRow* lp_row = RoomRow(i_room);
    if (!lp_row)
        return;
    QFont l_font = lp_row->font(0);
    l_font.setItalic(true);
    if (i_underline)
        l_font.setUnderline(true);
    if (i_bold)
        l_font.setWeight(QFont::Bold);
    SetRowFont(lp_row, l_font);
}

void RoomsForm::OnBecomingRoomOwner(Item i_room)
{
    MarkRole(i_room, true, true);
}

void RoomsForm::OnBecomingRoomOperator(Item i_room)
{
    MarkRole(i_room, false, true);
}

void RoomsForm::OnBecomingRoomMember(Item i_room)
{
    if (!i_room.IsConnected("is_owner") && !i_room.IsConnected("is_operator"))
        MarkRole(i_room, false, false);
}

void RoomsForm::OnLosingRoomRole(Item i_room)
{
    if (SortedRow* lp_row = RoomRow(i_room))
        SetRowFont(lp_row, RoomRoleFont(lp_row->font(0), i_room));
}

// ---------------------------------------------------------- entering rooms

void RoomsForm::OnRoomListItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column)
{
    if (ip_item && i_column == 0 && gp_server && !CellName(*ip_item, 0).isEmpty())
        gp_server->EnterRoom(CellName(*ip_item, 0), false);
}

void RoomsForm::OnRoomListContextMenuRequested(QPoint i_point)
{
    QTreeWidget* lp_list = mp_ui->roomList;
    if (!lp_list->itemAt(i_point))
        return;
    QMenu l_menu;
    l_menu.addAction(QIcon(QStringLiteral(":/icons/room_icon")), QStringLiteral("Enter Room"), this,
                     &RoomsForm::OnEnterRoom);
    l_menu.exec(lp_list->viewport()->mapToGlobal(i_point));
}

void RoomsForm::OnEnterRoom()
{
    QList<QTreeWidgetItem*> const l_selected = mp_ui->roomList->selectedItems();
    if (!l_selected.isEmpty() && gp_server && !CellName(*l_selected.first(), 0).isEmpty())
        gp_server->EnterRoom(CellName(*l_selected.first(), 0), false);
}

void RoomsForm::ShowCreateRoomDialog()
{
    if (!createRoomDialog)
        new CreateRoomDialog(this);
    createRoomDialog->show();
    createRoomDialog->raise();
    createRoomDialog->activateWindow();
}

// ---------------------------------------------------------------- the tabs

void RoomsForm::OnEnteredRoom(ConnectionInfo& i_connection)
{
    QString const l_name = i_connection.m_item1.AsString();
    RoomForm* lp_page = new RoomForm(l_name, nullptr);
    AddNamedTab(mp_ui->roomsTabControl, lp_page, QIcon(QStringLiteral(":/icons/room_icon")), l_name);
    lp_page->Init();
}

void RoomsForm::OnRoomTabClosed(int i_index)
{
    // A room page leaves its room as it goes; a wall or a log forgets its
    // binding.
    delete mp_ui->roomsTabControl->widget(i_index);
}

void RoomsForm::OpenRoomWall(Item const& i_room)
{
    QWidget* lp_wall = reinterpret_cast<QWidget*>(static_cast<std::uintptr_t>(i_room["room_wall_form"].AsUInt64()));
    if (!lp_wall) {
        lp_wall = new RoomWallForm(i_room.AsString(), this);
        i_room += d["room_wall_form"]->GetItem(Value(lp_wall));
        AddNamedTab(mp_ui->roomsTabControl, lp_wall, QIcon(QStringLiteral(":/icons/wall_icon")), i_room.AsString());
    }
    FocusWidgetAndParents(lp_wall);
}

void RoomsForm::OpenRoomChatLog(Item const& i_room)
{
    ChatLogForm::Open(ChatLogKind::ROOM, i_room.AsString(), mp_ui->roomsTabControl);
}

// ------------------------------------------------------------ the commands

void RoomsForm::ToggleFlag(Item const& i_room, char const* ip_flag)
{
    SetFlag(i_room, ip_flag, !i_room.IsConnected(ip_flag));
}

QString RoomsForm::GiveUpQuestion(QString const& i_room, bool i_ownership)
{
    return (i_ownership ? QStringLiteral("Are you SURE you want to give up your ownership of the %1 private room?")
                        : QStringLiteral("Are you sure you want to give up your membership to the %1 private room?"))
        .arg(Isolated(i_room));
}

void RoomsForm::GiveUpMembership(Item const& i_room)
{
    if (!GiveUpActionsFor(i_room).m_membership)
        return;
    QString const l_name = i_room.AsString();
    if (Confirm(QStringLiteral("Give up membership?"),
                GiveUpQuestion(l_name, false)) &&
        gp_server)
        gp_server->GiveUpPrivateRoomMembership(l_name);
}

void RoomsForm::GiveUpOwnership(Item const& i_room)
{
    if (!GiveUpActionsFor(i_room).m_ownership)
        return;
    QString const l_name = i_room.AsString();
    if (!Confirm(QStringLiteral("Give up membership?"),
                 GiveUpQuestion(l_name, true)) ||
        !Confirm(QStringLiteral("REALLY?"), QStringLiteral("REALLY?")) || !gp_server)
        return;
    gp_server->GiveUpPrivateRoom(l_name);
    gp_server->LeaveRoom(l_name);
}

void RoomsForm::OnToolBarActionTriggered(QWidget*, QString i_action)
{
    if (i_action == QLatin1String("refresh_room_list")) {
        if (gp_server)
            gp_server->GetRoomList();
        return;
    }
    if (i_action == QLatin1String("create_room")) {
        ShowCreateRoomDialog();
        return;
    }
    if (i_action == QLatin1String("enable_private_room_add")) {
        // What a click asks for is the opposite of what the server last
        // confirmed; the text changes with the server's answer.
        if (gp_server)
            gp_server->EnablePrivateRoomAdd(!IsSettingYes("enable_private_room_add"));
        return;
    }
    if (std::find(std::begin(s_roomActions), std::end(s_roomActions), i_action) == std::end(s_roomActions))
        return;
    // A command without a room must not make a room of the empty name.
    QString const l_name = actionBar ? actionBar->GetKey(QStringLiteral("room")) : QString();
    if (l_name.isEmpty())
        return;
    Item const l_room = d["room"]->GetItem(Value(l_name));
    if (i_action == QLatin1String("toggle_room_autojoin"))
        ToggleFlag(l_room, "room_autojoin");
    else if (i_action == QLatin1String("toggle_room_activity_alert"))
        ToggleFlag(l_room, "room_activity_alert");
    else if (i_action == QLatin1String("room_chat_log"))
        OpenRoomChatLog(l_room);
    else if (i_action == QLatin1String("room_wall"))
        OpenRoomWall(l_room);
    else if (i_action == QLatin1String("give_up_membership"))
        GiveUpMembership(l_room);
    else
        GiveUpOwnership(l_room);
}

// ------------------------------------------------- private-room invitations

void RoomsForm::OnPrivateRoomAddEnabled(bool i_enabled)
{
    SetSwitch("enable_private_room_add", i_enabled);
    if (actionBar)
        actionBar->SetWidgetActionText(mp_ui->roomList, QStringLiteral("enable_private_room_add"),
                                       i_enabled ? s_rejectInvitations : s_acceptInvitations);
}

void RoomsForm::OnConnected()
{
    // A login starts with invitations off: the action must offer to accept
    // them, or a click would do the opposite of what it says.
    OnPrivateRoomAddEnabled(false);
}
