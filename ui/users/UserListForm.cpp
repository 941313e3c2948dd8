// The users page: its four lists of users kept in step with the store, the
// tool bar's commands, the information tabs and the answer to information
// requests. The user menu that its lists open is UserMenuOptions.

#include "ui/users/UserListForm.h"

#include "ui/users/AddUserDialog.h"
#include "ui/users/MessageUsersDialog.h"
#include "ui/users/UserGroupConfigDialog.h"
#include "ui/users/UserInfoForm.h"
#include "ui/users/UserMenuOptions.h"
#include "ui_UserListForm.h"

#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "server/StoreTypes.h"
#include "store/Utilities.h"
#include "store/windows/FocusWidget.h"
#include "transfers/TransferItems.h"
#include "ui/chat/ChatsForm.h"
#include "ui/transfers/TransferRows.h"
#include "ui/widgets/ActionSetToolBar.h"
#include "ui/widgets/EventToolBar.h"
#include "ui/widgets/Globals.h"
#include "ui/widgets/SizeManager.h"
#include "ui/widgets/TabWidget.h"

#include <QIcon>
#include <QMenu>

UserListForm* userListForm = nullptr;

namespace {

typedef EventHandler<UserListForm, Item> UserHandler;

char const* const LIST_NODE = "user_list_node";
char const* const UNSHARED_NODE = "unshared_list_node";
char const* const IGNORED_NODE = "ignored_list_node";
char const* const ALERT_NODE = "online_alert_list_node";
char const* const INFO_FORM = "user_info_form";

enum Column { COL_USER, COL_FILES, COL_SPEED, COL_GROUPS, COL_NOTE };

// Status changes come in bursts (a login, a room joined): the list is put
// in order once for each burst, at most this often.
int const SORT_DELAY_MS = 250;

// The row a user's node of that type leads to; null when he has none.
QTreeWidgetItem* RowOf(Item const& i_user, char const* ip_nodeType)
{
    if (!d.HasType(ip_nodeType))
        return nullptr;
    return TransferItems::ObjectAt<QTreeWidgetItem>(i_user[ip_nodeType]);
}

Item UserNamed(QString const& i_name)
{
    return d["user"]->GetItem(Value(i_name));
}

QString NoteOf(Item const& i_user)
{
    return i_user["user_note"].AsString();
}

void SetUpColumns(QTreeWidget* ip_tree, QStringList const& i_labels, std::initializer_list<int> i_widths)
{
    ip_tree->setColumnCount(i_labels.size());
    ip_tree->setHeaderLabels(i_labels);
    int l_column = 0;
    for (int l_width : i_widths)
        ip_tree->setColumnWidth(l_column++, l_width);
    RegisterWidgetForTabFocus(ip_tree, 1);
}

} // namespace

// ------------------------------------------------------------------ rows

bool UserListItemWidget::operator<(QTreeWidgetItem const& i_other) const
{
    // Only the page makes the rows of its user list.
    bool const l_otherOnline = static_cast<UserListItemWidget const&>(i_other).m_online;
    if (m_online != l_otherOnline)
        return m_online;
    return text(COL_USER).compare(i_other.text(COL_USER), Qt::CaseInsensitive) < 0;
}

QString UserListForm::FirstLineOf(QString const& i_text)
{
    QString const l_trimmed = i_text.trimmed();
    QString const l_first = l_trimmed.section(QLatin1Char('\n'), 0, 0);
    return l_first == l_trimmed ? l_first : l_first + QStringLiteral(" ...");
}

// ------------------------------------------------------------------ page

