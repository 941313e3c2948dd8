#include "peers/PeerWire.h"

#include "store/MemStream.h"

#include <QIODevice>
#include <QRandomGenerator>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace PeerWire {

namespace {

// The key word of block n (n counted from the first byte after the key):
// the key rotated left by n + 1 bits.
quint32 BlockKey(quint32 i_key, quint64 i_block)
{
    unsigned l_shift = static_cast<unsigned>((i_block + 1) % 32);
    if (l_shift == 0)
        return i_key;
    return (i_key << l_shift) | (i_key >> (32 - l_shift));
}

} // namespace

void Scramble(quint32 i_key, quint64 i_offset, char* iop_bytes, quint64 i_length)
{
    quint64 l_index = 0;
    while (l_index < i_length) {
        quint64 l_position = i_offset + l_index;
        quint32 l_word = BlockKey(i_key, l_position / 4);
        for (unsigned l_byte = unsigned(l_position % 4); l_byte < 4 && l_index < i_length; ++l_byte, ++l_index)
            iop_bytes[l_index] = static_cast<char>(iop_bytes[l_index] ^ ((l_word >> (8 * l_byte)) & 0xFF));
    }
}

QByteArray BuildFrame(QByteArray const& i_payload, bool i_obfuscated)
{
    return BuildFrame(i_payload, i_obfuscated, i_obfuscated ? QRandomGenerator::global()->generate() : 0);
}

QByteArray BuildFrame(QByteArray const& i_payload, bool i_obfuscated, quint32 i_key)
{
    return FramePiece(i_payload, i_obfuscated, i_key, 0, FrameSize(i_payload.size(), i_obfuscated));
}

qint64 FrameSize(qint64 i_payloadLength, bool i_obfuscated)
{
    return (i_obfuscated ? 8 : 4) + i_payloadLength;
}

QByteArray FramePiece(QByteArray const& i_payload, bool i_obfuscated, quint32 i_key, qint64 i_from,
                      qint64 i_length)
{
    // The key, then the scrambled length and payload.
    char l_head[8];
    qToLittleEndian<quint32>(i_key, l_head);
    qToLittleEndian<quint32>(quint32(i_payload.size()), l_head + 4);
    char const* const lp_head = i_obfuscated ? l_head : l_head + 4;
    qint64 const l_keyBytes = i_obfuscated ? 4 : 0;
    qint64 const l_headBytes = l_keyBytes + 4;
    QByteArray l_piece(int(i_length), Qt::Uninitialized);
    char* const lp_piece = l_piece.data();
    qint64 const l_end = i_from + i_length;
    qint64 l_at = i_from;
    for (; l_at < l_end && l_at < l_headBytes; ++l_at)
        lp_piece[l_at - i_from] = lp_head[l_at];
    if (l_at < l_end)
        memcpy(lp_piece + (l_at - i_from), i_payload.constData() + (l_at - l_headBytes), size_t(l_end - l_at));
    if (i_obfuscated) {
        qint64 const l_scrambled = std::max(i_from, l_keyBytes);
        if (l_scrambled < l_end)
            Scramble(i_key, quint64(l_scrambled - l_keyBytes), lp_piece + (l_scrambled - i_from),
                     quint64(l_end - l_scrambled));
    }
    return l_piece;
}

ReadResult ReadFrame(QIODevice& io_device, bool i_obfuscated, quint32 i_maxLength, QByteArray& o_payload,
                     quint32* op_announcedLength)
{
    qint64 l_header = i_obfuscated ? 8 : 4;
    if (io_device.bytesAvailable() < l_header)
        return ReadResult::Incomplete;
    char l_head[8];
    if (io_device.peek(l_head, l_header) != l_header)
        return ReadResult::Incomplete;
    quint32 l_key = 0;
    char* lp_length = l_head;
    if (i_obfuscated) {
        l_key = qFromLittleEndian<quint32>(l_head);
        lp_length = l_head + 4;
        Scramble(l_key, 0, lp_length, 4);
    }
    quint32 l_length = qFromLittleEndian<quint32>(lp_length);
    if (op_announcedLength)
        *op_announcedLength = l_length;
    if (l_length == 0)
        return ReadResult::Empty;
    if (l_length > i_maxLength)
        return ReadResult::TooLong;
    if (io_device.bytesAvailable() < l_header + qint64(l_length))
        return ReadResult::Incomplete;
    // Only now, with the whole bounded frame buffered, is anything allocated.
    io_device.read(l_head, l_header);
    o_payload.resize(int(l_length));
    if (io_device.read(o_payload.data(), l_length) != qint64(l_length)) {
        o_payload.clear();
        return ReadResult::Incomplete;
    }
    if (i_obfuscated)
        Scramble(l_key, 4, o_payload.data(), l_length);
    return ReadResult::Complete;
}

