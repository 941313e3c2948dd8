#ifndef QUILLMAR_TESTS_SERVERTESTHELPERS_H
#define QUILLMAR_TESTS_SERVERTESTHELPERS_H

// Test doubles for the server link: the stand-in server run as a real
// process, an in-test fake server that records every frame and sends
// hand-made ones, and a raw protocol client for playing a second user.

#include "server/FrameReader.h"
#include "server/Server.h"
#include "server/ServerCodes.h"
#include "server/ServerMessages.h"
#include "store/MemStream.h"
#include "store/Settings.h"
#include "tests/Waits.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

// A fresh store with the settings and the server's types.
inline void ResetStore()
{
    d.Reset();
    DeclareSettingsTypes();
}

inline void PointAt(quint16 i_port, QString const& i_user = QStringLiteral("alice"),
                    QString const& i_password = QStringLiteral("secret"))
{
    SetSetting("server_address", QStringLiteral("127.0.0.1:%1").arg(i_port));
    SetSetting("username", i_user);
    SetSetting("password", i_password);
}

inline QByteArray Frame(quint32 i_code, MemStream const& i_payload = MemStream())
{
    MemStream l_frame;
    l_frame.WriteU32(quint32(i_payload.Size() + 4));
    l_frame.WriteU32(i_code);
    if (i_payload.Size())
        l_frame.WriteBuffer(i_payload.Data(), i_payload.Size());
    return l_frame.ToByteArray();
}

// A user and a room by name, made if need be; and what the store holds of
// a user: flags, country, speed and files.
inline Item User(char const* ip_name) { return d.GetType("user")->GetItem(ip_name); }
inline Item Room(char const* ip_name) { return d.GetType("room")->GetItem(ip_name); }

inline QString UserState(char const* ip_user)
{
    Item const l_user = User(ip_user);
    QStringList l_state;
    for (char const* lp_flag : {"is_online", "is_away", "is_privileged"})
        if (l_user.IsConnected(lp_flag))
            l_state << lp_flag + 3;
    for (char const* lp_attribute : {"country_code", "average_download_speed", "shared_file_count"})
        l_state << l_user[lp_attribute].AsString();
    return l_state.join(' ');
}

// ... of a room: marks, members and their count, tickers, and the users of
// a private room's lists.
inline QString RoomState(char const* ip_room)
{
    Item const l_room = Room(ip_room);
    QStringList l_state;
    for (char const* lp_mark : {"in_room", "is_owner", "is_member", "is_operator"})
        if (l_room.IsConnected(lp_mark))
            l_state << lp_mark;
    for (Item const& l_user : l_room.GetItems("user"))
        l_state << l_user.AsString();
    l_state << "count " + l_room["user_count"].AsString();
    for (Item const& l_ticker : l_room.GetItems("room_ticker"))
        l_state << l_ticker["user"].AsString() + ": " + l_ticker["room_ticker_text"].AsString();
    for (char const* lp_list : {"room_owner", "room_members", "room_operators"})
        for (Item const& l_user : l_room[lp_list].GetItems("user"))
            l_state << QString(lp_list + 5) + " " + l_user.AsString();
    return l_state.join(", ");
}

// Reads frames from one socket.
class FrameCollector : public QObject
{
public:
    explicit FrameCollector(QTcpSocket* ip_socket) : mp_socket(ip_socket)
    {
        connect(ip_socket, &QTcpSocket::readyRead, this, [this]() {
            m_reader.Append(mp_socket->readAll());
            MemStream l_frame;
            quint32 l_code = 0;
            while (m_reader.Next(l_frame, l_code) == FrameReader::FRAME)
                m_frames.push_back({l_code, l_frame.ToByteArray(8)});
        });
    }

    // Waits for the next frame of that code (skipping others) and removes it.
    bool Take(quint32 i_code, QByteArray* op_payload = nullptr, int i_timeout = WAIT_MS)
    {
        auto l_found = m_frames.end();
        if (!WaitUntil([&]() { return (l_found = Find(i_code)) != m_frames.end(); }, i_timeout))
            return false;
        if (op_payload)
            *op_payload = l_found->second;
        m_frames.erase(l_found);
        return true;
    }

    // Waits for the next frame of code i_marker and removes it; true when
    // no frame of code i_code came before it. The other side sends in order,
    // so what it was to send before the marker is seen however late it
    // comes: an absence is proven so, never by waiting a while.
    bool NoneBefore(quint32 i_code, quint32 i_marker, QByteArray* op_marker = nullptr)
    {
        auto l_marker = m_frames.end();
        if (!WaitUntil([&]() { return (l_marker = Find(i_marker)) != m_frames.end(); }))
            return false;
        if (op_marker)
            *op_marker = l_marker->second;
        bool const l_none = std::none_of(m_frames.begin(), l_marker, [i_code](auto const& i_frame) { return i_frame.first == i_code; });
        m_frames.erase(l_marker);
        return l_none;
    }

    std::vector<std::pair<quint32, QByteArray>>::iterator Find(quint32 i_code)
    {
        return std::find_if(m_frames.begin(), m_frames.end(), [i_code](auto const& i_frame) { return i_frame.first == i_code; });
    }

    QTcpSocket* mp_socket;
    FrameReader m_reader;
    std::vector<std::pair<quint32, QByteArray>> m_frames; // code, payload
};

