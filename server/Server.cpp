#include "server/Server.h"

#include "server/PortMapping.h"
#include "server/SearchTypes.h"
#include "server/ServerLog.h"
#include "server/StoreTypes.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "store/Utilities.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSet>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <set>
#include <utility>
#include <unordered_set>
#include <vector>


Server* gp_server = nullptr;
std::size_t Server::s_mostListedRooms = Server::MAX_LISTED_ROOMS;

namespace {

constexpr int DEFAULT_LOGIN_TIMEOUT_MS = 30000;
// What one read takes from the socket; Qt holds no more than this either, so
// a server that floods the link waits in the system's buffers.
constexpr qint64 READ_CHUNK = 1024 * 1024;
// A join answer, room list or room's tickers of at most this many entries
// is applied at once: a few milliseconds at most.
constexpr std::size_t WHOLE_ENTRIES = 100;

Item UserItem(QString const& i_name)
{
    return d.GetType("user")->GetItem(i_name);
}

Item RoomItem(QString const& i_name)
{
    return d.GetType("room")->GetItem(i_name);
}

// A room the user knows for itself, not only from room lists: joined (now
// or before in this run), auto-joined, one of his private rooms, or one
// that a page holds (its log viewer, its wall, its activity alert). Such a
// room is never dropped from the list.
bool IsOwnRoom(Item const& i_room)
{
    if (i_room.IsNull())
        return false;
    for (char const* lp_type : {"in_room", "room_was_joined", "room_autojoin", "is_owner", "is_operator", "is_member",
                                "user", "room_ticker", "room_owner", "room_operators", "room_members",
                                "chat_log_form", "room_wall_form", "room_activity_alert"})
        if (d.HasType(lp_type) && i_room.IsConnected(lp_type))
            return true;
    return false;
}

// A message applied in slices, as SlicedWork's step: phases in turn, each a
// number of entries, read as the phase begins, and what one step does with
// an entry.
class PhasedSteps
{
public:
    using Count = std::function<std::size_t()>;
    using Each = std::function<void(std::size_t)>;

    void Add(Count i_count, Each i_each) { m_phases.emplace_back(std::move(i_count), std::move(i_each)); }
    void Add(std::size_t i_count, Each i_each)
    {
        Add([i_count]() { return i_count; }, std::move(i_each));
    }
    // An item per step, of those linked to i_item as the phase begins.
    void AddEachLinked(Item const& i_item, char const* ip_type, std::function<void(Item const&)> i_each)
    {
        auto const lp_items = std::make_shared<std::vector<Item>>();
        Add(
            [i_item, ip_type, lp_items]() {
                ItemSet const l_items = i_item.GetItems(ip_type);
                lp_items->assign(l_items.begin(), l_items.end());
                return lp_items->size();
            },
            [lp_items, i_each](std::size_t i_k) { i_each((*lp_items)[i_k]); });
    }

    bool operator()()
    {
        while (m_phase < m_phases.size()) {
            if (!m_begun) {
                m_size = m_phases[m_phase].first();
                m_next = 0;
                m_begun = true;
            }
            if (m_next < m_size) {
                m_phases[m_phase].second(m_next++);
                return true;
            }
            ++m_phase;
            m_begun = false;
        }
        return false;
    }

private:
    std::vector<std::pair<Count, Each>> m_phases;
    std::size_t m_phase = 0;
    std::size_t m_size = 0;
    std::size_t m_next = 0;
    bool m_begun = false;
};

QString OwnName()
{
    return GetSetting("username");
}

} // namespace

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
    // The pages' lists follow what the link applies in slices of their own.
    m_applying.SetOwnSliceMs(SlicedWork::SIDE_BY_SIDE_MS);
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
    DeclareUserType();
    EnsureFlag("user", "is_online");
    EnsureFlag("user", "is_away");
    EnsureFlag("user", "is_tracked");
    EnsureFlag("user", "is_privileged");
    EnsureKeepingFlag("user", "is_ignored");
    EnsureAttribute("user", "last_online_status_change");
    EnsureAttribute("user", "country_code");
    EnsureAttribute("user", "shared_file_count");
    EnsureAttribute("user", "average_download_speed");

    DeclareUserListTypes();

    EnsureType("room", ROOT, false, true);
    EnsureRelation("user", "room", MANY, MANY, false);
    EnsureFlag("room", "in_room");
    EnsureFlag("room", "room_was_joined");
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
    // A room's members are whom the server names when it is joined; a
    // remembered one would have no row on the room's page.
    dataSaver->AddUnsavedRelation("room", "user");
    RegisterSearchTypeSaving();
}

void Server::GetServerAddress(QString& o_host, quint16& o_port)
{
    o_host = QString::fromLatin1(DEFAULT_SERVER_HOST);
    o_port = DEFAULT_SERVER_PORT;
    QString const l_address = GetSetting("server_address").trimmed();
    QString l_host = o_host;
    quint16 l_port = o_port;
    if (l_address.isEmpty())
        return;
    bool const l_good = SplitServerAddress(l_address, l_host, l_port);
    if (!l_host.isEmpty())
        o_host = l_host;
    if (l_good)
        o_port = l_port;
    else
        ServerLog(1, QStringLiteral("Bad server address \"%1\", using %2:%3")
                         .arg(Isolated(l_address), o_host)
                         .arg(o_port));
}

