#include "server/Server.h"

#include "server/PortMapping.h"
#include "server/SearchTypes.h"
#include "server/ServerCodes.h"
#include "server/ServerLog.h"
#include "server/StoreTypes.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "store/TimerManager.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

#include <set>
#include <vector>


Server* gp_server = nullptr;

namespace {

constexpr int DEFAULT_LOGIN_TIMEOUT_MS = 30000;

bool ReadNames(InputStream& io_in, std::vector<QString>& o_names)
{
    quint32 l_count = 0;
    if (!io_in.Read(l_count))
        return false;
    // The count is not trusted: every name takes at least its 4 length
    // bytes, so the loop ends when the payload does.
    for (quint32 l_index = 0; l_index < l_count; ++l_index) {
        QString l_name;
        if (!io_in.Read(l_name))
            return false;
        o_names.push_back(l_name);
    }
    return true;
}

// Payloads of a single field or two strings, the shape of most requests.
MemStream OneString(QString const& i_text)
{
    MemStream l_payload;
    l_payload.Write(i_text);
    return l_payload;
}

MemStream TwoStrings(QString const& i_first, QString const& i_second)
{
    MemStream l_payload;
    l_payload.Write(i_first);
    l_payload.Write(i_second);
    return l_payload;
}

MemStream OneBool(bool i_value)
{
    MemStream l_payload;
    l_payload.WriteBool(i_value);
    return l_payload;
}

MemStream OneI32(qint32 i_value)
{
    MemStream l_payload;
    l_payload.WriteI32(i_value);
    return l_payload;
}

MemStream OneU32(quint32 i_value)
{
    MemStream l_payload;
    l_payload.WriteU32(i_value);
    return l_payload;
}

Item UserItem(QString const& i_name)
{
    return d.GetType("user")->GetItem(i_name);
}

Item RoomItem(QString const& i_name)
{
    return d.GetType("room")->GetItem(i_name);
}

QString OwnName()
{
    return GetSetting("username");
}

} // namespace

// A user as the add-user answer and the room messages describe him: the
// answer gives the name apart, the room messages give it first.
struct Server::UserInfo
{
    QString m_name;
    quint32 m_status = STATUS_OFFLINE;
    UserStats m_stats;
    QString m_country;
    bool m_privileged = false;

    bool Read(InputStream& io_in) { return io_in.Read(m_name) && ReadDetails(io_in); }
    bool ReadDetails(InputStream& io_in)
    {
        return io_in.Read(m_status) && m_stats.Read(io_in) && io_in.Read(m_country) && io_in.Read(m_privileged);
    }
};

// ------------------------------------------------------------ construction

Server::Server()
{
    gp_server = this;
    // Signal arguments that queued connections and spies must know by name.
    qRegisterMetaType<time_t>("time_t");
    qRegisterMetaType<UserStats>("UserStats");
    m_nextToken = QRandomGenerator::global()->generate();
    mp_loginTimer = new QTimer(this);
    mp_loginTimer->setSingleShot(true);
    mp_loginTimer->setInterval(DEFAULT_LOGIN_TIMEOUT_MS);
    connect(mp_loginTimer, &QTimer::timeout, this, &Server::OnLoginTimeout);
    if (PortMapperFactory l_factory = GetPortMapperFactory())
        mp_portMapper.reset(l_factory());
    connect(&TimerManager::Obj()->m_halfMinuteTimer, &QTimer::timeout, this, &Server::EveryHalfMinute);
    connect(&TimerManager::Obj()->m_fiveMinutesTimer, &QTimer::timeout, this, &Server::EveryFiveMinutes);
}

Server::~Server()
{
    CloseSocket();
    if (gp_server == this)
        gp_server = nullptr;
}

void Server::CreateData()
{
    EnsureType("user", ROOT, false, true);
    EnsureFlag("user", "is_online");
    EnsureFlag("user", "is_away");
    EnsureFlag("user", "is_tracked");
    EnsureFlag("user", "is_privileged");
    EnsureFlag("user", "is_ignored");
    EnsureAttribute("user", "last_online_status_change");
    EnsureAttribute("user", "country_code");
    EnsureAttribute("user", "shared_file_count");
    EnsureAttribute("user", "average_download_speed");

    // The user owns his list entry: an entry taken from its user goes at
    // the next collection instead of staying, and being saved, in its groups.
    EnsureType("in_user_list", INTERMEDIATE, true, true);
    EnsureRelation("user", "in_user_list", ONE, ONE, true);
    EnsureType("user_list_group", ROOT, false, true);
    EnsureRelation("in_user_list", "user_list_group", MANY, MANY, false);
    EnsureAttribute("user_list_group", "group_download_priority");
    EnsureFlag("user_list_group", "accept_uploads");

    EnsureType("room", ROOT, false, true);
    EnsureRelation("user", "room", MANY, MANY, false);
    EnsureFlag("room", "in_room");
    EnsureFlag("room", "room_autojoin");
    EnsureFlag("room", "is_member");
    EnsureFlag("room", "is_owner");
    EnsureFlag("room", "is_operator");
    EnsureAttribute("room", "user_count");
    EnsureType("room_owner", INTERMEDIATE, true, true);
    EnsureRelation("room", "room_owner", ONE, ONE, true);
    EnsureRelation("room_owner", "user", MANY, ONE, false);
    EnsureType("room_operators", INTERMEDIATE, true, true);
    EnsureRelation("room", "room_operators", ONE, ONE, true);
    EnsureRelation("room_operators", "user", MANY, MANY, false);
    EnsureType("room_members", INTERMEDIATE, true, true);
    EnsureRelation("room", "room_members", ONE, ONE, true);
    EnsureRelation("room_members", "user", MANY, MANY, false);
    EnsureType("room_ticker", INTERMEDIATE, true, true);
    EnsureRelation("room", "room_ticker", ONE, MANY, true);
    EnsureRelation("room_ticker", "user", MANY, ONE, false);
    EnsureAttribute("room_ticker", "room_ticker_text");
    EnsureAttribute("room_ticker", "room_ticker_order");

    DeclareSearchTypes();
    RegisterSaving();

    // Defaults, written before the saved data is loaded so that loaded
    // values replace them.
    if (!IsSettingSet("use_upnp"))
        SetSetting("use_upnp", QStringLiteral("no"));
    if (!IsSettingSet("use_natpmp"))
        SetSetting("use_natpmp", QStringLiteral("no"));
    if (!IsSettingSet("server_address"))
        SetSetting("server_address", QStringLiteral("%1:%2").arg(DEFAULT_SERVER_HOST).arg(DEFAULT_SERVER_PORT));
}

