#include "ui/users/UserMenuOptions.h"

#include "ui/users/GiftPrivilegesDialog.h"
#include "ui/users/UserGroupsDialog.h"
#include "ui/users/UserInfoForm.h"
#include "ui/users/UserListForm.h"
#include "ui/users/UserNoteDialog.h"

#include "server/Server.h"
#include "server/StoreTypes.h"
#include "store/Settings.h"
#include "store/windows/FocusWidget.h"
#include "store/windows/ItemLogDialog.h"
#include "transfers/TransferQueueManager.h"
#include "ui/chat/ChatsForm.h"
#include "ui/transfers/SharesForm.h"
#include "ui/widgets/TabWidget.h"
#include "ui/widgets/UserPageHooks.h"

#include <QAction>
#include <QIcon>
#include <QMenu>

#include <map>
#include <string>

namespace {

// The icons of one menu, each read from its file once: a file read for
// each of a thousand room entries would cost a fifth of a second.
class Icons
{
public:
    QIcon const& operator()(char const* ip_name)
    {
        auto l_icon = m_icons.find(ip_name);
        if (l_icon == m_icons.end())
            l_icon = m_icons.emplace(ip_name, QIcon(QStringLiteral(":/icons/") + QLatin1String(ip_name))).first;
        return l_icon->second;
    }

private:
    std::map<std::string, QIcon> m_icons;
};

bool IsRoleOf(Item const& i_user, Item const& i_room, char const* ip_role)
{
    Item const l_role = i_room[ip_role];
    return l_role.IsValid() && i_user.IsConnected(l_role);
}

} // namespace

UserMenuOptions::UserMenuOptions(QMenu* ip_menu, QString const& i_user, QObject* ip_parent)
    : QObject(ip_parent), m_user(i_user)
{
    if (!ip_menu->actions().isEmpty())
        ip_menu->addSeparator();
    Item const l_user = UserItem();
    Icons Icon;
    ip_menu->addAction(Icon("chat_icon"), QStringLiteral("Message user"), this, &UserMenuOptions::OnMessageUser);
    if (l_user.IsConnected("in_user_list")) {
        ip_menu->addAction(Icon("users_icon"), QStringLiteral("Set user's groups"), this,
                           &UserMenuOptions::OnSetUserGroups);
        ip_menu->addAction(Icon("remove_user_icon"), QStringLiteral("Remove user from list"), this,
                           &UserMenuOptions::OnRemoveUser);
    } else {
        ip_menu->addAction(Icon("add_user_icon"), QStringLiteral("Add user to list"), this, &UserMenuOptions::OnAddUser);
    }
    ip_menu->addAction(Icon("browse_icon"), QStringLiteral("Browse user's files"), this, &UserMenuOptions::OnBrowseUser);
    ip_menu->addAction(Icon("browse_icon"), QStringLiteral("Upload to user"), this, &UserMenuOptions::OnUploadToUser);
    ip_menu->addAction(Icon("info_icon"), QStringLiteral("Get User Info"), this, &UserMenuOptions::OnGetUserInfo);
    ip_menu->addAction(Icon("note_icon"),
                       l_user.IsConnected("user_note") ? QStringLiteral("Edit user note")
                                                       : QStringLiteral("Add user note"),
                       this, &UserMenuOptions::OnUserNote);
    ip_menu->addAction(Icon("alert_icon"),
                       l_user.IsConnected("user_online_alert") ? QStringLiteral("Remove online status alert")
                                                               : QStringLiteral("Alert when user goes online"),
                       this, &UserMenuOptions::OnAddRemoveOnlineAlert);
    if (GetSettingInt("privileges_time_left") > 0)
        ip_menu->addAction(Icon("gift_icon"), QStringLiteral("Gift Privileges"), this,
                           &UserMenuOptions::OnGiftPrivileges);
    ip_menu->addSeparator();
    if (l_user.IsConnected("unshared"))
        ip_menu->addAction(Icon("browse_icon"), QStringLiteral("Re-share files with user"), this,
                           &UserMenuOptions::OnReshareFilesWithUser);
    else
        ip_menu->addAction(Icon("browse_icon"), QStringLiteral("Unshare files from user"), this,
                           &UserMenuOptions::OnUnshareFilesFromUser);
    if (l_user.IsConnected("is_ignored"))
        ip_menu->addAction(Icon("chat_icon"), QStringLiteral("Unignore user"), this, &UserMenuOptions::OnUnignoreUser);
    else
        ip_menu->addAction(Icon("chat_icon"), QStringLiteral("Ignore user"), this, &UserMenuOptions::OnIgnoreUser);
    AddPrivateRooms(ip_menu);
    if (GetSetting("user_level_logging") == QLatin1String("yes")) {
        ip_menu->addSeparator();
        ip_menu->addAction(QStringLiteral("See User Log"), this, &UserMenuOptions::OnUserLog);
    }
}