bool Server::SplitServerAddress(QString const& i_address, QString& io_host, quint16& io_port)
{
    QString const l_address = i_address.trimmed();
    int const l_colon = l_address.lastIndexOf(QLatin1Char(':'));
    // A bare IPv6 address has colons of its own and no port.
    bool const l_bareIPv6 = l_address.count(QLatin1Char(':')) > 1 && !l_address.startsWith(QLatin1Char('['));
    QString l_host = l_address;
    bool l_good = true;
    if (l_colon >= 0 && !l_bareIPv6 && !l_address.endsWith(QLatin1Char(']'))) {
        l_host = l_address.left(l_colon);
        uint const l_port = l_address.mid(l_colon + 1).toUInt(&l_good);
        l_good = l_good && l_port >= 1 && l_port <= 65535;
        if (l_good)
            io_port = quint16(l_port);
    }
    if (l_host.startsWith(QLatin1Char('[')) && l_host.endsWith(QLatin1Char(']')))
        l_host = l_host.mid(1, l_host.size() - 2);
    io_host = l_host;
    return l_good && !l_host.isEmpty();
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
    ServerLog(1, QStringLiteral("Connecting to %1:%2").arg(l_host, QString::number(l_port)));

    m_state = STATE_CONNECTING;
    m_retry = true;
    m_lastSocketError.clear();
    m_reader.Clear();
    mp_socket = new QTcpSocket(this);
    mp_socket->setReadBufferSize(READ_CHUNK);
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
    m_retry = false;
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
    // What the fallen link had not applied yet goes with the frames it had
    // not read: the members of a join answer applied after this would show
    // as online with no link to tell otherwise.
    m_applying.Stop();
    m_waiting.clear();
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
    // Disconnected is for a link that was logged in; an attempt given up
    // before the answer was never a link the pages knew of.
    if (l_previous == STATE_LOGGED_IN)
        emit Disconnected();
}

void Server::FailAttempt(QString const& i_reason)
{
    ServerLog(1, QStringLiteral("Login failed: %1").arg(Isolated(i_reason)));
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
    Send(ServerOut::Login(OwnName(), GetSetting("password")));
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
    m_lastSocketError = mp_socket->errorString();
    ServerLog(1, QStringLiteral("Server socket error: %1").arg(m_lastSocketError));
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
    if (mp_socket && mp_socket->state() != QAbstractSocket::ConnectedState)
        m_lastSocketError = QStringLiteral("no answer in time");
    FailAttempt(QStringLiteral("socket error"));
}

void Server::EveryHalfMinute()
{
    // Also when no attempt got through yet: a client started a moment
    // before its server, or while the network was down, logs in once the
    // server can be reached.
    if (m_state == STATE_DISCONNECTED && m_retry) {
        ServerLog(1, QStringLiteral("Attempting to reconnect"));
        m_reconnect = true;
        Connect();
    }
}

void Server::EveryFiveMinutes()
{
    if (m_state == STATE_LOGGED_IN)
        Send(ServerOut::KeepAlive());
}

void Server::OnSocketReadyRead()
{
    // A scheduled slice reads the socket itself; while a message is applied
    // in slices, what comes waits in the socket.
    if (!m_readScheduled && !IsApplying())
        ReadFrames();
}

void Server::ScheduleRead()
{
    if (m_readScheduled || !mp_socket)
        return;
    m_readScheduled = true;
    QTimer::singleShot(0, this, [this]() {
        m_readScheduled = false;
        ReadFrames();
    });
}

void Server::ReadFrames()
{
    QElapsedTimer l_slice;
    l_slice.start();
    quint64 const l_generation = m_generation;
    while (mp_socket && !IsApplying()) {
        // More is read only when what was read is nearly handled: a pending
        // part that large always holds a whole frame.
        if (m_reader.Pending() <= int(SERVER_FRAME_MAX) + 8 && mp_socket->bytesAvailable() > 0)
            m_reader.Append(mp_socket->read(READ_CHUNK));
        MemStream l_frame;
        quint32 l_code = 0;
        quint32 l_badLength = 0;
        FrameReader::Result const l_result = m_reader.Next(l_frame, l_code, &l_badLength);
        if (l_result == FrameReader::NEED_MORE) {
            if (mp_socket->bytesAvailable() > 0)
                continue;
            return;
        }
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
        // A flood must not hold the event loop: the rest waits for its turn.
        // So do the frames after a message applied in slices, which reads
        // on once it is through.
        if (l_slice.elapsed() >= m_readSliceMs && !IsApplying()) {
            ScheduleRead();
            return;
        }
    }
}

// ---------------------------------------------------------------- sending

bool Server::Send(ServerRequest const& i_request)
{
    quint32 const l_code = i_request.m_code;
    bool const l_allowed = mp_socket && (m_state == STATE_LOGGED_IN || (l_code == ServerCode::LOGIN && m_state == STATE_CONNECTING));
    if (!l_allowed) {
        ServerLog(2, QStringLiteral("Not logged in, request %1 dropped").arg(l_code));
        return false;
    }
    quint64 const l_size = i_request.m_payload.Size();
    if (l_size + 4 > SERVER_FRAME_MAX) {
        ServerLog(1, QStringLiteral("Request %1 too large (%2 bytes), dropped").arg(l_code).arg(l_size));
        return false;
    }
    MemStream const l_frame = MakeFrame(l_code, i_request.m_payload);
    mp_socket->write(l_frame.Data(), qint64(l_frame.Size()));
    ServerLog(2, QStringLiteral("Sent message %1 (%2 bytes)").arg(l_code).arg(l_size));
    return true;
}

