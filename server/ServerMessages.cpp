#include "server/ServerMessages.h"

using namespace ServerIn;

namespace {

// Reads the fields of one payload in order. After the first failure nothing
// more is read, and the reason is kept for the log line.
class Fields
{
public:
    explicit Fields(InputStream& io_in) : m_in(io_in) {}

    bool Ok() const { return m_reason.isEmpty(); }
    QString const& Reason() const { return m_reason; }

    template <class T>
    Fields& operator()(T& o_value)
    {
        if (Ok() && !m_in.Read(o_value))
            Fail(QStringLiteral("it ends early or holds a string longer than 0x20000 bytes"));
        return *this;
    }

    Fields& Stats(UserStats& o_stats)
    {
        if (Ok() && !o_stats.Read(m_in))
            Fail(QStringLiteral("it ends early"));
        return *this;
    }

    // A user or room name: never empty, never with a NUL (which would cut
    // the name short wherever it is handled as a C string).
    Fields& Name(QString& o_name, bool i_mayBeEmpty = false)
    {
        if ((*this)(o_name).Ok() && ((!i_mayBeEmpty && o_name.isEmpty()) || o_name.contains(QChar(0))))
            Fail(QStringLiteral("it names an empty user or room, or one with a NUL"));
        return *this;
    }

    Fields& Status(quint32& o_status)
    {
        if ((*this)(o_status).Ok() && o_status > STATUS_ONLINE)
            Fail(QStringLiteral("it holds the unknown status ") + QString::number(o_status));
        return *this;
    }

    Fields& Port(int& o_port)
    {
        quint32 l_port = 0;
        if ((*this)(l_port).Ok() && l_port > 65535)
            Fail(QStringLiteral("it holds the port ") + QString::number(l_port));
        o_port = int(l_port);
        return *this;
    }

    Fields& Details(UserDetails& o_details)
    {
        return Status(o_details.m_status).Stats(o_details.m_stats)(o_details.m_country)(o_details.m_privileged);
    }

    Fields& Member(ServerIn::Member& o_member) { return Name(o_member.m_name).Details(o_member.m_details); }

    // A list: a u32 count, then each entry read by i_readEntry. A count that
    // the rest of the payload cannot hold (every entry takes at least
    // i_leastBytes) is refused before anything is read or reserved.
    template <class Entry, class ReadEntry>
    Fields& List(std::vector<Entry>& o_list, quint64 i_leastBytes, ReadEntry i_readEntry)
    {
        quint32 l_count = 0;
        if (!(*this)(l_count).Ok())
            return *this;
        if (l_count > m_in.BytesAvailable() / i_leastBytes)
            return Fail(QStringLiteral("its count of ") + QString::number(l_count) + QStringLiteral(" is more than it holds"));
        o_list.resize(l_count);
        for (Entry& l_entry : o_list)
            if (!i_readEntry(*this, l_entry).Ok())
                break;
        return *this;
    }

    // The same, but of a longer list only the last i_kept entries are read;
    // i_passEntry passes over each of the others.
    template <class Entry, class ReadEntry, class PassEntry>
    Fields& LastOfList(std::vector<Entry>& o_list, quint64 i_leastBytes, std::size_t i_kept, ReadEntry i_readEntry,
                       PassEntry i_passEntry)
    {
        quint32 l_count = 0;
        if (!(*this)(l_count).Ok())
            return *this;
        if (l_count > m_in.BytesAvailable() / i_leastBytes)
            return Fail(QStringLiteral("its count of ") + QString::number(l_count) + QStringLiteral(" is more than it holds"));
        for (std::size_t l_passed = l_count - std::min<std::size_t>(l_count, i_kept); l_passed > 0 && Ok(); --l_passed)
            i_passEntry(*this);
        o_list.resize(std::min<std::size_t>(l_count, i_kept));
        for (Entry& l_entry : o_list)
            if (!i_readEntry(*this, l_entry).Ok())
                break;
        return *this;
    }

    // A string passed over, its length checked as a read checks it; a name
    // also for what Name() checks.
    Fields& PassString(bool i_name = false)
    {
        quint32 l_length = 0;
        if (!(*this)(l_length).Ok())
            return *this;
        if (l_length > m_in.ReadStringLimit() || l_length > m_in.BytesAvailable())
            return Fail(QStringLiteral("it ends early or holds a string longer than 0x20000 bytes"));
        if (!i_name) {
            m_in.Skip(l_length);
            return *this;
        }
        m_passed.resize(l_length);
        m_in.ReadBuffer(m_passed.data(), l_length);
        if (l_length == 0 || m_passed.contains('\0'))
            Fail(QStringLiteral("it names an empty user or room, or one with a NUL"));
        return *this;
    }