UserMenuOptions::~UserMenuOptions() = default;

void UserMenuOptions::AddPrivateRooms(QMenu* ip_menu)
{
    if (!d.HasType("is_owner") || !d.HasType("is_operator"))
        return;
    if (d["is_owner"]->GetGlobalNullItem().CountItems("room") == 0 &&
        d["is_operator"]->GetGlobalNullItem().CountItems("room") == 0)
        return;
    ip_menu->addSeparator();
    // Its rooms are entered when it first opens: a thousand of them take
    // longer to enter than the rest of the menu.
    QMenu* lp_rooms = ip_menu->addMenu(QStringLiteral("Private Rooms"));
    connect(lp_rooms, &QMenu::aboutToShow, this, [this, lp_rooms] {
        if (lp_rooms->isEmpty())
            FillPrivateRooms(lp_rooms);
    });
}

void UserMenuOptions::FillPrivateRooms(QMenu* ip_rooms)
{
    Item const l_user = UserItem();
    ItemList const l_owned = d["is_owner"]->GetGlobalNullItem().GetItems("room").SortAlphabetic(true, true);
    ItemList const l_operated = d["is_operator"]->GetGlobalNullItem().GetItems("room").SortAlphabetic(true, true);
    QIcon const l_roomIcon(QStringLiteral(":/icons/chat_icon"));
    auto const l_addEntry = [this](QMenu* ip_roomMenu, QString const& i_room, QString const& i_text,
                                   void (UserMenuOptions::*ip_slot)()) {
        QAction* lp_action = ip_roomMenu->addAction(i_text, this, ip_slot);
        lp_action->setData(i_room);
    };
    auto const l_addMembership = [&](QMenu* ip_roomMenu, QString const& i_room, bool i_member) {
        if (i_member)
            l_addEntry(ip_roomMenu, i_room, QStringLiteral("Remove User's Membership"),
                       &UserMenuOptions::OnRemoveUserMembership);
        else
            l_addEntry(ip_roomMenu, i_room, QStringLiteral("Give User Membership"),
                       &UserMenuOptions::OnAddUserMembership);
    };
    for (Item const& l_room : l_owned) {
        QString const l_name = l_room.AsString();
        QMenu* lp_room = ip_rooms->addMenu(l_roomIcon, LiteralTitle(l_name));
        QFont l_font = lp_room->menuAction()->font();
        l_font.setWeight(75);
        l_font.setUnderline(true);
        lp_room->menuAction()->setFont(l_font);
        bool const l_member = IsRoleOf(l_user, l_room, "room_members");
        bool const l_operator = IsRoleOf(l_user, l_room, "room_operators");
        l_addMembership(lp_room, l_name, l_member);
        if (l_member && !l_operator) {
            lp_room->addSeparator();
            l_addEntry(lp_room, l_name, QStringLiteral("Make User Operator"), &UserMenuOptions::OnAddUserOperatorship);
        }
        if (l_operator) {
            lp_room->addSeparator();
            l_addEntry(lp_room, l_name, QStringLiteral("Remove User's Operator Status"),
                       &UserMenuOptions::OnRemoveUserOperatorship);
        }
    }
    for (Item const& l_room : l_operated) {
        if (l_room.IsConnected("is_owner"))
            continue;
        QString const l_name = l_room.AsString();
        l_addMembership(ip_rooms->addMenu(LiteralTitle(l_name)), l_name, IsRoleOf(l_user, l_room, "room_members"));
    }
}

