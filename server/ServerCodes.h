#ifndef QUILLMAR_SERVER_SERVERCODES_H
#define QUILLMAR_SERVER_SERVERCODES_H

// Message codes and limits of the link to the central server; the layouts
// are in docs/protocol.md ("Server protocol"). Shared by the client and the
// stand-in server so that both always speak the same protocol.

#include <QtGlobal>

// Longest user name, in bytes of UTF-8.
constexpr int MAX_USER_NAME_BYTES = 30;

namespace ServerCode {
enum : quint32 {
    ADD_USER = 5,
    ROOM_CHAT = 13,
    JOIN_ROOM = 14,
    LEAVE_ROOM = 15,
    PRIVATE_CHAT = 22,
    FILE_SEARCH = 26,
    SHARED_FOLDERS_FILES = 35,
    USER_STATS = 36,
    ROOM_LIST = 64,
    ADMIN_MESSAGE = 66,
    DNET_HAS_PARENT = 71,
    DNET_PARENT_MIN_SPEED = 83,
    DNET_PARENT_SPEED_RATIO = 84,
    PRIVILEGES = 92,
    DNET_MESSAGE = 93,
    DNET_CAN_PARENT = 100,
    DNET_POSSIBLE_PARENTS = 102,
    SET_ROOM_TICKER = 116,
    UPLOAD_SPEED = 121,
    GIFT_PRIVILEGES = 123,
    DNET_LEVEL = 126,
    DNET_GROUP_LEADER = 127,
    DNET_DELIVERY_REPORT = 128,
    DNET_CHILD_DEPTH = 129,
    DNET_RESET = 130,
    PRIVATE_ROOM_ADD_MEMBER = 134,
    PRIVATE_ROOM_REMOVE_MEMBER = 135,
    PRIVATE_ROOM_GIVE_UP_MEMBERSHIP = 136,
    PRIVATE_ROOM_GIVE_UP_OWNERSHIP = 137,
    PRIVATE_ROOM_ADD_ENABLED = 141,
    PRIVATE_ROOM_ADD_OPERATOR = 143,
    PRIVATE_ROOM_REMOVE_OPERATOR = 144,
    MESSAGE_USERS = 149,

    // The project's own codes, all above 200.
    LOGIN = 201,
    KEEP_ALIVE = 202,
    SET_STATUS = 203,
    USER_STATUS = 204,
    LOGGED_IN_ELSEWHERE = 205,
    PRIVATE_CHAT_ACK = 206,
    WISH_LIST_SEARCH = 207,
    USER_SEARCH = 208,
    ROOM_SEARCH = 209,
    PEER_ADDRESS = 210,
    CONNECT_BACK = 211,
    CANNOT_CONNECT = 212,
    LISTENING_PORTS = 213,
    ROOM_TICKERS = 214,
    ROOM_TICKER_SET = 215,
    ROOM_TICKER_REMOVED = 216,
    USER_JOINED_ROOM = 217,
    USER_LEFT_ROOM = 218,
    PRIVATE_ROOM_STATE = 219,
    PRIVATE_ROOM_REMOVED = 221,
    SEARCH_CORRELATIONS = 230
};
}

// User status on the wire.
enum ServerUserStatus : quint32 { STATUS_OFFLINE = 0, STATUS_AWAY = 1, STATUS_ONLINE = 2 };

// A frame's length counts its code and payload. Anything outside these
// bounds is not a frame of ours: the link is closed.
constexpr quint32 SERVER_FRAME_MIN = 4;
constexpr quint32 SERVER_FRAME_MAX = 4u * 1024 * 1024;

constexpr quint16 DEFAULT_SERVER_PORT = 2242;
constexpr char const* DEFAULT_SERVER_HOST = "localhost";

#endif
