#include "StandinServer.h"

#include "server/ServerCodes.h"
#include "server/ServerMessages.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <cstdio>

namespace {

MemStream Strings(std::initializer_list<QString> i_texts)
{
    MemStream l_out;
    for (QString const& l_text : i_texts)
        l_out.Write(l_text);
    return l_out;
}

// Related searches are kept for this many texts of at most this length;
// later new texts are relayed but not remembered.
constexpr std::size_t MAX_SEARCH_TEXTS = 100000;
constexpr int MAX_SEARCH_TEXT_LENGTH = 200;
constexpr int MAX_RELATED = 10;
// What one read takes from a socket, so that a flood arrives in pieces that
// the unfinished-frame limit can see.
constexpr qint64 READ_BUFFER = 1024 * 1024;

QStringList Words(QString const& i_text)
{
    return i_text.toLower().split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

bool ReadNames(InputStream& io_in, std::vector<QString>& o_names, qint32 i_count)
{
    for (qint32 l_index = 0; l_index < i_count; ++l_index) {
        QString l_name;
        if (!io_in.Read(l_name))
            return false;
        o_names.push_back(l_name);
    }
    return true;
}

} // namespace

StandinServer::StandinServer(QObject* ip_parent) : QObject(ip_parent)
{
    connect(&m_listener, &QTcpServer::newConnection, this, &StandinServer::OnNewConnection);
    connect(&m_stallTimer, &QTimer::timeout, this, &StandinServer::DropStalledFrames);
    m_stallTimer.start(1000);
}

qint64 StandinServer::Now() const
{
    if (m_clock)
        return m_clock();
    static QElapsedTimer s_timer;
    if (!s_timer.isValid())
        s_timer.start();
    return s_timer.elapsed();
}

StandinServer::~StandinServer()
{
    for (auto& l_entry : m_sessions) {
        disconnect(l_entry.first, nullptr, this, nullptr);
        l_entry.first->abort();
        l_entry.first->deleteLater();
    }
}

bool StandinServer::Listen(quint16 i_port)
{
    // Loopback only: it is for trying the client on one machine, and takes
    // any name and password. IPv4 alone, so that every user has an address
    // that can be handed to the others (a client that tries "localhost" as
    // ::1 first falls back to 127.0.0.1).
    return m_listener.listen(QHostAddress::LocalHost, i_port);
}

quint16 StandinServer::Port() const
{
    return m_listener.serverPort();
}

void StandinServer::Log(QString const& i_line)
{
    QByteArray const l_line = (QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz ")) + i_line + '\n').toUtf8();
    std::fwrite(l_line.constData(), 1, size_t(l_line.size()), stdout);
    std::fflush(stdout);
}

void StandinServer::RunCommand(QString const& i_line)
{
    QString const l_line = i_line.trimmed();
    QString const l_command = l_line.section(QLatin1Char(' '), 0, 0);
    QString const l_argument = l_line.section(QLatin1Char(' '), 1);
    if (l_command == QLatin1String("admin")) {
        Log(QStringLiteral("command: admin message \"%1\"").arg(l_argument));
        for (auto& l_entry : m_sessions)
            if (!l_entry.second->m_user.isEmpty())
                Send(*l_entry.second, ServerCode::ADMIN_MESSAGE, Strings({l_argument}));
    } else if (l_command == QLatin1String("kick")) {
        Log(QStringLiteral("command: kick %1").arg(l_argument));
        if (Session* lp_session = SessionOfUser(l_argument))
            Close(*lp_session);
    } else if (l_command == QLatin1String("possible-parents")) {
        if (Session* lp_session = SessionOfUser(l_argument))
            SendPossibleParents(*lp_session);
    } else if (l_command == QLatin1String("speed")) {
        // The average upload speed the user's statistics report; a user who
        // is online is sent them at once, as if he had asked.
        QString const l_user = l_argument.section(QLatin1Char(' '), 0, 0);
        auto l_account = m_accounts.find(l_user);
        if (l_account == m_accounts.end())
            return Log(QStringLiteral("command: speed of unknown user %1").arg(l_user));
        l_account->second.m_stats.m_averageSpeed = l_argument.section(QLatin1Char(' '), 1).toUInt();
        Log(QStringLiteral("command: speed of %1 set to %2")
                .arg(l_user, QString::number(l_account->second.m_stats.m_averageSpeed)));
        if (SessionOfUser(l_user))
            SendToUser(l_user, ServerCode::USER_STATS, StatsMessage(l_user));
    } else if (l_command == QLatin1String("country")) {
        // The country code the user's details carry from now on (room
        // members, add-user answers); none clears it.
        QString const l_user = l_argument.section(QLatin1Char(' '), 0, 0);
        auto l_account = m_accounts.find(l_user);
        if (l_account == m_accounts.end())
            return Log(QStringLiteral("command: country of unknown user %1").arg(l_user));
        l_account->second.m_country = l_argument.section(QLatin1Char(' '), 1).left(8);
        Log(QStringLiteral("command: country of %1 set to \"%2\"").arg(l_user, l_account->second.m_country));
    } else if (l_command == QLatin1String("quit")) {
        Log(QStringLiteral("command: quit"));
        emit QuitRequested();
    } else if (!l_line.isEmpty()) {
        Log(QStringLiteral("command: unknown \"%1\"").arg(l_line));
    }
}

void StandinServer::OnNewConnection()
{
    while (int(m_sessions.size()) < m_limits.m_connections) {
        QTcpSocket* lp_socket = m_listener.nextPendingConnection();
        if (!lp_socket)
            return;
        auto lp_session = std::make_unique<Session>();
        lp_session->mp_socket = lp_socket;
        lp_session->m_reader.SetMaxLength(m_limits.m_frameBeforeLogin);
        lp_session->m_lastProgress = Now();
        lp_socket->setReadBufferSize(READ_BUFFER);
        connect(lp_socket, &QTcpSocket::readyRead, this, &StandinServer::OnReadyRead);
        connect(lp_socket, &QTcpSocket::disconnected, this, &StandinServer::OnDisconnected);
        Log(QStringLiteral("connection from %1:%2").arg(lp_socket->peerAddress().toString(), QString::number(lp_socket->peerPort())));
        m_sessions[lp_socket] = std::move(lp_session);
    }
    // Further clients wait in the system's queue until a connection closes,
    // instead of being accepted and closed over and over.
    Log(QStringLiteral("%1 connections: not accepting more for now").arg(m_sessions.size()));
    m_listener.pauseAccepting();
}

StandinServer::Session* StandinServer::SessionOf(QTcpSocket* ip_socket)
{
    auto l_it = m_sessions.find(ip_socket);
    return l_it == m_sessions.end() ? nullptr : l_it->second.get();
}

StandinServer::Session* StandinServer::SessionOfUser(QString const& i_user) const
{
    if (i_user.isEmpty())
        return nullptr;
    for (auto& l_entry : m_sessions)
        if (l_entry.second->m_user == i_user)
            return l_entry.second.get();
    return nullptr;
}

void StandinServer::OnReadyRead()
{
    QTcpSocket* lp_socket = qobject_cast<QTcpSocket*>(sender());
    Session* lp_session = SessionOf(lp_socket);
    if (!lp_session || lp_session->m_dropping)
        return;
    QByteArray const l_bytes = lp_socket->readAll();
    m_bytesRead += l_bytes.size();
    if (!l_bytes.isEmpty())
        lp_session->m_lastProgress = Now();
    lp_session->m_reader.Append(l_bytes);
    for (;;) {
        MemStream l_frame;
        quint32 l_code = 0;
        quint32 l_bad = 0;
        FrameReader::Result const l_result = lp_session->m_reader.Next(l_frame, l_code, &l_bad);
        if (l_result == FrameReader::NEED_MORE)
            break;
        if (l_result == FrameReader::BAD_LENGTH) {
            Log(QStringLiteral("bad frame length %1, closing").arg(l_bad));
            Close(*lp_session, true);
            return;
        }
        Handle(*lp_session, l_code, l_frame);
        // The session may be gone (closed by the handler).
        lp_session = SessionOf(lp_socket);
        if (!lp_session || lp_session->m_dropping)
            return;
        if (!lp_session->m_user.isEmpty())
            lp_session->m_reader.SetMaxLength(SERVER_FRAME_MAX);
    }
    CountUnfinished(*lp_session);
    if (m_unfinishedBytes > m_limits.m_unfinishedFrames) {
        Log(QStringLiteral("unfinished frames hold %1 bytes, closing the connection that added to them").arg(m_unfinishedBytes));
        Close(*lp_session, true);
    }
}

void StandinServer::CountUnfinished(Session& io_session)
{
    m_unfinishedBytes += io_session.m_reader.Pending() - io_session.m_unfinished;
    io_session.m_unfinished = io_session.m_reader.Pending();
}

void StandinServer::DropStalledFrames()
{
    qint64 const l_now = Now();
    std::vector<QTcpSocket*> l_stalled;
    for (auto const& l_entry : m_sessions)
        if (l_entry.second->m_reader.Pending() > 0 && l_now - l_entry.second->m_lastProgress > m_limits.m_stallMs)
            l_stalled.push_back(l_entry.first);
    for (QTcpSocket* lp_socket : l_stalled) {
        Log(QStringLiteral("a frame got no byte for %1 ms, closing").arg(m_limits.m_stallMs));
        Close(*SessionOf(lp_socket), true);
    }
}

void StandinServer::DropLater(Session& io_session, QString const& i_reason)
{
    if (io_session.m_dropping)
        return;
    io_session.m_dropping = true;
    Log(QStringLiteral("dropping the connection of %1: ").arg(io_session.m_user) + i_reason);
    QTcpSocket* lp_socket = io_session.mp_socket;
    QMetaObject::invokeMethod(this, [this, lp_socket]() {
        if (Session* lp_session = SessionOf(lp_socket))
            Close(*lp_session, true);
    }, Qt::QueuedConnection);
}

void StandinServer::OnDisconnected()
{
    QTcpSocket* lp_socket = qobject_cast<QTcpSocket*>(sender());
    if (Session* lp_session = SessionOf(lp_socket))
        Close(*lp_session);
}

void StandinServer::Close(Session& io_session, bool i_abort)
{
    QTcpSocket* lp_socket = io_session.mp_socket;
    Log(QStringLiteral("closing connection of ") + (io_session.m_user.isEmpty() ? QStringLiteral("(not logged in)") : io_session.m_user));
    disconnect(lp_socket, nullptr, this, nullptr);
    m_unfinishedBytes -= io_session.m_unfinished;
    UserGone(io_session);
    if (i_abort)
        lp_socket->abort();
    else
        lp_socket->disconnectFromHost();
    lp_socket->deleteLater();
    m_sessions.erase(lp_socket);
    if (!m_listener.isListening() || int(m_sessions.size()) >= m_limits.m_connections)
        return;
    m_listener.resumeAccepting();
    // Clients that waited while the listener was paused.
    if (m_listener.hasPendingConnections())
        QMetaObject::invokeMethod(this, &StandinServer::OnNewConnection, Qt::QueuedConnection);
}

void StandinServer::UserGone(Session& io_session)
{
    QString const l_user = io_session.m_user;
    if (l_user.isEmpty())
        return;
    io_session.m_user.clear();
    std::vector<QString> l_rooms;
    for (auto const& l_room : m_rooms)
        if (l_room.second.m_present.count(l_user))
            l_rooms.push_back(l_room.first);
    for (QString const& l_room : l_rooms)
        LeaveRoom(l_room, l_user, false);
    NotifyWatchers(l_user);
}

void StandinServer::Send(Session& io_session, quint32 i_code, MemStream const& i_payload)
{
    if (io_session.m_dropping)
        return;
    MemStream const l_frame = MakeFrame(i_code, i_payload);
    io_session.mp_socket->write(l_frame.Data(), qint64(l_frame.Size()));
    Log(QStringLiteral("send %1 to %2 (%3 bytes)").arg(QString::number(i_code), io_session.m_user, QString::number(i_payload.Size())));
    if (io_session.mp_socket->bytesToWrite() > m_limits.m_unsentOutput)
        DropLater(io_session, QStringLiteral("it does not read what it is sent"));
}

void StandinServer::SendToUser(QString const& i_user, quint32 i_code, MemStream const& i_payload)
{
    if (Session* lp_session = SessionOfUser(i_user))
        Send(*lp_session, i_code, i_payload);
}

quint32 StandinServer::StatusOf(QString const& i_user) const
{
    Session const* lp_session = SessionOfUser(i_user);
    return lp_session ? lp_session->m_status : quint32(STATUS_OFFLINE);
}

bool StandinServer::IsPrivileged(QString const& i_user) const
{
    auto l_it = m_accounts.find(i_user);
    return l_it != m_accounts.end() && l_it->second.m_privilegeSeconds > 0;
}

quint32 StandinServer::IpOf(Session const& i_session) const
{
    bool l_ok = false;
    quint32 l_ip = i_session.mp_socket->peerAddress().toIPv4Address(&l_ok);
    return l_ok ? l_ip : 0;
}

UserStats StandinServer::StatsOf(QString const& i_user) const
{
    auto l_it = m_accounts.find(i_user);
    return l_it == m_accounts.end() ? UserStats() : l_it->second.m_stats;
}

MemStream StandinServer::StatsMessage(QString const& i_user) const
{
    MemStream l_out;
    l_out.Write(i_user);
    StatsOf(i_user).Write(l_out);
    return l_out;
}

void StandinServer::WriteDetails(MemStream& io_out, QString const& i_user) const
{
    io_out.WriteU32(StatusOf(i_user));
    StatsOf(i_user).Write(io_out);
    auto const l_account = m_accounts.find(i_user);
    io_out.Write(l_account != m_accounts.end() ? l_account->second.m_country : QString());
    io_out.WriteBool(IsPrivileged(i_user));
}

void StandinServer::WriteMember(MemStream& io_out, QString const& i_user) const
{
    io_out.Write(i_user);
    WriteDetails(io_out, i_user);
}

void StandinServer::NotifyWatchers(QString const& i_user)
{
    MemStream l_status;
    l_status.Write(i_user);
    l_status.WriteU32(StatusOf(i_user));
    l_status.WriteBool(IsPrivileged(i_user));
    for (auto& l_entry : m_sessions) {
        Session& l_session = *l_entry.second;
        if (!l_session.m_user.isEmpty() && l_session.m_user != i_user && l_session.m_watching.count(i_user))
            Send(l_session, ServerCode::USER_STATUS, l_status);
    }
}

void StandinServer::Handle(Session& io_session, quint32 i_code, MemStream& io_in)
{
    Log(QStringLiteral("recv %1 from %2 (%3 bytes)")
            .arg(QString::number(i_code),
                 io_session.m_user.isEmpty() ? QStringLiteral("(not logged in)") : io_session.m_user,
                 QString::number(io_in.BytesAvailable())));
    if (io_session.m_user.isEmpty()) {
        if (i_code == ServerCode::LOGIN)
            HandleLogin(io_session, io_in);
        else
            Log(QStringLiteral("  ignored before login"));
        return;
    }
    QString const l_me = io_session.m_user;
    Account& l_account = m_accounts[l_me];
    auto const l_short = [this]() { Log(QStringLiteral("  short or bad payload, dropped")); };

    switch (i_code) {
    case ServerCode::KEEP_ALIVE: break;
    case ServerCode::SET_STATUS: {
        quint32 l_status = 0;
        if (!io_in.Read(l_status) || (l_status != STATUS_AWAY && l_status != STATUS_ONLINE))
            return l_short();
        io_session.m_status = l_status;
        NotifyWatchers(l_me);
        break;
    }
    case ServerCode::ADD_USER: {
        QString l_user;
        if (!io_in.Read(l_user))
            return l_short();
        bool const l_exists = m_accounts.count(l_user) > 0;
        MemStream l_out;
        l_out.Write(l_user);
        l_out.WriteBool(l_exists);
        if (l_exists)
            WriteDetails(l_out, l_user);
        // Accounts last only as long as the process: after a restart a user
        // who has not logged in yet is unknown, and his watchers must still
        // hear when he does.
        if (l_exists || (IsUserName(l_user) && io_session.m_watching.size() < m_limits.m_watchedNames))
            io_session.m_watching.insert(l_user);
        Send(io_session, ServerCode::ADD_USER, l_out);
        break;
    }
    case ServerCode::ROOM_CHAT: {
        QString l_room, l_text;
        if (!io_in.Read(l_room) || !io_in.Read(l_text))
            return l_short();
        auto l_it = m_rooms.find(l_room);
        if (l_it == m_rooms.end() || !l_it->second.m_present.count(l_me))
            return Log(QStringLiteral("  not in room %1").arg(l_room));
        MemStream l_out = Strings({l_room, l_me, l_text});
        for (QString const& l_user : l_it->second.m_present)
            SendToUser(l_user, ServerCode::ROOM_CHAT, l_out);
        break;
    }
    case ServerCode::JOIN_ROOM: {
        QString l_name;
        qint32 l_private = 0;
        if (!io_in.Read(l_name) || !io_in.Read(l_private))
            return l_short();
        if (l_name.trimmed().isEmpty())
            return Log(QStringLiteral("  empty room name"));
        bool const l_new = m_rooms.count(l_name) == 0;
        Room& l_room = m_rooms[l_name];
        if (l_new && l_private) {
            l_room.m_private = true;
            l_room.m_owner = l_me;
            l_room.m_members.insert(l_me);
        }
        if (l_room.m_private && !l_room.m_members.count(l_me))
            return Log(QStringLiteral("  %1 may not join private room %2").arg(l_me, l_name));
        bool const l_wasPresent = l_room.m_present.count(l_me) > 0;
        l_room.m_present.insert(l_me);
        MemStream l_joined;
        l_joined.Write(l_name);
        l_joined.WriteU32(quint32(l_room.m_present.size()));
        for (QString const& l_user : l_room.m_present)
            WriteMember(l_joined, l_user);
        Send(io_session, ServerCode::JOIN_ROOM, l_joined);
        MemStream l_tickers;
        l_tickers.Write(l_name);
        l_tickers.WriteU32(quint32(l_room.m_tickers.size()));
        for (auto const& l_ticker : l_room.m_tickers) {
            l_tickers.Write(l_ticker.first);
            l_tickers.Write(l_ticker.second);
        }
        Send(io_session, ServerCode::ROOM_TICKERS, l_tickers);
        if (l_room.m_private)
            SendPrivateRoomStateTo(l_name, l_me);
        if (!l_wasPresent) {
            MemStream l_arrival;
            l_arrival.Write(l_name);
            WriteMember(l_arrival, l_me);
            for (QString const& l_user : l_room.m_present)
                if (l_user != l_me)
                    SendToUser(l_user, ServerCode::USER_JOINED_ROOM, l_arrival);
        }
        break;
    }
    case ServerCode::LEAVE_ROOM: {
        QString l_room;
        if (!io_in.Read(l_room))
            return l_short();
        LeaveRoom(l_room, l_me, true);
        break;
    }
    case ServerCode::PRIVATE_CHAT: {
        QString l_user, l_text;
        if (!io_in.Read(l_user) || !io_in.Read(l_text))
            return l_short();
        if (!m_accounts.count(l_user))
            return Log(QStringLiteral("  no such user %1").arg(l_user));
        StoreChat(l_me, l_user, l_text);
        break;
    }
    case ServerCode::PRIVATE_CHAT_ACK: {
        quint32 l_id = 0;
        if (!io_in.Read(l_id))
            return l_short();
        for (auto l_it = m_chats.begin(); l_it != m_chats.end(); ++l_it)
            if (l_it->m_id == l_id && l_it->m_to == l_me) {
                m_chats.erase(l_it);
                break;
            }
        break;
    }
    case ServerCode::MESSAGE_USERS: {
        qint32 l_count = 0;
        std::vector<QString> l_users;
        QString l_text;
        if (!io_in.Read(l_count) || l_count < 0 || !ReadNames(io_in, l_users, l_count) || !io_in.Read(l_text))
            return l_short();
        for (QString const& l_user : l_users)
            if (m_accounts.count(l_user))
                StoreChat(l_me, l_user, l_text);
        break;
    }
    case ServerCode::FILE_SEARCH:
    case ServerCode::WISH_LIST_SEARCH: {
        quint32 l_token = 0;
        QString l_text;
        if (!io_in.Read(l_token) || !io_in.Read(l_text))
            return l_short();
        std::set<QString> l_to;
        for (auto const& l_entry : m_sessions)
            if (!l_entry.second->m_user.isEmpty())
                l_to.insert(l_entry.second->m_user);
        RelaySearch(io_session, l_token, l_text, l_to, true);
        break;
    }
    case ServerCode::USER_SEARCH: {
        QString l_user, l_text;
        quint32 l_token = 0;
        if (!io_in.Read(l_user) || !io_in.Read(l_token) || !io_in.Read(l_text))
            return l_short();
        RelaySearch(io_session, l_token, l_text, {l_user});
        break;
    }
    case ServerCode::ROOM_SEARCH: {
        QString l_room, l_text;
        quint32 l_token = 0;
        if (!io_in.Read(l_room) || !io_in.Read(l_token) || !io_in.Read(l_text))
            return l_short();
        auto l_it = m_rooms.find(l_room);
        if (l_it != m_rooms.end())
            RelaySearch(io_session, l_token, l_text, l_it->second.m_present);
        break;
    }
    case ServerCode::SEARCH_CORRELATIONS: {
        QString l_term;
        if (!io_in.Read(l_term))
            return l_short();
        std::vector<std::pair<QString, int>> const l_related = RelatedSearches(l_term);
        MemStream l_out;
        l_out.Write(l_term);
        l_out.WriteU32(quint32(l_related.size()));
        for (auto const& l_entry : l_related) {
            l_out.Write(l_entry.first);
            l_out.WriteI32(l_entry.second);
        }
        Send(io_session, ServerCode::SEARCH_CORRELATIONS, l_out);
        break;
    }
    case ServerCode::SHARED_FOLDERS_FILES: {
        qint32 l_folders = 0, l_files = 0;
        if (!io_in.Read(l_folders) || !io_in.Read(l_files))
            return l_short();
        l_account.m_stats.m_folderCount = quint32(qMax(0, l_folders));
        l_account.m_stats.m_fileCount = quint32(qMax(0, l_files));
        break;
    }
    case ServerCode::USER_STATS: {
        QString l_user;
        if (!io_in.Read(l_user))
            return l_short();
        Send(io_session, ServerCode::USER_STATS, StatsMessage(l_user));
        break;
    }
    case ServerCode::UPLOAD_SPEED: {
        qint32 l_speed = 0;
        if (!io_in.Read(l_speed))
            return l_short();
        if (l_speed <= 0)
            break;
        quint64 const l_reports = l_account.m_speedReports++;
        l_account.m_stats.m_averageSpeed =
            quint32((quint64(l_account.m_stats.m_averageSpeed) * l_reports + quint64(l_speed)) / (l_reports + 1));
        ++l_account.m_stats.m_uploadCount;
        break;
    }
    case ServerCode::ROOM_LIST: {
        MemStream l_out;
        std::vector<std::pair<QString, quint32> > l_public, l_owned, l_member;
        std::vector<QString> l_operated;
        for (auto const& l_entry : m_rooms) {
            Room const& l_room = l_entry.second;
            quint32 const l_count = quint32(l_room.m_present.size());
            if (!l_room.m_private)
                l_public.emplace_back(l_entry.first, l_count);
            else if (l_room.m_owner == l_me)
                l_owned.emplace_back(l_entry.first, l_count);
            else if (l_room.m_members.count(l_me))
                l_member.emplace_back(l_entry.first, l_count);
            if (l_room.m_private && l_room.m_operators.count(l_me))
                l_operated.push_back(l_entry.first);
        }
        for (auto const* lp_list : {&l_public, &l_owned, &l_member}) {
            l_out.WriteU32(quint32(lp_list->size()));
            for (auto const& l_entry : *lp_list) {
                l_out.Write(l_entry.first);
                l_out.WriteU32(l_entry.second);
            }
        }
        l_out.WriteU32(quint32(l_operated.size()));
        for (QString const& l_room : l_operated)
            l_out.Write(l_room);
        Send(io_session, ServerCode::ROOM_LIST, l_out);
        break;
    }
    case ServerCode::SET_ROOM_TICKER: {
        QString l_name, l_text;
        if (!io_in.Read(l_name) || !io_in.Read(l_text))
            return l_short();
        auto l_it = m_rooms.find(l_name);
        if (l_it == m_rooms.end() || !l_it->second.m_present.count(l_me))
            return Log(QStringLiteral("  not in room %1").arg(l_name));
        Room& l_room = l_it->second;
        for (auto l_ticker = l_room.m_tickers.begin(); l_ticker != l_room.m_tickers.end(); ++l_ticker)
            if (l_ticker->first == l_me) {
                l_room.m_tickers.erase(l_ticker);
                break;
            }
        bool const l_remove = l_text.trimmed().isEmpty();
        if (!l_remove)
            l_room.m_tickers.emplace_back(l_me, l_text);
        MemStream const l_out = l_remove ? Strings({l_name, l_me}) : Strings({l_name, l_me, l_text});
        for (QString const& l_user : l_room.m_present)
            SendToUser(l_user, l_remove ? ServerCode::ROOM_TICKER_REMOVED : ServerCode::ROOM_TICKER_SET, l_out);
        break;
    }
    case ServerCode::PRIVILEGES: {
        MemStream l_out;
        l_out.WriteI32(qint32(qMin<qint64>(l_account.m_privilegeSeconds, 0x7FFFFFFF)));
        Send(io_session, ServerCode::PRIVILEGES, l_out);
        break;
    }
    case ServerCode::GIFT_PRIVILEGES: {
        QString l_user;
        qint32 l_days = 0;
        if (!io_in.Read(l_user) || !io_in.Read(l_days))
            return l_short();
        if (l_days <= 0 || l_days > 3650 || !m_accounts.count(l_user))
            return Log(QStringLiteral("  gift refused"));
        // The stand-in creates privileges out of nothing: the giver keeps his.
        m_accounts[l_user].m_privilegeSeconds += qint64(l_days) * 86400;
        NotifyWatchers(l_user);
        break;
    }
    case ServerCode::PRIVATE_ROOM_ADD_ENABLED: {
        bool l_enable = false;
        if (!io_in.Read(l_enable))
            return l_short();
        l_account.m_privateRoomAdd = l_enable;
        MemStream l_out;
        l_out.WriteBool(l_enable);
        Send(io_session, ServerCode::PRIVATE_ROOM_ADD_ENABLED, l_out);
        break;
    }
    case ServerCode::PRIVATE_ROOM_ADD_MEMBER:
    case ServerCode::PRIVATE_ROOM_REMOVE_MEMBER:
    case ServerCode::PRIVATE_ROOM_ADD_OPERATOR:
    case ServerCode::PRIVATE_ROOM_REMOVE_OPERATOR: {
        QString l_name, l_user;
        if (!io_in.Read(l_name) || !io_in.Read(l_user))
            return l_short();
        auto l_it = m_rooms.find(l_name);
        if (l_it == m_rooms.end() || !l_it->second.m_private)
            return Log(QStringLiteral("  no private room %1").arg(l_name));
        Room& l_room = l_it->second;
        bool const l_owner = l_room.m_owner == l_me;
        bool const l_operator = l_room.m_operators.count(l_me) > 0;
        if (i_code == ServerCode::PRIVATE_ROOM_ADD_MEMBER) {
            if (!(l_owner || l_operator) || !m_accounts.count(l_user) || !m_accounts[l_user].m_privateRoomAdd)
                return Log(QStringLiteral("  refused"));
            l_room.m_members.insert(l_user);
        } else if (i_code == ServerCode::PRIVATE_ROOM_REMOVE_MEMBER) {
            // Operators may remove plain members only; nobody removes the owner.
            if (!(l_owner || l_operator) || l_user == l_room.m_owner || (!l_owner && l_room.m_operators.count(l_user))
                || !l_room.m_members.count(l_user))
                return Log(QStringLiteral("  refused"));
            l_room.m_members.erase(l_user);
            l_room.m_operators.erase(l_user);
            SendToUser(l_user, ServerCode::PRIVATE_ROOM_REMOVED, Strings({l_name}));
            if (l_room.m_present.count(l_user))
                LeaveRoom(l_name, l_user, true);
        } else if (i_code == ServerCode::PRIVATE_ROOM_ADD_OPERATOR) {
            if (!l_owner || !l_room.m_members.count(l_user) || l_user == l_room.m_owner)
                return Log(QStringLiteral("  refused"));
            l_room.m_operators.insert(l_user);
        } else {
            if (!l_owner || !l_room.m_operators.count(l_user))
                return Log(QStringLiteral("  refused"));
            l_room.m_operators.erase(l_user);
        }
        if (m_rooms.count(l_name))
            SendPrivateRoomState(l_name);
        break;
    }
    case ServerCode::PRIVATE_ROOM_GIVE_UP_MEMBERSHIP: {
        QString l_name;
        if (!io_in.Read(l_name))
            return l_short();
        auto l_it = m_rooms.find(l_name);
        if (l_it == m_rooms.end() || !l_it->second.m_private || l_it->second.m_owner == l_me
            || !l_it->second.m_members.count(l_me))
            return Log(QStringLiteral("  refused"));
        l_it->second.m_members.erase(l_me);
        l_it->second.m_operators.erase(l_me);
        Send(io_session, ServerCode::PRIVATE_ROOM_REMOVED, Strings({l_name}));
        SendPrivateRoomState(l_name);
        // As when removed: a private room holds its members only.
        LeaveRoom(l_name, l_me, true);
        break;
    }
    case ServerCode::PRIVATE_ROOM_GIVE_UP_OWNERSHIP: {
        QString l_name;
        if (!io_in.Read(l_name))
            return l_short();
        auto l_it = m_rooms.find(l_name);
        if (l_it == m_rooms.end() || !l_it->second.m_private || l_it->second.m_owner != l_me)
            return Log(QStringLiteral("  refused"));
        // Without an owner the room is an ordinary public room.
        Room& l_room = l_it->second;
        std::set<QString> const l_formerMembers = l_room.m_members;
        l_room.m_private = false;
        l_room.m_owner.clear();
        l_room.m_members.clear();
        l_room.m_operators.clear();
        for (QString const& l_user : l_formerMembers)
            SendToUser(l_user, ServerCode::PRIVATE_ROOM_REMOVED, Strings({l_name}));
        break;
    }
    case ServerCode::DNET_HAS_PARENT: {
        bool l_hasParent = false;
        if (!io_in.Read(l_hasParent))
            return l_short();
        io_session.m_hasParent = l_hasParent;
        if (!l_hasParent)
            SendPossibleParents(io_session);
        break;
    }
    case ServerCode::DNET_CAN_PARENT: {
        bool l_can = false;
        if (!io_in.Read(l_can))
            return l_short();
        io_session.m_canParent = l_can;
        break;
    }
    case ServerCode::DNET_LEVEL:
    case ServerCode::DNET_GROUP_LEADER:
    case ServerCode::DNET_CHILD_DEPTH: break;
    case ServerCode::LISTENING_PORTS: {
        quint32 l_port = 0, l_obfuscated = 0;
        if (!io_in.Read(l_port) || !io_in.Read(l_obfuscated) || l_port > 65535 || l_obfuscated > 65535)
            return l_short();
        io_session.m_port = l_port;
        io_session.m_obfuscatedPort = l_obfuscated;
        break;
    }
    case ServerCode::PEER_ADDRESS: {
        QString l_user;
        if (!io_in.Read(l_user))
            return l_short();
        Session* lp_other = SessionOfUser(l_user);
        MemStream l_out;
        l_out.Write(l_user);
        l_out.WriteU32(lp_other ? IpOf(*lp_other) : 0);
        l_out.WriteU32(lp_other ? lp_other->m_port : 0);
        l_out.WriteU32(lp_other ? lp_other->m_obfuscatedPort : 0);
        Send(io_session, ServerCode::PEER_ADDRESS, l_out);
        break;
    }
    case ServerCode::CONNECT_BACK: {
        quint32 l_token = 0;
        QString l_user, l_type;
        if (!io_in.Read(l_token) || !io_in.Read(l_user) || !io_in.Read(l_type))
            return l_short();
        Session* lp_other = SessionOfUser(l_user);
        if (!lp_other) {
            MemStream l_out;
            l_out.WriteU32(l_token);
            l_out.Write(l_user);
            Send(io_session, ServerCode::CANNOT_CONNECT, l_out);
            break;
        }
        MemStream l_out;
        l_out.Write(l_me);
        l_out.Write(l_type);
        l_out.WriteU32(IpOf(io_session));
        l_out.WriteU32(io_session.m_port);
        l_out.WriteU32(l_token);
        l_out.WriteBool(IsPrivileged(l_me));
        l_out.WriteU32(io_session.m_obfuscatedPort);
        Send(*lp_other, ServerCode::CONNECT_BACK, l_out);
        break;
    }
    case ServerCode::CANNOT_CONNECT: {
        quint32 l_token = 0;
        QString l_user;
        if (!io_in.Read(l_token) || !io_in.Read(l_user))
            return l_short();
        MemStream l_out;
        l_out.WriteU32(l_token);
        l_out.Write(l_me);
        SendToUser(l_user, ServerCode::CANNOT_CONNECT, l_out);
        break;
    }
    default: Log(QStringLiteral("  unknown code, skipped")); break;
    }
}

void StandinServer::HandleLogin(Session& io_session, MemStream& io_in)
{
    QString l_user, l_password;
    quint32 l_version = 0;
    if (!io_in.Read(l_user) || !io_in.Read(l_password) || !io_in.Read(l_version))
        return Log(QStringLiteral("  short login, dropped"));
    auto const l_refuse = [&](QString const& i_reason) {
        Log(QStringLiteral("  login of \"%1\" refused: %2").arg(l_user, i_reason));
        MemStream l_out;
        l_out.WriteBool(false);
        l_out.Write(i_reason);
        Send(io_session, ServerCode::LOGIN, l_out);
    };
    if (!IsUserName(l_user))
        return l_refuse(QStringLiteral("INVALIDUSERNAME"));
    auto l_it = m_accounts.find(l_user);
    if (l_it != m_accounts.end() && l_it->second.m_password != l_password)
        return l_refuse(QStringLiteral("INVALIDPASS"));
    if (l_it == m_accounts.end()) {
        Log(QStringLiteral("  new account \"%1\"").arg(l_user));
        m_accounts[l_user].m_password = l_password;
    }
    if (Session* lp_old = SessionOfUser(l_user)) {
        Send(*lp_old, ServerCode::LOGGED_IN_ELSEWHERE, MemStream());
        lp_old->mp_socket->flush();
        Close(*lp_old);
    }
    io_session.m_user = l_user;
    io_session.m_status = STATUS_ONLINE;
    MemStream l_out;
    l_out.WriteBool(true);
    l_out.Write(QStringLiteral("Welcome to the Quillmar stand-in server, %1.").arg(l_user));
    Send(io_session, ServerCode::LOGIN, l_out);
    MemStream l_minSpeed, l_ratio;
    l_minSpeed.WriteI32(1);
    l_ratio.WriteI32(50);
    Send(io_session, ServerCode::DNET_PARENT_MIN_SPEED, l_minSpeed);
    Send(io_session, ServerCode::DNET_PARENT_SPEED_RATIO, l_ratio);
    for (auto const& l_room : m_rooms)
        if (l_room.second.m_private && l_room.second.m_members.count(l_user))
            SendPrivateRoomStateTo(l_room.first, l_user);
    // Messages that waited for this login.
    for (StoredChat const& l_chat : m_chats)
        if (l_chat.m_to == l_user)
            DeliverChat(l_chat, false);
    NotifyWatchers(l_user);
}

void StandinServer::LeaveRoom(QString const& i_room, QString const& i_user, bool i_tellLeaver)
{
    auto l_it = m_rooms.find(i_room);
    if (l_it == m_rooms.end() || !l_it->second.m_present.count(i_user))
        return;
    Room& l_room = l_it->second;
    l_room.m_present.erase(i_user);
    if (i_tellLeaver)
        SendToUser(i_user, ServerCode::LEAVE_ROOM, Strings({i_room}));
    MemStream const l_out = Strings({i_room, i_user});
    for (QString const& l_user : l_room.m_present)
        SendToUser(l_user, ServerCode::USER_LEFT_ROOM, l_out);
    if (l_room.m_present.empty() && !l_room.m_private)
        m_rooms.erase(l_it);
}

void StandinServer::SendPrivateRoomStateTo(QString const& i_room, QString const& i_user)
{
    Room const& l_room = m_rooms[i_room];
    MemStream l_out;
    l_out.Write(i_room);
    l_out.Write(l_room.m_owner);
    l_out.WriteU32(quint32(l_room.m_members.size()));
    for (QString const& l_member : l_room.m_members)
        l_out.Write(l_member);
    l_out.WriteU32(quint32(l_room.m_operators.size()));
    for (QString const& l_operator : l_room.m_operators)
        l_out.Write(l_operator);
    SendToUser(i_user, ServerCode::PRIVATE_ROOM_STATE, l_out);
}

void StandinServer::SendPrivateRoomState(QString const& i_room)
{
    std::set<QString> const l_members = m_rooms[i_room].m_members;
    for (QString const& l_member : l_members)
        SendPrivateRoomStateTo(i_room, l_member);
}

void StandinServer::StoreChat(QString const& i_from, QString const& i_to, QString const& i_text)
{
    StoredChat const l_chat{m_nextChatId++, quint32(QDateTime::currentSecsSinceEpoch()), i_from, i_to, i_text};
    m_chats.push_back(l_chat);
    DeliverChat(l_chat, true);
}

void StandinServer::DeliverChat(StoredChat const& i_chat, bool i_new)
{
    MemStream l_out;
    l_out.WriteU32(i_chat.m_id);
    l_out.WriteU32(i_chat.m_time);
    l_out.Write(i_chat.m_from);
    l_out.Write(i_chat.m_text);
    l_out.WriteBool(i_new);
    SendToUser(i_chat.m_to, ServerCode::PRIVATE_CHAT, l_out);
}

void StandinServer::RelaySearch(Session& io_from, quint32 i_token, QString const& i_text, std::set<QString> const& i_to,
                                bool i_throughTree)
{
    CountSearch(i_text);
    MemStream l_out;
    l_out.Write(io_from.m_user);
    l_out.WriteU32(i_token);
    l_out.Write(i_text);
    // The distributed form: code 3, sub-code 49, then the same fields.
    MemStream l_tree;
    l_tree.WriteU8(3);
    l_tree.WriteI32(49);
    l_tree.WriteBuffer(l_out.Data(), l_out.Size());
    for (QString const& l_user : i_to) {
        Session* const lp_session = SessionOfUser(l_user);
        if (l_user == io_from.m_user || !lp_session)
            continue;
        if (!i_throughTree || (!lp_session->m_hasParent && !lp_session->m_canParent))
            Send(*lp_session, ServerCode::FILE_SEARCH, l_out);
        else if (!lp_session->m_hasParent)
            Send(*lp_session, ServerCode::DNET_MESSAGE, l_tree);
    }
}

void StandinServer::CountSearch(QString const& i_text)
{
    auto l_found = m_searchTexts.find(i_text);
    if (l_found != m_searchTexts.end()) {
        ++l_found->second;
        return;
    }
    if (m_searchTexts.size() >= MAX_SEARCH_TEXTS || i_text.size() > MAX_SEARCH_TEXT_LENGTH)
        return;
    m_searchTexts[i_text] = 1;
    for (QString const& l_word : Words(i_text))
        m_searchWords[l_word].insert(i_text);
}

std::vector<std::pair<QString, int>> StandinServer::RelatedSearches(QString const& i_term) const
{
    // Earlier searched texts sharing a word with the term, the most often
    // searched first.
    std::set<QString> l_texts;
    for (QString const& l_word : Words(i_term)) {
        auto const l_found = m_searchWords.find(l_word);
        if (l_found != m_searchWords.end())
            l_texts.insert(l_found->second.begin(), l_found->second.end());
    }
    std::vector<std::pair<QString, int>> l_related;
    for (QString const& l_text : l_texts)
        if (l_text.compare(i_term, Qt::CaseInsensitive) != 0)
            l_related.emplace_back(l_text, m_searchTexts.at(l_text));
    std::size_t const l_kept = std::min<std::size_t>(l_related.size(), MAX_RELATED);
    std::partial_sort(l_related.begin(), l_related.begin() + l_kept, l_related.end(),
                      [](auto const& i_a, auto const& i_b) {
                          return i_a.second != i_b.second ? i_a.second > i_b.second : i_a.first < i_b.first;
                      });
    l_related.resize(l_kept);
    return l_related;
}

void StandinServer::SendPossibleParents(Session& io_session)
{
    MemStream l_entries;
    quint32 l_count = 0;
    for (auto const& l_entry : m_sessions) {
        Session const& l_other = *l_entry.second;
        if (l_count >= 10)
            break;
        if (l_other.m_user.isEmpty() || l_other.m_user == io_session.m_user || !l_other.m_canParent
            || l_other.m_port == 0)
            continue;
        l_entries.Write(l_other.m_user);
        l_entries.WriteU32(IpOf(l_other));
        l_entries.WriteI32(qint32(l_other.m_port));
        ++l_count;
    }
    MemStream l_out;
    l_out.WriteU32(l_count);
    if (l_entries.Size() > 0)
        l_out.WriteBuffer(l_entries.Data(), l_entries.Size());
    Send(io_session, ServerCode::DNET_POSSIBLE_PARENTS, l_out);
}
