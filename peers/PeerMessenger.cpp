// The messenger itself: construction and the types it declares, the two
// listeners, the table of links, the clock, bounds and the half-minute sweep.
// Its other concerns have files of their own: connection attempts and
// connect-backs in PeerAttempts.cpp, what happens on a link's socket
// (handshake, reading and writing frames) in PeerFrames.cpp, the sender
// checks and the holds on answers in PeerTrust.cpp, and messages waiting for
// a connection in PeerUnsent.cpp; the messages themselves are in
// PeerMessages.cpp, and what these files share in PeerMessengerInternals.h.

#include "peers/PeerMessenger.h"

#include "peers/PeerMessengerInternals.h"

#include "peers/PeerLog.h"
#include "peers/PeerServerLink.h"
#include "peers/PortForwarder.h"
#include "server/SearchTypes.h"
#include "server/StoreTypes.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "store/Utilities.h"

#include <QDateTime>
#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>

#include <algorithm>
#include <vector>

using namespace PeerMessengerInternals;

PeerMessenger* peerMessenger = nullptr;

namespace {

constexpr quint16 DEFAULT_LISTENING_PORT = 2235;

// The server link creates the port forwarder when it is built, which is
// before the peer messenger; the factory must be in place by then.
struct PortForwarderFactoryInstaller
{
    PortForwarderFactoryInstaller() { InstallPortForwarderFactory(); }
} s_portForwarderFactoryInstaller;

PeerMessenger::ShareListProvider& ShareListProviderSlot()
{
    static PeerMessenger::ShareListProvider s_provider;
    return s_provider;
}

} // namespace

PeerMessenger::AnswerGate& PeerMessengerInternals::AnswerGateSlot()
{
    static PeerMessenger::AnswerGate s_gate;
    return s_gate;
}

PeerMessenger::PeerMessenger(QObject* ip_parent) : QObject(ip_parent)
{
    peerMessenger = this;
    DeclareTypes();
    connect(&m_listener, &QTcpServer::newConnection, this, &PeerMessenger::OnNewConnection);
    connect(&m_obfuscatedListener, &QTcpServer::newConnection, this, &PeerMessenger::OnNewConnection);
    ConnectPeerServerLink(this);
    connect(TimerManager::Obj(), &TimerManager::timeout, this, &PeerMessenger::EveryHalfMinute);
}

PeerMessenger::~PeerMessenger()
{
    for (auto& l_entry : m_attempts)
        delete l_entry.second.mp_timer;
    m_attempts.clear();
    for (auto& l_entry : m_links) {
        l_entry.first->disconnect(this);
        delete l_entry.first;
    }
    m_links.clear();
    if (peerMessenger == this)
        peerMessenger = nullptr;
}

void PeerMessenger::DeclareTypes()
{
    // Attributes of files, shared by search results and received shares.
    for (char const* lp_name : {"file_size", "mpeg_version", "channel_mode", "audio_frequency", "bitrate",
                                "bitrate_mode", "length_seconds"})
        EnsureType(lp_name, LEAF, false, true);

    DeclareUserType();
    EnsureAttribute("user", "user_address");
    EnsureAttribute("user", "user_port");

    DeclareSearchTypes();
    EnsureFlag("search_request", "search_stopped");
    d.GetType("search_request")->AddRemovedItemEventHandler(
        new EventHandler<PeerMessenger, Item>(this, &PeerMessenger::OnSearchRequestRemoved));

    // One user's answer to one search, and its files.
    EnsureType("search_results", INTERMEDIATE, true, false);
    EnsureRelation("search_request", "search_results", ONE, MANY, true);
    EnsureRelation("search_results", "user", MANY, ONE, false);
    EnsureAttribute("search_results", "search_results_user_available");
    EnsureAttribute("search_results", "search_results_user_speed");
    EnsureAttribute("search_results", "search_results_uploads_in_queue");
    EnsureType("search_result", INTERMEDIATE, true, false);
    EnsureRelation("search_results", "search_result", ONE, MANY, true);
    EnsureAttribute("search_result", "search_result_file_folder");
    EnsureAttribute("search_result", "search_result_file_name");
    for (char const* lp_name : {"file_size", "bitrate", "bitrate_mode", "length_seconds"})
        EnsureRelation("search_result", lp_name, MANY, ONE, false);

    // Wish-list repeat discarding.
    EnsureFlag("wish_list_item", "discard_repeated_results");
    EnsureType("received_results_from_users", INTERMEDIATE, true, false);
    EnsureRelation("wish_list_item", "received_results_from_users", ONE, ONE, true);
    EnsureRelation("received_results_from_users", "user", MANY, MANY, false);

    // The wish list's repeat switch is the user's choice and survives a
    // restart; the record of who answered is rebuilt by later answers.
    if (dataSaver) {
        RegisterSearchTypeSaving();
        dataSaver->AddSavedType("discard_repeated_results");
    }

    // Messages waiting for a connection, in send order.
    EnsureType("unsent_message", ROOT, false, false);
    EnsureRelation("unsent_message", "user", MANY, ONE, false);
    EnsureAttribute("unsent_message", "unsent_message_time");
}