void Server::AddUser(QString const& i_user)
{
    Send(ServerOut::AddUser(i_user));
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
    std::optional<ServerRequest> const l_request = ServerOut::PrivateChat(i_user, i_text);
    bool l_sent = false;
    if (!IsConnected())
        ServerLog(1, QStringLiteral("Not logged in, private message to %1 not sent").arg(Isolated(i_user)));
    else if (!l_request)
        ServerLog(1, QStringLiteral("Private message to %1 too long, not sent").arg(Isolated(i_user)));
    else
        l_sent = Send(*l_request);
    emit PrivateChatSent(i_user, ServerOut::OneLine(i_text));
    return l_sent;
}

void Server::SendRoomChat(QString const& i_room, QString const& i_text)
{
    Send(ServerOut::RoomChat(i_room, i_text));
}

void Server::EnterRoom(QString const& i_room, bool i_isPrivate)
{
    Send(ServerOut::JoinRoom(i_room, i_isPrivate));
}

void Server::LeaveRoom(QString const& i_room)
{
    Item l_room = d.GetType("room")->HasItem(i_room);
    if (!l_room.IsConnected("in_room"))
        return;
    Send(ServerOut::LeaveRoom(i_room));
}

void Server::GetRoomList()
{
    if (!IsConnected())
        return;
    SetSetting("accept_room_list", QStringLiteral("yes"));
    Send(ServerOut::GetRoomList());
}

void Server::EnablePrivateRoomAdd(bool i_enable)
{
    Send(ServerOut::EnablePrivateRoomAdd(i_enable));
}

void Server::SetRoomTicker(QString const& i_room, QString const& i_text)
{
    Send(ServerOut::SetRoomTicker(i_room, i_text));
}

void Server::GiveUpPrivateRoom(QString const& i_room)
{
    Send(ServerOut::RoomRequest(ServerCode::PRIVATE_ROOM_GIVE_UP_OWNERSHIP, i_room));
}

void Server::GiveUpPrivateRoomMembership(QString const& i_room)
{
    Send(ServerOut::RoomRequest(ServerCode::PRIVATE_ROOM_GIVE_UP_MEMBERSHIP, i_room));
}

void Server::AddPrivateRoomMember(QString const& i_room, QString const& i_user)
{
    Send(ServerOut::RoomUserRequest(ServerCode::PRIVATE_ROOM_ADD_MEMBER, i_room, i_user));
}

void Server::RemovePrivateRoomMember(QString const& i_room, QString const& i_user)
{
    Send(ServerOut::RoomUserRequest(ServerCode::PRIVATE_ROOM_REMOVE_MEMBER, i_room, i_user));
}

void Server::AddPrivateRoomOperator(QString const& i_room, QString const& i_user)
{
    Send(ServerOut::RoomUserRequest(ServerCode::PRIVATE_ROOM_ADD_OPERATOR, i_room, i_user));
}

void Server::RemovePrivateRoomOperator(QString const& i_room, QString const& i_user)
{
    Send(ServerOut::RoomUserRequest(ServerCode::PRIVATE_ROOM_REMOVE_OPERATOR, i_room, i_user));
}

void Server::MessageUsers(QStringList const& i_users, QString const& i_text)
{
    Send(ServerOut::MessageUsers(i_users, i_text));
}

void Server::GiftPrivileges(QString const& i_user, int i_days)
{
    Send(ServerOut::GiftPrivileges(i_user, i_days));
}

void Server::GetUserStats(QString const& i_user)
{
    Send(ServerOut::GetUserStats(i_user));
}

void Server::GetOwnPrivilegesStatus()
{
    Send(ServerOut::GetOwnPrivileges());
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
    Send(ServerOut::FileSearch(l_token, i_text, !i_wishListText.isEmpty()));
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
        Send(ServerOut::UserSearch(l_user.AsString(), l_token, i_text));
    }
    return l_token;
}

quint32 Server::SearchRoom(QString const& i_room, QString const& i_text)
{
    quint32 const l_token = NextToken();
    NewSearchRequest(l_token, i_text);
    Send(ServerOut::RoomSearch(i_room, l_token, i_text));
    return l_token;
}

void Server::GetSearchCorrelations(QString const& i_text)
{
    Send(ServerOut::GetSearchCorrelations(i_text));
}

void Server::SendFilesFolders(int i_folders, int i_files)
{
    Send(ServerOut::SharedFoldersFiles(i_folders, i_files));
}

void Server::SendUploadSpeed(int i_bytesPerSecond)
{
    Send(ServerOut::UploadSpeed(i_bytesPerSecond));
}

void Server::SendDNetHasParent(bool i_hasParent)
{
    Send(ServerOut::DistributedFlag(ServerCode::DNET_HAS_PARENT, i_hasParent));
}

void Server::SendDNetCanParent(bool i_canParent)
{
    Send(ServerOut::DistributedFlag(ServerCode::DNET_CAN_PARENT, i_canParent));
}