    Fields& Names(std::vector<QString>& o_names)
    {
        return List(o_names, 5, [](Fields& io_fields, QString& o_name) -> Fields& { return io_fields.Name(o_name); });
    }

    Fields& Rooms(std::vector<ListedRoom>& o_rooms)
    {
        return List(o_rooms, 9, [](Fields& io_fields, ListedRoom& o_room) -> Fields& {
            return io_fields.Name(o_room.m_name)(o_room.m_users);
        });
    }

private:
    Fields& Fail(QString const& i_reason)
    {
        if (Ok())
            m_reason = i_reason;
        return *this;
    }

    InputStream& m_in;
    QString m_reason;
    QByteArray m_passed;
};

// The least bytes of a list entry: a name (its length and one byte), and of
// a member his details (status, statistics, country length, privilege).
constexpr quint64 LEAST_NAME = 5;
constexpr quint64 LEAST_MEMBER = LEAST_NAME + 4 + 20 + 4 + 1;

template <class Record>
ServerMessage Checked(quint32 i_code, Fields const& i_fields, Record&& i_record)
{
    if (!i_fields.Ok())
        return Malformed{i_code, i_fields.Reason()};
    return ServerMessage(std::forward<Record>(i_record));
}

PossibleParents ReadParents(Fields& io_fields)
{
    struct Entry
    {
        QString m_user;
        TCPAddress m_address;
    };
    std::vector<Entry> l_entries;
    io_fields.List(l_entries, LEAST_NAME + 8, [](Fields& io_entry, Entry& o_entry) -> Fields& {
        return io_entry.Name(o_entry.m_user)(o_entry.m_address.m_ip)(o_entry.m_address.m_port);
    });
    PossibleParents l_record;
    for (Entry const& l_entry : l_entries) {
        // Nobody can be reached on such a port; the others are still good.
        if (l_entry.m_address.m_port < 1 || l_entry.m_address.m_port > 65535)
            ++l_record.m_skipped;
        else
            l_record.m_parents.emplace_back(l_entry.m_user, l_entry.m_address);
    }
    return l_record;
}

} // namespace

bool IsUserName(QString const& i_name)
{
    if (i_name.isEmpty() || i_name.toUtf8().size() > MAX_USER_NAME_BYTES || i_name.trimmed() != i_name)
        return false;
    for (QChar const l_char : i_name)
        if (l_char.category() == QChar::Other_Control)
            return false;
    return true;
}