UserListForm::UserListForm(QWidget* ip_parent)
    : QWidget(ip_parent),
      mp_ui(new Ui_UserListForm),
      // Made once: an icon read from its file at each use would cost more
      // than the rest of a row.
      m_onlineIcon(QStringLiteral(":/icons/online_icon")),
      m_offlineIcon(QStringLiteral(":/icons/offline_icon")),
      m_noteIcon(QStringLiteral(":/icons/note_icon"))
{
    userListForm = this;
    mp_ui->setupUi(this);
    layout()->setContentsMargins(0, 0, 0, 0);
    SetUpColumns(mp_ui->userList, {"User", "Files", "K/s", "Groups", "Note"}, {200, 80, 60, 300, 300});
    SetUpColumns(mp_ui->unsharedList, {"User", "Note"}, {200});
    SetUpColumns(mp_ui->ignoredList, {"User", "Note"}, {200});
    SetUpColumns(mp_ui->onlineAlertList, {"User"}, {200});

    connect(mp_ui->userList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnUserListContextMenuRequested);
    connect(mp_ui->unsharedList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnUnsharedListContextMenuRequested);
    connect(mp_ui->ignoredList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnIgnoredListContextMenuRequested);
    connect(mp_ui->onlineAlertList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnOnlineAlertListContextMenuRequested);
    for (QTreeWidget* lp_tree : {mp_ui->userList, mp_ui->unsharedList, mp_ui->ignoredList})
        connect(lp_tree, &QTreeWidget::itemDoubleClicked, this, &UserListForm::OnUserItemDoubleClicked);

    m_sortTimer.setSingleShot(true);
    m_sortTimer.setInterval(SORT_DELAY_MS);
    connect(&m_sortTimer, &QTimer::timeout, this, &UserListForm::SortUserList);
    UserMenuOptions::InstallHooks();
}

UserListForm::~UserListForm()
{
    // The node items hold the addresses of rows and pages that go with the
    // page.
    if (m_loaded && !g_showIsOver)
        for (char const* lp_type : {LIST_NODE, UNSHARED_NODE, IGNORED_NODE, ALERT_NODE, INFO_FORM})
            if (d.HasType(lp_type))
                d[lp_type]->RemoveAllItems();
    delete mp_ui;
    if (userListForm == this)
        userListForm = nullptr;
}

void UserListForm::Init()
{
    EnsureKeepingFlag("user", "user_online_alert");
    if (dataSaver) {
        dataSaver->AddSavedType("user_online_alert");
        dataSaver->AddSavedByConnectionType("user", "user_online_alert");
        dataSaver->AddDataLoadedEventHandler(this);
    }
    if (gp_server)
        connect(gp_server, &Server::Connected, this, &UserListForm::OnConnected);
}

void UserListForm::Subscribe(char const* ip_step, PathNodeRelation i_relation,
                             void (UserListForm::*ip_handler)(Item))
{
    PathNode* lp_root = new PathNode(&d, "user");
    new PathNode(lp_root, ip_step, i_relation);
    d.AddPathEventHandler(lp_root, new UserHandler(this, ip_handler));
}

void UserListForm::SubscribeListed(char const* ip_step, void (UserListForm::*ip_handler)(Item))
{
    PathNode* lp_root = new PathNode(&d, "user");
    new PathNode(lp_root, "in_user_list", PATH_CONNECTED_FIRES);
    new PathNode(lp_root, ip_step, PATH_CONNECTED_FIRES);
    d.AddPathEventHandler(lp_root, new UserHandler(this, ip_handler));
}

