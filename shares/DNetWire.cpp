#include "shares/DNetWire.h"

#include "server/ServerMessages.h"
#include "store/MemStream.h"

#include <limits>

namespace DNetWire {

Decoded Decode(char const* ip_bytes, quint64 i_length, Message& o_message)
{
    o_message = Message();
    MemStream l_in(ip_bytes, static_cast<unsigned long>(i_length));
    if (!l_in.ReadU8(o_message.m_code))
        return Decoded::NoCode;
    switch (o_message.m_code) {
    case SEARCH:
        // Only searches are read; other sub-codes are passed on unread.
        if (!l_in.ReadI32(o_message.m_subCode))
            return Decoded::CutShort;
        if (o_message.m_subCode == SEARCH_REQUEST
            && !(l_in.ReadString(o_message.m_user) && l_in.ReadU32(o_message.m_token)
                 && l_in.ReadString(o_message.m_query)))
            return Decoded::CutShort;
        return Decoded::Ok;
    case LEVEL:
    case CHILD_DEPTH: {
        if (!l_in.ReadI32(o_message.m_number))
            return Decoded::CutShort;
        // -1 is "unknown"; nothing else below 0 is a level or a depth, and
        // the greatest number has no level below it.
        qint32 const l_lowest = o_message.m_code == LEVEL ? -1 : 0;
        if (o_message.m_number < l_lowest || o_message.m_number == std::numeric_limits<qint32>::max())
            return Decoded::BadValue;
        return Decoded::Ok;
    }
    case GROUP_LEADER:
        if (!l_in.ReadString(o_message.m_leader))
            return Decoded::CutShort;
        // The leader is told to the server and passed on: a name, not 64 KiB.
        return IsUserName(o_message.m_leader) ? Decoded::Ok : Decoded::BadValue;
    default:
        return Decoded::Ok;
    }
}

QByteArray Frame(char const* ip_message, quint64 i_length)
{
    MemStream l_frame;
    l_frame.WriteU32(quint32(i_length));
    l_frame.WriteBuffer(ip_message, static_cast<unsigned long>(i_length));
    return l_frame.ToByteArray();
}

QByteArray Frame(QByteArray const& i_message)
{
    return Frame(i_message.constData(), quint64(i_message.size()));
}

QByteArray SearchMessage(QString const& i_user, quint32 i_token, QString const& i_query)
{
    MemStream l_message;
    l_message.WriteU8(SEARCH);
    l_message.WriteI32(SEARCH_REQUEST);
    l_message.Write(i_user);
    l_message.WriteU32(i_token);
    l_message.Write(i_query);
    return l_message.ToByteArray();
}

namespace {

QByteArray NumberMessage(quint8 i_code, qint32 i_number)
{
    MemStream l_message;
    l_message.WriteU8(i_code);
    l_message.WriteI32(i_number);
    return l_message.ToByteArray();
}

} // namespace

QByteArray LevelMessage(qint32 i_level)
{
    return NumberMessage(LEVEL, i_level);
}

QByteArray ChildDepthMessage(qint32 i_depth)
{
    return NumberMessage(CHILD_DEPTH, i_depth);
}

QByteArray GroupLeaderMessage(QString const& i_leader)
{
    MemStream l_message;
    l_message.WriteU8(GROUP_LEADER);
    l_message.Write(i_leader);
    return l_message.ToByteArray();
}

} // namespace DNetWire
