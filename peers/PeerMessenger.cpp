#include "peers/PeerMessenger.h"

#include "peers/PeerCodec.h"
#include "peers/PeerLog.h"
#include "peers/PeerServerLink.h"
#include "peers/PeerUsers.h"
#include "peers/PeerWire.h"
#include "peers/PortForwarder.h"
#include "server/SearchTypes.h"
#include "server/StoreTypes.h"
#include "store/Settings.h"
#include "store/TimerManager.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMetaMethod>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <exception>
#include <vector>

PeerMessenger* peerMessenger = nullptr;

namespace {

constexpr quint16 DEFAULT_LISTENING_PORT = 2235;
// Bytes that may wait in a connection's send buffer: room for the largest
// frame and as much again.
constexpr qint64 MAX_UNWRITTEN_BYTES = 2 * qint64(PeerWire::MAX_MESSAGE_LENGTH);
// What a socket reads ahead of the frames handled: a peer that sends faster
// than we handle is held back by TCP, not by our memory. Raised for one
// frame while a larger one arrives.
constexpr qint64 READ_AHEAD = 1024 * 1024;
// Transfer messages are a few hundred bytes; what waits for a sender check
// is bounded well above that.
constexpr qint64 MAX_HELD_BYTES = 1024 * 1024;

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

PeerMessenger::AnswerGate& AnswerGateSlot()
{
    static PeerMessenger::AnswerGate s_gate;
    return s_gate;
}

} // namespace

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

    EnsureType("user", ROOT, false, true);
    EnsureAttribute("user", "user_address");
    EnsureAttribute("user", "user_port");

    DeclareSearchTypes();
    EnsureFlag("search_request", "search_stopped");

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
        ConnectionCount::Count(lp_socket);
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
                    l_link.m_user.isEmpty() ? ip_socket->peerAddress().toString() : l_link.m_user, i_reason));

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

void PeerMessenger::OnSocketReadyRead()
{
    auto* lp_socket = qobject_cast<QTcpSocket*>(sender());
    Link* lp_link = FindLink(lp_socket);
    if (!lp_link)
        return;
    switch (lp_link->m_state) {
    case LinkState::AwaitingHandshake:
        ReadHandshake(*lp_link);
        break;
    case LinkState::AwaitingToken:
        ReadToken(*lp_link);
        break;
    case LinkState::Open:
        // A scheduled slice reads on by itself.
        if (!lp_link->m_readScheduled)
            ReadMessages(*lp_link);
        break;
    case LinkState::Connecting:
        break;
    }
    if (Link* lp_open = FindLink(lp_socket))
        CountBuffered(*lp_open);
}

void PeerMessenger::OnSocketClosed()
{
    auto* lp_socket = qobject_cast<QTcpSocket*>(sender());
    Link* lp_link = FindLink(lp_socket);
    if (!lp_link)
        return;
    if (lp_link->m_peerGone)
        return;
    // A messaging connection may have delivered its last frames together
    // with the close: they are handled, in slices, before the link goes.
    if (lp_link->m_state == LinkState::Open && lp_socket->bytesAvailable() > 0) {
        lp_link->m_peerGone = true;
        if (!lp_link->m_readScheduled)
            ReadMessages(*lp_link);
        return;
    }
    CloseLink(lp_socket, lp_socket->error() == QAbstractSocket::RemoteHostClosedError ||
                                 lp_socket->error() == QAbstractSocket::UnknownSocketError
                             ? QString("closed by the peer")
                             : lp_socket->errorString());
}

void PeerMessenger::OnSocketConnected()
{
    auto* lp_socket = qobject_cast<QTcpSocket*>(sender());
    Link* lp_link = FindLink(lp_socket);
    if (!lp_link || lp_link->m_state != LinkState::Connecting)
        return;
    lp_link->m_lastActivity = Now();
    EndConnectingBack(*lp_link);
    if (lp_link->m_role == LinkRole::Direct) {
        WriteFrame(*lp_link, PeerWire::BuildInitHandshake(OwnUserName(), lp_link->m_type));
        FinishAttempt(lp_link->m_attempt);
        lp_link->m_answersOurRequest = true;
    } else {
        WriteFrame(*lp_link, PeerWire::BuildConnectBackHandshake(lp_link->m_token, OwnUserName()));
        lp_link->m_answersOurRequest = false;
    }
    CompleteHandshake(lp_socket);
}

// Both ends know the user and the type: start the connection's real work.
// Whoever asked for an F or D connection receives the "accepted" signal,
// whoever was asked receives the "requested" one, however the TCP link was
// opened.
void PeerMessenger::CompleteHandshake(QTcpSocket* ip_socket)
{
    Link* lp_link = FindLink(ip_socket);
    if (!lp_link)
        return;
    QString l_user = lp_link->m_user;
    if (lp_link->m_type == QLatin1String("P")) {
        OpenMessaging(*lp_link);
    } else if (lp_link->m_type == QLatin1String("F")) {
        if (lp_link->m_answersOurRequest) {
            Log(1, QString("File connection to %1 established").arg(l_user));
            HandOver(ip_socket);
            if (isSignalConnected(QMetaMethod::fromSignal(&PeerMessenger::FileConnectionAccepted)))
                emit FileConnectionAccepted(l_user, ip_socket);
            else
                ip_socket->deleteLater();
        } else {
            lp_link->m_state = LinkState::AwaitingToken;
            ReadToken(*lp_link);
        }
    } else {
        bool l_ours = lp_link->m_answersOurRequest;
        Log(1, QString("Distributed connection with %1 established").arg(l_user));
        HandOver(ip_socket);
        QMetaMethod l_signal = l_ours ? QMetaMethod::fromSignal(&PeerMessenger::DNetConnectionAccepted)
                                      : QMetaMethod::fromSignal(&PeerMessenger::DNetConnectionRequested);
        if (!isSignalConnected(l_signal))
            ip_socket->deleteLater();
        else if (l_ours)
            emit DNetConnectionAccepted(l_user, ip_socket);
        else
            emit DNetConnectionRequested(l_user, ip_socket);
    }
}