void UserListForm::DataLoaded()
{
    if (m_loaded)
        return;
    m_loaded = true;
    for (char const* lp_type : {LIST_NODE, UNSHARED_NODE, IGNORED_NODE, ALERT_NODE}) {
        EnsureType(lp_type, ROOT, false, true);
        EnsureRelation(lp_type, "user", ONE, ONE, false);
    }

    // The user list, put in order once it holds every row.
    QList<QTreeWidgetItem*> l_rows;
    for (Item const& l_user : d["in_user_list"]->GetItems().GetItems("user")) {
        UserListItemWidget* lp_row = NewUserListRow(l_user);
        if (!lp_row)
            continue;
        l_rows << lp_row;
        if (gp_server)
            gp_server->TrackUser(l_user.AsString());
        if (l_user.IsConnected("user_note"))
            SetNote(lp_row, COL_NOTE, FirstLineOf(NoteOf(l_user)), true);
    }
    mp_ui->userList->addTopLevelItems(l_rows);
    for (Item const& l_user : d["in_user_list"]->GetItems().GetItems("user"))
        UpdateUserGroupsDisplay(l_user.AsString());
    SortUserList();

    for (Item const& l_user : d["unshared"]->GetGlobalNullItem().GetItems("user"))
        AddNotedRow(mp_ui->unsharedList, UNSHARED_NODE, l_user);
    mp_ui->unsharedList->setSortingEnabled(true);
    for (Item const& l_user : d["is_ignored"]->GetGlobalNullItem().GetItems("user"))
        AddNotedRow(mp_ui->ignoredList, IGNORED_NODE, l_user);
    mp_ui->ignoredList->setSortingEnabled(true);
    ItemSet const l_alerted = d["user_online_alert"]->GetGlobalNullItem().GetItems("user");
    for (Item const& l_user : l_alerted)
        AddOnlineAlertRow(l_user);

    Subscribe("is_online", PATH_ON_CONNECT, &UserListForm::OnUserOnline);
    // Every user's, not only a listed one's: the online alerts follow the
    // state of users who are not in the list too.
    Subscribe("is_online", PATH_ON_DISCONNECT, &UserListForm::OnUserOffline);
    Subscribe("in_user_list", PATH_ON_CONNECT, &UserListForm::OnUserAddedToList);
    Subscribe("in_user_list", PATH_ON_DISCONNECT, &UserListForm::OnUserRemovedFromList);
    Subscribe("unshared", PATH_ON_CONNECT, &UserListForm::OnUserUnshared);
    Subscribe("unshared", PATH_ON_DISCONNECT, &UserListForm::OnUserReshared);
    Subscribe("is_ignored", PATH_ON_CONNECT, &UserListForm::OnUserIgnored);
    Subscribe("is_ignored", PATH_ON_DISCONNECT, &UserListForm::OnUserUnignored);
    Subscribe("user_note", PATH_ON_CONNECT, &UserListForm::OnUserNoteChanged);
    Subscribe("user_note", PATH_ON_DISCONNECT, &UserListForm::OnUserNoteRemoved);
    Subscribe("user_online_alert", PATH_ON_CONNECT, &UserListForm::OnUserOnlineAlertAdded);
    Subscribe("user_online_alert", PATH_ON_DISCONNECT, &UserListForm::OnUserOnlineAlertRemoved);

    if (actionBar) {
        actionBar->AddSetAction("user_list", "manual_add_user", "Add User", ":/icons/add_user_icon", false);
        actionBar->AddSetAction("user_list", "configure_user_groups", "Configure User Groups", ":/icons/users_icon",
                                false);
        actionBar->AddSetAction("user_list", "message_users", "Message Users", ":/icons/chat_icon", false);
        actionBar->RegisterWidget(mp_ui->userListTab, "user_list");
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &UserListForm::OnActionBarTriggered);
    }

    for (PathNodeRelation l_relation : {PATH_ON_CONNECT, PATH_ON_DISCONNECT}) {
        PathNode* lp_root = new PathNode(&d, "user");
        new PathNode(new PathNode(lp_root, "in_user_list", PATH_CONNECTED), "user_list_group", l_relation);
        d.AddPathEventHandler(lp_root, new UserHandler(this, l_relation == PATH_ON_CONNECT
                                                                 ? &UserListForm::OnUserGroupAdded
                                                                 : &UserListForm::OnUserGroupRemoved));
    }
    if (sizeManager)
        sizeManager->RegisterTreeWidget(QStringLiteral("user_list"), mp_ui->userList);

    connect(mp_ui->userInfoTabs, &QTabWidget::tabCloseRequested, this, &UserListForm::OnUserInfoTabCloseRequested);
    EnsureType(INFO_FORM, ROOT, false, true);
    EnsureRelation(INFO_FORM, "user", ONE, ONE, false);
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::UserInfoRequested, this, &UserListForm::OnUserInfoRequested);

    if (gp_server)
        for (Item const& l_user : l_alerted)
            gp_server->TrackUser(l_user.AsString());
    SubscribeListed("shared_file_count", &UserListForm::OnUserSharedFileCount);
    SubscribeListed("average_download_speed", &UserListForm::OnUserAverageSpeed);
}