void Server::RegisterSaving()
{
    if (!dataSaver)
        return;
    dataSaver->AddSavedType("in_user_list");
    dataSaver->AddSavedByConnectionType("user", "in_user_list");
    dataSaver->AddSavedType("user_list_group");
    dataSaver->AddSavedType("group_download_priority");
    dataSaver->AddSavedType("accept_uploads");
    dataSaver->AddSavedType("is_ignored");
    dataSaver->AddSavedByConnectionType("user", "is_ignored");
    dataSaver->AddSavedType("room_autojoin");
    dataSaver->AddSavedByConnectionType("room", "room_autojoin");
    RegisterSearchTypeSaving();
}

void Server::GetServerAddress(QString& o_host, quint16& o_port)
{
    o_host = QString::fromLatin1(DEFAULT_SERVER_HOST);
    o_port = DEFAULT_SERVER_PORT;
    QString const l_address = GetSetting("server_address").trimmed();
    if (l_address.isEmpty())
        return;
    int const l_colon = l_address.lastIndexOf(QLatin1Char(':'));
    // A bare IPv6 address has colons of its own and no port.
    bool const l_bareIPv6 = l_address.count(QLatin1Char(':')) > 1 && !l_address.startsWith(QLatin1Char('['));
    QString l_host = l_address;
    if (l_colon > 0 && !l_bareIPv6 && !l_address.endsWith(QLatin1Char(']'))) {
        l_host = l_address.left(l_colon);
        bool l_ok = false;
        uint const l_port = l_address.mid(l_colon + 1).toUInt(&l_ok);
        if (l_ok && l_port >= 1 && l_port <= 65535)
            o_port = quint16(l_port);
        else
            ServerLog(1, QStringLiteral("Bad port in server address \"%1\", using %2").arg(l_address).arg(o_port));
    }
    if (l_host.startsWith(QLatin1Char('[')) && l_host.endsWith(QLatin1Char(']')))
        l_host = l_host.mid(1, l_host.size() - 2);
    if (!l_host.isEmpty())
        o_host = l_host;
}

void Server::SetLoginTimeout(int i_milliseconds)
{
    mp_loginTimer->setInterval(i_milliseconds);
}

// -------------------------------------------------------------- the link

void Server::Connect()
{
    if (m_state != STATE_DISCONNECTED)
        return;
    if (OwnName().isEmpty()) {
        ServerLog(1, QStringLiteral("No user name set, not connecting"));
        return;
    }
    QString l_host;
    quint16 l_port = 0;
    GetServerAddress(l_host, l_port);
    ServerLog(1, QStringLiteral("Connecting to %1:%2").arg(l_host).arg(l_port));

    m_state = STATE_CONNECTING;
    m_reader.Clear();
    mp_socket = new QTcpSocket(this);
    connect(mp_socket, &QTcpSocket::connected, this, &Server::OnSocketConnected);
    connect(mp_socket, &QTcpSocket::readyRead, this, &Server::OnSocketReadyRead);
    connect(mp_socket, &QTcpSocket::disconnected, this, &Server::OnSocketDisconnected);
    connect(mp_socket, &QAbstractSocket::errorOccurred, this, &Server::OnSocketError);
    mp_loginTimer->start();
    quint64 const l_generation = m_generation;
    emit Connecting();
    // A slot may have disconnected meanwhile.
    if (l_generation != m_generation || !mp_socket)
        return;
    mp_socket->connectToHost(l_host, l_port);
}

void Server::Disconnect()
{
    m_reconnect = false;
    if (m_state == STATE_DISCONNECTED)
        return;
    ServerLog(1, QStringLiteral("Disconnecting at the user's request"));
    LinkLost();
}

void Server::CloseSocket()
{
    if (mp_loginTimer)
        mp_loginTimer->stop();
    if (!mp_socket)
        return;
    QTcpSocket* lp_socket = mp_socket;
    mp_socket = nullptr;
    disconnect(lp_socket, nullptr, this, nullptr);
    lp_socket->abort();
    lp_socket->deleteLater();
    m_reader.Clear();
    ++m_generation;
}

void Server::LinkLost()
{
    State const l_previous = m_state;
    CloseSocket();
    m_state = STATE_DISCONNECTED;
    if (d.HasType("is_online")) {
        // Nobody's presence is known without the link; rooms, their members
        // and the joined flags stay so that the pages keep showing them.
        Item l_online = d.GetType("is_online")->GetGlobalNullItem();
        l_online.Disconnect("user");
    }
    if (l_previous != STATE_DISCONNECTED)
        emit Disconnected();
}

void Server::FailAttempt(QString const& i_reason)
{
    ServerLog(1, QStringLiteral("Login failed: %1").arg(i_reason));
    CloseSocket();
    m_state = STATE_DISCONNECTED;
    emit ConnectionFailed(i_reason);
}

void Server::DropLink()
{
    if (m_state == STATE_LOGGED_IN)
        LinkLost();
    else
        FailAttempt(QStringLiteral("socket error"));
}

void Server::OnSocketConnected()
{
    if (!mp_socket || m_state != STATE_CONNECTING)
        return;
    mp_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    SendLogin();
}

void Server::SendLogin()
{
    MemStream l_payload;
    l_payload.Write(OwnName());
    l_payload.Write(GetSetting("password"));
    l_payload.WriteU32(1);
    Send(ServerCode::LOGIN, l_payload);
    m_reconnect = true;
    bool const l_upnp = IsSettingYes("use_upnp");
    bool const l_natpmp = IsSettingYes("use_natpmp");
    if (mp_portMapper && (l_upnp || l_natpmp))
        mp_portMapper->MapPorts(l_upnp, l_natpmp);
}

void Server::OnSocketError(QAbstractSocket::SocketError)
{
    if (!mp_socket)
        return;
    ServerLog(1, QStringLiteral("Server socket error: %1").arg(mp_socket->errorString()));
    DropLink();
}