Item UserMenuOptions::UserItem() const
{
    return d["user"]->GetItem(Value(m_user));
}

QString UserMenuOptions::ChosenRoom() const
{
    auto const* lp_action = qobject_cast<QAction const*>(sender());
    return lp_action ? lp_action->data().toString() : QString();
}

void UserMenuOptions::InstallHooks()
{
    UserPageHooks l_hooks;
    l_hooks.m_addUserMenu = [](QMenu* ip_menu, QString const& i_user) -> std::unique_ptr<QObject> {
        return std::make_unique<UserMenuOptions>(ip_menu, i_user, nullptr);
    };
    l_hooks.m_showUserNote = [](QString const& i_user) { UserNoteDialog::GetDialog(i_user)->setVisible(true); };
    SetUserPageHooks(l_hooks);
}

// ------------------------------------------------------------------ slots

void UserMenuOptions::OnMessageUser()
{
    if (chatsForm)
        chatsForm->OpenChatForm(m_user);
}

void UserMenuOptions::OnSetUserGroups()
{
    (new UserGroupsDialog(m_user, nullptr))->show();
}

void UserMenuOptions::OnAddUser()
{
    UserItem().NewItem("in_user_list");
    if (GetSetting("open_groups_on_user_add") == QLatin1String("yes"))
        OnSetUserGroups();
}

void UserMenuOptions::OnRemoveUser()
{
    // The entry goes with its group links: left in the store, it would be
    // unreachable until the next collection, and a user added again gets a
    // new one in no group either way.
    UserItem().GetItems("in_user_list").Remove();
}

void UserMenuOptions::OnBrowseUser()
{
    if (sharesForm)
        sharesForm->OpenShareBrowse(m_user);
}

void UserMenuOptions::OnUploadToUser()
{
    if (sharesForm)
        sharesForm->OpenUploadBrowse(m_user);
}

void UserMenuOptions::OnUserLog()
{
    (new ItemLogDialog(UserItem(), nullptr))->show();
}

void UserMenuOptions::OnUnshareFilesFromUser()
{
    if (transferQueueManager)
        transferQueueManager->UnshareUser(m_user);
}

void UserMenuOptions::OnReshareFilesWithUser()
{
    if (transferQueueManager)
        transferQueueManager->ReshareUser(m_user);
}

void UserMenuOptions::OnIgnoreUser()
{
    SetFlag(UserItem(), "is_ignored", true);
}

void UserMenuOptions::OnUnignoreUser()
{
    UserItem().Disconnect("is_ignored");
}

void UserMenuOptions::OnAddUserMembership()
{
    if (gp_server)
        gp_server->AddPrivateRoomMember(ChosenRoom(), m_user);
}

void UserMenuOptions::OnRemoveUserMembership()
{
    if (gp_server)
        gp_server->RemovePrivateRoomMember(ChosenRoom(), m_user);
}

void UserMenuOptions::OnAddUserOperatorship()
{
    if (gp_server)
        gp_server->AddPrivateRoomOperator(ChosenRoom(), m_user);
}

void UserMenuOptions::OnRemoveUserOperatorship()
{
    if (gp_server)
        gp_server->RemovePrivateRoomOperator(ChosenRoom(), m_user);
}

void UserMenuOptions::OnUserNote()
{
    UserNoteDialog::GetDialog(m_user)->setVisible(true);
}

void UserMenuOptions::OnGetUserInfo()
{
    if (userListForm)
        FocusWidgetAndParents(userListForm->GetUserInfoForm(m_user));
}

void UserMenuOptions::OnGiftPrivileges()
{
    (new GiftPrivilegesDialog(m_user, nullptr))->show();
}

void UserMenuOptions::OnAddRemoveOnlineAlert()
{
    Item const l_user = UserItem();
    if (l_user.IsConnected("user_online_alert")) {
        l_user.Disconnect("user_online_alert");
        return;
    }
    l_user += d["user_online_alert"]->GetGlobalNullItem();
    if (gp_server)
        gp_server->TrackUser(m_user);
}