void UserListForm::BindRow(QTreeWidgetItem* ip_row, char const* ip_nodeType, Item const& i_user)
{
    ip_row->setText(COL_USER, i_user.AsString());
    i_user += d[ip_nodeType]->GetItem(Value(ip_row));
}

QTreeWidgetItem* UserListForm::AddRow(QTreeWidget* ip_tree, char const* ip_nodeType, Item const& i_user)
{
    if (QTreeWidgetItem* lp_row = RowOf(i_user, ip_nodeType))
        return lp_row;
    auto* lp_row = new QTreeWidgetItem();
    BindRow(lp_row, ip_nodeType, i_user);
    ip_tree->addTopLevelItem(lp_row);
    return lp_row;
}

UserListItemWidget* UserListForm::NewUserListRow(Item const& i_user)
{
    if (RowOf(i_user, LIST_NODE))
        return nullptr;
    auto* lp_row = new UserListItemWidget();
    BindRow(lp_row, LIST_NODE, i_user);
    SetOnlineIcon(lp_row, false);
    return lp_row;
}

void UserListForm::AddNotedRow(QTreeWidget* ip_tree, char const* ip_nodeType, Item const& i_user)
{
    QTreeWidgetItem* lp_row = AddRow(ip_tree, ip_nodeType, i_user);
    if (i_user.IsConnected("user_note"))
        SetNote(lp_row, 1, NoteOf(i_user), true);
}

void UserListForm::AddOnlineAlertRow(Item const& i_user)
{
    QTreeWidgetItem* lp_row = AddRow(mp_ui->onlineAlertList, ALERT_NODE, i_user);
    mp_ui->onlineAlertList->sortByColumn(COL_USER, Qt::AscendingOrder);
    SetOnlineIcon(lp_row, i_user.IsConnected("is_online"));
}

void UserListForm::RemoveRow(char const* ip_nodeType, Item const& i_user)
{
    if (!d.HasType(ip_nodeType))
        return;
    Item const l_node = i_user[ip_nodeType];
    delete TransferItems::ObjectAt<QTreeWidgetItem>(l_node);
    l_node.Remove();
}

void UserListForm::SetNote(QTreeWidgetItem* ip_row, int i_column, QString const& i_text, bool i_noted)
{
    if (!ip_row)
        return;
    ip_row->setText(i_column, i_text);
    ip_row->setIcon(i_column, i_noted ? m_noteIcon : QIcon());
}

void UserListForm::SetOnlineIcon(QTreeWidgetItem* ip_row, bool i_online)
{
    if (!ip_row)
        return;
    ip_row->setIcon(COL_USER, i_online ? m_onlineIcon : m_offlineIcon);
    if (ip_row->type() == UserListItemWidget::USER_LIST_ROW)
        static_cast<UserListItemWidget*>(ip_row)->SetOnline(i_online);
}

void UserListForm::ShowUserListRowOnline(Item const& i_user, bool i_online)
{
    QTreeWidgetItem* lp_row = RowOf(i_user, LIST_NODE);
    if (!lp_row)
        return;
    SetOnlineIcon(lp_row, i_online);
    ScheduleSort();
}

void UserListForm::ScheduleSort()
{
    if (!m_sortTimer.isActive())
        m_sortTimer.start();
}

void UserListForm::SortUserList()
{
    m_sortTimer.stop();
    mp_ui->userList->sortItems(COL_USER, Qt::AscendingOrder);
}

void UserListForm::UpdateUserGroupsDisplay(QString const& i_user)
{
    Item const l_user = d["user"]->HasItem(Value(i_user));
    QTreeWidgetItem* lp_row = RowOf(l_user, LIST_NODE);
    if (!lp_row)
        return;
    QStringList l_groups;
    for (Item const& l_group : l_user["in_user_list"].GetItems("user_list_group").SortAlphabetic(true, true))
        l_groups << l_group.AsString();
    lp_row->setText(COL_GROUPS, l_groups.join(QStringLiteral(", ")));
}