// ------------------------------------------------------------------ listeners

void PeerMessenger::DataLoaded()
{
    OpenListeners();
}

void PeerMessenger::NoData()
{
    // Follows DataLoaded() on a first start; the listeners are open already.
    if (!m_listener.isListening())
        OpenListeners();
}

bool PeerMessenger::Listen(QTcpServer& io_server, quint16 i_port, char const* ip_what)
{
    if (io_server.isListening())
        io_server.close();
    if (io_server.listen(QHostAddress::Any, i_port))
        return true;
    Log(1, QString("Could not listen on the %1 port %2 (%3); letting the system choose one")
               .arg(ip_what)
               .arg(i_port)
               .arg(io_server.errorString()));
    if (i_port != 0 && io_server.listen(QHostAddress::Any, 0))
        return true;
    Log(1, QString("Could not listen on any %1 port: %2").arg(ip_what, io_server.errorString()));
    return false;
}

void PeerMessenger::OpenListeners()
{
    // A port chosen in the listening-port dialog applies from the next start.
    if (GetSettingInt("new_listening_port") > 0)
        SetSetting("listening_port", qint64(GetSettingInt("new_listening_port")));
    int l_port = DEFAULT_LISTENING_PORT;
    if (IsSettingSet("listening_port"))
        l_port = GetSettingInt("listening_port");
    if (l_port < 0 || l_port > 65534)
        l_port = DEFAULT_LISTENING_PORT;
    // Port 0 (the system chooses) stays 0 for the obfuscated port as well.
    int l_obfuscatedPort = l_port == 0 ? 0 : l_port + 1;

    if (Listen(m_listener, quint16(l_port), "listening"))
        SetSetting("listening_port", qint64(m_listener.serverPort()));
    if (Listen(m_obfuscatedListener, quint16(l_obfuscatedPort), "obfuscated listening"))
        SetSetting("obfuscated_listening_port", qint64(m_obfuscatedListener.serverPort()));
    Log(1, QString("Listening on port %1, obfuscated port %2")
               .arg(m_listener.serverPort())
               .arg(m_obfuscatedListener.serverPort()));
}

quint16 PeerMessenger::ListeningPort() const
{
    return m_listener.isListening() ? m_listener.serverPort() : 0;
}

quint16 PeerMessenger::ObfuscatedPort() const
{
    return m_obfuscatedListener.isListening() ? m_obfuscatedListener.serverPort() : 0;
}

void PeerMessenger::OnNewConnection()
{
    auto* lp_server = qobject_cast<QTcpServer*>(sender());
    if (!lp_server)
        return;
    bool l_obfuscated = lp_server == &m_obfuscatedListener;
    while (lp_server->hasPendingConnections()) {
        QTcpSocket* lp_socket = lp_server->nextPendingConnection();
        if (!lp_socket)
            break;
        if (!RoomForConnection("incoming ones are closed")) {
            // Past the cap a stranger's connection costs us its close and
            // nothing more.
            lp_socket->abort();
            lp_socket->deleteLater();
            continue;
        }
        Link& l_link = AddSocket(lp_socket, LinkRole::Accepted, l_obfuscated);
        if (lp_socket->bytesAvailable() > 0) {
            ReadHandshake(l_link);
            if (Link* lp_link = FindLink(lp_socket))
                CountBuffered(*lp_link);
        }
    }
}

bool PeerMessenger::RoomForConnection(char const* ip_refused)
{
    int const l_open = ConnectionCount::Open();
    if (l_open < m_limits.m_maxSockets) {
        m_refusingSockets = false;
        return true;
    }
    if (!m_refusingSockets)
        Log(1, QString("%1 peer connections are open: %2").arg(QString::number(l_open), ip_refused));
    m_refusingSockets = true;
    return false;
}

// ---------------------------------------------------------------------- links

PeerMessenger::Link* PeerMessenger::FindLink(QTcpSocket* ip_socket)
{
    auto l_found = m_links.find(ip_socket);
    return l_found == m_links.end() ? nullptr : &l_found->second;
}