bool PeerMessenger::TakeFrame(Link& io_link, quint32 i_maxLength, char const* ip_kind, QByteArray& o_payload)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    quint32 l_length = 0;
    switch (PeerWire::ReadFrame(*lp_socket, io_link.m_obfuscated, i_maxLength, o_payload, &l_length)) {
    case PeerWire::ReadResult::Incomplete: {
        // A frame larger than the read-ahead must fit whole; but not before
        // its code is known, and with it whether it is wanted at all.
        qint64 const l_header = io_link.m_obfuscated ? 8 : 4;
        qint64 const l_needed = qint64(l_length) + l_header;
        if (l_length > 0 && l_needed > lp_socket->readBufferSize() && lp_socket->bytesAvailable() >= l_header + 4)
            lp_socket->setReadBufferSize(l_needed);
        return false;
    }
    case PeerWire::ReadResult::Empty:
        CloseLink(lp_socket, QString("empty %1 frame").arg(ip_kind));
        return false;
    case PeerWire::ReadResult::TooLong:
        CloseLink(lp_socket, QString("%1 frame of %2 bytes is over the limit").arg(ip_kind).arg(l_length));
        return false;
    case PeerWire::ReadResult::Complete:
        if (lp_socket->readBufferSize() > READ_AHEAD)
            lp_socket->setReadBufferSize(READ_AHEAD);
        break;
    }
    return true;
}

void PeerMessenger::ReadHandshake(Link& io_link)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    QByteArray l_payload;
    if (!TakeFrame(io_link, PeerWire::MAX_HANDSHAKE_LENGTH, "handshake", l_payload))
        return;
    PeerWire::Handshake l_handshake;
    if (!PeerWire::ParseHandshake(l_payload, l_handshake)) {
        CloseLink(lp_socket, "malformed handshake");
        return;
    }
    io_link.m_lastActivity = Now();
    if (l_handshake.m_code == PeerWire::HANDSHAKE_INIT) {
        SetLinkUser(io_link, l_handshake.m_user);
        io_link.m_type = l_handshake.m_type;
        io_link.m_answersOurRequest = false;
        // Anyone can give any name here; a connect-back proves itself by
        // our token instead.
        if (io_link.m_type == QLatin1String("P"))
            io_link.m_trust = Link::Trust::Pending;
        Log(2, QString("%1 connection from %2").arg(io_link.m_type, io_link.m_user));
        CompleteHandshake(lp_socket);
        return;
    }
    // A client connecting back for one of our requests through the server.
    Attempt* lp_attempt = FindAttemptByToken(l_handshake.m_token);
    if (!lp_attempt) {
        CloseLink(lp_socket, QString("connect-back with unknown token %1").arg(l_handshake.m_token));
        return;
    }
    if (lp_attempt->m_user != l_handshake.m_user) {
        CloseLink(lp_socket,
                  QString("connect-back from %1 for a request to %2").arg(l_handshake.m_user, lp_attempt->m_user));
        return;
    }
    SetLinkUser(io_link, lp_attempt->m_user);
    io_link.m_type = lp_attempt->m_type;
    io_link.m_answersOurRequest = true;
    Log(2, QString("%1 connected back for our %2 connection").arg(io_link.m_user, io_link.m_type));
    FinishAttempt(lp_attempt->m_id);
    CompleteHandshake(lp_socket);
}

void PeerMessenger::ReadToken(Link& io_link)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    quint32 l_token = 0;
    if (!PeerWire::ReadFileToken(*lp_socket, l_token))
        return;
    QString l_user = io_link.m_user;
    Log(1, QString("File connection from %1 for transfer %2").arg(l_user, QString::number(l_token)));
    HandOver(lp_socket);
    if (isSignalConnected(QMetaMethod::fromSignal(&PeerMessenger::FileConnectionRequested)))
        emit FileConnectionRequested(l_user, lp_socket, l_token);
    else
        lp_socket->deleteLater();
}

void PeerMessenger::OpenMessaging(Link& io_link)
{
    io_link.m_state = LinkState::Open;
    io_link.m_lastActivity = Now();
    QTcpSocket* lp_socket = io_link.mp_socket;
    Log(2, QString("Messaging connection with %1 open%2")
               .arg(io_link.m_user, io_link.m_obfuscated ? " (obfuscated)" : ""));
    if (io_link.m_trust == Link::Trust::Pending)
        CheckSender(io_link);
    else
        Trust(lp_socket);
    if (Link* lp_link = FindLink(lp_socket))
        if (lp_socket->bytesAvailable() > 0)
            ReadMessages(*lp_link);
}

void PeerMessenger::CheckSender(Link& io_link)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    bool l_ipv4 = false;
    quint32 l_remote = lp_socket->peerAddress().toIPv4Address(&l_ipv4);
    quint32 l_ip = 0;
    int l_port = 0;
    if (l_ipv4 && LookUpStoredAddress(io_link.m_user, l_ip, l_port) && PeerWire::AddressMatches(l_remote, l_ip))
        Trust(lp_socket);
    else if (!l_ipv4)
        Distrust(lp_socket, "it does not come from an IPv4 address");
    else if (!PeerServerRequestAddress(io_link.m_user))
        Distrust(lp_socket, "there is no server link to ask where the user is");
    else
        Log(2, QString("Asking the server where %1 is before trusting the connection from %2")
                   .arg(io_link.m_user, lp_socket->peerAddress().toString()));
}