void Server::SendDNetLevel(int i_level)
{
    Send(ServerOut::DistributedLevel(i_level));
}

void Server::SendDNetGroupLeader(QString const& i_leader)
{
    Send(ServerOut::DistributedGroupLeader(i_leader));
}

void Server::SendChildDepth(bool i_hasGrandchildren)
{
    Send(ServerOut::DistributedFlag(ServerCode::DNET_CHILD_DEPTH, i_hasGrandchildren));
}

void Server::SetStatus(bool i_away)
{
    Send(ServerOut::SetStatus(i_away));
}

void Server::GetPeerAddress(QString const& i_user)
{
    Send(ServerOut::GetPeerAddress(i_user));
}

void Server::RequestConnectBack(QString const& i_user, quint32 i_token, QString const& i_type)
{
    Send(ServerOut::ConnectBack(i_token, i_user, i_type));
}

void Server::SendCannotConnect(QString const& i_user, quint32 i_token)
{
    Send(ServerOut::CannotConnect(i_token, i_user));
}

// ------------------------------------------------------------- receiving

void Server::Dispatch(quint32 i_code, MemStream& io_frame)
{
    ServerLog(2, QStringLiteral("Received message %1 (%2 bytes)").arg(i_code).arg(io_frame.BytesAvailable()));
    // Before the login answer only the answer itself counts.
    if (m_state == STATE_CONNECTING && i_code != ServerCode::LOGIN) {
        ServerLog(1, QStringLiteral("Message %1 before the login answer, skipped").arg(i_code));
        return;
    }
    Apply(DecodeServerMessage(i_code, io_frame));
}

void Server::Apply(ServerMessage const& i_message)
{
    // A later message (a user leaving, say) must not overtake the one that
    // is still being applied (the join that listed him).
    if (IsApplying()) {
        m_waiting.push_back(i_message);
        return;
    }
    std::visit([this](auto const& i_record) { Handle(i_record); }, i_message);
}

void Server::FinishApplying()
{
    while (IsApplying()) {
        if (m_applying.IsRunning())
            m_applying.Finish();
        else
            OnAppliedInSlices();
    }
}

void Server::ApplyInSlices(SlicedWork::Step i_step, std::size_t i_entries)
{
    m_applying.Start(std::move(i_step), [this]() { OnAppliedInSlices(); });
    // A short message is applied whole, whatever the clock says: a caller
    // sees its effects as soon as Apply returns.
    if (i_entries <= WHOLE_ENTRIES)
        m_applying.Finish();
}

void Server::OnAppliedInSlices()
{
    while (!m_waiting.empty() && !m_applying.IsRunning()) {
        ServerMessage const l_next = std::move(m_waiting.front());
        m_waiting.pop_front();
        std::visit([this](auto const& i_record) { Handle(i_record); }, l_next);
    }
    if (!IsApplying())
        ScheduleRead();
}

void Server::Handle(ServerIn::Malformed const& i_message)
{
    ServerLog(1, QStringLiteral("Server message %1 dropped: ").arg(i_message.m_code) + i_message.m_reason);
    if (i_message.m_code == ServerCode::LOGIN && m_state == STATE_CONNECTING)
        FailAttempt(QStringLiteral("socket error"));
}

void Server::Handle(ServerIn::Unknown const& i_message)
{
    ServerLog(1, QStringLiteral("Unknown server message %1, skipped").arg(i_message.m_code));
}

void Server::Handle(ServerIn::LoginAnswer const& i_message)
{
    if (m_state != STATE_CONNECTING) {
        ServerLog(1, QStringLiteral("Login answer while not logging in, skipped"));
        return;
    }
    if (!i_message.m_success) {
        // Known-bad credentials would only be refused again: wait for the
        // user to fix them instead of retrying every half minute.
        if (i_message.m_text == QLatin1String("INVALIDPASS") || i_message.m_text == QLatin1String("INVALIDUSERNAME"))
            m_reconnect = m_retry = false;
        FailAttempt(i_message.m_text);
        return;
    }
    ServerLog(1, QStringLiteral("Logged in: ") + Isolated(i_message.m_text));
    mp_loginTimer->stop();
    m_state = STATE_LOGGED_IN;
    AfterLogin();
}

