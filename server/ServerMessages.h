#ifndef QUILLMAR_SERVER_SERVERMESSAGES_H
#define QUILLMAR_SERVER_SERVERMESSAGES_H

// The messages of the server link as plain records: a decoder from the
// payload of each message the server sends, and an encoder for each request
// the client sends. Nothing here touches the store, a signal or a socket;
// the link (Server) applies what was decoded. Layouts: docs/protocol.md,
// "Server protocol".
//
// Every bound on what the server may say is checked here: strings of at most
// NETWORK_STRING_LIMIT bytes, list counts that the payload can actually hold,
// names of users and rooms that are not empty and hold no NUL, statuses that
// exist, and ports that fit in 16 bits.

#include "server/ServerCodes.h"
#include "server/TCPAddress.h"
#include "store/MemStream.h"
#include "store/UserStats.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

namespace ServerIn {

// Records compare field by field (their Tie()), which is what the tests and
// the fuzz targets need.
template <class T>
auto operator==(T const& i_a, T const& i_b) -> decltype(i_a.Tie() == i_b.Tie())
{
    return i_a.Tie() == i_b.Tie();
}

// Status, statistics, country and privilege, as the add-user answer and the
// room messages describe a user.
struct UserDetails
{
    quint32 m_status = STATUS_OFFLINE;
    UserStats m_stats;
    QString m_country;
    bool m_privileged = false;
    auto Tie() const { return std::tie(m_status, m_stats, m_country, m_privileged); }
};

struct Member
{
    QString m_name;
    UserDetails m_details;
    auto Tie() const { return std::tie(m_name, m_details); }
};

struct LoginAnswer
{
    bool m_success = false;
    QString m_text; // the greeting, or the reason of a refusal
    auto Tie() const { return std::tie(m_success, m_text); }
};

struct AddUserAnswer
{
    QString m_user;
    bool m_exists = false;
    UserDetails m_details; // only when he exists
    auto Tie() const { return std::tie(m_user, m_exists, m_details); }
};

struct RoomChat
{
    QString m_room, m_user, m_text;
    auto Tie() const { return std::tie(m_room, m_user, m_text); }
};

struct RoomJoined
{
    QString m_room;
    std::vector<Member> m_members;
    auto Tie() const { return std::tie(m_room, m_members); }
};

struct RoomLeft
{
    QString m_room;
    auto Tie() const { return std::tie(m_room); }
};

struct PrivateChat
{
    quint32 m_id = 0;
    quint32 m_time = 0; // seconds since 1970, UTC
    QString m_user, m_text;
    bool m_new = false; // false: held while we were offline
    auto Tie() const { return std::tie(m_id, m_time, m_user, m_text, m_new); }
};

struct FileSearch
{
    QString m_user;
    quint32 m_token = 0;
    QString m_query;
    auto Tie() const { return std::tie(m_user, m_token, m_query); }
};

struct UserStatsAnswer
{
    QString m_user;
    UserStats m_stats;
    auto Tie() const { return std::tie(m_user, m_stats); }
};

struct ListedRoom
{
    QString m_name;
    quint32 m_users = 0;
    auto Tie() const { return std::tie(m_name, m_users); }
};

struct RoomList
{
    std::vector<ListedRoom> m_public, m_owned, m_member;
    std::vector<QString> m_operated;
    auto Tie() const { return std::tie(m_public, m_owned, m_member, m_operated); }
};

struct AdminMessage
{
    QString m_text;
    auto Tie() const { return std::tie(m_text); }
};

struct ParentMinSpeed
{
    qint32 m_speed = 0;
    auto Tie() const { return std::tie(m_speed); }
};

struct ParentSpeedRatio
{
    qint32 m_ratio = 0;
    auto Tie() const { return std::tie(m_ratio); }
};

struct DeliveryReport
{
    qint32 m_value = 0;
    auto Tie() const { return std::tie(m_value); }
};

struct Privileges
{
    qint32 m_seconds = 0;
    auto Tie() const { return std::tie(m_seconds); }
};

// The embedded distributed message is read by the distributed network, not
// here: the record holds the frame, its read position at that message.
struct DistributedMessage
{
    MemStream m_message;
    auto Tie() const { return std::make_tuple(m_message.ToByteArray(m_message.ReadIndex())); }
};

struct PossibleParents
{
    PossibleParentList m_parents;
    quint32 m_skipped = 0; // entries whose port nobody can be reached on
    auto Tie() const { return std::tie(m_parents, m_skipped); }
};

struct DistributedReset
{
    auto Tie() const { return std::tie(); }
};

struct PrivateRoomAddEnabled
{
    bool m_enabled = false;
    auto Tie() const { return std::tie(m_enabled); }
};

struct UserStatus
{
    QString m_user;
    quint32 m_status = STATUS_OFFLINE;
    bool m_privileged = false;
    auto Tie() const { return std::tie(m_user, m_status, m_privileged); }
};

struct LoggedInElsewhere
{
    auto Tie() const { return std::tie(); }
};

struct PeerAddress
{
    QString m_user;
    quint32 m_ip = 0; // 0: offline or unknown
    int m_port = 0;
    int m_obfuscatedPort = 0;
    auto Tie() const { return std::tie(m_user, m_ip, m_port, m_obfuscatedPort); }
};

struct ConnectBack
{
    QString m_user, m_type;
    quint32 m_ip = 0;
    int m_port = 0;
    quint32 m_token = 0;
    bool m_privileged = false;
    int m_obfuscatedPort = 0;
    auto Tie() const { return std::tie(m_user, m_type, m_ip, m_port, m_token, m_privileged, m_obfuscatedPort); }
};

struct CannotConnect
{
    quint32 m_token = 0;
    QString m_user;
    auto Tie() const { return std::tie(m_token, m_user); }
};

// A room keeps its newest tickers, at most this many (Server.h): of a
// longer list the decoder reads only the last, passing over the others
// (their lengths and names are checked all the same).
constexpr std::size_t MAX_ROOM_TICKERS = 1000;

struct RoomTickers
{
    QString m_room;
    std::vector<std::pair<QString, QString>> m_tickers; // user, text
    auto Tie() const { return std::tie(m_room, m_tickers); }
};

struct RoomTickerSet
{
    QString m_room, m_user, m_text;
    auto Tie() const { return std::tie(m_room, m_user, m_text); }
};

struct RoomTickerRemoved
{
    QString m_room, m_user;
    auto Tie() const { return std::tie(m_room, m_user); }
};

struct UserJoinedRoom
{
    QString m_room;
    Member m_member;
    auto Tie() const { return std::tie(m_room, m_member); }
};

struct UserLeftRoom
{
    QString m_room, m_user;
    auto Tie() const { return std::tie(m_room, m_user); }
};

struct PrivateRoomState
{
    QString m_room;
    QString m_owner; // empty: none
    std::vector<QString> m_members, m_operators;
    auto Tie() const { return std::tie(m_room, m_owner, m_members, m_operators); }
};

struct PrivateRoomRemoved
{
    QString m_room;
    auto Tie() const { return std::tie(m_room); }
};

struct SearchCorrelations
{
    QString m_term;
    std::vector<std::pair<QString, qint32>> m_related; // text, rank
    auto Tie() const { return std::tie(m_term, m_related); }
};

// A code the client does not know: skipped, the link stays up.
struct Unknown
{
    quint32 m_code = 0;
    auto Tie() const { return std::tie(m_code); }
};

// A message that ended early or held a bad field: dropped whole.
struct Malformed
{
    quint32 m_code = 0;
    QString m_reason;
    auto Tie() const { return std::tie(m_code, m_reason); }
};

} // namespace ServerIn