PeerMessenger::Link& PeerMessenger::AddSocket(QTcpSocket* ip_socket, LinkRole i_role, bool i_obfuscated)
{
    ConnectionCount::Count(ip_socket);
    ip_socket->setParent(this);
    ip_socket->setReadBufferSize(READ_AHEAD);
    Link& l_link = m_links[ip_socket];
    l_link.mp_socket = ip_socket;
    l_link.m_role = i_role;
    l_link.m_obfuscated = i_obfuscated;
    l_link.m_serial = m_nextSerial++;
    l_link.m_started = Now();
    l_link.m_lastActivity = l_link.m_started;
    l_link.m_state = i_role == LinkRole::Accepted ? LinkState::AwaitingHandshake : LinkState::Connecting;
    connect(ip_socket, &QTcpSocket::readyRead, this, &PeerMessenger::OnSocketReadyRead);
    connect(ip_socket, &QTcpSocket::connected, this, &PeerMessenger::OnSocketConnected);
    connect(ip_socket, &QTcpSocket::disconnected, this, &PeerMessenger::OnSocketClosed);
    connect(ip_socket, &QTcpSocket::errorOccurred, this, &PeerMessenger::OnSocketClosed);
    connect(ip_socket, &QTcpSocket::bytesWritten, this, &PeerMessenger::OnSocketBytesWritten);
    return l_link;
}

void PeerMessenger::UnindexLink(Link const& i_link)
{
    auto const l_found = m_linksOfUser.find(i_link.m_user);
    if (l_found == m_linksOfUser.end())
        return;
    std::vector<QTcpSocket*>& l_sockets = l_found->second;
    l_sockets.erase(std::remove(l_sockets.begin(), l_sockets.end(), i_link.mp_socket), l_sockets.end());
    if (l_sockets.empty())
        m_linksOfUser.erase(l_found);
}

void PeerMessenger::SetLinkUser(Link& io_link, QString const& i_user)
{
    if (io_link.m_user == i_user)
        return;
    UnindexLink(io_link);
    io_link.m_user = i_user;
    if (!i_user.isEmpty())
        m_linksOfUser[i_user].push_back(io_link.mp_socket);
}

void PeerMessenger::EndConnectingBack(Link& io_link)
{
    if (io_link.m_connectingBack)
        --m_connectingBacks;
    io_link.m_connectingBack = false;
}

bool PeerMessenger::RemoveLink(QTcpSocket* ip_socket, Link* op_link)
{
    auto l_found = m_links.find(ip_socket);
    if (l_found == m_links.end())
        return false;
    Link& l_link = l_found->second;
    EndConnectingBack(l_link);
    UnindexLink(l_link);
    m_bufferedBytes -= l_link.m_buffered;
    if (op_link)
        *op_link = std::move(l_found->second);
    m_links.erase(l_found);
    return true;
}

bool PeerMessenger::CountBuffered(Link& io_link)
{
    qint64 l_buffered = io_link.mp_socket->bytesAvailable();
    if (l_buffered > io_link.m_buffered)
        io_link.m_progress = Now();
    m_bufferedBytes += l_buffered - io_link.m_buffered;
    io_link.m_buffered = l_buffered;
    if (l_buffered == 0 || m_bufferedBytes <= m_limits.m_maxBufferedBytes)
        return true;
    CloseLink(io_link.mp_socket, QString("unfinished frames of all connections pass %1 bytes")
                                     .arg(m_limits.m_maxBufferedBytes));
    return false;
}

void PeerMessenger::CloseLink(QTcpSocket* ip_socket, QString const& i_reason)
{
    Link l_link;
    if (!RemoveLink(ip_socket, &l_link))
        return;
    ip_socket->disconnect(this);
    Log(2, QString("Closing %1 connection %2 %3: %4")
               .arg(l_link.m_type.isEmpty() ? QString("peer") : l_link.m_type,
                    QString(l_link.m_role == LinkRole::Accepted ? "from" : "to"),
                    l_link.m_user.isEmpty() ? ip_socket->peerAddress().toString() : Isolated(l_link.m_user), i_reason));

    if (l_link.m_state == LinkState::Connecting && l_link.m_role == LinkRole::Direct) {
        // A direct attempt that did not get through: try through the server.
        if (Attempt* lp_attempt = FindAttempt(l_link.m_attempt)) {
            lp_attempt->mp_socket = nullptr;
            StartIndirect(*lp_attempt);
        }
    } else if (l_link.m_state == LinkState::Connecting && l_link.m_role == LinkRole::ConnectBack) {
        PeerServerCannotConnect(l_link.m_token, l_link.m_user);
    }
    ip_socket->abort();
    ip_socket->deleteLater();
}

void PeerMessenger::DiscardSocket(QTcpSocket* ip_socket)
{
    if (!RemoveLink(ip_socket))
        return;
    ip_socket->disconnect(this);
    ip_socket->abort();
    ip_socket->deleteLater();
}

void PeerMessenger::HandOver(QTcpSocket* ip_socket)
{
    // From here on the socket belongs to whoever takes the signal: we stop
    // listening to it and it no longer dies with us.
    RemoveLink(ip_socket);
    ip_socket->disconnect(this);
    ip_socket->setParent(nullptr);
    ip_socket->setReadBufferSize(0);
}

