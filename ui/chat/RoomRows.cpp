#include "ui/chat/RoomRows.h"

#include "store/Utilities.h"
#include "ui/widgets/OutsideText.h"

#include <QFile>
#include <QHash>
#include <QIcon>

// The flags are compiled into this static library; register them whenever
// the member rows are linked in.
static int InitFlags()
{
    Q_INIT_RESOURCE(flags);
    return 0;
}
static int const s_flagsRegistered = InitFlags();

namespace {

Item StoreItem(char const* ip_type, QString const& i_name)
{
    return d[ip_type]->HasItem(Value(i_name));
}

// An icon made from a path reads the file's header each time; a room's
// rows share a handful of icons. A path with no file gets the empty icon
// (an icon of a missing file is not empty, only blank). The server may send
// any country code, so the cache stops growing at a limit.
QIcon CachedIcon(QString const& i_path)
{
    static QHash<QString, QIcon> s_icons;
    auto const l_found = s_icons.constFind(i_path);
    if (l_found != s_icons.constEnd())
        return *l_found;
    QIcon const l_icon = QFile::exists(i_path) ? QIcon(i_path) : QIcon();
    if (s_icons.size() < 1000)
        s_icons.insert(i_path, l_icon);
    return l_icon;
}

// A country code names a flag among the program's resources only when it
// is made of letters: a code such as "../x" must not reach another one.
QIcon FlagIcon(QString const& i_countryCode)
{
    for (QChar const l_char : i_countryCode)
        if (l_char > QLatin1Char('z') || !l_char.isLetter())
            return QIcon();
    return CachedIcon(FlagIconPath(i_countryCode));
}

} // namespace

void SetNameCell(QTreeWidgetItem& io_row, int i_column, QString const& i_name)
{
    if (!IsCut(i_name)) {
        io_row.setText(i_column, i_name);
        return;
    }
    io_row.setText(i_column, ShortName(i_name));
    io_row.setData(i_column, Qt::UserRole, i_name);
    io_row.setToolTip(i_column, LiteralToolTip(Isolated(i_name)));
}

QString CellName(QTreeWidgetItem const& i_row, int i_column)
{
    QVariant const l_whole = i_row.data(i_column, Qt::UserRole);
    return l_whole.isValid() ? l_whole.toString() : i_row.text(i_column);
}

// ---------------------------------------------------------------- room list

RowKey RoomListKey(QTreeWidgetItem const& i_row, int i_column)
{
    RowKey l_key;
    if (i_column != 0) {
        l_key.m_number = i_row.text(1).toLongLong();
        return l_key;
    }
    QString const l_name = CellName(i_row, 0);
    Item const l_room = StoreItem("room", l_name);
    // One bit per role, highest first, each set when the role is absent:
    // the roles decide in turn, and a room with a role comes first.
    l_key.m_number = (l_room.IsConnected("is_owner") ? 0 : 4) + (l_room.IsConnected("is_operator") ? 0 : 2) +
                     (l_room.IsConnected("is_member") ? 0 : 1);
    l_key.m_text = l_name.toCaseFolded();
    return l_key;
}

void RefreshRoomRow(QTreeWidgetItem& io_row)
{
    Item const l_count = StoreItem("room", CellName(io_row, 0))["user_count"];
    io_row.setText(1, l_count.AsInt64() != 0 ? l_count.AsString() : QString());
}

QFont RoomRoleFont(QFont i_font, Item const& i_room)
{
    i_font.setItalic(i_room.IsConnected("is_member"));
    i_font.setUnderline(i_room.IsConnected("is_owner"));
    i_font.setWeight(i_room.IsConnected("is_operator") ? QFont::Bold : QFont::Normal);
    return i_font;
}

// -------------------------------------------------------------- member list

RowKey MemberKey(QTreeWidgetItem const& i_row, int i_column)
{
    QString const l_name = CellName(i_row, MEMBER_NAME);
    Item const l_user = StoreItem("user", l_name);
    RowKey l_key;
    switch (i_column) {
    case MEMBER_FLAG:
        l_key.m_text = l_user["country_code"].AsString().toCaseFolded();
        break;
    case MEMBER_NOTE:
        l_key.m_number = l_user.IsConnected("user_note") ? 0 : 1;
        break;
    case MEMBER_FILES:
        l_key.m_number = -l_user["shared_file_count"].AsInt64();
        break;
    case MEMBER_SPEED:
        l_key.m_number = -l_user["average_download_speed"].AsInt64();
        break;
    default:
        l_key.m_text = l_name.toCaseFolded();
        break;
    }
    return l_key;
}

QString FlagIconPath(QString const& i_countryCode)
{
    if (i_countryCode.isEmpty())
        return QStringLiteral(":/icons/cat_icon");
    return QStringLiteral(":/resources/flags/") + i_countryCode.toLower() + QStringLiteral(".png");
}

QIcon NoteIcon()
{
    return CachedIcon(QStringLiteral(":/icons/note_icon"));
}

QString SpeedText(int i_bytesPerSecond)
{
    double const l_speed = i_bytesPerSecond * 0.0009765625;
    return l_speed != 0 ? QString::number(l_speed, 'f', 1) : QString();
}

void SetMemberBold(QTreeWidgetItem& io_row, bool i_bold)
{
    QFont l_font = io_row.font(MEMBER_NAME);
    l_font.setWeight(i_bold ? QFont::Bold : QFont::Normal);
    io_row.setFont(MEMBER_NAME, l_font);
}

void SetMemberOwner(QTreeWidgetItem& io_row, bool i_owner, bool i_bold)
{
    QFont l_font = io_row.font(MEMBER_NAME);
    l_font.setWeight(i_bold ? QFont::Bold : QFont::Normal);
    l_font.setUnderline(i_owner);
    io_row.setFont(MEMBER_NAME, l_font);
}

void FillMemberRow(QTreeWidgetItem& io_row, Item const& i_user, Item const& i_room)
{
    SetNameCell(io_row, MEMBER_NAME, i_user.AsString());
    bool const l_owner = d.GetItem(i_user, i_room, "room_owner").IsValid();
    if (l_owner || d.GetItem(i_user, i_room, "room_operators").IsValid())
        SetMemberOwner(io_row, l_owner, true);
    io_row.setIcon(MEMBER_FLAG, FlagIcon(i_user["country_code"].AsString()));
    io_row.setText(MEMBER_FILES, CommafyNumber(i_user["shared_file_count"].AsInt64()));
    io_row.setText(MEMBER_SPEED, SpeedText(i_user["average_download_speed"].AsInt()));
    if (i_user.IsConnected("user_note"))
        io_row.setIcon(MEMBER_NOTE, NoteIcon());
}
