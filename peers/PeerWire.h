#ifndef QUILLMAR_PEERS_PEERWIRE_H
#define QUILLMAR_PEERS_PEERWIRE_H

// Framing of peer connections: a u32 little-endian length, then that many
// bytes. On connections to or from the obfuscated port each frame is sent
// behind a fresh 4-byte key and scrambled with a key stream derived from it.
// The scrambling only hides the traffic pattern from naive inspection; it is
// not encryption and gives no secrecy against anyone who knows this file.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QIODevice;

namespace PeerWire {

// Handshake frames are tiny; anything longer is not a handshake.
constexpr quint32 MAX_HANDSHAKE_LENGTH = 4096;
// Largest messaging frame accepted (a compressed share list is the biggest).
constexpr quint32 MAX_MESSAGE_LENGTH = 64u * 1024 * 1024;

// Handshake codes (first byte of the first frame on every connection).
constexpr quint8 HANDSHAKE_CONNECT_BACK = 0; // u32 token, string user
constexpr quint8 HANDSHAKE_INIT = 1;         // string user, string type

// Applies (or removes: it is its own inverse) the key stream of i_key to
// bytes that start i_offset bytes after the key. i_offset must be a multiple
// of 4 except for the last call on a frame.
void Scramble(quint32 i_key, quint64 i_offset, char* iop_bytes, quint64 i_length);

// One complete frame ready to write: plain, or key + scrambled frame.
QByteArray BuildFrame(QByteArray const& i_payload, bool i_obfuscated);
QByteArray BuildFrame(QByteArray const& i_payload, bool i_obfuscated, quint32 i_key);
// The bytes of a frame of i_payloadLength bytes: its header and, when
// obfuscated, its key.
qint64 FrameSize(qint64 i_payloadLength, bool i_obfuscated);
// Bytes [i_from, i_from + i_length) of BuildFrame(i_payload, i_obfuscated,
// i_key), made without the rest: a large frame goes out piece by piece
// rather than copied whole at once.
QByteArray FramePiece(QByteArray const& i_payload, bool i_obfuscated, quint32 i_key, qint64 i_from,
                      qint64 i_length);

enum class ReadResult {
    Incomplete, // not a whole frame yet; nothing consumed
    Complete,   // o_payload holds the frame; exactly its bytes were consumed
    Empty,      // a zero-length frame; nothing consumed
    TooLong     // the announced length passes i_maxLength; nothing consumed
};

// Reads one frame from the device without ever consuming a byte beyond it,
// so that whatever follows stays readable by the socket's next owner.
ReadResult ReadFrame(QIODevice& io_device, bool i_obfuscated, quint32 i_maxLength,
                     QByteArray& o_payload, quint32* op_announcedLength = nullptr);

// The announced length of the frame at the device's read position and the
// first i_bytes of its payload, unscrambled, without consuming anything;
// false until all of those have arrived.
bool PeekFrameHead(QIODevice& io_device, bool i_obfuscated, int i_bytes, quint32& o_length, QByteArray& o_head);

QByteArray BuildInitHandshake(QString const& i_ownUser, QString const& i_type);
QByteArray BuildConnectBackHandshake(quint32 i_token, QString const& i_ownUser);

struct Handshake
{
    quint8 m_code = 0;
    QString m_user;
    QString m_type;    // "P", "F" or "D" (init only)
    quint32 m_token = 0; // connect-back only
};

// False for anything but a well-formed handshake with a user name and a
// known connection type.
bool ParseHandshake(QByteArray const& i_payload, Handshake& o_handshake);

bool IsConnectionType(QString const& i_type);

// The file-connection exchange (docs/protocol.md): after the handshake, the
// uploader's u32 token, then the downloader's i64 start offset, nothing
// framed; the file's bytes follow the offset.
constexpr qint64 FILE_TOKEN_BYTES = 4;
constexpr qint64 FILE_OFFSET_BYTES = 8;
// The token once all its bytes are there (false before), consuming them
// and nothing after them: what follows is the socket's next owner's.
bool ReadFileToken(QIODevice& io_device, quint32& o_token);
// The offset in its FILE_OFFSET_BYTES bytes, for a file of i_size bytes:
// false for one below 0 or past the end.
bool DecodeFileOffset(char const* ip_bytes, qint64 i_size, qint64& o_offset);

// Whether a connection from IPv4 address i_remote can be the user whom the
// server places at i_server: the same address, or a neighbour behind the
// same router (a private address here, a public one at the server).
bool AddressMatches(quint32 i_remote, quint32 i_server);

} // namespace PeerWire

#endif