void Server::AfterLogin()
{
    quint64 const l_generation = m_generation;
    Send(ServerOut::ListeningPorts(quint32(qMax(0, GetSettingInt("listening_port"))),
                                   quint32(qMax(0, GetSettingInt("obfuscated_listening_port")))));
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

Item Server::ApplyUserDetails(QString const& i_name, ServerIn::UserDetails const& i_details)
{
    Item l_user = UserItem(i_name);
    ApplyUserStats(l_user, i_details.m_stats);
    SetAttribute(l_user, "country_code", i_details.m_country);
    ApplyUserStatus(l_user, i_details.m_status, i_details.m_privileged);
    return l_user;
}

void Server::Handle(ServerIn::AddUserAnswer const& i_message)
{
    emit AddUserResponse(i_message.m_user, i_message.m_exists);
    if (i_message.m_exists)
        ApplyUserDetails(i_message.m_user, i_message.m_details);
}

void Server::Handle(ServerIn::UserStatus const& i_message)
{
    ApplyUserStatus(UserItem(i_message.m_user), i_message.m_status, i_message.m_privileged);
}

void Server::Handle(ServerIn::RoomChat const& i_message)
{
    Item l_user = d.GetType("user")->HasItem(i_message.m_user);
    if (l_user.IsConnected("is_ignored")) {
        ServerLog(2, QStringLiteral("Room chat from ignored user %1 dropped").arg(Isolated(i_message.m_user)));
        return;
    }
    emit RoomChat(i_message.m_room, i_message.m_user, i_message.m_text);
}

void Server::UpdateRoomUserCount(Item const& i_room)
{
    SetAttribute(i_room, "user_count", Value(static_cast<unsigned long long>(i_room.CountItems("user"))));
}

void Server::Handle(ServerIn::RoomJoined const& i_message)
{
    Item const l_room = RoomItem(i_message.m_room);
    auto const lp_members = std::make_shared<std::vector<ServerIn::Member>>(i_message.m_members);
    auto const lp_names = std::make_shared<QSet<QString>>();
    std::size_t const l_members = lp_members->size();
    PhasedSteps l_steps;
    // The room is marked joined first: its page comes up on that (a step of
    // its own) and then sees every member arrive. Users still linked to a
    // room not joined are left from a time the page did not see (a tab
    // closed offline): they go unseen, so that the answer names each member
    // anew to the page.
    l_steps.Add(1, [l_room](std::size_t) {
        if (!l_room.IsConnected("in_room"))
            l_room.Disconnect("user");
        SetFlag(l_room, "room_was_joined", true);
        SetFlag(l_room, "in_room", true);
    });
    // The members no longer there go before the others come.
    l_steps.Add(l_members, [lp_members, lp_names](std::size_t i_k) { lp_names->insert((*lp_members)[i_k].m_name); });
    l_steps.AddEachLinked(l_room, "user", [l_room, lp_names](Item const& i_user) {
        if (!lp_names->contains(i_user.AsString()))
            l_room.Disconnect(i_user);
    });
    l_steps.Add(l_members, [this, l_room, lp_members](std::size_t i_k) {
        ServerIn::Member const& l_member = (*lp_members)[i_k];
        Item l_user = ApplyUserDetails(l_member.m_name, l_member.m_details);
        if (!l_user.IsConnected(l_room))
            l_user += l_room;
    });
    l_steps.Add(1, [this, l_room](std::size_t) { UpdateRoomUserCount(l_room); });
    ApplyInSlices(l_steps, l_members);
}

void Server::Handle(ServerIn::RoomLeft const& i_message)
{
    Item l_room = d.GetType("room")->HasItem(i_message.m_room);
    if (l_room.IsNull())
        return;
    bool const l_wasIn = l_room.IsConnected("in_room");
    // Out of the room, nobody counts its users here any more: it holds the
    // others we last saw, until a room list says otherwise, and one that
    // leaves it out (a private room no longer ours) empties its count.
    Item const l_self = d.GetType("user")->HasItem(OwnName());
    unsigned long long const l_others =
        l_room.CountItems("user") - (l_self.IsValid() && l_room.IsConnected(l_self) ? 1 : 0);
    if (l_wasIn && std::find(m_listedRooms->begin(), m_listedRooms->end(), l_room) == m_listedRooms->end())
        m_listedRooms->push_back(l_room);
    // The room's page goes first, then its members in a step of their own:
    // with nobody listening any more, unlinking them all at once is far
    // cheaper than one by one (12 ms for 50,000 against over 100 ms, with
    // steps of 50 ms where the store gives back the room's link vector a
    // half at a time).
    PhasedSteps l_steps;
    l_steps.Add(1, [l_room](std::size_t) { SetFlag(l_room, "in_room", false); });
    l_steps.Add(1, [l_room, l_others](std::size_t) {
        l_room.Disconnect("user");
        SetAttribute(l_room, "user_count", Value(l_others));
    });
    ApplyInSlices(l_steps, l_room.CountItems("user"));
}

void Server::Handle(ServerIn::UserJoinedRoom const& i_message)
{
    Item l_room = RoomItem(i_message.m_room);
    Item l_user = ApplyUserDetails(i_message.m_member.m_name, i_message.m_member.m_details);
    if (!l_user.IsConnected(l_room))
        l_user += l_room;
    UpdateRoomUserCount(l_room);
}

void Server::Handle(ServerIn::UserLeftRoom const& i_message)
{
    Item l_room = d.GetType("room")->HasItem(i_message.m_room);
    Item l_user = d.GetType("user")->HasItem(i_message.m_user);
    if (l_room.IsNull() || l_user.IsNull())
        return;
    l_room.Disconnect(l_user);
    UpdateRoomUserCount(l_room);
}

void Server::Handle(ServerIn::PrivateChat const& i_message)
{
    // Acknowledged at once, so that the server does not hold it for the
    // next login. Ignoring a user silences his room lines only: a private
    // message is always passed on, so that nothing the server has handed
    // over is lost unseen.
    Send(ServerOut::PrivateChatReceived(i_message.m_id));
    emit PrivateChat(i_message.m_user, i_message.m_text, time_t(i_message.m_time), i_message.m_new);
}

void Server::Handle(ServerIn::FileSearch const& i_message)
{
    emit DirectFileSearch(i_message.m_user, i_message.m_token, i_message.m_query);
}

void Server::Handle(ServerIn::UserStatsAnswer const& i_message)
{
    ApplyUserStats(UserItem(i_message.m_user), i_message.m_stats);
    emit ReceivedUserStats(i_message.m_user, i_message.m_stats);
}

void Server::Handle(ServerIn::RoomList const& i_message)
{
    if (GetSetting("accept_room_list") != QLatin1String("yes")) {
        ServerLog(2, QStringLiteral("Room list not asked for, ignored"));
        return;
    }
    SetSetting("accept_room_list", QStringLiteral("no"));

    // Of the private lists too, no more than the bound is read: they are
    // sorted here in one go.
    auto const l_bounded = [](auto const& i_list) {
        return std::make_pair(i_list.begin(), i_list.begin() + std::ptrdiff_t(std::min(i_list.size(), s_mostListedRooms)));
    };
    auto const l_operated = l_bounded(i_message.m_operated);
    std::set<QString> l_owned, l_member, l_operator(l_operated.first, l_operated.second);
    for (auto l_entries = l_bounded(i_message.m_owned); l_entries.first != l_entries.second; ++l_entries.first) {
        l_owned.insert(l_entries.first->m_name);
        l_member.insert(l_entries.first->m_name);
    }
    for (auto l_entries = l_bounded(i_message.m_member); l_entries.first != l_entries.second; ++l_entries.first)
        l_member.insert(l_entries.first->m_name);
    // Roles that the list no longer gives are taken away first, then the
    // counts come, then the roles, then the rooms that it leaves out; a
    // room per step.
    using Role = std::pair<QString, char const*>;
    auto const lp_lost = std::make_shared<std::vector<std::pair<Item, char const*>>>();
    auto const lp_rooms = std::make_shared<std::vector<ServerIn::ListedRoom>>();
    auto const lp_held = std::make_shared<std::vector<Role>>();
    for (auto const& l_role : {std::make_pair("is_owner", &l_owned), std::make_pair("is_operator", &l_operator),
                               std::make_pair("is_member", &l_member)}) {
        for (Item const& l_room : d.GetType(l_role.first)->GetGlobalNullItem().GetItems("room"))
            if (l_role.second->count(l_room.AsString()) == 0)
                lp_lost->emplace_back(l_room, l_role.first);
        for (QString const& l_name : *l_role.second)
            lp_held->emplace_back(l_name, l_role.first);
    }
    // The own rooms first: past the bound, only rooms the user knows for
    // themselves are taken.
    for (auto const* lp_list : {&i_message.m_owned, &i_message.m_member, &i_message.m_public})
        lp_rooms->insert(lp_rooms->end(), lp_list->begin(), lp_list->end());
    PhasedSteps l_steps;
    l_steps.Add(lp_lost->size(),
                [lp_lost](std::size_t i_k) { SetFlag((*lp_lost)[i_k].first, (*lp_lost)[i_k].second, false); });
    auto const lp_listed = std::make_shared<std::vector<Item>>();
    auto const lp_seen = std::make_shared<std::unordered_set<std::uint64_t>>();
    auto const lp_left = std::make_shared<std::size_t>(0);
    for (std::size_t const l_size : {i_message.m_owned.size(), i_message.m_member.size(), i_message.m_operated.size()})
        *lp_left += l_size - std::min(l_size, s_mostListedRooms);
    // A room of the list: its item, or a null one past the bound for a room
    // that only lists know.
    auto const l_listedRoom = [lp_listed, lp_seen, lp_left](QString const& i_name) {
        Item l_room = d.GetType("room")->HasItem(i_name);
        if (l_room.IsValid() && lp_seen->count(l_room.Serial()) != 0)
            return l_room;
        if (lp_listed->size() >= s_mostListedRooms && !IsOwnRoom(l_room)) {
            ++*lp_left;
            return Item();
        }
        l_room = RoomItem(i_name);
        lp_listed->push_back(l_room);
        lp_seen->insert(l_room.Serial());
        return l_room;
    };
    l_steps.Add(lp_rooms->size(), [lp_rooms, l_listedRoom](std::size_t i_k) {
        if (Item const l_room = l_listedRoom((*lp_rooms)[i_k].m_name); l_room.IsValid())
            SetAttribute(l_room, "user_count", Value((*lp_rooms)[i_k].m_users));
    });
    // The roles before the rooms left out: an operated room that only
    // the list of names gives is not dropped first.
    l_steps.Add(lp_held->size(), [lp_held, l_listedRoom](std::size_t i_k) {
        if (Item const l_room = l_listedRoom((*lp_held)[i_k].first); l_room.IsValid())
            SetFlag(l_room, (*lp_held)[i_k].second, true);
    });
    // A room the last list gave and this one leaves out is gone or empty:
    // its old count would still show in the list. One that nothing but
    // lists ever named goes, so that lists that name new rooms each time do
    // not pile up.
    auto const lp_before = m_listedRooms;
    l_steps.Add(lp_before->size(), [lp_before, lp_seen](std::size_t i_k) {
        Item const& l_room = (*lp_before)[i_k];
        if (l_room.IsNull() || lp_seen->count(l_room.Serial()) != 0)
            return;
        if (IsOwnRoom(l_room))
            SetAttribute(l_room, "user_count", Value(0u));
        else
            l_room.Remove();
    });
    m_listedRooms = lp_listed;
    l_steps.Add(1, [lp_left](std::size_t) {
        if (*lp_left > 0)
            ServerLog(1, QStringLiteral("Room list: %1 rooms past the first %2 left out")
                             .arg(*lp_left)
                             .arg(s_mostListedRooms));
    });
    ApplyInSlices(l_steps, lp_lost->size() + lp_rooms->size() + lp_before->size() + lp_held->size());
}

void Server::Handle(ServerIn::AdminMessage const& i_message)
{
    emit AdminMessage(i_message.m_text);
}

void Server::Handle(ServerIn::ParentMinSpeed const& i_message)
{
    emit DNetParentMinSpeed(i_message.m_speed);
}

void Server::Handle(ServerIn::ParentSpeedRatio const& i_message)
{
    emit DNetParentSpeedConnectionRatio(i_message.m_ratio);
}

void Server::Handle(ServerIn::DeliveryReport const& i_message)
{
    emit DNetDeliveryReport(i_message.m_value);
}

void Server::Handle(ServerIn::Privileges const& i_message)
{
    SetSetting("privileges_time_left", qint64(i_message.m_seconds));
    if (i_message.m_seconds > 0)
        SetSetting("is_supporter", QStringLiteral("yes"));
    emit ReceivedOwnPrivilegesStatus(i_message.m_seconds);
}

void Server::Handle(ServerIn::DistributedMessage const& i_message)
{
    // The receiver reads the embedded message from the current position of
    // the frame, which this copy shares.
    MemStream l_message = i_message.m_message;
    emit DNetMessage(l_message);
}

void Server::Handle(ServerIn::PossibleParents const& i_message)
{
    if (i_message.m_skipped > 0)
        ServerLog(1, QStringLiteral("%1 possible parents with a port outside 1 to 65535 skipped").arg(i_message.m_skipped));
    PossibleParentList l_parents = i_message.m_parents;
    emit DNetPossibleParents(l_parents);
}

void Server::Handle(ServerIn::DistributedReset const&)
{
    emit DNetReset();
}

void Server::Handle(ServerIn::PrivateRoomAddEnabled const& i_message)
{
    emit PrivateRoomAddEnabled(i_message.m_enabled);
}

void Server::Handle(ServerIn::LoggedInElsewhere const&)
{
    ServerLog(1, QStringLiteral("The account logged in elsewhere"));
    m_reconnect = m_retry = false;
    LinkLost();
    emit LoggedInElsewhere();
}

void Server::Handle(ServerIn::PeerAddress const& i_message)
{
    emit PeerAddress(i_message.m_user, i_message.m_ip, i_message.m_port, i_message.m_obfuscatedPort);
}

void Server::Handle(ServerIn::ConnectBack const& i_message)
{
    emit ConnectBackRequested(i_message.m_user, i_message.m_type, i_message.m_ip, i_message.m_port,
                              i_message.m_obfuscatedPort, i_message.m_token, i_message.m_privileged);
}

void Server::Handle(ServerIn::CannotConnect const& i_message)
{
    emit CannotConnect(i_message.m_user, i_message.m_token);
}

namespace {
// From whichever side has fewer tickers: a room's can be thousands (one per
// member), and a walk over them for each ticker of a room's list was
// quadratic in it.
Item FindTicker(Item const& i_room, Item const& i_user)
{
    return d.GetItem(i_room, i_user, "room_ticker");
}

// The server tells the tickers of the rooms we are in. Of any other name
// they would make a room, its users and its tickers for every name a server
// cares to send, kept until the end of the run.
Item TickerRoom(QString const& i_room)
{
    Item const l_room = d.GetType("room")->HasItem(i_room);
    if (l_room.IsValid() && l_room.IsConnected("in_room"))
        return l_room;
    ServerLog(2, QStringLiteral("Tickers of room %1, which we are not in, ignored").arg(Isolated(i_room)));
    return Item();
}
} // namespace

void Server::SetRoomTicker(Item const& i_room, Item const& i_user, QString const& i_text)
{
    // A user has one ticker per room: the old one goes, and a new item is
    // made so that observers of new tickers see it arrive.
    FindTicker(i_room, i_user).Remove();
    // A full room lets its oldest ticker go: a room's tickers are listed in
    // the order they were made, which is their order.
    if (i_room.CountItemsUpTo("room_ticker", MAX_ROOM_TICKERS) >= MAX_ROOM_TICKERS)
        for (Item const& l_oldest : i_room.GetItemsFrom("room_ticker", 0, 1))
            l_oldest.Remove();
    int l_kept = std::min(i_text.size(), MAX_TICKER_CHARACTERS);
    if (l_kept < i_text.size() && i_text[l_kept - 1].isHighSurrogate())
        --l_kept;
    Item l_ticker = d.GetType("room_ticker")->NewItem();
    l_ticker += i_room;
    l_ticker += i_user;
    l_ticker += d.GetType("room_ticker_text")->GetItem(i_text.left(l_kept));
    l_ticker += d.GetType("room_ticker_order")->GetItem(Value(static_cast<unsigned long long>(++m_tickerOrder)));
}

void Server::Handle(ServerIn::RoomTickers const& i_message)
{
    // The tickers of a room of thousands come right after its join answer,
    // and are applied in slices the same way: the old ones go, then the new
    // ones come, a ticker per step.
    Item const l_room = TickerRoom(i_message.m_room);
    if (l_room.IsNull())
        return;
    // Of a longer list only the last tickers, the newest, could stay.
    std::size_t const l_skipped = i_message.m_tickers.size() - std::min(i_message.m_tickers.size(), MAX_ROOM_TICKERS);
    auto const lp_tickers = std::make_shared<std::vector<std::pair<QString, QString>>>(
        i_message.m_tickers.begin() + std::ptrdiff_t(l_skipped), i_message.m_tickers.end());
    PhasedSteps l_steps;
    l_steps.AddEachLinked(l_room, "room_ticker", [](Item const& i_ticker) { i_ticker.Remove(); });
    l_steps.Add(lp_tickers->size(), [this, l_room, lp_tickers](std::size_t i_k) {
        SetRoomTicker(l_room, UserItem((*lp_tickers)[i_k].first), (*lp_tickers)[i_k].second);
    });
    ApplyInSlices(l_steps, lp_tickers->size());
}

void Server::Handle(ServerIn::RoomTickerSet const& i_message)
{
    Item const l_room = TickerRoom(i_message.m_room);
    if (l_room.IsValid())
        SetRoomTicker(l_room, UserItem(i_message.m_user), i_message.m_text);
}

void Server::Handle(ServerIn::RoomTickerRemoved const& i_message)
{
    Item l_room = d.GetType("room")->HasItem(i_message.m_room);
    Item l_user = d.GetType("user")->HasItem(i_message.m_user);
    if (l_room.IsValid() && l_user.IsValid())
        FindTicker(l_room, l_user).Remove();
}

void Server::Handle(ServerIn::PrivateRoomState const& i_message)
{
    // A private room of thousands is as long as a join answer, and is
    // applied in slices the same way: per role, the users who are no longer
    // in it go, then the listed ones are linked, a user per step.
    Item const l_room = RoomItem(i_message.m_room);
    PhasedSteps l_steps;
    std::size_t l_entries = 0;
    auto const l_syncRole = [&](char const* ip_roleType, std::vector<QString> const& i_names) {
        auto const lp_names = std::make_shared<std::set<QString>>(i_names.begin(), i_names.end());
        auto const lp_ordered = std::make_shared<std::vector<QString>>(lp_names->begin(), lp_names->end());
        Item const l_role = l_room.NewItem(ip_roleType);
        l_steps.AddEachLinked(l_role, "user", [l_role, lp_names](Item const& i_user) {
            if (lp_names->count(i_user.AsString()) == 0)
                l_role.Disconnect(i_user);
        });
        l_steps.Add(lp_ordered->size(), [l_role, lp_ordered](std::size_t i_k) {
            Item const l_user = UserItem((*lp_ordered)[i_k]);
            if (!l_role.IsConnected(l_user))
                l_role += l_user;
        });
        l_entries += lp_ordered->size();
    };
    std::vector<QString> l_owner;
    if (!i_message.m_owner.isEmpty())
        l_owner.push_back(i_message.m_owner);
    l_syncRole("room_owner", l_owner);
    l_syncRole("room_members", i_message.m_members);
    l_syncRole("room_operators", i_message.m_operators);
    QString const l_me = OwnName();
    bool const l_isOwner = !l_me.isEmpty() && i_message.m_owner == l_me;
    bool const l_isOperator =
        std::find(i_message.m_operators.begin(), i_message.m_operators.end(), l_me) != i_message.m_operators.end();
    bool const l_isMember = l_isOwner
        || std::find(i_message.m_members.begin(), i_message.m_members.end(), l_me) != i_message.m_members.end();
    l_steps.Add(1, [l_room, l_isOwner, l_isOperator, l_isMember](std::size_t) {
        SetFlag(l_room, "is_owner", l_isOwner);
        SetFlag(l_room, "is_operator", l_isOperator);
        SetFlag(l_room, "is_member", l_isMember);
    });
    ApplyInSlices(l_steps, l_entries);
}

void Server::Handle(ServerIn::PrivateRoomRemoved const& i_message)
{
    Item l_room = d.GetType("room")->HasItem(i_message.m_room);
    if (l_room.IsNull())
        return;
    SetFlag(l_room, "is_owner", false);
    SetFlag(l_room, "is_operator", false);
    SetFlag(l_room, "is_member", false);
    l_room["room_owner"].Remove();
    l_room["room_members"].Remove();
    l_room["room_operators"].Remove();
}

void Server::Handle(ServerIn::SearchCorrelations const& i_message)
{
    Item l_term = d.GetType("search_request_text")->GetItem(i_message.m_term);
    l_term.GetItems("search_correlation").Remove();
    for (auto const& l_entry : i_message.m_related) {
        Item l_correlation = d.GetType("search_correlation")->NewItem();
        l_term += l_correlation;
        l_correlation += d.GetType("correlation_text")->GetItem(l_entry.first);
        l_correlation += d.GetType("correlation_rank")->GetItem(Value(l_entry.second));
    }
    emit SearchCorrelations(i_message.m_term);
}
