#ifndef QUILLMAR_SERVER_SERVER_H
#define QUILLMAR_SERVER_SERVER_H

// The client's one link to the central server: login, keep-alive,
// reconnection, every request, and every server message turned into store
// changes and signals. Wire formats: docs/protocol.md, "Server protocol".
// Design notes: docs/server.md.

#include "server/FrameReader.h"
#include "server/ServerMessages.h"
#include "server/TCPAddress.h"
#include "store/Data.h"
#include "store/MemStream.h"
#include "store/SlicedWork.h"
#include "store/UserStats.h"

#include <QAbstractSocket>
#include <QObject>
#include <QString>
#include <QStringList>

#include <ctime>
#include <deque>
#include <memory>
#include <vector>

class QTcpSocket;
class QTimer;
class PortMapper;

class Server : public QObject, public DataHandler
{
    Q_OBJECT

public:
    enum State { STATE_DISCONNECTED = 0, STATE_CONNECTING = 1, STATE_LOGGED_IN = 2 };

    // Publishes the link in gp_server and creates the port forwarder (when
    // the peer side installed its factory). Does not connect.
    Server();
    ~Server() override;

    // Declares the user, room, ticker and user-list types (and the search
    // types the senders write), registers their saving, and writes the
    // defaults of the settings the link owns. Run before the saved data is
    // loaded; running it twice does no harm.
    void CreateData();
    // The saving half of CreateData, for when the data saver comes later.
    static void RegisterSaving();

    // Starts a connection attempt: only while disconnected and with a user
    // name set. Emits Connecting. From then on the link is tried again every
    // half minute while it is down.
    void Connect();
    // The user's disconnect: stops any reconnection and closes the link.
    void Disconnect();
    bool IsConnected() const { return m_state == STATE_LOGGED_IN; }
    // True from the sending of a login, or from the first attempt the link
    // makes by itself, until the user disconnects, the account is used
    // elsewhere, or the server refuses the credentials: a failure then is
    // one of a series, not news to the user.
    bool IsAbruptlyDisconnected() const { return m_reconnect; }
    // True while the link, when down, is tried again every half minute.
    bool IsRetrying() const { return m_retry; }
    // Why the last attempt could not reach the server (the socket's own
    // words); empty when it got through.
    QString LastSocketError() const { return m_lastSocketError; }
    State GetState() const { return m_state; }

    // ---- senders; each is dropped while not logged in
    void AddUser(QString const& i_user);
    void TrackUser(QString const& i_user);
    // Emits PrivateChatSent in any case; returns false when nothing was sent.
    bool SendPrivateChat(QString const& i_user, QString const& i_text);
    void SendRoomChat(QString const& i_room, QString const& i_text);
    void EnterRoom(QString const& i_room, bool i_isPrivate);
    void LeaveRoom(QString const& i_room);
    void GetRoomList();
    void EnablePrivateRoomAdd(bool i_enable);
    void SetRoomTicker(QString const& i_room, QString const& i_text);
    void GiveUpPrivateRoom(QString const& i_room);
    void GiveUpPrivateRoomMembership(QString const& i_room);
    void AddPrivateRoomMember(QString const& i_room, QString const& i_user);
    void RemovePrivateRoomMember(QString const& i_room, QString const& i_user);
    void AddPrivateRoomOperator(QString const& i_room, QString const& i_user);
    void RemovePrivateRoomOperator(QString const& i_room, QString const& i_user);
    void MessageUsers(QStringList const& i_users, QString const& i_text);
    void GiftPrivileges(QString const& i_user, int i_days);
    void GetUserStats(QString const& i_user);
    void GetOwnPrivilegesStatus();
    // The three search kinds return the token of the new "search_request".
    quint32 FileSearch(QString const& i_text, QString const& i_wishListText);
    quint32 SearchUserList(QString const& i_text);
    quint32 SearchRoom(QString const& i_room, QString const& i_text);
    void GetSearchCorrelations(QString const& i_text);
    void SendFilesFolders(int i_folders, int i_files);
    void SendUploadSpeed(int i_bytesPerSecond);
    void SendDNetHasParent(bool i_hasParent);
    void SendDNetCanParent(bool i_canParent);
    void SendDNetLevel(int i_level);
    void SendDNetGroupLeader(QString const& i_leader);
    void SendChildDepth(bool i_hasGrandchildren);
    void SetStatus(bool i_away);
    void GetPeerAddress(QString const& i_user);
    void RequestConnectBack(QString const& i_user, quint32 i_token, QString const& i_type);
    void SendCannotConnect(QString const& i_user, quint32 i_token);

