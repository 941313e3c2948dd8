#ifndef QUILLMAR_UI_CHAT_ROOMSFORM_H
#define QUILLMAR_UI_CHAT_ROOMSFORM_H

#include "store/Data.h"

#include <QPoint>
#include <QString>
#include <QWidget>

class QTreeWidgetItem;
class SortedRow;
class SortedRows;
class Ui_RoomsForm;

// The Rooms page: a tab per joined room (RoomForm), per open room wall
// (RoomWallForm) and per open room chat log, beside the list of the rooms
// the server announced with their user counts and the own roles. Its
// commands (the "room_list" and "room" action sets of the tool bar) enter,
// create and refresh rooms, switch private-room invitations, auto-join and
// activity alerts, open a room's wall and log, and give up private rooms.
// It keeps no room state of its own: rows follow the store, and every
// request goes to the server link.
//
// A row is bound to its room by a "room_node" item keyed by the row's
// address; an open wall by a "room_wall_form" item keyed by the page's.
class RoomsForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    explicit RoomsForm(QWidget* ip_parent = nullptr);
    ~RoomsForm() override;

    // Types, rows of the rooms that exist, subscriptions and tool-bar
    // actions; after the saved data is loaded.
    void Init();

    Ui_RoomsForm* Form() const { return mp_ui; }
    // The room list's order, for those who must see it settled now.
    SortedRows* RoomOrder() const { return mp_order; }

public slots:
    void OnRoomListContextMenuRequested(QPoint i_point);
    void OnPrivateRoomAddEnabled(bool i_enabled);
    void OnConnected();
    void OnToolBarActionTriggered(QWidget* ip_widget, QString i_action);
    void OnEnterRoom();
    void OnRoomTabClosed(int i_index);
    void OnRoomListItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column);

public:
    // Store handlers.
    void OnRoomAdded(Item i_room);
    void OnRoomRemoved(Item i_room);
    void OnRoomUserCountChanged(Item i_room);
    void OnBecomingRoomOwner(Item i_room);
    void OnBecomingRoomOperator(Item i_room);
    void OnBecomingRoomMember(Item i_room);
    void OnLosingRoomRole(Item i_room);
    void OnEnteredRoom(ConnectionInfo& i_connection);

    // The question before giving up the membership of a private room, or
    // its ownership.
    static QString GiveUpQuestion(QString const& i_room, bool i_ownership);

private:
    void DeclareTypes();
    void RegisterToolBarActions();
    void Subscribe(char const* ip_flag, PathNodeRelation i_relation, void (RoomsForm::*ip_handler)(Item));
    SortedRow* RoomRow(Item const& i_room) const;
    // Applies a role's marks to the row's font, keeping the others.
    void MarkRole(Item const& i_room, bool i_underline, bool i_bold);
    void SetRowFont(SortedRow* ip_row, QFont const& i_font);
    void ShowCreateRoomDialog();
    void ToggleFlag(Item const& i_room, char const* ip_flag);
    // Bring the room's open wall or log forward, or open one as a tab.
    void OpenRoomWall(Item const& i_room);
    void OpenRoomChatLog(Item const& i_room);
    void GiveUpMembership(Item const& i_room);
    void GiveUpOwnership(Item const& i_room);

    Ui_RoomsForm* mp_ui;
    SortedRows* mp_order = nullptr;
};

#endif
