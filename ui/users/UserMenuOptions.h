#ifndef QUILLMAR_UI_USERS_USERMENUOPTIONS_H
#define QUILLMAR_UI_USERS_USERMENUOPTIONS_H

// The user menu: the one menu of commands about another user that every
// list of users offers on a right click (the user list page's lists here;
// the search results, transfers, room members and private chats through
// AddUserMenu of ui/widgets/UserPageHooks.h). Its entries are chosen and
// labelled by the store's state when the menu is built; the chosen one is
// carried out in a slot while the menu runs. Lives on the caller's stack
// for one showing of the menu.

#include "store/Data.h"

#include <QObject>
#include <QString>

class QMenu;

class UserMenuOptions : public QObject
{
    Q_OBJECT

public:
    UserMenuOptions(QMenu* ip_menu, QString const& i_user, QObject* ip_parent = nullptr);
    ~UserMenuOptions() override;

    // Lets the pages below the users page build the menu and open notes.
    static void InstallHooks();

public slots:
    void OnMessageUser();
    void OnSetUserGroups();
    void OnAddUser();
    void OnRemoveUser();
    void OnBrowseUser();
    void OnUploadToUser();
    void OnUserLog();
    void OnUnshareFilesFromUser();
    void OnReshareFilesWithUser();
    void OnIgnoreUser();
    void OnUnignoreUser();
    void OnAddUserMembership();
    void OnRemoveUserMembership();
    void OnAddUserOperatorship();
    void OnRemoveUserOperatorship();
    void OnUserNote();
    void OnGetUserInfo();
    void OnGiftPrivileges();
    void OnAddRemoveOnlineAlert();

private:
    // The "Private Rooms" submenu: the rooms the own account owns (with the
    // user's membership and operator status) and those it operates (with
    // his membership), entered when it is first shown.
    void AddPrivateRooms(QMenu* ip_menu);
    void FillPrivateRooms(QMenu* ip_rooms);
    Item UserItem() const;
    // The room of the room entry that was chosen.
    QString ChosenRoom() const;

    QString m_user;
};

#endif