    // Where the link connects: the "server_address" setting, parsed.
    static void GetServerAddress(QString& o_host, quint16& o_port);
    // Host and port of an address: "host:port", "[IPv6]:port", a host alone
    // or a bare IPv6 address (a part that is missing keeps the value given).
    // False, with the outputs as far as they were read, when the port is no
    // number from 1 to 65535 or the host is empty.
    static bool SplitServerAddress(QString const& i_address, QString& io_host, quint16& io_port);
    // Time allowed from the start of an attempt to the login answer.
    void SetLoginTimeout(int i_milliseconds);
    // Longest time the link handles frames before it lets the event loop
    // run again (5 ms, SlicedWork::SIDE_BY_SIDE_MS).
    void SetReadSlice(int i_milliseconds) { m_readSliceMs = i_milliseconds; }

    // Applies one decoded message of the server: its store changes and
    // signals. The link calls it for every frame it reads (before the login
    // answer, for that answer only). A join answer, a room list or a
    // room's tickers of more than a hundred entries is applied in slices of
    // the event loop
    // (SlicedWork), the first at once; messages given meanwhile wait and
    // follow it in their order, and the link reads no frame until they are
    // through.
    void Apply(ServerMessage const& i_message);
    // Of a room list, at most this many rooms are taken besides those the
    // user knows for themselves (joined, his own, open on a page); the rooms
    // the last list gave that the next leaves out are dropped, so the list
    // holds at most this many rooms that lists alone named.
    static constexpr std::size_t MAX_LISTED_ROOMS = 20000;
    // A room keeps its newest tickers, at most this many (one per user: a
    // wall of a room of thousands), and of each at most the first
    // MAX_TICKER_CHARACTERS characters. A wall shows one line of each, so
    // this is more than any wall can show; a server that sent 270,000
    // tickers held 1.3 GB, and their wall the window for 17 s.
    static constexpr std::size_t MAX_ROOM_TICKERS = ServerIn::MAX_ROOM_TICKERS;
    static constexpr int MAX_TICKER_CHARACTERS = 1024;
    // Less for tests.
    static void SetMostListedRooms(std::size_t i_rooms) { s_mostListedRooms = i_rooms; }
    // A message is being applied in slices, or messages wait behind one.
    bool IsApplying() const { return m_applying.IsRunning() || !m_waiting.empty(); }
    // Applies all of it here and now.
    void FinishApplying();

signals:
    void Connecting();
    void Connected();
    void Disconnected();
    void ConnectionFailed(QString i_reason);
    void LoggedInElsewhere();
    void AdminMessage(QString i_message);
    void PrivateChat(QString i_user, QString i_chat, time_t i_time, bool i_spontaneous);
    void PrivateChatSent(QString i_user, QString i_chat);
    void RoomChat(QString i_room, QString i_user, QString i_text);
    void DirectFileSearch(QString i_user, quint32 i_req, QString i_search);
    void ReceivedUserStats(QString i_user, UserStats i_stats);
    void ReceivedOwnPrivilegesStatus(int i_seconds);
    void AddUserResponse(QString i_user, bool i_exists);
    void PrivateRoomAddEnabled(bool i_enabled);
    void SearchCorrelations(QString i_term);
    void DNetParentMinSpeed(int i_speed);
    void DNetParentSpeedConnectionRatio(int i_ratio);
    void DNetPossibleParents(PossibleParentList& i_parents);
    void DNetMessage(MemStream& i_message);
    void DNetDeliveryReport(int i_req);
    void DNetReset();
    // Answer to GetPeerAddress; ip 0 when the user is offline or unknown.
    void PeerAddress(QString i_user, quint32 i_ip, int i_port, int i_obfuscatedPort);
    // Another user could not reach us and asks us to connect to him.
    void ConnectBackRequested(QString i_user, QString i_type, quint32 i_ip, int i_port, int i_obfuscatedPort,
                              quint32 i_token, bool i_privileged);
    // A user we asked to connect back could not reach us.
    void CannotConnect(QString i_user, quint32 i_token);

public slots:
    void EveryHalfMinute();  // reconnection
    void EveryFiveMinutes(); // keep-alive

private slots:
    void OnSocketConnected();
    void OnSocketReadyRead();
    void OnSocketError(QAbstractSocket::SocketError i_error);
    void OnSocketDisconnected();
    void OnLoginTimeout();

private:
    // False when the request was dropped (not logged in, or too large).
    bool Send(ServerRequest const& i_request);
    void SendLogin();
    void CloseSocket();
    // The link is gone: store effects, state, signals.
    void LinkLost();
    void FailAttempt(QString const& i_reason);
    // The socket failed: a lost link once logged in, a failed attempt before.
    void DropLink();
    void AfterLogin();
    // Reads and handles frames for one slice of time; schedules the rest.
    void ReadFrames();
    void ScheduleRead();
    // Applies a message of that many entries step by step, in slices when
    // it is long.
    void ApplyInSlices(SlicedWork::Step i_step, std::size_t i_entries);
    // A message applied in slices is through: the waiting ones follow.
    void OnAppliedInSlices();
    void Dispatch(quint32 i_code, MemStream& io_frame);
    quint32 NextToken() { return m_nextToken++; }
    Item NewSearchRequest(quint32 i_token, QString const& i_text);