void PeerMessenger::Trust(QTcpSocket* ip_socket)
{
    Link* lp_link = FindLink(ip_socket);
    if (!lp_link)
        return;
    lp_link->m_trust = Link::Trust::Trusted;
    QString l_user = lp_link->m_user;
    std::vector<QByteArray> l_held;
    l_held.swap(lp_link->m_held);
    // The user reached us: our own attempt has nothing left to do, and must
    // not report a failure for a user we are talking to.
    for (quint64 l_id : AttemptsOf(l_user, "P"))
        CancelAttempt(l_id);
    FlushUnsent(*lp_link);
    for (QByteArray const& l_payload : l_held)
        if (!HandleMessage(ip_socket, l_payload))
            return;
}

void PeerMessenger::Distrust(QTcpSocket* ip_socket, QString const& i_reason)
{
    Link* lp_link = FindLink(ip_socket);
    if (!lp_link || lp_link->m_trust != Link::Trust::Pending)
        return;
    lp_link->m_trust = Link::Trust::Untrusted;
    QString l_user = lp_link->m_user;
    Log(1, QString("The connection from %1 calling itself %2 is not trusted (%3): it receives none of our "
                   "messages, and its transfer messages and requests are dropped")
               .arg(ip_socket->peerAddress().toString(), l_user, i_reason));
    for (QByteArray const& l_payload : lp_link->m_held)
        Log(1, QString("Dropping a message of %1 bytes from the untrusted connection of %2")
                   .arg(QString::number(l_payload.size()), l_user));
    lp_link->m_held.clear();
    // What waits for the user goes to him on a connection of our own.
    if (UnsentMessageCount(l_user) > 0 && !HasAttempt(l_user, "P"))
        RequestAttempt(l_user, "P");
}

std::vector<QTcpSocket*> PeerMessenger::UncheckedLinks(QString const& i_user) const
{
    std::vector<QTcpSocket*> l_sockets;
    auto const l_found = m_linksOfUser.find(i_user);
    if (l_found == m_linksOfUser.end())
        return l_sockets;
    for (QTcpSocket* lp_socket : l_found->second)
        if (m_links.at(lp_socket).m_trust == Link::Trust::Pending)
            l_sockets.push_back(lp_socket);
    return l_sockets;
}

bool PeerMessenger::MayAct(Link& io_link, QByteArray const& i_payload)
{
    quint32 l_code = 0;
    if (io_link.m_trust == Link::Trust::Trusted || !PeerCodec::PeekCode(i_payload, l_code) ||
        !PeerCodec::NeedsKnownSender(l_code))
        return true;
    QString l_why;
    if (io_link.m_trust == Link::Trust::Untrusted) {
        l_why = "its connection is not trusted";
    } else {
        qint64 l_heldBytes = i_payload.size();
        for (QByteArray const& l_held : io_link.m_held)
            l_heldBytes += l_held.size();
        if (int(io_link.m_held.size()) < m_limits.m_maxHeldMessages && l_heldBytes <= MAX_HELD_BYTES) {
            io_link.m_held.push_back(i_payload);
            return false;
        }
        l_why = "too many wait for the check of its connection";
    }
    Log(1, QString("Dropping message %1 from %2: %3").arg(QString::number(l_code), io_link.m_user, l_why));
    return false;
}

void PeerMessenger::ReadMessages(Link& io_link)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    QElapsedTimer l_slice;
    l_slice.start();
    for (;;) {
        Link* lp_link = FindLink(lp_socket);
        if (!lp_link || lp_link->m_state != LinkState::Open)
            return;
        QByteArray l_payload;
        if (!SkipUnaskedFrame(*lp_link) || !TakeFrame(*lp_link, PeerWire::MAX_MESSAGE_LENGTH, "message", l_payload)) {
            lp_link = FindLink(lp_socket);
            if (lp_link && lp_link->m_peerGone)
                CloseLink(lp_socket, "closed by the peer");
            return;
        }
        lp_link->m_lastActivity = Now();
        if (l_payload.size() < 4) {
            CloseLink(lp_socket, "message frame too short for its code");
            return;
        }
        if (MayAct(*lp_link, l_payload) && !HandleMessage(lp_socket, l_payload))
            return;
        // A peer that sends thousands of frames at once must not hold the
        // event loop: the rest waits for the next turn.
        if (l_slice.elapsed() >= m_limits.m_readSliceMs) {
            lp_link = FindLink(lp_socket);
            if (!lp_link)
                return;
            lp_link->m_readScheduled = true;
            QTimer::singleShot(0, lp_socket, [this, lp_socket]() {
                Link* lp_next = FindLink(lp_socket);
                if (!lp_next)
                    return;
                lp_next->m_readScheduled = false;
                ReadMessages(*lp_next);
                if ((lp_next = FindLink(lp_socket)))
                    CountBuffered(*lp_next);
            });
            return;
        }
    }
}

bool PeerMessenger::SkipUnaskedFrame(Link& io_link)
{
    QTcpSocket* const lp_socket = io_link.mp_socket;
    if (io_link.m_skipping == 0) {
        quint32 l_length = 0;
        quint32 l_code = 0;
        QByteArray l_head;
        if (!PeerWire::PeekFrameHead(*lp_socket, io_link.m_obfuscated, 4, l_length, l_head) ||
            !PeerCodec::PeekCode(l_head, l_code))
            return true;
        qint64 const l_frame = PeerWire::FrameSize(l_length, io_link.m_obfuscated);
        // A whole frame, or one that closes the link, is read as any other.
        if (lp_socket->bytesAvailable() >= l_frame || l_length > PeerWire::MAX_MESSAGE_LENGTH ||
            (l_code != PeerCodec::SHARED_FILES && l_code != PeerCodec::FOLDER_CONTENTS) ||
            AskedFor(io_link.m_user, l_code))
            return true;
        // A 45 MiB list nobody asked for was gathered whole before it was
        // dropped, and its memory stayed with the process.
        Log(1, QString("Dropping %1 of %2 bytes from %3 that we did not ask for, as it arrives")
                   .arg(l_code == PeerCodec::SHARED_FILES ? "a share list" : "folder contents",
                        QString::number(l_length), io_link.m_user));
        io_link.m_skipping = l_frame;
        if (lp_socket->readBufferSize() > READ_AHEAD)
            lp_socket->setReadBufferSize(READ_AHEAD);
    }
    qint64 const l_skipped = lp_socket->skip(std::min(lp_socket->bytesAvailable(), io_link.m_skipping));
    if (l_skipped > 0) {
        io_link.m_skipping -= l_skipped;
        io_link.m_progress = io_link.m_lastActivity = Now();
    }
    return io_link.m_skipping == 0;
}