void Server::OnSocketDisconnected()
{
    if (!mp_socket)
        return;
    ServerLog(1, QStringLiteral("Server closed the connection"));
    DropLink();
}

void Server::OnLoginTimeout()
{
    if (m_state != STATE_CONNECTING)
        return;
    ServerLog(1, QStringLiteral("No login answer in time"));
    FailAttempt(QStringLiteral("socket error"));
}

void Server::EveryHalfMinute()
{
    if (m_state == STATE_DISCONNECTED && m_reconnect) {
        ServerLog(1, QStringLiteral("Attempting to reconnect"));
        Connect();
    }
}

void Server::EveryFiveMinutes()
{
    if (m_state == STATE_LOGGED_IN)
        SendEmpty(ServerCode::KEEP_ALIVE);
}

void Server::OnSocketReadyRead()
{
    if (!mp_socket)
        return;
    m_reader.Append(mp_socket->readAll());
    quint64 const l_generation = m_generation;
    for (;;) {
        MemStream l_frame;
        quint32 l_code = 0;
        quint32 l_badLength = 0;
        FrameReader::Result const l_result = m_reader.Next(l_frame, l_code, &l_badLength);
        if (l_result == FrameReader::NEED_MORE)
            return;
        if (l_result == FrameReader::BAD_LENGTH) {
            ServerLog(1, QStringLiteral("Bad frame length %1 from the server, closing the link").arg(l_badLength));
            DropLink();
            return;
        }
        Dispatch(l_code, l_frame);
        // A handler or a slot it signalled may have closed or replaced the
        // link; what is left of the old byte stream is not ours any more.
        if (l_generation != m_generation)
            return;
    }
}

// ---------------------------------------------------------------- sending

bool Server::Send(quint32 i_code, MemStream const& i_payload)
{
    bool const l_allowed = mp_socket && (m_state == STATE_LOGGED_IN || (i_code == ServerCode::LOGIN && m_state == STATE_CONNECTING));
    if (!l_allowed) {
        ServerLog(2, QStringLiteral("Not logged in, request %1 dropped").arg(i_code));
        return false;
    }
    quint64 const l_size = i_payload.Size();
    if (l_size + 4 > SERVER_FRAME_MAX) {
        ServerLog(1, QStringLiteral("Request %1 too large (%2 bytes), dropped").arg(i_code).arg(l_size));
        return false;
    }
    MemStream const l_frame = MakeFrame(i_code, i_payload);
    mp_socket->write(l_frame.Data(), qint64(l_frame.Size()));
    ServerLog(2, QStringLiteral("Sent message %1 (%2 bytes)").arg(i_code).arg(l_size));
    return true;
}

void Server::SendEmpty(quint32 i_code)
{
    Send(i_code, MemStream());
}

void Server::AddUser(QString const& i_user)
{
    Send(ServerCode::ADD_USER, OneString(i_user));
}

void Server::TrackUser(QString const& i_user)
{
    Item l_user = UserItem(i_user);
    if (l_user.IsConnected("is_tracked"))
        return;
    SetFlag(l_user, "is_tracked", true);
    AddUser(i_user);
}

bool Server::SendPrivateChat(QString const& i_user, QString const& i_text)
{
    QString l_text = i_text;
    l_text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    l_text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    bool l_sent = false;
    if (!IsConnected()) {
        ServerLog(1, QStringLiteral("Not logged in, private message to %1 not sent").arg(i_user));
    } else {
        MemStream l_payload;
        // The server drops a message with a longer string; the line would
        // vanish while the page took it for sent.
        l_payload.SetWriteStringLimit(NETWORK_STRING_LIMIT);
        if (l_payload.Write(i_user) && l_payload.Write(l_text))
            l_sent = Send(ServerCode::PRIVATE_CHAT, l_payload);
        else
            ServerLog(1, QStringLiteral("Private message to %1 too long, not sent").arg(i_user));
    }
    emit PrivateChatSent(i_user, l_text);
    return l_sent;
}

void Server::SendRoomChat(QString const& i_room, QString const& i_text)
{
    Send(ServerCode::ROOM_CHAT, TwoStrings(i_room, i_text));
}

void Server::EnterRoom(QString const& i_room, bool i_isPrivate)
{
    MemStream l_payload;
    l_payload.Write(i_room);
    l_payload.WriteI32(i_isPrivate ? 1 : 0);
    Send(ServerCode::JOIN_ROOM, l_payload);
}

void Server::LeaveRoom(QString const& i_room)
{
    Item l_room = d.GetType("room")->HasItem(i_room);
    if (!l_room.IsConnected("in_room"))
        return;
    Send(ServerCode::LEAVE_ROOM, OneString(i_room));
}

void Server::GetRoomList()
{
    if (!IsConnected())
        return;
    SetSetting("accept_room_list", QStringLiteral("yes"));
    SendEmpty(ServerCode::ROOM_LIST);
}

void Server::EnablePrivateRoomAdd(bool i_enable)
{
    Send(ServerCode::PRIVATE_ROOM_ADD_ENABLED, OneBool(i_enable));
}

void Server::SetRoomTicker(QString const& i_room, QString const& i_text)
{
    Send(ServerCode::SET_ROOM_TICKER, TwoStrings(i_room, i_text));
}

void Server::GiveUpPrivateRoom(QString const& i_room)
{
    Send(ServerCode::PRIVATE_ROOM_GIVE_UP_OWNERSHIP, OneString(i_room));
}

void Server::GiveUpPrivateRoomMembership(QString const& i_room)
{
    Send(ServerCode::PRIVATE_ROOM_GIVE_UP_MEMBERSHIP, OneString(i_room));
}

void Server::AddPrivateRoomMember(QString const& i_room, QString const& i_user)
{
    Send(ServerCode::PRIVATE_ROOM_ADD_MEMBER, TwoStrings(i_room, i_user));
}

void Server::RemovePrivateRoomMember(QString const& i_room, QString const& i_user)
{
    Send(ServerCode::PRIVATE_ROOM_REMOVE_MEMBER, TwoStrings(i_room, i_user));
}

void Server::AddPrivateRoomOperator(QString const& i_room, QString const& i_user)
{
    Send(ServerCode::PRIVATE_ROOM_ADD_OPERATOR, TwoStrings(i_room, i_user));
}

