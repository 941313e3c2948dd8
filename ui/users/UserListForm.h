#ifndef QUILLMAR_UI_USERS_USERLISTFORM_H
#define QUILLMAR_UI_USERS_USERLISTFORM_H

// The "Users" page: the user's own list of users (online state, shared
// files, speed, groups, note), the users his shares are withheld from, the
// ignored users, the users with an online alert, and the information pages
// of other users (UserInfoForm). Every row mirrors store items that the
// server link, the share index and the user menu (UserMenuOptions) change.
// The page also answers other users' information requests (UserInfoReply).
// Its dialogs are in this folder; design notes: docs/users.md.

#include "store/Data.h"
#include "store/DataSaver.h"
#include "ui/users/UserInfoReply.h"

#include <QIcon>
#include <QPoint>
#include <QString>
#include <QTimer>
#include <QTreeWidgetItem>
#include <QWidget>

class Ui_UserListForm;
class UserInfoForm;
class QTreeWidget;

// A row of the user list: online users first, then by name without regard
// to case, whatever the sort column.
class UserListItemWidget : public QTreeWidgetItem
{
public:
    enum { USER_LIST_ROW = QTreeWidgetItem::UserType + 1 };
    UserListItemWidget() : QTreeWidgetItem(USER_LIST_ROW) {}

    // The user's online state as the row shows it (the page keeps it with
    // the icon, so that a sort reads no store).
    void SetOnline(bool i_online) { m_online = i_online; }
    bool IsOnline() const { return m_online; }
    bool operator<(QTreeWidgetItem const& i_other) const override;

private:
    bool m_online = false;
};

class UserListForm : public QWidget, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit UserListForm(QWidget* ip_parent = nullptr);
    ~UserListForm() override;

    // Before the saved data is loaded: the alert type, the load's callback,
    // the login's signal.
    void Init();
    // After the load: the rows, the subscriptions, the tool bar's set.
    void DataLoaded() override;

    // The user's information page, made (and his information asked for) on
    // first use.
    UserInfoForm* GetUserInfoForm(QString const& i_user);
    void UpdateUserGroupsDisplay(QString const& i_user);

    // The note's first line, trimmed, with " ..." when more follows.
    static QString FirstLineOf(QString const& i_text);

    Ui_UserListForm* Form() const { return mp_ui; }

public slots:
    void OnConnected();
    void OnUserItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnUserListContextMenuRequested(QPoint i_point);
    void OnUnsharedListContextMenuRequested(QPoint i_point);
    void OnIgnoredListContextMenuRequested(QPoint i_point);
    void OnOnlineAlertListContextMenuRequested(QPoint i_point);
    void OnActionBarTriggered(QWidget* ip_widget, QString i_action);
    void OnUserInfoTabCloseRequested(int i_index);
    void OnUserInfoRequested(QString i_user);
    // Puts the user list in its order again (scheduled by status changes).
    void SortUserList();

private:
    // The store handlers, each given the "user" item.
    void OnUserOnline(Item i_user);
    void OnUserOffline(Item i_user);
    void OnUserAddedToList(Item i_user);
    void OnUserRemovedFromList(Item i_user);
    void OnUserUnshared(Item i_user);
    void OnUserReshared(Item i_user);
    void OnUserIgnored(Item i_user);
    void OnUserUnignored(Item i_user);
    void OnUserNoteChanged(Item i_user);
    void OnUserNoteRemoved(Item i_user);
    void OnUserOnlineAlertAdded(Item i_user);
    void OnUserOnlineAlertRemoved(Item i_user);
    void OnUserGroupAdded(Item i_user);
    void OnUserGroupRemoved(Item i_user);
    void OnUserSharedFileCount(Item i_user);
    void OnUserAverageSpeed(Item i_user);

    // A row of the tree for the user, bound to him by a node item of that type.
    void BindRow(QTreeWidgetItem* ip_row, char const* ip_nodeType, Item const& i_user);
    QTreeWidgetItem* AddRow(QTreeWidget* ip_tree, char const* ip_nodeType, Item const& i_user);
    // A new row of the user list, not yet in the tree; null when the user
    // has his row.
    UserListItemWidget* NewUserListRow(Item const& i_user);
    // A row of the Unshared or Ignored list, with the whole note.
    void AddNotedRow(QTreeWidget* ip_tree, char const* ip_nodeType, Item const& i_user);
    void AddOnlineAlertRow(Item const& i_user);
    void RemoveRow(char const* ip_nodeType, Item const& i_user);
    void SetOnlineIcon(QTreeWidgetItem* ip_row, bool i_online);
    void SetNote(QTreeWidgetItem* ip_row, int i_column, QString const& i_text, bool i_noted);
    // The list row's state follows the user's; the order follows soon after.
    void ShowUserListRowOnline(Item const& i_user, bool i_online);
    void ScheduleSort();
    void ShowContextMenu(QTreeWidget* ip_tree, QPoint i_point);
    void Subscribe(char const* ip_step, PathNodeRelation i_relation, void (UserListForm::*ip_handler)(Item));
    void SubscribeListed(char const* ip_step, void (UserListForm::*ip_handler)(Item));

    Ui_UserListForm* mp_ui;
    QIcon const m_onlineIcon;
    QIcon const m_offlineIcon;
    QIcon const m_noteIcon;
    bool m_loaded = false;
    QTimer m_sortTimer;
    UserInfoReply m_reply;
};

// The one instance, set by the constructor.
extern UserListForm* userListForm;

#endif