bool PeerMessenger::HandleMessage(QTcpSocket* ip_socket, QByteArray const& i_payload)
{
    Link* lp_link = FindLink(ip_socket);
    if (!lp_link)
        return false;
    QString l_user = lp_link->m_user;
    bool l_keep = true;
    try {
        l_keep = DispatchMessage(l_user, i_payload);
    } catch (std::exception const& i_error) {
        // A store misuse while handling one message must not take the
        // event loop down with it.
        Log(1, QString("Handling a message from %1 failed: %2").arg(l_user, QString::fromUtf8(i_error.what())));
        l_keep = false;
    }
    if (!l_keep)
        CloseLink(ip_socket, "unreadable message");
    return l_keep && FindLink(ip_socket);
}

bool PeerMessenger::WriteFrame(Link& io_link, QByteArray const& i_payload)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    // A peer that keeps asking (a share list costs it a few bytes) and never
    // reads the answers would have us buffer them without end.
    qint64 const l_unwritten = lp_socket->bytesToWrite() + io_link.m_outgoingBytes;
    if (l_unwritten + i_payload.size() > MAX_UNWRITTEN_BYTES) {
        CloseLink(lp_socket, QString("%1 bytes wait to be sent; the peer does not read them").arg(l_unwritten));
        return false;
    }
    io_link.m_lastActivity = Now();
    if (io_link.m_outgoing.empty() && i_payload.size() <= FRAME_PIECE) {
        lp_socket->write(PeerWire::BuildFrame(i_payload, io_link.m_obfuscated));
        return true;
    }
    Link::Outgoing l_frame;
    l_frame.m_payload = i_payload;
    if (io_link.m_obfuscated)
        l_frame.m_key = QRandomGenerator::global()->generate();
    io_link.m_outgoingBytes += PeerWire::FrameSize(i_payload.size(), io_link.m_obfuscated);
    io_link.m_outgoing.push_back(std::move(l_frame));
    WriteOutgoing(io_link);
    return true;
}

void PeerMessenger::WriteOutgoing(Link& io_link)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    while (!io_link.m_outgoing.empty() && lp_socket->bytesToWrite() < FRAME_PIECE) {
        Link::Outgoing& l_frame = io_link.m_outgoing.front();
        qint64 const l_size = PeerWire::FrameSize(l_frame.m_payload.size(), io_link.m_obfuscated);
        qint64 const l_length = std::min(FRAME_PIECE, l_size - l_frame.m_written);
        lp_socket->write(
            PeerWire::FramePiece(l_frame.m_payload, io_link.m_obfuscated, l_frame.m_key, l_frame.m_written, l_length));
        l_frame.m_written += l_length;
        io_link.m_outgoingBytes -= l_length;
        if (l_frame.m_written == l_size)
            io_link.m_outgoing.pop_front();
    }
}

