#ifndef QUILLMAR_STANDIN_SERVER_H
#define QUILLMAR_STANDIN_SERVER_H

// A small local stand-in for the network's central server: enough of the
// server side of docs/protocol.md ("Server protocol") for every feature of
// the client to be tried on one machine. Everything is kept in memory.

#include "server/FrameReader.h"
#include "store/MemStream.h"
#include "store/UserStats.h"

#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

class QTcpSocket;

class StandinServer : public QObject
{
    Q_OBJECT

public:
    explicit StandinServer(QObject* ip_parent = nullptr);
    ~StandinServer() override;

    // Listens on 127.0.0.1; port 0 lets the system choose.
    bool Listen(quint16 i_port);
    quint16 Port() const;

    // Commands read from standard input: "admin TEXT", "kick USER",
    // "possible-parents USER", "speed USER BYTES_PER_SECOND", "quit".
    void RunCommand(QString const& i_line);

    // What one misbehaving client may hold of the server. A user runs the
    // stand-in beside his client, so it must stay up whatever a client does.
    struct Limits
    {
        int m_connections = 2000;               // the listener pauses here
        quint32 m_frameBeforeLogin = 64 * 1024; // larger closes the connection
        qint64 m_unfinishedFrames = 256ll * 1024 * 1024; // all connections together
        qint64 m_stallMs = 30000;              // an unfinished frame without new bytes
        qint64 m_unsentOutput = 8ll * 1024 * 1024; // a client that does not read
        std::size_t m_watchedNames = 10000;     // per connection, names without an account
    };
    // For tests: other limits, and the millisecond clock of the stall check.
    void SetLimits(Limits const& i_limits) { m_limits = i_limits; }
    void SetClock(std::function<qint64()> i_clock) { m_clock = std::move(i_clock); }
    int ConnectionCount() const { return int(m_sessions.size()); }
    // Bytes read from all connections so far: a test sees its bytes handled.
    qint64 BytesRead() const { return m_bytesRead; }
    // Closes connections whose unfinished frame got no byte for the stall
    // time; run every second.
    void DropStalledFrames();

signals:
    void QuitRequested();

private slots:
    void OnNewConnection();
    void OnReadyRead();
    void OnDisconnected();

private:
    struct Account
    {
        QString m_password;
        qint64 m_privilegeSeconds = 0;
        UserStats m_stats;
        quint32 m_speedReports = 0;
        bool m_privateRoomAdd = true;
        QString m_country; // the country code room members and add-user answers carry
    };
    struct Session
    {
        QTcpSocket* mp_socket = nullptr;
        FrameReader m_reader;
        int m_unfinished = 0;       // bytes of it counted in m_unfinishedBytes
        qint64 m_lastProgress = 0; // when bytes last came
        bool m_dropping = false;   // closing once the current work is done
        QString m_user; // empty until logged in
        quint32 m_status = 2;
        quint32 m_port = 0;
        quint32 m_obfuscatedPort = 0;
        bool m_canParent = false;
        bool m_hasParent = false;
        std::set<QString> m_watching;
    };
    struct Room
    {
        std::set<QString> m_present; // users in the room now
        bool m_private = false;
        QString m_owner;
        std::set<QString> m_members; // private rooms: may join
        std::set<QString> m_operators;
        std::vector<std::pair<QString, QString> > m_tickers; // in order set
    };
    struct StoredChat
    {
        quint32 m_id;
        quint32 m_time;
        QString m_from;
        QString m_to;
        QString m_text;
    };

    Session* SessionOf(QTcpSocket* ip_socket);
    Session* SessionOfUser(QString const& i_user) const;
    void Handle(Session& io_session, quint32 i_code, MemStream& io_in);
    void HandleLogin(Session& io_session, MemStream& io_in);
    void Send(Session& io_session, quint32 i_code, MemStream const& i_payload);
    void SendToUser(QString const& i_user, quint32 i_code, MemStream const& i_payload);
    // i_abort drops unsent output (a client that does not read).
    void Close(Session& io_session, bool i_abort = false);
    // Closes the session once the current handler is done (the session
    // lists may be being walked).
    void DropLater(Session& io_session, QString const& i_reason);
    qint64 Now() const;
    void CountUnfinished(Session& io_session);
    void UserGone(Session& io_session);
    void Log(QString const& i_line);

    quint32 StatusOf(QString const& i_user) const;
    bool IsPrivileged(QString const& i_user) const;
    quint32 IpOf(Session const& i_session) const;
    UserStats StatsOf(QString const& i_user) const;
    // The payload of a statistics message about i_user.
    MemStream StatsMessage(QString const& i_user) const;
    // Status, stats, country and privilege, as the add-user answer and the
    // room members carry them.
    void WriteDetails(MemStream& io_out, QString const& i_user) const;
    void WriteMember(MemStream& io_out, QString const& i_user) const;
    void NotifyWatchers(QString const& i_user);
    void LeaveRoom(QString const& i_room, QString const& i_user, bool i_tellLeaver);
    void SendPrivateRoomState(QString const& i_room);
    void SendPrivateRoomStateTo(QString const& i_room, QString const& i_user);
    // Keeps a new message until its receiver acknowledges it, and sends it.
    void StoreChat(QString const& i_from, QString const& i_to, QString const& i_text);
    void DeliverChat(StoredChat const& i_chat, bool i_new);
    // A search to everyone goes down the distributed tree (i_throughTree):
    // as 93 to users who can take children and have no parent, not at all
    // to users with a parent; users outside the tree get 26.
    void RelaySearch(Session& io_from, quint32 i_token, QString const& i_text, std::set<QString> const& i_to,
                     bool i_throughTree = false);
    void CountSearch(QString const& i_text);
    std::vector<std::pair<QString, int>> RelatedSearches(QString const& i_term) const;
    void SendPossibleParents(Session& io_session);

    QTcpServer m_listener;
    std::map<QTcpSocket*, std::unique_ptr<Session> > m_sessions;
    std::map<QString, Account> m_accounts;
    std::map<QString, Room> m_rooms;
    std::vector<StoredChat> m_chats; // not yet acknowledged
    // How often each text was searched, and the texts by their words.
    std::map<QString, int> m_searchTexts;
    std::map<QString, std::set<QString>> m_searchWords;
    quint32 m_nextChatId = 1;
    Limits m_limits;
    std::function<qint64()> m_clock;
    qint64 m_unfinishedBytes = 0;
    qint64 m_bytesRead = 0;
    QTimer m_stallTimer;
};

#endif