// ------------------------------------------------------------------ store handlers

void UserListForm::OnUserOnline(Item i_user)
{
    ShowUserListRowOnline(i_user, true);
    if (i_user.IsConnected("user_online_alert") && eventToolBar) {
        QString const l_name = i_user.AsString();
        eventToolBar->AddEvent(Isolated(l_name) + " online", QStringLiteral(":/icons/online_icon"), mp_ui->onlineAlertList,
                               Isolated(l_name) + " is online", QStringLiteral("user_online"), true);
    }
    SetOnlineIcon(RowOf(i_user, ALERT_NODE), true);
}

void UserListForm::OnUserOffline(Item i_user)
{
    ShowUserListRowOnline(i_user, false);
    SetOnlineIcon(RowOf(i_user, ALERT_NODE), false);
}

void UserListForm::OnUserAddedToList(Item i_user)
{
    QString const l_name = i_user.AsString();
    UserListItemWidget* lp_row = NewUserListRow(i_user);
    if (!lp_row)
        return;
    mp_ui->userList->addTopLevelItem(lp_row);
    if (i_user.IsConnected("is_online"))
        OnUserOnline(i_user);
    if (gp_server)
        gp_server->TrackUser(l_name);
    UpdateUserGroupsDisplay(l_name);
    if (i_user.IsConnected("user_note"))
        SetNote(lp_row, COL_NOTE, FirstLineOf(NoteOf(i_user)), true);
    ScheduleSort();
    OnUserSharedFileCount(i_user);
    OnUserAverageSpeed(i_user);
    if (gp_server)
        gp_server->GetUserStats(l_name);
}

void UserListForm::OnUserRemovedFromList(Item i_user)
{
    RemoveRow(LIST_NODE, i_user);
}

void UserListForm::OnUserUnshared(Item i_user)
{
    AddNotedRow(mp_ui->unsharedList, UNSHARED_NODE, i_user);
}

void UserListForm::OnUserReshared(Item i_user)
{
    RemoveRow(UNSHARED_NODE, i_user);
}

void UserListForm::OnUserIgnored(Item i_user)
{
    AddNotedRow(mp_ui->ignoredList, IGNORED_NODE, i_user);
}

void UserListForm::OnUserUnignored(Item i_user)
{
    RemoveRow(IGNORED_NODE, i_user);
}

void UserListForm::OnUserNoteChanged(Item i_user)
{
    QString const l_note = NoteOf(i_user);
    SetNote(RowOf(i_user, LIST_NODE), COL_NOTE, FirstLineOf(l_note), true);
    SetNote(RowOf(i_user, UNSHARED_NODE), 1, l_note, true);
    SetNote(RowOf(i_user, IGNORED_NODE), 1, l_note, true);
}

void UserListForm::OnUserNoteRemoved(Item i_user)
{
    SetNote(RowOf(i_user, LIST_NODE), COL_NOTE, QString(), false);
    SetNote(RowOf(i_user, UNSHARED_NODE), 1, QString(), false);
    SetNote(RowOf(i_user, IGNORED_NODE), 1, QString(), false);
}

void UserListForm::OnUserOnlineAlertAdded(Item i_user)
{
    AddOnlineAlertRow(i_user);
}

void UserListForm::OnUserOnlineAlertRemoved(Item i_user)
{
    RemoveRow(ALERT_NODE, i_user);
}

void UserListForm::OnUserGroupAdded(Item i_user)
{
    UpdateUserGroupsDisplay(i_user.AsString());
}

void UserListForm::OnUserGroupRemoved(Item i_user)
{
    UpdateUserGroupsDisplay(i_user.AsString());
}

void UserListForm::OnUserSharedFileCount(Item i_user)
{
    QTreeWidgetItem* lp_row = RowOf(i_user, LIST_NODE);
    Item const l_count = i_user["shared_file_count"];
    if (lp_row && l_count.IsValid())
        lp_row->setText(COL_FILES, CommafyNumber(l_count.AsInt64()));
}

