#ifndef QUILLMAR_UI_CHAT_ROOMFORM_H
#define QUILLMAR_UI_CHAT_ROOMFORM_H

#include "store/Data.h"

#include <QHash>
#include <QPoint>
#include <QString>
#include <QUrl>
#include <QWidget>

class QTimer;
class QTreeWidgetItem;
class SortedRow;
class SortedRows;
class Ui_RoomForm;

// Which of the give-up actions a room's page offers for the own account's
// roles in the room ("is_member", "is_operator", "is_owner"): the owner
// gives up his room, a member or an operator (who is a member too) his
// membership; in a public room neither.
struct GiveUpActions
{
    bool m_membership = false;
    bool m_ownership = false;
};
GiveUpActions GiveUpActionsFor(Item const& i_room);

// The tab of one joined room on the Rooms page: the room's chat with its
// entry line (a ChatView, which shows and logs the lines by the chat rules
// the private pages share), and the member list (flag, name in the weight of the user's
// role, note, files, speed). The rooms page makes it when the room becomes
// joined ("in_room") and deletes it when its tab is closed; the page itself
// goes when the server takes the account out of the room. Closing the tab
// leaves the room; the server's answer then unlinks "in_room".
//
// Members are rows of the list keyed by name (m_rows); a row appears once
// the user is in the room with his statistics and country known, and the
// page keeps the room's "user_count" equal to the users in the room (from
// the next turn of the event loop on).
class RoomForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    RoomForm(QString const& i_room, QWidget* ip_parent = nullptr);
    ~RoomForm() override;

    // Once the page is in its tab: stored sizes and the entry line's focus.
    void Init();

    QString const& Room() const { return m_room; }
    Ui_RoomForm* Form() const { return mp_ui; }
    // The member list's order, for those who must see it settled now.
    SortedRows* MemberOrder() const { return mp_order; }

    // A status line in the chat: shown, never logged.
    void AddStatusMessage(QString const& i_text);

public slots:
    void OnRoomChat(QString i_room, QString i_user, QString i_text);
    void OnEnterPressed();
    void OnConnected();
    void OnDisconnected();
    void OnURLClicked(QUrl i_url);
    void OnUserItemClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnUserItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnUserListContextMenuRequested(QPoint i_point);

public:
    // Store handlers: the room and the page's actions.
    void OnLeftRoom(Item i_room);
    void OnRoomAutojoinOn(Item i_room);
    void OnRoomAutojoinOff(Item i_room);
    void OnRoomActivityAlertOn(Item i_room);
    void OnRoomActivityAlertOff(Item i_room);
    void ShowGiveUpActions(Item i_room);
    // Store handlers: the member list.
    void OnUserAdded(Item i_user);
    void OnUserRemoved(Item i_user);
    void OnOperatorAdded(Item i_user);
    void OnOperatorRemoved(Item i_user);
    void OnOwnerAdded(Item i_user);
    void OnOwnerRemoved(Item i_user);
    void OnUserNoteChanged(Item i_user);
    void OnUserNoteRemoved(Item i_user);

private:
    void SetUpMemberList();
    void SubscribeMembers();
    void RegisterToolBarActions();
    void SetActionText(char const* ip_action, QString const& i_text);
    // The count is set once per turn of the event loop: a join answer of
    // thousands adds its members over a few turns, and each count of a
    // new number makes a store item.
    void CountUsers();
    void OnCountDue();
    SortedRow* Row(Item const& i_user) const;
    void SetNoteIcon(Item const& i_user, bool i_note);

    Ui_RoomForm* mp_ui;
    QString const m_room;
    Item m_roomItem;
    QHash<QString, SortedRow*> m_rows;
    SortedRows* mp_order = nullptr;
    QTimer* mp_countTimer;
    bool m_leftRoom = false;
};

#endif