PeerMessenger::Link* PeerMessenger::NewestMessagingLink(QString const& i_user)
{
    auto const l_found = m_linksOfUser.find(i_user);
    if (l_found == m_linksOfUser.end())
        return nullptr;
    Link* lp_newest = nullptr;
    for (QTcpSocket* lp_socket : l_found->second) {
        Link& l_link = m_links.at(lp_socket);
        if (l_link.m_state == LinkState::Open && l_link.m_type == QLatin1String("P") && !l_link.m_peerGone &&
            l_link.m_trust == Link::Trust::Trusted && (!lp_newest || l_link.m_serial > lp_newest->m_serial))
            lp_newest = &l_link;
    }
    return lp_newest;
}

int PeerMessenger::OpenMessagingConnectionCount(QString const& i_user) const
{
    auto const l_found = m_linksOfUser.find(i_user);
    if (l_found == m_linksOfUser.end())
        return 0;
    int l_count = 0;
    for (QTcpSocket* lp_socket : l_found->second)
        if (m_links.at(lp_socket).m_state == LinkState::Open)
            ++l_count;
    return l_count;
}

int PeerMessenger::PendingSocketCount() const
{
    int l_count = 0;
    for (auto const& l_entry : m_links)
        if (l_entry.second.m_state != LinkState::Open)
            ++l_count;
    return l_count;
}

// ---------------------------------------------------------------------- time

void PeerMessenger::SetClock(Clock i_clock)
{
    m_clock = std::move(i_clock);
}

qint64 PeerMessenger::Now() const
{
    return m_clock ? m_clock() : QDateTime::currentMSecsSinceEpoch();
}

void PeerMessenger::SetAttemptTimeouts(int i_addressMs, int i_directMs, int i_indirectMs)
{
    m_addressTimeoutMs = i_addressMs;
    m_directTimeoutMs = i_directMs;
    m_indirectTimeoutMs = i_indirectMs;
}

void PeerMessenger::EveryHalfMinute()
{
    ExpireUnsent();
    ForgetOldRequests();
    ForgetOldUnreachable();
    ForgetEndedSearches();
    qint64 l_now = Now();
    std::vector<std::pair<QTcpSocket*, QString>> l_close;
    std::vector<QTcpSocket*> l_unchecked;
    for (auto& l_entry : m_links) {
        Link& l_link = l_entry.second;
        if (l_link.m_trust == Link::Trust::Pending && l_now - l_link.m_started > HANDSHAKE_TIMEOUT)
            l_unchecked.push_back(l_entry.first);
        if ((l_link.m_buffered > 0 || l_link.m_skipping > 0) && l_now - l_link.m_progress > m_limits.m_stalledFrameMs) {
            l_close.emplace_back(l_entry.first, QString("an unfinished frame made no progress for %1 s")
                                                    .arg(m_limits.m_stalledFrameMs / 1000));
        } else if (l_link.m_state != LinkState::Open) {
            if (l_now - l_link.m_started > HANDSHAKE_TIMEOUT)
                l_close.emplace_back(l_entry.first, "no handshake within 30 s");
        } else if (l_now - l_link.m_lastActivity > IDLE_MESSAGING_TIMEOUT) {
            l_close.emplace_back(l_entry.first, "idle for 10 minutes");
        }
    }
    for (auto const& l_entry : l_close)
        CloseLink(l_entry.first, l_entry.second);
    for (QTcpSocket* lp_socket : l_unchecked)
        Distrust(lp_socket, "the server did not say where the user is");
}

void PeerMessenger::SetLimits(Limits const& i_limits)
{
    m_limits = i_limits;
}

// --------------------------------------------------------------------- misc

void PeerMessenger::SetShareListProvider(ShareListProvider i_provider)
{
    ShareListProviderSlot() = std::move(i_provider);
}

void PeerMessenger::SetAnswerGate(AnswerGate i_gate)
{
    AnswerGateSlot() = std::move(i_gate);
}

void PeerMessenger::AnswerShareListRequest(QString const& i_user)
{
    ShareListProvider& l_provider = ShareListProviderSlot();
    if (!l_provider) {
        Log(1, "No share list to send");
        return;
    }
    QPointer<PeerMessenger> const lp_self(this);
    l_provider(i_user, [lp_self, i_user](QByteArray i_message) {
        if (!lp_self)
            return;
        if (i_message.size() >= 4)
            lp_self->SendMessageToUser(i_user, i_message);
        else
            lp_self->Log(1, "No share list to send");
    });
}

QString PeerMessenger::OwnUserName() const
{
    return GetSetting("username");
}

void PeerMessenger::Log(int i_level, QString const& i_text, char const* ip_category) const
{
    PeerLog(i_level, i_text, ip_category);
}