void UserListForm::OnUserAverageSpeed(Item i_user)
{
    QTreeWidgetItem* lp_row = RowOf(i_user, LIST_NODE);
    qint64 const l_speed = i_user["average_download_speed"].AsInt64();
    if (lp_row && l_speed != 0)
        lp_row->setText(COL_SPEED, TransferRows::SpeedText(l_speed));
}

void UserListForm::OnConnected()
{
    if (!gp_server || !d.HasType("in_user_list"))
        return;
    for (Item const& l_user : d["in_user_list"]->GetItems().GetItems("user"))
        gp_server->GetUserStats(l_user.AsString());
}

// ------------------------------------------------------------------ commands

void UserListForm::OnUserItemDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    if (ip_item && chatsForm)
        chatsForm->OpenChatForm(ip_item->text(COL_USER));
}

void UserListForm::ShowContextMenu(QTreeWidget* ip_tree, QPoint i_point)
{
    QTreeWidgetItem* lp_row = ip_tree->itemAt(i_point);
    if (!lp_row)
        return;
    QMenu l_menu;
    UserMenuOptions l_options(&l_menu, lp_row->text(COL_USER), nullptr);
    l_menu.exec(ip_tree->viewport()->mapToGlobal(i_point));
}

void UserListForm::OnUserListContextMenuRequested(QPoint i_point)
{
    ShowContextMenu(mp_ui->userList, i_point);
}

void UserListForm::OnUnsharedListContextMenuRequested(QPoint i_point)
{
    ShowContextMenu(mp_ui->unsharedList, i_point);
}

void UserListForm::OnIgnoredListContextMenuRequested(QPoint i_point)
{
    ShowContextMenu(mp_ui->ignoredList, i_point);
}

void UserListForm::OnOnlineAlertListContextMenuRequested(QPoint i_point)
{
    ShowContextMenu(mp_ui->onlineAlertList, i_point);
}

void UserListForm::OnActionBarTriggered(QWidget*, QString i_action)
{
    if (i_action == QLatin1String("configure_user_groups")) {
        // The open one is brought forward, not made again.
        if (userGroupConfigDialog)
            FocusWidget(userGroupConfigDialog);
        else
            (new UserGroupConfigDialog(this))->show();
    } else if (i_action == QLatin1String("message_users")) {
        if (!messageUsersDialog)
            new MessageUsersDialog(this);
        messageUsersDialog->show();
        messageUsersDialog->raise();
    } else if (i_action == QLatin1String("manual_add_user")) {
        (new AddUserDialog(this))->show();
    }
}

// ------------------------------------------------------------------ information

UserInfoForm* UserListForm::GetUserInfoForm(QString const& i_user)
{
    Item const l_user = UserNamed(i_user);
    if (auto* lp_page = TransferItems::ObjectAt<UserInfoForm>(l_user[INFO_FORM]))
        return lp_page;
    auto* lp_page = new UserInfoForm(this);
    lp_page->Init(i_user);
    AddNamedTab(mp_ui->userInfoTabs, lp_page, QIcon(QStringLiteral(":/icons/info_icon")), i_user);
    if (d.HasType(INFO_FORM))
        l_user += d[INFO_FORM]->GetItem(Value(lp_page));
    return lp_page;
}

void UserListForm::OnUserInfoTabCloseRequested(int i_index)
{
    auto* lp_page = qobject_cast<UserInfoForm*>(mp_ui->userInfoTabs->widget(i_index));
    if (!lp_page)
        return;
    mp_ui->userInfoTabs->removeTab(i_index);
    d[INFO_FORM]->HasItem(Value(lp_page)).Remove();
    lp_page->deleteLater();
}

void UserListForm::OnUserInfoRequested(QString i_user)
{
    // An answer: bounded and held back as every answer is.
    MemStream l_reply = m_reply.Build();
    if (peerMessenger)
        peerMessenger->SendMessageToUser(i_user, l_reply);
}