// An in-test server: accepts one client at a time, records its frames and
// answers logins as told.
class FakeServer : public QObject
{
public:
    // On a port of the system's choice unless one is named.
    explicit FakeServer(quint16 i_port = 0)
    {
        m_listener.listen(QHostAddress::LocalHost, i_port);
        connect(&m_listener, &QTcpServer::newConnection, this, [this]() {
            mp_socket = m_listener.nextPendingConnection();
            mp_collector = std::make_unique<FrameCollector>(mp_socket);
        });
    }
    quint16 Port() const { return m_listener.serverPort(); }
    bool WaitForClient() { return WaitUntil([this]() { return mp_socket != nullptr; }); }

    void Write(QByteArray const& i_bytes)
    {
        mp_socket->write(i_bytes);
        mp_socket->flush();
    }
    void Send(quint32 i_code, MemStream const& i_payload = MemStream()) { Write(Frame(i_code, i_payload)); }

    // Answers the login frame.
    bool AnswerLogin(bool i_ok = true, QString const& i_text = QStringLiteral("hello"))
    {
        if (!WaitForClient() || !mp_collector->Take(ServerCode::LOGIN, &m_loginPayload))
            return false;
        MemStream l_answer;
        l_answer.WriteBool(i_ok);
        l_answer.Write(i_text);
        Send(ServerCode::LOGIN, l_answer);
        return true;
    }

    // True when the link sent no frame of that code before a keep-alive it
    // is asked for now through the event loop, behind whatever the test's
    // last steps set going there.
    bool SentNone(quint32 i_code)
    {
        QMetaObject::invokeMethod(gp_server, &Server::EveryFiveMinutes, Qt::QueuedConnection);
        return mp_collector && mp_collector->NoneBefore(i_code, ServerCode::KEEP_ALIVE);
    }

    QTcpServer m_listener;
    QTcpSocket* mp_socket = nullptr;
    std::unique_ptr<FrameCollector> mp_collector;
    QByteArray m_loginPayload;
};

// The link under test pointed at an in-test fake server; test classes
// inherit it beside QObject.
class FakeLink
{
protected:
    std::unique_ptr<FakeServer> mp_fake;
    std::unique_ptr<Server> mp_server;

    // A new fake server and a new link with its types, the fake's address
    // and a user name and password.
    void StartFake()
    {
        mp_fake = std::make_unique<FakeServer>();
        mp_server = std::make_unique<Server>();
        mp_server->CreateData();
        PointAt(mp_fake->Port());
    }

    // Connects and has the fake accept the login; true once Connected came.
    bool LogIn()
    {
        QSignalSpy l_connected(mp_server.get(), &Server::Connected);
        mp_server->Connect();
        return mp_fake->AnswerLogin() && (l_connected.count() == 1 || l_connected.wait(WAIT_MS));
    }

    void StopFake()
    {
        mp_server.reset();
        mp_fake.reset();
    }
};

// The stand-in server as a child process on a port of the system's choice.
class StandinProcess
{
public:
    bool Start()
    {
        m_process.start(QStringLiteral(STANDIN_SERVER_PATH), {QStringLiteral("0")});
        if (!m_process.waitForStarted(WAIT_MS))
            return false;
        if (!WaitUntil([this]() { return m_process.canReadLine() || (m_process.waitForReadyRead(100) && m_process.canReadLine()); }))
            return false;
        QByteArray const l_line = m_process.readLine().trimmed();
        m_port = l_line.startsWith("listening on port ") ? quint16(l_line.mid(18).toUInt()) : 0;
        return m_port != 0;
    }
    void Command(QByteArray const& i_line)
    {
        m_process.write(i_line + '\n');
        m_process.waitForBytesWritten(WAIT_MS);
    }
    quint16 Port() const { return m_port; }
    ~StandinProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(WAIT_MS))
                m_process.kill();
            m_process.waitForFinished(1000);
        }
    }

    QProcess m_process;
    quint16 m_port = 0;
};

// Speaks the protocol by hand: a second user on the stand-in server.
class RawClient
{
public:
    bool Login(quint16 i_port, QString const& i_user, QString const& i_password = QStringLiteral("pw"))
    {
        m_socket.connectToHost(QHostAddress::LocalHost, i_port);
        if (!m_socket.waitForConnected(WAIT_MS))
            return false;
        mp_collector = std::make_unique<FrameCollector>(&m_socket);
        Send(ServerOut::Login(i_user, i_password));
        QByteArray l_answer;
        return mp_collector->Take(ServerCode::LOGIN, &l_answer) && l_answer.startsWith('\x01');
    }
    void Send(quint32 i_code, MemStream const& i_payload = MemStream())
    {
        m_socket.write(Frame(i_code, i_payload));
        m_socket.flush();
    }
    void Send(ServerRequest const& i_request) { Send(i_request.m_code, i_request.m_payload); }

    // True when no frame of that code came before the answer to a request
    // sent now (the privileges left), which the server answers in order.
    bool GotNone(quint32 i_code)
    {
        Send(ServerCode::PRIVILEGES);
        return mp_collector->NoneBefore(i_code, ServerCode::PRIVILEGES);
    }

    QTcpSocket m_socket;
    std::unique_ptr<FrameCollector> mp_collector;
};

#endif