bool PeekFrameHead(QIODevice& io_device, bool i_obfuscated, int i_bytes, quint32& o_length, QByteArray& o_head)
{
    int const l_header = i_obfuscated ? 8 : 4;
    QByteArray l_bytes = io_device.peek(l_header + i_bytes);
    if (l_bytes.size() != l_header + i_bytes)
        return false;
    if (i_obfuscated)
        Scramble(qFromLittleEndian<quint32>(l_bytes.constData()), 0, l_bytes.data() + 4, quint64(4 + i_bytes));
    o_length = qFromLittleEndian<quint32>(l_bytes.constData() + l_header - 4);
    o_head = l_bytes.mid(l_header);
    return true;
}

QByteArray BuildInitHandshake(QString const& i_ownUser, QString const& i_type)
{
    MemStream l_message;
    l_message.WriteU8(HANDSHAKE_INIT);
    l_message.WriteString(i_ownUser);
    l_message.WriteString(i_type);
    return l_message.ToByteArray();
}

QByteArray BuildConnectBackHandshake(quint32 i_token, QString const& i_ownUser)
{
    MemStream l_message;
    l_message.WriteU8(HANDSHAKE_CONNECT_BACK);
    l_message.WriteU32(i_token);
    l_message.WriteString(i_ownUser);
    return l_message.ToByteArray();
}

bool IsConnectionType(QString const& i_type)
{
    return i_type == QLatin1String("P") || i_type == QLatin1String("F") || i_type == QLatin1String("D");
}

namespace {

bool IsPrivate(quint32 i_ip)
{
    return (i_ip >> 24) == 10 || (i_ip >> 20) == (172u << 4 | 1) || (i_ip >> 16) == (192u << 8 | 168) ||
           (i_ip >> 16) == (169u << 8 | 254);
}

bool IsPublic(quint32 i_ip)
{
    quint32 l_first = i_ip >> 24;
    return i_ip != 0 && !IsPrivate(i_ip) && l_first != 0 && l_first != 127 && l_first < 224;
}

} // namespace

bool AddressMatches(quint32 i_remote, quint32 i_server)
{
    return i_remote != 0 && (i_remote == i_server || (IsPrivate(i_remote) && IsPublic(i_server)));
}

bool ReadFileToken(QIODevice& io_device, quint32& o_token)
{
    char l_bytes[FILE_TOKEN_BYTES];
    if (io_device.bytesAvailable() < FILE_TOKEN_BYTES || io_device.read(l_bytes, FILE_TOKEN_BYTES) != FILE_TOKEN_BYTES)
        return false;
    o_token = qFromLittleEndian<quint32>(l_bytes);
    return true;
}

bool DecodeFileOffset(char const* ip_bytes, qint64 i_size, qint64& o_offset)
{
    o_offset = qFromLittleEndian<qint64>(ip_bytes);
    return o_offset >= 0 && o_offset <= i_size;
}

bool ParseHandshake(QByteArray const& i_payload, Handshake& o_handshake)
{
    MemStream l_message(i_payload);
    o_handshake = Handshake();
    if (!l_message.ReadU8(o_handshake.m_code))
        return false;
    if (o_handshake.m_code == HANDSHAKE_INIT) {
        if (!l_message.ReadString(o_handshake.m_user) || !l_message.ReadString(o_handshake.m_type))
            return false;
        if (!IsConnectionType(o_handshake.m_type))
            return false;
    } else if (o_handshake.m_code == HANDSHAKE_CONNECT_BACK) {
        if (!l_message.ReadU32(o_handshake.m_token) || !l_message.ReadString(o_handshake.m_user))
            return false;
    } else {
        return false;
    }
    // Trailing bytes mean the two sides disagree on the format.
    if (l_message.BytesAvailable() != 0)
        return false;
    return !o_handshake.m_user.isEmpty();
}

} // namespace PeerWire