void PeerMessenger::OnSocketBytesWritten()
{
    if (Link* lp_link = FindLink(qobject_cast<QTcpSocket*>(sender())))
        WriteOutgoing(*lp_link);
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

// ------------------------------------------------------------------- sending

void PeerMessenger::SendMessage(QString i_user, MemStream& i_message)
{
    Send(i_user, i_message.ToByteArray(), false);
}

void PeerMessenger::SendMessageToUser(QString i_user, MemStream& i_message)
{
    Send(i_user, i_message.ToByteArray(), true);
}

void PeerMessenger::SendMessageToUser(QString const& i_user, QByteArray const& i_message)
{
    Send(i_user, i_message, true);
}

void PeerMessenger::Send(QString const& i_user, QByteArray const& i_message, bool i_answer)
{
    if (i_message.size() < 4 || quint64(i_message.size()) > PeerWire::MAX_MESSAGE_LENGTH) {
        Log(1, QString("Not sending a message of %1 bytes to %2").arg(i_message.size()).arg(i_user));
        return;
    }
    if (i_answer && !MayAnswer(i_user, i_message))
        return;
    NoteRequest(i_user, i_message);
    if (Link* lp_link = NewestMessagingLink(i_user)) {
        // Refused only when the peer leaves what we send unread: keeping the
        // message for it would only move the backlog into the queue.
        WriteFrame(*lp_link, i_message);
        return;
    }
    if (!QueueUnsent(i_user, i_message, i_answer))
        return;
    // A connection of his that awaits its check will take the message if
    // it passes, or start an attempt of ours if it fails.
    if (!UncheckedLinks(i_user).empty())
        return;
    if (!HasAttempt(i_user, "P"))
        RequestAttempt(i_user, "P");
}

bool PeerMessenger::MayAnswer(QString const& i_user, QByteArray const& i_message)
{
    auto const l_found = m_unreachable.find(i_user);
    if (l_found != m_unreachable.end() && Now() - l_found->second < m_limits.m_unreachableHoldMs) {
        // He has reached us since (a restart, a router that let him through
        // at last): the hold is for names nobody answers to, and his own
        // connection takes the answer.
        if (!NewestMessagingLink(i_user)) {
            Log(2, QString("Not answering %1: he could not be reached %2 s ago")
                       .arg(i_user, QString::number((Now() - l_found->second) / 1000)));
            return false;
        }
        m_unreachable.erase(l_found);
    }
    if (!IsBarredAnswer(i_user, i_message))
        return true;
    Log(1, QString("Dropping an answer made for %1 before he was barred from our shares").arg(i_user));
    return false;
}

bool PeerMessenger::IsBarredAnswer(QString const& i_user, QByteArray const& i_message) const
{
    // Search results and folder contents show what the user may no longer
    // see. A share list is made for what he sees when it is made (a barred
    // user's lists none), and other answers show nothing of the shares.
    quint32 l_code = 0;
    AnswerGate const& l_gate = AnswerGateSlot();
    return l_gate && PeerCodec::PeekCode(i_message, l_code) &&
           (l_code == PeerCodec::SEARCH_RESULTS || l_code == PeerCodec::FOLDER_CONTENTS) && !l_gate(i_user);
}

bool PeerMessenger::QueueUnsent(QString const& i_user, QByteArray const& i_message, bool i_answer)
{
    // The name counts too: a stranger's name can be long.
    qint64 const l_bytes = i_message.size() + 2 * qint64(i_user.size());
    auto l_queue = m_unsent.find(i_user);
    int const l_userCount = l_queue == m_unsent.end() ? 0 : int(l_queue->second.m_messages.size());
    qint64 const l_userBytes = l_queue == m_unsent.end() ? 0 : l_queue->second.m_bytes;
    QString l_full;
    if (l_userCount >= m_limits.m_maxUnsentPerUser || l_userBytes + l_bytes > m_limits.m_maxUnsentBytesPerUser)
        l_full = QString("%1 messages of %2 bytes wait for him").arg(l_userCount).arg(l_userBytes);
    else if (i_answer && (m_unsentAnswers >= m_limits.m_maxUnsentAnswers ||
                          m_unsentAnswerBytes + l_bytes > m_limits.m_maxUnsentAnswerBytes))
        l_full = QString("%1 answers of %2 bytes wait in all").arg(m_unsentAnswers).arg(m_unsentAnswerBytes);
    else if (m_unsentCount >= m_limits.m_maxUnsent || m_unsentBytes + l_bytes > m_limits.m_maxUnsentBytes)
        l_full = QString("%1 messages of %2 bytes wait in all").arg(m_unsentCount).arg(m_unsentBytes);
    if (!l_full.isEmpty()) {
        Log(1, QString("Not keeping a message of %1 bytes for %2 until a connection is open: %3")
                   .arg(QString::number(i_message.size()), i_user, l_full));
        return false;
    }
    Unsent l_unsent;
    l_unsent.m_message = i_message;
    l_unsent.m_time = Now();
    l_unsent.m_answer = i_answer;
    if (!i_answer) {
        l_unsent.m_item = d.GetType("unsent_message")->NewItem(Value(static_cast<unsigned long long>(m_nextUnsentOrder++)));
        l_unsent.m_item += PeerUserItem(i_user);
        SetAttribute(l_unsent.m_item, "unsent_message_time", Value(static_cast<long long>(l_unsent.m_time)));
    }
    UserQueue& l_userQueue = m_unsent[i_user];
    l_userQueue.m_messages.push_back(l_unsent);
    l_userQueue.m_bytes += l_bytes;
    ++m_unsentCount;
    m_unsentBytes += l_bytes;
    if (i_answer) {
        ++m_unsentAnswers;
        m_unsentAnswerBytes += l_bytes;
    }
    Log(2, QString("Queueing a message for %1 until a connection is open").arg(i_user));
    return true;
}

int PeerMessenger::DropUnsent(QString const& i_user, std::function<bool(Unsent const&)> const& i_drop, int i_most)
{
    auto const l_queue = m_unsent.find(i_user);
    if (l_queue == m_unsent.end())
        return 0;
    std::deque<Unsent>& l_messages = l_queue->second.m_messages;
    int l_dropped = 0;
    for (auto l_it = l_messages.begin(); l_it != l_messages.end() && l_dropped < i_most;) {
        if (!i_drop(*l_it)) {
            ++l_it;
            continue;
        }
        qint64 const l_bytes = l_it->m_message.size() + 2 * qint64(i_user.size());
        l_queue->second.m_bytes -= l_bytes;
        --m_unsentCount;
        m_unsentBytes -= l_bytes;
        if (l_it->m_answer) {
            --m_unsentAnswers;
            m_unsentAnswerBytes -= l_bytes;
        }
        l_it->m_item.Remove();
        l_it = l_messages.erase(l_it);
        ++l_dropped;
    }
    if (l_messages.empty())
        m_unsent.erase(l_queue);
    return l_dropped;
}

void PeerMessenger::FlushUnsent(Link& io_link)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    QString const l_user = io_link.m_user;
    AnswerGate const& l_gate = AnswerGateSlot();
    // The user may have been barred from our shares since his answers were
    // made (his address was not known yet): they go, and a share list made
    // before is made again, for what he sees now.
    bool const l_barred = l_gate && !l_gate(l_user);
    bool l_listAgain = false;
    for (;;) {
        auto l_queue = m_unsent.find(l_user);
        Link* lp_link = FindLink(lp_socket);
        if (l_queue == m_unsent.end() || !lp_link)
            break;
        Unsent const l_next = l_queue->second.m_messages.front();
        quint32 l_code = 0;
        bool const l_list = PeerCodec::PeekCode(l_next.m_message, l_code) && l_code == PeerCodec::SHARED_FILES;
        if (l_next.m_answer && l_barred && (l_list || IsBarredAnswer(l_user, l_next.m_message))) {
            Log(1, QString("Dropping an answer (message %1) made for %2 before he was barred from our shares")
                       .arg(QString::number(l_code), l_user));
            l_listAgain = l_listAgain || l_list;
        } else if (!WriteFrame(*lp_link, l_next.m_message)) {
            return;
        }
        DropUnsent(l_user, [](Unsent const&) { return true; }, 1);
    }
    if (l_listAgain)
        AnswerShareListRequest(l_user);
}