using ServerMessage =
    std::variant<ServerIn::Malformed, ServerIn::Unknown, ServerIn::LoginAnswer, ServerIn::AddUserAnswer,
                 ServerIn::RoomChat, ServerIn::RoomJoined, ServerIn::RoomLeft, ServerIn::PrivateChat,
                 ServerIn::FileSearch, ServerIn::UserStatsAnswer, ServerIn::RoomList, ServerIn::AdminMessage,
                 ServerIn::ParentMinSpeed, ServerIn::ParentSpeedRatio, ServerIn::DeliveryReport,
                 ServerIn::Privileges, ServerIn::DistributedMessage, ServerIn::PossibleParents,
                 ServerIn::DistributedReset, ServerIn::PrivateRoomAddEnabled, ServerIn::UserStatus,
                 ServerIn::LoggedInElsewhere, ServerIn::PeerAddress, ServerIn::ConnectBack,
                 ServerIn::CannotConnect, ServerIn::RoomTickers, ServerIn::RoomTickerSet,
                 ServerIn::RoomTickerRemoved, ServerIn::UserJoinedRoom, ServerIn::UserLeftRoom,
                 ServerIn::PrivateRoomState, ServerIn::PrivateRoomRemoved, ServerIn::SearchCorrelations>;

// What the network takes for a user name: not empty, at most
// MAX_USER_NAME_BYTES of UTF-8, no blank at either end and no control
// character. The server refuses others at login; names that peers pass on
// (a searcher, a group leader) are held to the same rule.
bool IsUserName(QString const& i_name);