void Server::RemovePrivateRoomOperator(QString const& i_room, QString const& i_user)
{
    Send(ServerCode::PRIVATE_ROOM_REMOVE_OPERATOR, TwoStrings(i_room, i_user));
}

void Server::MessageUsers(QStringList const& i_users, QString const& i_text)
{
    MemStream l_payload;
    l_payload.WriteI32(qint32(i_users.size()));
    for (QString const& l_user : i_users)
        l_payload.Write(l_user);
    l_payload.Write(i_text);
    Send(ServerCode::MESSAGE_USERS, l_payload);
}

void Server::GiftPrivileges(QString const& i_user, int i_days)
{
    MemStream l_payload;
    l_payload.Write(i_user);
    l_payload.WriteI32(i_days);
    Send(ServerCode::GIFT_PRIVILEGES, l_payload);
}

void Server::GetUserStats(QString const& i_user)
{
    Send(ServerCode::USER_STATS, OneString(i_user));
}

void Server::GetOwnPrivilegesStatus()
{
    SendEmpty(ServerCode::PRIVILEGES);
}

Item Server::NewSearchRequest(quint32 i_token, QString const& i_text)
{
    Item l_request = d.GetType("search_request")->GetItem(Value(i_token));
    l_request += d.GetType("search_request_text")->GetItem(i_text);
    return l_request;
}

quint32 Server::FileSearch(QString const& i_text, QString const& i_wishListText)
{
    quint32 const l_token = NextToken();
    Item l_request = NewSearchRequest(l_token, i_text);
    if (!i_wishListText.isEmpty()) {
        Item l_wish = d.GetType("wish_list_item")->HasItem(i_wishListText);
        if (l_wish.IsValid())
            l_request += l_wish;
    }
    MemStream l_payload;
    l_payload.WriteU32(l_token);
    l_payload.Write(i_text);
    Send(i_wishListText.isEmpty() ? ServerCode::FILE_SEARCH : ServerCode::WISH_LIST_SEARCH, l_payload);
    return l_token;
}

quint32 Server::SearchUserList(QString const& i_text)
{
    quint32 const l_token = NextToken();
    NewSearchRequest(l_token, i_text);
    if (!IsConnected())
        return l_token;
    for (Item const& l_listed : d.GetType("in_user_list")->GetItems()) {
        Item l_user = l_listed["user"];
        if (l_user.IsNull() || !l_user.IsConnected("is_online"))
            continue;
        MemStream l_payload;
        l_payload.Write(l_user.AsString());
        l_payload.WriteU32(l_token);
        l_payload.Write(i_text);
        Send(ServerCode::USER_SEARCH, l_payload);
    }
    return l_token;
}

quint32 Server::SearchRoom(QString const& i_room, QString const& i_text)
{
    quint32 const l_token = NextToken();
    NewSearchRequest(l_token, i_text);
    MemStream l_payload;
    l_payload.Write(i_room);
    l_payload.WriteU32(l_token);
    l_payload.Write(i_text);
    Send(ServerCode::ROOM_SEARCH, l_payload);
    return l_token;
}

void Server::GetSearchCorrelations(QString const& i_text)
{
    Send(ServerCode::SEARCH_CORRELATIONS, OneString(i_text));
}

void Server::SendFilesFolders(int i_folders, int i_files)
{
    MemStream l_payload;
    l_payload.WriteI32(i_folders);
    l_payload.WriteI32(i_files);
    Send(ServerCode::SHARED_FOLDERS_FILES, l_payload);
}

void Server::SendUploadSpeed(int i_bytesPerSecond)
{
    Send(ServerCode::UPLOAD_SPEED, OneI32(i_bytesPerSecond));
}

void Server::SendDNetHasParent(bool i_hasParent)
{
    Send(ServerCode::DNET_HAS_PARENT, OneBool(i_hasParent));
}

void Server::SendDNetCanParent(bool i_canParent)
{
    Send(ServerCode::DNET_CAN_PARENT, OneBool(i_canParent));
}

void Server::SendDNetLevel(int i_level)
{
    Send(ServerCode::DNET_LEVEL, OneI32(i_level));
}

void Server::SendDNetGroupLeader(QString const& i_leader)
{
    Send(ServerCode::DNET_GROUP_LEADER, OneString(i_leader));
}

void Server::SendChildDepth(bool i_hasGrandchildren)
{
    Send(ServerCode::DNET_CHILD_DEPTH, OneBool(i_hasGrandchildren));
}

void Server::SetStatus(bool i_away)
{
    Send(ServerCode::SET_STATUS, OneU32(i_away ? STATUS_AWAY : STATUS_ONLINE));
}

void Server::GetPeerAddress(QString const& i_user)
{
    Send(ServerCode::PEER_ADDRESS, OneString(i_user));
}

void Server::RequestConnectBack(QString const& i_user, quint32 i_token, QString const& i_type)
{
    MemStream l_payload;
    l_payload.WriteU32(i_token);
    l_payload.Write(i_user);
    l_payload.Write(i_type);
    Send(ServerCode::CONNECT_BACK, l_payload);
}

void Server::SendCannotConnect(QString const& i_user, quint32 i_token)
{
    MemStream l_payload;
    l_payload.WriteU32(i_token);
    l_payload.Write(i_user);
    Send(ServerCode::CANNOT_CONNECT, l_payload);
}

// ------------------------------------------------------------- receiving

void Server::ShortMessage(quint32 i_code)
{
    ServerLog(1, QStringLiteral("Server message %1 ended early or held a bad field, dropped").arg(i_code));
}