void PeerMessenger::ExpireUnsent()
{
    qint64 const l_now = Now();
    std::vector<QString> l_users;
    for (auto const& l_queue : m_unsent)
        if (l_now - l_queue.second.m_messages.front().m_time > UNSENT_MESSAGE_LIFETIME)
            l_users.push_back(l_queue.first);
    for (QString const& l_user : l_users) {
        int const l_dropped = DropUnsent(l_user, [l_now](Unsent const& i_unsent) {
            return l_now - i_unsent.m_time > UNSENT_MESSAGE_LIFETIME;
        });
        Log(1, QString("Dropping %1 messages to %2 that could not be sent within 300 s")
                   .arg(QString::number(l_dropped), l_user));
    }
}

void PeerMessenger::DropUnsentAnswers(QString const& i_user)
{
    int const l_dropped = DropUnsent(i_user, [](Unsent const& i_unsent) { return i_unsent.m_answer; });
    if (l_dropped > 0)
        Log(2, QString("Dropping %1 answers to %2, who could not be reached").arg(QString::number(l_dropped), i_user));
}

void PeerMessenger::NoteUnreachable(QString const& i_user)
{
    qint64 const l_now = Now();
    m_unreachable[i_user] = l_now;
    m_unreachableOrder.emplace_back(i_user, l_now);
    // Forgetting the oldest early only means trying them again.
    while (m_unreachable.size() > m_limits.m_maxUnreachableUsers || m_unreachableOrder.size() > 2 * m_limits.m_maxUnreachableUsers) {
        auto const& l_oldest = m_unreachableOrder.front();
        auto const l_found = m_unreachable.find(l_oldest.first);
        if (l_found != m_unreachable.end() && l_found->second == l_oldest.second)
            m_unreachable.erase(l_found);
        m_unreachableOrder.pop_front();
    }
}

void PeerMessenger::ForgetOldUnreachable()
{
    qint64 const l_now = Now();
    while (!m_unreachableOrder.empty() && l_now - m_unreachableOrder.front().second >= m_limits.m_unreachableHoldMs) {
        auto const& l_oldest = m_unreachableOrder.front();
        auto const l_found = m_unreachable.find(l_oldest.first);
        if (l_found != m_unreachable.end() && l_found->second == l_oldest.second)
            m_unreachable.erase(l_found);
        m_unreachableOrder.pop_front();
    }
}

int PeerMessenger::UnsentMessageCount(QString const& i_user) const
{
    auto const l_queue = m_unsent.find(i_user);
    return l_queue == m_unsent.end() ? 0 : int(l_queue->second.m_messages.size());
}

// ------------------------------------------------------------------ attempts

void PeerMessenger::RequestFileConnectionToUser(QString i_user)
{
    RequestAttempt(i_user, "F");
}

void PeerMessenger::RequestDNetConnection(QString i_user)
{
    RequestAttempt(i_user, "D");
}

void PeerMessenger::RequestAttempt(QString const& i_user, QString const& i_type)
{
    if (int(m_attempts.size()) < m_limits.m_maxAttempts && m_waitingAttempts.empty()) {
        StartAttempt(i_user, i_type);
        return;
    }
    if (i_type == QLatin1String("P") && !m_waitingMessaging.insert(i_user).second)
        return;
    if (m_waitingAttempts.empty())
        Log(1, QString("%1 connection attempts are under way; new ones wait their turn").arg(m_attempts.size()));
    m_waitingAttempts.emplace_back(i_user, i_type);
}

void PeerMessenger::StartWaitingAttempts()
{
    m_startScheduled = false;
    while (int(m_attempts.size()) < m_limits.m_maxAttempts && !m_waitingAttempts.empty()) {
        auto const l_next = m_waitingAttempts.front();
        m_waitingAttempts.pop_front();
        if (l_next.second == QLatin1String("P")) {
            m_waitingMessaging.erase(l_next.first);
            // Nothing left to send, or a connection came meanwhile.
            if (UnsentMessageCount(l_next.first) == 0 || NewestMessagingLink(l_next.first) ||
                !UncheckedLinks(l_next.first).empty())
                continue;
        }
        StartAttempt(l_next.first, l_next.second);
    }
}

bool PeerMessenger::HasAttempt(QString const& i_user, QString const& i_type) const
{
    return !AttemptsOf(i_user, i_type).empty() ||
           (i_type == QLatin1String("P") && m_waitingMessaging.count(i_user) > 0);
}

std::vector<quint64> PeerMessenger::AttemptsOf(QString const& i_user, QString const& i_type) const
{
    std::vector<quint64> l_ids;
    auto const l_found = m_attemptsOfUser.find(i_user);
    if (l_found != m_attemptsOfUser.end())
        for (quint64 l_id : l_found->second)
            if (m_attempts.at(l_id).m_type == i_type)
                l_ids.push_back(l_id);
    return l_ids;
}

PeerMessenger::Attempt* PeerMessenger::FindAttempt(quint64 i_id)
{
    auto const l_found = m_attempts.find(i_id);
    return l_found == m_attempts.end() ? nullptr : &l_found->second;
}

PeerMessenger::Attempt* PeerMessenger::FindAttemptByToken(quint32 i_token)
{
    auto const l_found = m_attemptByToken.find(i_token);
    return l_found == m_attemptByToken.end() ? nullptr : FindAttempt(l_found->second);
}