// Reads the payload of one message from the server (the stream's read
// position just after the code). Bytes after the last field are ignored.
// The stream's read string limit is set to the network's.
ServerMessage DecodeServerMessage(quint32 i_code, InputStream& io_payload);

// A request of the client: its code and payload.
struct ServerRequest
{
    quint32 m_code = 0;
    MemStream m_payload;
};

namespace ServerOut {

ServerRequest Login(QString const& i_user, QString const& i_password);
ServerRequest ListeningPorts(quint32 i_port, quint32 i_obfuscatedPort);
ServerRequest KeepAlive();
ServerRequest SetStatus(bool i_away);
ServerRequest AddUser(QString const& i_user);
ServerRequest RoomChat(QString const& i_room, QString const& i_text);
ServerRequest JoinRoom(QString const& i_room, bool i_private);
ServerRequest LeaveRoom(QString const& i_room);
// The text as a private message carries it: line breaks become blanks.
QString OneLine(QString i_text);
// The text goes as OneLine gives it. Nothing when a string is longer than
// the server takes (it would drop the message while we took it for sent).
std::optional<ServerRequest> PrivateChat(QString const& i_user, QString const& i_text);
ServerRequest PrivateChatReceived(quint32 i_id);
ServerRequest MessageUsers(QStringList const& i_users, QString const& i_text);
ServerRequest GiftPrivileges(QString const& i_user, qint32 i_days);
ServerRequest GetUserStats(QString const& i_user);
ServerRequest GetOwnPrivileges();
ServerRequest GetRoomList();
// An ordinary search (26), or a wish-list search (207).
ServerRequest FileSearch(quint32 i_token, QString const& i_text, bool i_wishList);
ServerRequest UserSearch(QString const& i_user, quint32 i_token, QString const& i_text);
ServerRequest RoomSearch(QString const& i_room, quint32 i_token, QString const& i_text);
ServerRequest GetSearchCorrelations(QString const& i_text);
ServerRequest SharedFoldersFiles(qint32 i_folders, qint32 i_files);
ServerRequest UploadSpeed(qint32 i_bytesPerSecond);
ServerRequest SetRoomTicker(QString const& i_room, QString const& i_text);
ServerRequest EnablePrivateRoomAdd(bool i_enable);
// The room requests of one string (136, 137) or a room and a user (134,
// 135, 143, 144).
ServerRequest RoomRequest(quint32 i_code, QString const& i_room);
ServerRequest RoomUserRequest(quint32 i_code, QString const& i_room, QString const& i_user);
// The distributed-network reports of one bool (71, 100, 129) or one i32 (126).
ServerRequest DistributedFlag(quint32 i_code, bool i_value);
ServerRequest DistributedLevel(qint32 i_level);
ServerRequest DistributedGroupLeader(QString const& i_leader);
ServerRequest GetPeerAddress(QString const& i_user);
ServerRequest ConnectBack(quint32 i_token, QString const& i_user, QString const& i_type);
ServerRequest CannotConnect(quint32 i_token, QString const& i_user);

} // namespace ServerOut

#endif