void Server::Dispatch(quint32 i_code, MemStream& io_frame)
{
    ServerLog(2, QStringLiteral("Received message %1 (%2 bytes)").arg(i_code).arg(io_frame.BytesAvailable()));
    if (m_state == STATE_CONNECTING) {
        // Before the login answer only the answer itself counts.
        if (i_code == ServerCode::LOGIN)
            HandleLogin(io_frame);
        else
            ServerLog(1, QStringLiteral("Message %1 before the login answer, skipped").arg(i_code));
        return;
    }
    switch (i_code) {
    case ServerCode::ADD_USER: HandleAddUser(io_frame); break;
    case ServerCode::ROOM_CHAT: HandleRoomChat(io_frame); break;
    case ServerCode::JOIN_ROOM: HandleRoomJoined(io_frame); break;
    case ServerCode::LEAVE_ROOM: HandleRoomLeft(io_frame); break;
    case ServerCode::PRIVATE_CHAT: HandlePrivateChat(io_frame); break;
    case ServerCode::FILE_SEARCH: HandleFileSearch(io_frame); break;
    case ServerCode::USER_STATS: HandleUserStats(io_frame); break;
    case ServerCode::ROOM_LIST: HandleRoomList(io_frame); break;
    case ServerCode::ADMIN_MESSAGE: HandleAdminMessage(io_frame); break;
    case ServerCode::DNET_PARENT_MIN_SPEED:
    case ServerCode::DNET_PARENT_SPEED_RATIO:
    case ServerCode::DNET_DELIVERY_REPORT: HandleInt(io_frame, i_code); break;
    case ServerCode::PRIVILEGES: HandlePrivileges(io_frame); break;
    case ServerCode::DNET_MESSAGE: HandleDNetMessage(io_frame); break;
    case ServerCode::DNET_POSSIBLE_PARENTS: HandlePossibleParents(io_frame); break;
    case ServerCode::DNET_RESET: emit DNetReset(); break;
    case ServerCode::PRIVATE_ROOM_ADD_ENABLED: HandlePrivateRoomAddEnabled(io_frame); break;
    case ServerCode::USER_STATUS: HandleUserStatus(io_frame); break;
    case ServerCode::LOGGED_IN_ELSEWHERE: HandleLoggedInElsewhere(); break;
    case ServerCode::PEER_ADDRESS: HandlePeerAddress(io_frame); break;
    case ServerCode::CONNECT_BACK: HandleConnectBack(io_frame); break;
    case ServerCode::CANNOT_CONNECT: HandleCannotConnect(io_frame); break;
    case ServerCode::ROOM_TICKERS: HandleRoomTickers(io_frame); break;
    case ServerCode::ROOM_TICKER_SET: HandleRoomTickerSet(io_frame); break;
    case ServerCode::ROOM_TICKER_REMOVED: HandleRoomTickerRemoved(io_frame); break;
    case ServerCode::USER_JOINED_ROOM: HandleUserJoinedRoom(io_frame); break;
    case ServerCode::USER_LEFT_ROOM: HandleUserLeftRoom(io_frame); break;
    case ServerCode::PRIVATE_ROOM_STATE: HandlePrivateRoomState(io_frame); break;
    case ServerCode::PRIVATE_ROOM_REMOVED: HandlePrivateRoomRemoved(io_frame); break;
    case ServerCode::SEARCH_CORRELATIONS: HandleSearchCorrelations(io_frame); break;
    default: ServerLog(1, QStringLiteral("Unknown server message %1, skipped").arg(i_code)); break;
    }
}

void Server::HandleLogin(MemStream& io_in)
{
    bool l_success = false;
    QString l_text;
    if (!io_in.Read(l_success) || !io_in.Read(l_text)) {
        ShortMessage(ServerCode::LOGIN);
        FailAttempt(QStringLiteral("socket error"));
        return;
    }
    if (!l_success) {
        // Known-bad credentials would only be refused again: wait for the
        // user to fix them instead of retrying every half minute.
        if (l_text == QLatin1String("INVALIDPASS") || l_text == QLatin1String("INVALIDUSERNAME"))
            m_reconnect = false;
        FailAttempt(l_text);
        return;
    }
    ServerLog(1, QStringLiteral("Logged in: %1").arg(l_text));
    mp_loginTimer->stop();
    m_state = STATE_LOGGED_IN;
    AfterLogin();
}

void Server::AfterLogin()
{
    quint64 const l_generation = m_generation;
    MemStream l_ports;
    l_ports.WriteU32(quint32(qMax(0, GetSettingInt("listening_port"))));
    l_ports.WriteU32(quint32(qMax(0, GetSettingInt("obfuscated_listening_port"))));
    Send(ServerCode::LISTENING_PORTS, l_ports);
    if (GetSetting("availability_status") == QLatin1String("away"))
        SetStatus(true);
    for (Item const& l_user : d.GetType("is_tracked")->GetGlobalNullItem().GetItems("user"))
        AddUser(l_user.AsString());
    if (!m_joinedAutojoinRooms) {
        m_joinedAutojoinRooms = true;
        for (Item const& l_room : d.GetType("room_autojoin")->GetGlobalNullItem().GetItems("room"))
            EnterRoom(l_room.AsString(), false);
    }
    if (l_generation == m_generation)
        emit Connected();
}

void Server::ApplyUserStatus(Item const& i_user, quint32 i_status, bool i_privileged)
{
    bool const l_online = i_status != STATUS_OFFLINE;
    bool const l_wasOnline = i_user.IsConnected("is_online");
    // The time goes in first, so that observers of the online flag read
    // the new time.
    if (l_online != l_wasOnline || !i_user.IsConnected("last_online_status_change"))
        SetAttribute(i_user, "last_online_status_change", QDateTime::currentDateTime().toString(Qt::TextDate));
    SetFlag(i_user, "is_privileged", i_privileged);
    SetFlag(i_user, "is_away", i_status == STATUS_AWAY);
    SetFlag(i_user, "is_online", l_online);
}

void Server::ApplyUserStats(Item const& i_user, UserStats const& i_stats)
{
    SetAttribute(i_user, "average_download_speed", Value(i_stats.m_averageSpeed));
    SetAttribute(i_user, "shared_file_count", Value(i_stats.m_fileCount));
}

Item Server::ApplyUserInfo(UserInfo const& i_info)
{
    Item l_user = UserItem(i_info.m_name);
    ApplyUserStats(l_user, i_info.m_stats);
    SetAttribute(l_user, "country_code", i_info.m_country);
    ApplyUserStatus(l_user, i_info.m_status, i_info.m_privileged);
    return l_user;
}

void Server::HandleAddUser(MemStream& io_in)
{
    UserInfo l_info;
    bool l_exists = false;
    if (!io_in.Read(l_info.m_name) || !io_in.Read(l_exists) || (l_exists && !l_info.ReadDetails(io_in)))
        return ShortMessage(ServerCode::ADD_USER);
    emit AddUserResponse(l_info.m_name, l_exists);
    if (l_exists)
        ApplyUserInfo(l_info);
}