bool PeerMessenger::LookUpStoredAddress(QString const& i_user, quint32& o_ip, int& o_port) const
{
    Item l_user = FindPeerUser(i_user);
    if (l_user.IsNull())
        return false;
    Item l_address = l_user["user_address"];
    Item l_port = l_user["user_port"];
    if (l_address.IsNull() || l_port.IsNull())
        return false;
    o_ip = quint32(l_address.AsUInt64());
    o_port = l_port.AsInt();
    return o_ip != 0 && o_port > 0 && o_port <= 65535;
}

void PeerMessenger::StartAttempt(QString const& i_user, QString const& i_type)
{
    quint64 const l_id = m_nextAttempt++;
    Attempt& l_new = m_attempts[l_id];
    l_new.m_id = l_id;
    l_new.m_user = i_user;
    l_new.m_type = i_type;
    m_attemptsOfUser[i_user].push_back(l_id);
    Log(1, QString("Connecting to %1 for a %2 connection").arg(i_user, i_type));

    quint32 l_ip = 0;
    int l_port = 0;
    if (LookUpStoredAddress(i_user, l_ip, l_port)) {
        StartDirect(l_new, l_ip, l_port);
    } else if (PeerServerRequestAddress(i_user)) {
        l_new.m_phase = AttemptPhase::Address;
        ArmTimer(l_new, m_addressTimeoutMs);
    } else {
        StartIndirect(l_new);
    }
}

void PeerMessenger::ArmTimer(Attempt& io_attempt, int i_ms)
{
    if (!io_attempt.mp_timer) {
        io_attempt.mp_timer = new QTimer(this);
        io_attempt.mp_timer->setSingleShot(true);
        io_attempt.mp_timer->setProperty("attempt", QVariant::fromValue<qulonglong>(io_attempt.m_id));
        connect(io_attempt.mp_timer, &QTimer::timeout, this, &PeerMessenger::OnAttemptTimeout);
    }
    io_attempt.mp_timer->start(i_ms);
}

void PeerMessenger::StartDirect(Attempt& io_attempt, quint32 i_ip, int i_port)
{
    // No descriptor of ours is needed for the user to connect to us.
    if (!RoomForConnection("our own attempts go through the server")) {
        StartIndirect(io_attempt);
        return;
    }
    io_attempt.m_phase = AttemptPhase::Direct;
    auto* lp_socket = new QTcpSocket(this);
    ConnectionCount::Count(lp_socket);
    Link& l_link = AddSocket(lp_socket, LinkRole::Direct, false);
    SetLinkUser(l_link, io_attempt.m_user);
    l_link.m_type = io_attempt.m_type;
    l_link.m_attempt = io_attempt.m_id;
    io_attempt.mp_socket = lp_socket;
    ArmTimer(io_attempt, m_directTimeoutMs);
    Log(2, QString("Trying %1 directly at %2:%3").arg(io_attempt.m_user, QHostAddress(i_ip).toString(), QString::number(i_port)));
    lp_socket->connectToHost(QHostAddress(i_ip), quint16(i_port));
}

void PeerMessenger::StartIndirect(Attempt& io_attempt)
{
    quint64 l_id = io_attempt.m_id;
    DiscardSocket(io_attempt.mp_socket);
    io_attempt.mp_socket = nullptr;
    io_attempt.m_phase = AttemptPhase::Indirect;
    quint32 l_token = 0;
    do {
        l_token = QRandomGenerator::global()->generate();
    } while (l_token == 0 || m_attemptByToken.count(l_token));
    io_attempt.m_token = l_token;
    m_attemptByToken[l_token] = l_id;
    if (!PeerServerRequestConnectBack(l_token, io_attempt.m_user, io_attempt.m_type)) {
        FailAttempt(l_id, "no server link to ask for a connect-back", false);
        return;
    }
    Log(2, QString("Asking the server to have %1 connect back").arg(io_attempt.m_user));
    ArmTimer(io_attempt, m_indirectTimeoutMs);
}

void PeerMessenger::FinishAttempt(quint64 i_id)
{
    auto const l_found = m_attempts.find(i_id);
    if (l_found == m_attempts.end())
        return;
    Attempt& l_attempt = l_found->second;
    if (l_attempt.mp_timer) {
        l_attempt.mp_timer->stop();
        l_attempt.mp_timer->deleteLater();
    }
    if (l_attempt.m_token != 0)
        m_attemptByToken.erase(l_attempt.m_token);
    auto const l_ofUser = m_attemptsOfUser.find(l_attempt.m_user);
    std::vector<quint64>& l_ids = l_ofUser->second;
    l_ids.erase(std::find(l_ids.begin(), l_ids.end(), i_id));
    if (l_ids.empty())
        m_attemptsOfUser.erase(l_ofUser);
    m_attempts.erase(l_found);
    // The place is free: a waiting attempt starts from the event loop, not
    // inside whatever ended this one.
    if (!m_waitingAttempts.empty() && !m_startScheduled) {
        m_startScheduled = true;
        QTimer::singleShot(0, this, &PeerMessenger::StartWaitingAttempts);
    }
}

void PeerMessenger::CancelAttempt(quint64 i_id)
{
    Attempt* lp_attempt = FindAttempt(i_id);
    if (!lp_attempt)
        return;
    QTcpSocket* lp_socket = lp_attempt->mp_socket;
    lp_attempt->mp_socket = nullptr;
    Link* lp_link = FindLink(lp_socket);
    if (lp_link && lp_link->m_state == LinkState::Connecting)
        DiscardSocket(lp_socket);
    FinishAttempt(i_id);
}