    // One handler per decoded message.
    void Handle(ServerIn::Malformed const& i_message);
    void Handle(ServerIn::Unknown const& i_message);
    void Handle(ServerIn::LoginAnswer const& i_message);
    void Handle(ServerIn::AddUserAnswer const& i_message);
    void Handle(ServerIn::RoomChat const& i_message);
    void Handle(ServerIn::RoomJoined const& i_message);
    void Handle(ServerIn::RoomLeft const& i_message);
    void Handle(ServerIn::PrivateChat const& i_message);
    void Handle(ServerIn::FileSearch const& i_message);
    void Handle(ServerIn::UserStatsAnswer const& i_message);
    void Handle(ServerIn::RoomList const& i_message);
    void Handle(ServerIn::AdminMessage const& i_message);
    void Handle(ServerIn::ParentMinSpeed const& i_message);
    void Handle(ServerIn::ParentSpeedRatio const& i_message);
    void Handle(ServerIn::DeliveryReport const& i_message);
    void Handle(ServerIn::Privileges const& i_message);
    void Handle(ServerIn::DistributedMessage const& i_message);
    void Handle(ServerIn::PossibleParents const& i_message);
    void Handle(ServerIn::DistributedReset const& i_message);
    void Handle(ServerIn::PrivateRoomAddEnabled const& i_message);
    void Handle(ServerIn::UserStatus const& i_message);
    void Handle(ServerIn::LoggedInElsewhere const& i_message);
    void Handle(ServerIn::PeerAddress const& i_message);
    void Handle(ServerIn::ConnectBack const& i_message);
    void Handle(ServerIn::CannotConnect const& i_message);
    void Handle(ServerIn::RoomTickers const& i_message);
    void Handle(ServerIn::RoomTickerSet const& i_message);
    void Handle(ServerIn::RoomTickerRemoved const& i_message);
    void Handle(ServerIn::UserJoinedRoom const& i_message);
    void Handle(ServerIn::UserLeftRoom const& i_message);
    void Handle(ServerIn::PrivateRoomState const& i_message);
    void Handle(ServerIn::PrivateRoomRemoved const& i_message);
    void Handle(ServerIn::SearchCorrelations const& i_message);

    // Stores what the server told of the user; returns his item.
    Item ApplyUserDetails(QString const& i_name, ServerIn::UserDetails const& i_details);
    void ApplyUserStatus(Item const& i_user, quint32 i_status, bool i_privileged);
    void ApplyUserStats(Item const& i_user, UserStats const& i_stats);
    void SetRoomTicker(Item const& i_room, Item const& i_user, QString const& i_text);
    void UpdateRoomUserCount(Item const& i_room);

    QTcpSocket* mp_socket = nullptr;
    QTimer* mp_loginTimer = nullptr;
    std::unique_ptr<PortMapper> mp_portMapper;
    FrameReader m_reader;
    State m_state = STATE_DISCONNECTED;
    bool m_reconnect = false;
    bool m_retry = false;
    QString m_lastSocketError;
    bool m_joinedAutojoinRooms = false;
    quint64 m_generation = 0;
    quint32 m_nextToken = 0;
    quint64 m_tickerOrder = 0;
    // The rooms the last room list gave, in its order, and those left since:
    // the next list's leaves out of them lose their count.
    std::shared_ptr<std::vector<Item>> m_listedRooms = std::make_shared<std::vector<Item>>();
    int m_readSliceMs = int(SlicedWork::SIDE_BY_SIDE_MS);
    bool m_readScheduled = false;
    SlicedWork m_applying;
    std::deque<ServerMessage> m_waiting;
    static std::size_t s_mostListedRooms;
};

extern Server* gp_server;

#endif