void Server::HandleUserStatus(MemStream& io_in)
{
    QString l_name;
    quint32 l_status = 0;
    bool l_privileged = false;
    if (!io_in.Read(l_name) || !io_in.Read(l_status) || !io_in.Read(l_privileged))
        return ShortMessage(ServerCode::USER_STATUS);
    ApplyUserStatus(UserItem(l_name), l_status, l_privileged);
}

void Server::HandleRoomChat(MemStream& io_in)
{
    QString l_room, l_user, l_text;
    if (!io_in.Read(l_room) || !io_in.Read(l_user) || !io_in.Read(l_text))
        return ShortMessage(ServerCode::ROOM_CHAT);
    Item l_userItem = d.GetType("user")->HasItem(l_user);
    if (l_userItem.IsConnected("is_ignored")) {
        ServerLog(2, QStringLiteral("Room chat from ignored user %1 dropped").arg(l_user));
        return;
    }
    emit RoomChat(l_room, l_user, l_text);
}

void Server::UpdateRoomUserCount(Item const& i_room)
{
    SetAttribute(i_room, "user_count", Value(static_cast<unsigned long long>(i_room.CountItems("user"))));
}

void Server::HandleRoomJoined(MemStream& io_in)
{
    QString l_roomName;
    quint32 l_count = 0;
    if (!io_in.Read(l_roomName) || !io_in.Read(l_count))
        return ShortMessage(ServerCode::JOIN_ROOM);
    std::vector<UserInfo> l_members;
    for (quint32 l_index = 0; l_index < l_count; ++l_index) {
        UserInfo l_member;
        if (!l_member.Read(io_in))
            return ShortMessage(ServerCode::JOIN_ROOM);
        l_members.push_back(l_member);
    }
    Item l_room = RoomItem(l_roomName);
    // The room is marked joined first: its page comes up on that and then
    // sees every member arrive.
    SetFlag(l_room, "in_room", true);
    std::set<QString> l_names;
    for (UserInfo const& l_member : l_members)
        l_names.insert(l_member.m_name);
    for (Item const& l_user : l_room.GetItems("user"))
        if (l_names.count(l_user.AsString()) == 0)
            l_room.Disconnect(l_user);
    for (UserInfo const& l_member : l_members) {
        Item l_user = ApplyUserInfo(l_member);
        if (!l_user.IsConnected(l_room))
            l_user += l_room;
    }
    UpdateRoomUserCount(l_room);
}

void Server::HandleRoomLeft(MemStream& io_in)
{
    QString l_roomName;
    if (!io_in.Read(l_roomName))
        return ShortMessage(ServerCode::LEAVE_ROOM);
    Item l_room = d.GetType("room")->HasItem(l_roomName);
    if (l_room.IsNull())
        return;
    SetFlag(l_room, "in_room", false);
    l_room.Disconnect("user");
}

void Server::HandleUserJoinedRoom(MemStream& io_in)
{
    QString l_roomName;
    UserInfo l_member;
    if (!io_in.Read(l_roomName) || !l_member.Read(io_in))
        return ShortMessage(ServerCode::USER_JOINED_ROOM);
    Item l_room = RoomItem(l_roomName);
    Item l_user = ApplyUserInfo(l_member);
    if (!l_user.IsConnected(l_room))
        l_user += l_room;
    UpdateRoomUserCount(l_room);
}

void Server::HandleUserLeftRoom(MemStream& io_in)
{
    QString l_roomName, l_userName;
    if (!io_in.Read(l_roomName) || !io_in.Read(l_userName))
        return ShortMessage(ServerCode::USER_LEFT_ROOM);
    Item l_room = d.GetType("room")->HasItem(l_roomName);
    Item l_user = d.GetType("user")->HasItem(l_userName);
    if (l_room.IsNull() || l_user.IsNull())
        return;
    l_room.Disconnect(l_user);
    UpdateRoomUserCount(l_room);
}

void Server::HandlePrivateChat(MemStream& io_in)
{
    quint32 l_id = 0;
    quint32 l_time = 0;
    QString l_user, l_text;
    bool l_new = false;
    if (!io_in.Read(l_id) || !io_in.Read(l_time) || !io_in.Read(l_user) || !io_in.Read(l_text)
        || !io_in.Read(l_new))
        return ShortMessage(ServerCode::PRIVATE_CHAT);
    // Acknowledged at once, so that the server does not hold it for the
    // next login. Ignoring a user silences his room lines only: a private
    // message is always passed on, so that nothing the server has handed
    // over is lost unseen.
    Send(ServerCode::PRIVATE_CHAT_ACK, OneU32(l_id));
    emit PrivateChat(l_user, l_text, time_t(l_time), l_new);
}

void Server::HandleFileSearch(MemStream& io_in)
{
    QString l_user, l_query;
    quint32 l_token = 0;
    if (!io_in.Read(l_user) || !io_in.Read(l_token) || !io_in.Read(l_query))
        return ShortMessage(ServerCode::FILE_SEARCH);
    emit DirectFileSearch(l_user, l_token, l_query);
}

void Server::HandleUserStats(MemStream& io_in)
{
    QString l_name;
    UserStats l_stats;
    if (!io_in.Read(l_name) || !l_stats.Read(io_in))
        return ShortMessage(ServerCode::USER_STATS);
    ApplyUserStats(UserItem(l_name), l_stats);
    emit ReceivedUserStats(l_name, l_stats);
}

