#ifndef QUILLMAR_SHARES_DNETWIRE_H
#define QUILLMAR_SHARES_DNETWIRE_H

// Frames and messages of distributed ("D") connections, and of their copy
// inside server message 93 (docs/protocol.md, "Distributed search
// messages"). Plain functions from bytes to records and back: no store,
// signal or socket.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace DNetWire {

// A frame is a u32 length n, then n bytes of message. No message of ours
// comes near this bound; a frame of length 0 or above it is refused.
constexpr quint32 MAX_FRAME_LENGTH = 64 * 1024;

enum Code : quint8 {
    SEARCH = 3,       // parent to child
    LEVEL = 4,        // parent to child
    GROUP_LEADER = 5, // parent to child
    CHILD_DEPTH = 7   // child to parent
};
constexpr qint32 SEARCH_REQUEST = 49; // the sub-code of a search

struct Message
{
    quint8 m_code = 0;
    qint32 m_subCode = 0; // SEARCH
    QString m_user;       // SEARCH_REQUEST: the searcher
    quint32 m_token = 0;  // SEARCH_REQUEST: the searcher's request number
    QString m_query;      // SEARCH_REQUEST
    qint32 m_number = 0;  // LEVEL: the sender's level; CHILD_DEPTH: the depth
    QString m_leader;     // GROUP_LEADER
};

enum class Decoded {
    Ok,       // the fields of a known code were read; other codes carry only m_code
    NoCode,   // not even the code byte
    CutShort, // the fields of a known code end early
    BadValue  // a level below -1, a depth below 0, a leader that is no user name
};

Decoded Decode(char const* ip_bytes, quint64 i_length, Message& o_message);

// Whether a frame of that length may be read.
inline bool FrameLengthAllowed(quint32 i_length)
{
    return i_length > 0 && i_length <= MAX_FRAME_LENGTH;
}

// The frame around a message.
QByteArray Frame(char const* ip_message, quint64 i_length);
QByteArray Frame(QByteArray const& i_message);

QByteArray SearchMessage(QString const& i_user, quint32 i_token, QString const& i_query);
QByteArray LevelMessage(qint32 i_level);
QByteArray GroupLeaderMessage(QString const& i_leader);
QByteArray ChildDepthMessage(qint32 i_depth);

} // namespace DNetWire

#endif