void PeerMessenger::FailAttempt(quint64 i_id, QString const& i_reason, bool i_unreachable)
{
    Attempt* lp_attempt = FindAttempt(i_id);
    if (!lp_attempt)
        return;
    QString l_user = lp_attempt->m_user;
    QString l_type = lp_attempt->m_type;
    DiscardSocket(lp_attempt->mp_socket);
    lp_attempt->mp_socket = nullptr;
    FinishAttempt(i_id);
    Log(1, QString("Could not connect to %1 for a %2 connection: %3").arg(l_user, l_type, i_reason));
    if (HasAttempt(l_user, l_type))
        return;
    // Answers to a name nobody answers to (anyone can search under any name)
    // would only wait, and trying him again for each one costs two round
    // trips to the server: they go, and he gets none for a while. Without a
    // server link nobody was tried; what waits stays for a connection of his.
    if (i_unreachable && l_type == QLatin1String("P")) {
        DropUnsentAnswers(l_user);
        NoteUnreachable(l_user);
    }
    // Reported from the event loop: a caller that starts a request and only
    // then connects to this signal must still hear about the failure.
    QMetaObject::invokeMethod(
        this, [this, l_user, l_type]() { emit ConnectionToUserFailed(l_user, l_type); }, Qt::QueuedConnection);
}

void PeerMessenger::OnAttemptTimeout()
{
    auto* lp_timer = qobject_cast<QTimer*>(sender());
    if (!lp_timer)
        return;
    Attempt* lp_attempt = FindAttempt(lp_timer->property("attempt").toULongLong());
    if (!lp_attempt)
        return;
    switch (lp_attempt->m_phase) {
    case AttemptPhase::Address:
        Log(2, QString("No address for %1 from the server in time").arg(lp_attempt->m_user));
        StartIndirect(*lp_attempt);
        break;
    case AttemptPhase::Direct:
        Log(2, QString("Direct connection to %1 timed out").arg(lp_attempt->m_user));
        StartIndirect(*lp_attempt);
        break;
    case AttemptPhase::Indirect:
        FailAttempt(lp_attempt->m_id, "the user did not connect back in time", true);
        break;
    }
}

void PeerMessenger::OnPeerAddress(QString i_user, quint32 i_ip, int i_port)
{
    bool l_usable = i_ip != 0 && i_port > 0 && i_port <= 65535;
    if (l_usable) {
        Item l_user = PeerUserItem(i_user);
        SetAttribute(l_user, "user_address", Value(static_cast<unsigned long long>(i_ip)));
        SetAttribute(l_user, "user_port", Value(i_port));
    }
    for (QTcpSocket* lp_socket : UncheckedLinks(i_user)) {
        if (PeerWire::AddressMatches(lp_socket->peerAddress().toIPv4Address(), i_ip))
            Trust(lp_socket);
        else
            Distrust(lp_socket, QString("the server places the user at %1").arg(QHostAddress(i_ip).toString()));
    }
    std::vector<quint64> l_waiting;
    auto const l_ofUser = m_attemptsOfUser.find(i_user);
    if (l_ofUser != m_attemptsOfUser.end())
        for (quint64 l_id : l_ofUser->second)
            if (m_attempts.at(l_id).m_phase == AttemptPhase::Address)
                l_waiting.push_back(l_id);
    for (quint64 l_id : l_waiting) {
        Attempt* lp_attempt = FindAttempt(l_id);
        if (!lp_attempt)
            continue;
        if (l_usable)
            StartDirect(*lp_attempt, i_ip, i_port);
        else
            StartIndirect(*lp_attempt);
    }
}

void PeerMessenger::OnConnectBackRequested(QString i_user, QString i_type, quint32 i_ip, int i_port, quint32 i_token)
{
    if (i_user.isEmpty() || !PeerWire::IsConnectionType(i_type) || i_ip == 0 || i_port <= 0 || i_port > 65535) {
        Log(1, QString("Ignoring an unusable connect-back request from %1").arg(i_user));
        PeerServerCannotConnect(i_token, i_user);
        return;
    }
    if (m_connectingBacks >= m_limits.m_maxPendingConnectBacks) {
        Log(1, QString("Not connecting back to %1: %2 connect-backs are pending").arg(i_user, QString::number(m_connectingBacks)));
        PeerServerCannotConnect(i_token, i_user);
        return;
    }
    // A connection made counts as much as one still connecting: a server
    // that names a listener which accepts and holds must not use up our
    // descriptors.
    if (!RoomForConnection("connect-backs are refused")) {
        PeerServerCannotConnect(i_token, i_user);
        return;
    }
    Log(1, QString("Connecting back to %1 for a %2 connection").arg(i_user, i_type));
    auto* lp_socket = new QTcpSocket(this);
    ConnectionCount::Count(lp_socket);
    Link& l_link = AddSocket(lp_socket, LinkRole::ConnectBack, false);
    SetLinkUser(l_link, i_user);
    l_link.m_type = i_type;
    l_link.m_token = i_token;
    l_link.m_connectingBack = true;
    ++m_connectingBacks;
    // The asker gives up after its own wait: tell the server at once when
    // we cannot get through, not at the next sweep.
    QTimer::singleShot(m_limits.m_connectBackMs, lp_socket, [this, lp_socket]() {
        Link* lp_link = FindLink(lp_socket);
        if (lp_link && lp_link->m_state == LinkState::Connecting)
            CloseLink(lp_socket, "no connection within the connect-back time");
    });
    lp_socket->connectToHost(QHostAddress(i_ip), quint16(i_port));
}

void PeerMessenger::OnConnectBackFailed(quint32 i_token)
{
    Attempt* lp_attempt = FindAttemptByToken(i_token);
    if (lp_attempt && lp_attempt->m_phase == AttemptPhase::Indirect)
        FailAttempt(lp_attempt->m_id, "the user could not connect back", true);
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