void Server::HandleRoomList(MemStream& io_in)
{
    struct Listed
    {
        QString m_name;
        quint32 m_users = 0;
    };
    std::vector<Listed> l_lists[3];
    for (std::vector<Listed>& l_list : l_lists) {
        quint32 l_count = 0;
        if (!io_in.Read(l_count))
            return ShortMessage(ServerCode::ROOM_LIST);
        for (quint32 l_index = 0; l_index < l_count; ++l_index) {
            Listed l_entry;
            if (!io_in.Read(l_entry.m_name) || !io_in.Read(l_entry.m_users))
                return ShortMessage(ServerCode::ROOM_LIST);
            l_list.push_back(l_entry);
        }
    }
    std::vector<QString> l_operated;
    if (!ReadNames(io_in, l_operated))
        return ShortMessage(ServerCode::ROOM_LIST);
    if (GetSetting("accept_room_list") != QLatin1String("yes")) {
        ServerLog(2, QStringLiteral("Room list not asked for, ignored"));
        return;
    }
    SetSetting("accept_room_list", QStringLiteral("no"));

    std::set<QString> l_owned, l_member, l_operator(l_operated.begin(), l_operated.end());
    for (Listed const& l_entry : l_lists[1]) {
        l_owned.insert(l_entry.m_name);
        l_member.insert(l_entry.m_name);
    }
    for (Listed const& l_entry : l_lists[2])
        l_member.insert(l_entry.m_name);
    // Roles that the list no longer gives are taken away first.
    struct Role
    {
        char const* mp_flag;
        std::set<QString> const* mp_names;
    } const l_roles[] = {{"is_owner", &l_owned}, {"is_operator", &l_operator}, {"is_member", &l_member}};
    for (Role const& l_role : l_roles)
        for (Item const& l_room : d.GetType(l_role.mp_flag)->GetGlobalNullItem().GetItems("room"))
            if (l_role.mp_names->count(l_room.AsString()) == 0)
                SetFlag(l_room, l_role.mp_flag, false);
    for (std::vector<Listed> const& l_list : l_lists)
        for (Listed const& l_entry : l_list)
            SetAttribute(RoomItem(l_entry.m_name), "user_count", Value(l_entry.m_users));
    for (Role const& l_role : l_roles)
        for (QString const& l_name : *l_role.mp_names)
            SetFlag(RoomItem(l_name), l_role.mp_flag, true);
}

void Server::HandleAdminMessage(MemStream& io_in)
{
    QString l_text;
    if (!io_in.Read(l_text))
        return ShortMessage(ServerCode::ADMIN_MESSAGE);
    emit AdminMessage(l_text);
}

void Server::HandleInt(MemStream& io_in, quint32 i_code)
{
    qint32 l_value = 0;
    if (!io_in.Read(l_value))
        return ShortMessage(i_code);
    if (i_code == ServerCode::DNET_PARENT_MIN_SPEED)
        emit DNetParentMinSpeed(l_value);
    else if (i_code == ServerCode::DNET_PARENT_SPEED_RATIO)
        emit DNetParentSpeedConnectionRatio(l_value);
    else
        emit DNetDeliveryReport(l_value);
}

void Server::HandlePrivileges(MemStream& io_in)
{
    qint32 l_seconds = 0;
    if (!io_in.Read(l_seconds))
        return ShortMessage(ServerCode::PRIVILEGES);
    SetSetting("privileges_time_left", qint64(l_seconds));
    if (l_seconds > 0)
        SetSetting("is_supporter", QStringLiteral("yes"));
    emit ReceivedOwnPrivilegesStatus(l_seconds);
}

void Server::HandleDNetMessage(MemStream& io_in)
{
    // The receiver reads the embedded message from the current position.
    emit DNetMessage(io_in);
}

void Server::HandlePossibleParents(MemStream& io_in)
{
    quint32 l_count = 0;
    if (!io_in.Read(l_count))
        return ShortMessage(ServerCode::DNET_POSSIBLE_PARENTS);
    PossibleParentList l_parents;
    for (quint32 l_index = 0; l_index < l_count; ++l_index) {
        QString l_user;
        TCPAddress l_address;
        if (!io_in.Read(l_user) || !io_in.Read(l_address.m_ip) || !io_in.Read(l_address.m_port))
            return ShortMessage(ServerCode::DNET_POSSIBLE_PARENTS);
        // Nobody can be reached on such a port; the others are still good.
        if (l_address.m_port < 1 || l_address.m_port > 65535) {
            ServerLog(1, QStringLiteral("Possible parent %1 has a bad port %2, skipped").arg(l_user).arg(l_address.m_port));
            continue;
        }
        l_parents.emplace_back(l_user, l_address);
    }
    emit DNetPossibleParents(l_parents);
}

void Server::HandlePrivateRoomAddEnabled(MemStream& io_in)
{
    bool l_enabled = false;
    if (!io_in.Read(l_enabled))
        return ShortMessage(ServerCode::PRIVATE_ROOM_ADD_ENABLED);
    emit PrivateRoomAddEnabled(l_enabled);
}

void Server::HandleLoggedInElsewhere()
{
    ServerLog(1, QStringLiteral("The account logged in elsewhere"));
    m_reconnect = false;
    LinkLost();
    emit LoggedInElsewhere();
}

void Server::HandlePeerAddress(MemStream& io_in)
{
    QString l_user;
    quint32 l_ip = 0, l_port = 0, l_obfuscatedPort = 0;
    if (!io_in.Read(l_user) || !io_in.Read(l_ip) || !io_in.Read(l_port) || !io_in.Read(l_obfuscatedPort))
        return ShortMessage(ServerCode::PEER_ADDRESS);
    if (l_port > 65535 || l_obfuscatedPort > 65535) {
        ServerLog(1, QStringLiteral("Peer address of %1 has a bad port, dropped").arg(l_user));
        return;
    }
    emit PeerAddress(l_user, l_ip, int(l_port), int(l_obfuscatedPort));
}

void Server::HandleConnectBack(MemStream& io_in)
{
    QString l_user, l_type;
    quint32 l_ip = 0, l_port = 0, l_token = 0, l_obfuscatedPort = 0;
    bool l_privileged = false;
    if (!io_in.Read(l_user) || !io_in.Read(l_type) || !io_in.Read(l_ip) || !io_in.Read(l_port)
        || !io_in.Read(l_token) || !io_in.Read(l_privileged) || !io_in.Read(l_obfuscatedPort))
        return ShortMessage(ServerCode::CONNECT_BACK);
    if (l_port > 65535 || l_obfuscatedPort > 65535) {
        ServerLog(1, QStringLiteral("Connect-back request from %1 has a bad port, dropped").arg(l_user));
        return;
    }
    emit ConnectBackRequested(l_user, l_type, l_ip, int(l_port), int(l_obfuscatedPort), l_token, l_privileged);
}

void Server::HandleCannotConnect(MemStream& io_in)
{
    quint32 l_token = 0;
    QString l_user;
    if (!io_in.Read(l_token) || !io_in.Read(l_user))
        return ShortMessage(ServerCode::CANNOT_CONNECT);
    emit CannotConnect(l_user, l_token);
}

