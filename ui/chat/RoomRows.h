#ifndef QUILLMAR_UI_CHAT_ROOMROWS_H
#define QUILLMAR_UI_CHAT_ROOMROWS_H

// The rows of the rooms page's two kinds of list, and what they show and
// sort by: a room of the room list (RoomsForm) and a member of a room page's
// member list (RoomForm). A row holds no data of its own: its name cell
// leads to the store, and every other value is looked up there. The order
// is kept by SortedRows.

#include "ui/chat/SortedRows.h"

#include "store/Data.h"

#include <QFont>
#include <QIcon>
#include <QString>
#include <QTreeWidgetItem>

// ---------------------------------------------------------------- room list

// A name cell: the name, or, when it is too long to show whole (a row is
// laid out again at every paint, and a name may be thousands of
// characters), its start (ShortName) with the whole name kept beside it and
// in the tool tip.
void SetNameCell(QTreeWidgetItem& io_row, int i_column, QString const& i_name);
// The whole name of a name cell.
QString CellName(QTreeWidgetItem const& i_row, int i_column);

// Column 0: the room name; column 1: the user count, empty for 0.
class QRoomListItemWidget : public SortedRow
{
};

// By name (column 0): owned rooms first, then operated ones, then those of
// which the own account is a member, each group by name without regard to
// case. By count (any other column): the number in column 1.
RowKey RoomListKey(QTreeWidgetItem const& i_row, int i_column);
// The count cell from the room's "user_count": empty for 0.
void RefreshRoomRow(QTreeWidgetItem& io_row);
// The row's font recomputed from the room's roles: italic for a member,
// underlined for the owner, bold for an operator.
QFont RoomRoleFont(QFont i_font, Item const& i_room);

// -------------------------------------------------------------- member list

enum MemberColumn {
    MEMBER_BLANK = 0,
    MEMBER_FLAG = 1,
    MEMBER_NAME = 2,
    MEMBER_NOTE = 3,
    MEMBER_FILES = 4,
    MEMBER_SPEED = 5,
    MEMBER_COLUMNS = 6
};

class QRoomUserListItemWidget : public SortedRow
{
};

// Country (case-insensitive), notes first, most files first, fastest
// first, or the name (case-insensitive) for the other columns.
RowKey MemberKey(QTreeWidgetItem const& i_row, int i_column);
// The flag of a country code: a cat for none.
QString FlagIconPath(QString const& i_countryCode);
QIcon NoteIcon();
// KiB/s with one decimal; empty for 0.
QString SpeedText(int i_bytesPerSecond);
// Fills the cells of a new member row from the store: name, flag, files,
// speed, note, and the name's weight and underline for the room's
// operators and owner.
void FillMemberRow(QTreeWidgetItem& io_row, Item const& i_user, Item const& i_room);
void SetMemberBold(QTreeWidgetItem& io_row, bool i_bold);
// The owner's name is underlined; bold as he is (still) an operator.
void SetMemberOwner(QTreeWidgetItem& io_row, bool i_owner, bool i_bold);

#endif