ServerMessage DecodeServerMessage(quint32 i_code, InputStream& io_payload)
{
    io_payload.SetReadStringLimit(NETWORK_STRING_LIMIT);
    Fields l_in(io_payload);
    switch (i_code) {
    case ServerCode::LOGIN: {
        LoginAnswer l_record;
        l_in(l_record.m_success)(l_record.m_text);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::ADD_USER: {
        AddUserAnswer l_record;
        if (l_in.Name(l_record.m_user)(l_record.m_exists).Ok() && l_record.m_exists)
            l_in.Details(l_record.m_details);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::ROOM_CHAT: {
        RoomChat l_record;
        l_in.Name(l_record.m_room).Name(l_record.m_user)(l_record.m_text);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::JOIN_ROOM: {
        RoomJoined l_record;
        l_in.Name(l_record.m_room).List(l_record.m_members, LEAST_MEMBER,
                                        [](Fields& io_entry, Member& o_member) -> Fields& {
                                            return io_entry.Member(o_member);
                                        });
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::LEAVE_ROOM: {
        RoomLeft l_record;
        l_in.Name(l_record.m_room);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::PRIVATE_CHAT: {
        PrivateChat l_record;
        l_in(l_record.m_id)(l_record.m_time).Name(l_record.m_user)(l_record.m_text)(l_record.m_new);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::FILE_SEARCH: {
        FileSearch l_record;
        l_in.Name(l_record.m_user)(l_record.m_token)(l_record.m_query);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::USER_STATS: {
        UserStatsAnswer l_record;
        l_in.Name(l_record.m_user).Stats(l_record.m_stats);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::ROOM_LIST: {
        RoomList l_record;
        l_in.Rooms(l_record.m_public).Rooms(l_record.m_owned).Rooms(l_record.m_member).Names(l_record.m_operated);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::ADMIN_MESSAGE: {
        AdminMessage l_record;
        l_in(l_record.m_text);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::DNET_PARENT_MIN_SPEED: {
        ParentMinSpeed l_record;
        l_in(l_record.m_speed);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::DNET_PARENT_SPEED_RATIO: {
        ParentSpeedRatio l_record;
        l_in(l_record.m_ratio);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::DNET_DELIVERY_REPORT: {
        DeliveryReport l_record;
        l_in(l_record.m_value);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::PRIVILEGES: {
        Privileges l_record;
        l_in(l_record.m_seconds);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::DNET_MESSAGE: {
        // Only a frame that the link cut out can be handed on as it is.
        MemStream* lp_frame = dynamic_cast<MemStream*>(&io_payload);
        if (!lp_frame)
            return Malformed{i_code, QStringLiteral("it is not in a message buffer")};
        return DistributedMessage{*lp_frame};
    }
    case ServerCode::DNET_POSSIBLE_PARENTS: {
        PossibleParents l_record = ReadParents(l_in);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::DNET_RESET: return DistributedReset{};
    case ServerCode::PRIVATE_ROOM_ADD_ENABLED: {
        PrivateRoomAddEnabled l_record;
        l_in(l_record.m_enabled);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::USER_STATUS: {
        UserStatus l_record;
        l_in.Name(l_record.m_user).Status(l_record.m_status)(l_record.m_privileged);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::LOGGED_IN_ELSEWHERE: return LoggedInElsewhere{};
    case ServerCode::PEER_ADDRESS: {
        PeerAddress l_record;
        l_in.Name(l_record.m_user)(l_record.m_ip).Port(l_record.m_port).Port(l_record.m_obfuscatedPort);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::CONNECT_BACK: {
        ConnectBack l_record;
        l_in.Name(l_record.m_user)(l_record.m_type)(l_record.m_ip).Port(l_record.m_port)(l_record.m_token)(
                l_record.m_privileged)
            .Port(l_record.m_obfuscatedPort);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::CANNOT_CONNECT: {
        CannotConnect l_record;
        l_in(l_record.m_token).Name(l_record.m_user);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::ROOM_TICKERS: {
        RoomTickers l_record;
        l_in.Name(l_record.m_room)
            .LastOfList(
                l_record.m_tickers, LEAST_NAME + 4, MAX_ROOM_TICKERS,
                [](Fields& io_entry, std::pair<QString, QString>& o_ticker) -> Fields& {
                    return io_entry.Name(o_ticker.first)(o_ticker.second);
                },
                [](Fields& io_entry) -> Fields& { return io_entry.PassString(true).PassString(); });
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::ROOM_TICKER_SET: {
        RoomTickerSet l_record;
        l_in.Name(l_record.m_room).Name(l_record.m_user)(l_record.m_text);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::ROOM_TICKER_REMOVED: {
        RoomTickerRemoved l_record;
        l_in.Name(l_record.m_room).Name(l_record.m_user);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::USER_JOINED_ROOM: {
        UserJoinedRoom l_record;
        l_in.Name(l_record.m_room).Member(l_record.m_member);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::USER_LEFT_ROOM: {
        UserLeftRoom l_record;
        l_in.Name(l_record.m_room).Name(l_record.m_user);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::PRIVATE_ROOM_STATE: {
        PrivateRoomState l_record;
        l_in.Name(l_record.m_room).Name(l_record.m_owner, true).Names(l_record.m_members).Names(l_record.m_operators);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::PRIVATE_ROOM_REMOVED: {
        PrivateRoomRemoved l_record;
        l_in.Name(l_record.m_room);
        return Checked(i_code, l_in, l_record);
    }
    case ServerCode::SEARCH_CORRELATIONS: {
        SearchCorrelations l_record;
        l_in(l_record.m_term).List(l_record.m_related, 8,
                                   [](Fields& io_entry, std::pair<QString, qint32>& o_related) -> Fields& {
                                       return io_entry(o_related.first)(o_related.second);
                                   });
        return Checked(i_code, l_in, l_record);
    }
    default: return Unknown{i_code};
    }
}

// ------------------------------------------------------------------ requests

namespace {

template <class... Field>
ServerRequest Request(quint32 i_code, Field const&... i_fields)
{
    ServerRequest l_request;
    l_request.m_code = i_code;
    (l_request.m_payload.Write(i_fields), ...);
    return l_request;
}

} // namespace

namespace ServerOut {

ServerRequest Login(QString const& i_user, QString const& i_password)
{
    return Request(ServerCode::LOGIN, i_user, i_password, quint32(1));
}

ServerRequest ListeningPorts(quint32 i_port, quint32 i_obfuscatedPort)
{
    return Request(ServerCode::LISTENING_PORTS, i_port, i_obfuscatedPort);
}

ServerRequest KeepAlive() { return Request(ServerCode::KEEP_ALIVE); }

ServerRequest SetStatus(bool i_away)
{
    return Request(ServerCode::SET_STATUS, quint32(i_away ? STATUS_AWAY : STATUS_ONLINE));
}

ServerRequest AddUser(QString const& i_user) { return Request(ServerCode::ADD_USER, i_user); }

ServerRequest RoomChat(QString const& i_room, QString const& i_text)
{
    return Request(ServerCode::ROOM_CHAT, i_room, i_text);
}

ServerRequest JoinRoom(QString const& i_room, bool i_private)
{
    return Request(ServerCode::JOIN_ROOM, i_room, qint32(i_private ? 1 : 0));
}

ServerRequest LeaveRoom(QString const& i_room) { return Request(ServerCode::LEAVE_ROOM, i_room); }

QString OneLine(QString i_text)
{
    return i_text.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
}

std::optional<ServerRequest> PrivateChat(QString const& i_user, QString const& i_text)
{
    ServerRequest l_request;
    l_request.m_code = ServerCode::PRIVATE_CHAT;
    l_request.m_payload.SetWriteStringLimit(NETWORK_STRING_LIMIT);
    if (!l_request.m_payload.Write(i_user) || !l_request.m_payload.Write(OneLine(i_text)))
        return std::nullopt;
    return l_request;
}

ServerRequest PrivateChatReceived(quint32 i_id) { return Request(ServerCode::PRIVATE_CHAT_ACK, i_id); }

ServerRequest MessageUsers(QStringList const& i_users, QString const& i_text)
{
    ServerRequest l_request = Request(ServerCode::MESSAGE_USERS, qint32(i_users.size()));
    for (QString const& l_user : i_users)
        l_request.m_payload.Write(l_user);
    l_request.m_payload.Write(i_text);
    return l_request;
}

ServerRequest GiftPrivileges(QString const& i_user, qint32 i_days)
{
    return Request(ServerCode::GIFT_PRIVILEGES, i_user, i_days);
}

ServerRequest GetUserStats(QString const& i_user) { return Request(ServerCode::USER_STATS, i_user); }
ServerRequest GetOwnPrivileges() { return Request(ServerCode::PRIVILEGES); }
ServerRequest GetRoomList() { return Request(ServerCode::ROOM_LIST); }

ServerRequest FileSearch(quint32 i_token, QString const& i_text, bool i_wishList)
{
    return Request(i_wishList ? ServerCode::WISH_LIST_SEARCH : ServerCode::FILE_SEARCH, i_token, i_text);
}

ServerRequest UserSearch(QString const& i_user, quint32 i_token, QString const& i_text)
{
    return Request(ServerCode::USER_SEARCH, i_user, i_token, i_text);
}

ServerRequest RoomSearch(QString const& i_room, quint32 i_token, QString const& i_text)
{
    return Request(ServerCode::ROOM_SEARCH, i_room, i_token, i_text);
}

ServerRequest GetSearchCorrelations(QString const& i_text) { return Request(ServerCode::SEARCH_CORRELATIONS, i_text); }

ServerRequest SharedFoldersFiles(qint32 i_folders, qint32 i_files)
{
    return Request(ServerCode::SHARED_FOLDERS_FILES, i_folders, i_files);
}

ServerRequest UploadSpeed(qint32 i_bytesPerSecond) { return Request(ServerCode::UPLOAD_SPEED, i_bytesPerSecond); }

ServerRequest SetRoomTicker(QString const& i_room, QString const& i_text)
{
    return Request(ServerCode::SET_ROOM_TICKER, i_room, i_text);
}

ServerRequest EnablePrivateRoomAdd(bool i_enable) { return Request(ServerCode::PRIVATE_ROOM_ADD_ENABLED, i_enable); }
ServerRequest RoomRequest(quint32 i_code, QString const& i_room) { return Request(i_code, i_room); }

ServerRequest RoomUserRequest(quint32 i_code, QString const& i_room, QString const& i_user)
{
    return Request(i_code, i_room, i_user);
}

ServerRequest DistributedFlag(quint32 i_code, bool i_value) { return Request(i_code, i_value); }
ServerRequest DistributedLevel(qint32 i_level) { return Request(ServerCode::DNET_LEVEL, i_level); }

ServerRequest DistributedGroupLeader(QString const& i_leader)
{
    return Request(ServerCode::DNET_GROUP_LEADER, i_leader);
}

ServerRequest GetPeerAddress(QString const& i_user) { return Request(ServerCode::PEER_ADDRESS, i_user); }

ServerRequest ConnectBack(quint32 i_token, QString const& i_user, QString const& i_type)
{
    return Request(ServerCode::CONNECT_BACK, i_token, i_user, i_type);
}

ServerRequest CannotConnect(quint32 i_token, QString const& i_user)
{
    return Request(ServerCode::CANNOT_CONNECT, i_token, i_user);
}

} // namespace ServerOut