namespace {
Item FindTicker(Item const& i_room, Item const& i_user)
{
    for (Item const& l_ticker : i_room.GetItems("room_ticker"))
        if (l_ticker["user"] == i_user)
            return l_ticker;
    return Item();
}
} // namespace

void Server::SetRoomTicker(Item const& i_room, Item const& i_user, QString const& i_text)
{
    // A user has one ticker per room: the old one goes, and a new item is
    // made so that observers of new tickers see it arrive.
    FindTicker(i_room, i_user).Remove();
    Item l_ticker = d.GetType("room_ticker")->NewItem();
    l_ticker += i_room;
    l_ticker += i_user;
    l_ticker += d.GetType("room_ticker_text")->GetItem(i_text);
    l_ticker += d.GetType("room_ticker_order")->GetItem(Value(static_cast<unsigned long long>(++m_tickerOrder)));
}

void Server::HandleRoomTickers(MemStream& io_in)
{
    QString l_roomName;
    quint32 l_count = 0;
    if (!io_in.Read(l_roomName) || !io_in.Read(l_count))
        return ShortMessage(ServerCode::ROOM_TICKERS);
    std::vector<std::pair<QString, QString> > l_tickers;
    for (quint32 l_index = 0; l_index < l_count; ++l_index) {
        QString l_user, l_text;
        if (!io_in.Read(l_user) || !io_in.Read(l_text))
            return ShortMessage(ServerCode::ROOM_TICKERS);
        l_tickers.emplace_back(l_user, l_text);
    }
    Item l_room = RoomItem(l_roomName);
    l_room.GetItems("room_ticker").Remove();
    for (auto const& l_ticker : l_tickers)
        SetRoomTicker(l_room, UserItem(l_ticker.first), l_ticker.second);
}

void Server::HandleRoomTickerSet(MemStream& io_in)
{
    QString l_roomName, l_user, l_text;
    if (!io_in.Read(l_roomName) || !io_in.Read(l_user) || !io_in.Read(l_text))
        return ShortMessage(ServerCode::ROOM_TICKER_SET);
    SetRoomTicker(RoomItem(l_roomName), UserItem(l_user), l_text);
}

void Server::HandleRoomTickerRemoved(MemStream& io_in)
{
    QString l_roomName, l_user;
    if (!io_in.Read(l_roomName) || !io_in.Read(l_user))
        return ShortMessage(ServerCode::ROOM_TICKER_REMOVED);
    Item l_room = d.GetType("room")->HasItem(l_roomName);
    Item l_userItem = d.GetType("user")->HasItem(l_user);
    if (l_room.IsValid() && l_userItem.IsValid())
        FindTicker(l_room, l_userItem).Remove();
}

namespace {
// Makes the users linked to the room's role item exactly the given ones.
void SyncRole(Item const& i_room, char const* ip_roleType, std::set<QString> const& i_names)
{
    Item l_role = i_room.NewItem(ip_roleType);
    for (Item const& l_user : l_role.GetItems("user"))
        if (i_names.count(l_user.AsString()) == 0)
            l_role.Disconnect(l_user);
    for (QString const& l_name : i_names) {
        Item l_user = UserItem(l_name);
        if (!l_role.IsConnected(l_user))
            l_role += l_user;
    }
}
} // namespace

void Server::HandlePrivateRoomState(MemStream& io_in)
{
    QString l_roomName, l_owner;
    std::vector<QString> l_members, l_operators;
    if (!io_in.Read(l_roomName) || !io_in.Read(l_owner) || !ReadNames(io_in, l_members)
        || !ReadNames(io_in, l_operators))
        return ShortMessage(ServerCode::PRIVATE_ROOM_STATE);
    Item l_room = RoomItem(l_roomName);
    std::set<QString> l_ownerSet;
    if (!l_owner.isEmpty())
        l_ownerSet.insert(l_owner);
    std::set<QString> const l_memberSet(l_members.begin(), l_members.end());
    std::set<QString> const l_operatorSet(l_operators.begin(), l_operators.end());
    SyncRole(l_room, "room_owner", l_ownerSet);
    SyncRole(l_room, "room_members", l_memberSet);
    SyncRole(l_room, "room_operators", l_operatorSet);
    QString const l_me = OwnName();
    bool const l_isOwner = !l_me.isEmpty() && l_owner == l_me;
    SetFlag(l_room, "is_owner", l_isOwner);
    SetFlag(l_room, "is_operator", l_operatorSet.count(l_me) > 0);
    SetFlag(l_room, "is_member", l_isOwner || l_memberSet.count(l_me) > 0);
}

void Server::HandlePrivateRoomRemoved(MemStream& io_in)
{
    QString l_roomName;
    if (!io_in.Read(l_roomName))
        return ShortMessage(ServerCode::PRIVATE_ROOM_REMOVED);
    Item l_room = d.GetType("room")->HasItem(l_roomName);
    if (l_room.IsNull())
        return;
    SetFlag(l_room, "is_owner", false);
    SetFlag(l_room, "is_operator", false);
    SetFlag(l_room, "is_member", false);
    l_room["room_owner"].Remove();
    l_room["room_members"].Remove();
    l_room["room_operators"].Remove();
}

void Server::HandleSearchCorrelations(MemStream& io_in)
{
    QString l_term;
    quint32 l_count = 0;
    if (!io_in.Read(l_term) || !io_in.Read(l_count))
        return ShortMessage(ServerCode::SEARCH_CORRELATIONS);
    std::vector<std::pair<QString, qint32> > l_related;
    for (quint32 l_index = 0; l_index < l_count; ++l_index) {
        QString l_text;
        qint32 l_rank = 0;
        if (!io_in.Read(l_text) || !io_in.Read(l_rank))
            return ShortMessage(ServerCode::SEARCH_CORRELATIONS);
        l_related.emplace_back(l_text, l_rank);
    }
    Item l_termItem = d.GetType("search_request_text")->GetItem(l_term);
    l_termItem.GetItems("search_correlation").Remove();
    for (auto const& l_entry : l_related) {
        Item l_correlation = d.GetType("search_correlation")->NewItem();
        l_termItem += l_correlation;
        l_correlation += d.GetType("correlation_text")->GetItem(l_entry.first);
        l_correlation += d.GetType("correlation_rank")->GetItem(Value(l_entry.second));
    }
    emit SearchCorrelations(l_term);
}
