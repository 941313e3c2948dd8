#ifndef QUILLMAR_TESTS_PEERS_PEERTESTSUPPORT_H
#define QUILLMAR_TESTS_PEERS_PEERTESTSUPPORT_H

// A raw peer for the tests: a plain QTcpSocket on 127.0.0.1 that speaks the
// peer protocol byte by byte, so that the messenger is tested against the
// wire format and not against itself.

#include "peers/PeerWire.h"
#include "server/StoreTypes.h"
#include "store/Data.h"
#include "store/MemStream.h"
#include "tests/HoldingListener.h"
#include "tests/Waits.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <functional>
#include <memory>
#include <vector>

#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

// Hex with blanks for reading; text parts are appended as they are.
inline QByteArray H(char const* ip_hex)
{
    return QByteArray::fromHex(ip_hex);
}

inline QByteArray Le32(quint32 i_value)
{
    MemStream l_bytes;
    l_bytes.WriteU32(i_value);
    return l_bytes.ToByteArray();
}

inline QByteArray Zlib(QByteArray const& i_record)
{
    QByteArray l_out;
    ZlibCompress(i_record.constData(), quint64(i_record.size()), l_out);
    return l_out;
}

// Sample messages, as a peer writes them.
// FileInfo "b.mp3", 9 bytes, "mp3", attributes in the order given.
inline QByteArray const MP3_FILE = H("01 05000000") + "b.mp3" + H("0900000000000000 03000000") + "mp3" +
                                   H("03000000 02000000 01000000 00000000 80000000 00000000 80000000");
inline QByteArray const PLAIN_FILE = H("01 05000000") + "a.mp3" + H("0500000000000000 00000000 00000000");

inline QByteArray const SHARE_RECORD = H("02000000 03000000") + "m\\a" + H("02000000") + MP3_FILE + PLAIN_FILE +
                                       H("07000000") + "m\\empty" + H("00000000 01000000 01000000 06000000") + "length";
inline QByteArray const ANSWER_RECORD = H("05000000") + "alice" + H("e9030000 02000000") + PLAIN_FILE + MP3_FILE +
                                        H("01 40e20100 03000000 00000000");
inline QByteArray const FOLDER_RECORD = H("09000000 03000000") + "m\\a" + H("01000000 03000000") + "m\\a" +
                                        H("01000000") + PLAIN_FILE + H("00000000");

// Messages whose every field is required: any cut of them is malformed.
inline QList<QByteArray> const WHOLE_MESSAGES = {
    H("10000000 02000000") + "hi" + H("01 03000000") + "PNG" + H("02000000 05000000 01"),
    H("24000000 09000000 03000000") + "a\\b",
    H("28000000 01000000 4d000000 03000000") + "x\\y" + H("6300000000000000"),
    H("29000000 07000000 00 09000000") + "Cancelled",
    H("2b000000 03000000") + "q\\r",
    H("2c000000 03000000") + "q\\r" + H("04000000"),
    H("2e000000 03000000") + "q\\s",
    H("32000000 03000000") + "q\\t" + H("06000000") + "Banned",
    H("33000000 03000000") + "q\\u",
    H("3c000000 03000000") + "q\\v" + H("2a00000000000000"),
};

// A search answer (message 9) for token i_token with i_files files of one
// folder, each 21 bytes on the wire, named from i_first on.
inline QByteArray AnswerMessage(quint32 i_token, int i_files = 2, char i_first = 'a')
{
    QByteArray l_record = H("05000000") + "alice" + Le32(i_token) + Le32(quint32(i_files));
    for (int l_file = 0; l_file < i_files; ++l_file)
        l_record += H("01 07000000") + "m\\" + char(i_first + l_file % 26) + ".mp3" + H("8813000000000000 03000000") +
                    "mp3" + H("02000000 00000000 40010000 02000000 01000000");
    l_record += H("01 40e20100 03000000 00000000");
    return Le32(9) + Zlib(l_record);
}

// Message i_code with the payload given in hex and text parts.
inline QByteArray Msg(quint32 i_code, QByteArray const& i_payload = QByteArray())
{
    return Le32(i_code) + i_payload;
}

// The framed handshake with which a test peer opens a connection.
inline QByteArray HandshakeFrame(QString const& i_user, QString const& i_type, bool i_obfuscated = false)
{
    return PeerWire::BuildFrame(PeerWire::BuildInitHandshake(i_user, i_type), i_obfuscated);
}

inline quint32 LocalIp()
{
    return QHostAddress(QHostAddress::LocalHost).toIPv4Address();
}

// A loopback port that nobody listens on (the system picked it, then it
// was given up), for attempts that must be refused.
inline quint16 ClosedPort()
{
    QTcpServer l_server;
    l_server.listen(QHostAddress::LocalHost, 0);
    quint16 l_port = l_server.serverPort();
    l_server.close();
    return l_port;
}

// Points the stored address of a user at this machine, as the server would.
inline void SetUserAddress(QString const& i_user, quint16 i_port)
{
    Item l_user = d.GetType("user")->GetItem(Value(i_user));
    SetAttribute(l_user, "user_address", Value(static_cast<unsigned long long>(LocalIp())));
    SetAttribute(l_user, "user_port", Value(int(i_port)));
}

// A loopback port where a connection attempt hangs: the listener's queue
// is full (the first filler connection is in it), so the system drops
// further connection requests.
class HangingPort
{
public:
    HangingPort()
    {
        sockaddr_in l_address{};
        l_address.sin_family = AF_INET;
        l_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        l_address.sin_port = htons(m_listener.Port());
        for (int l_filler = 0; l_filler < 2; ++l_filler) {
            m_fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            ::connect(m_fillers.back(), reinterpret_cast<sockaddr*>(&l_address), sizeof l_address);
        }
        pollfd l_fillers[2] = {{m_fillers[0], POLLOUT, 0}, {m_fillers[1], POLLOUT, 0}};
        ::poll(l_fillers, 2, WAIT_MS);
    }
    ~HangingPort()
    {
        for (int l_fd : m_fillers)
            ::close(l_fd);
    }
    quint16 Port() const { return m_listener.Port(); }

private:
    HoldingListener m_listener{0};
    std::vector<int> m_fillers;
};

// Connects (from i_from, a loopback address) and waits for the connection.
inline std::unique_ptr<QTcpSocket> ConnectRaw(quint16 i_port, char const* ip_from = nullptr)
{
    auto lp_socket = std::make_unique<QTcpSocket>();
    if (ip_from)
        lp_socket->bind(QHostAddress(QString::fromLatin1(ip_from)), 0);
    lp_socket->connectToHost(QHostAddress::LocalHost, i_port);
    if (!lp_socket->waitForConnected(WAIT_MS))
        return nullptr;
    return lp_socket;
}

// Waits (running the event loop) for one whole frame on a raw socket.
inline bool AwaitFrame(QTcpSocket& io_socket, QByteArray& o_payload, bool i_obfuscated = false, int i_ms = WAIT_MS)
{
    return WaitUntil([&]() {
        return PeerWire::ReadFrame(io_socket, i_obfuscated, PeerWire::MAX_MESSAGE_LENGTH, o_payload) ==
               PeerWire::ReadResult::Complete;
    }, i_ms);
}

// The connection the messenger opened to a test peer's listener, once the
// handshake it sends first has arrived; null when either does not come.
inline std::unique_ptr<QTcpSocket> AcceptHandshake(QTcpServer& io_server, PeerWire::Handshake& o_handshake,
                                                   int i_ms = WAIT_MS)
{
    if (!WaitUntil([&io_server]() { return io_server.hasPendingConnections(); }, i_ms))
        return nullptr;
    std::unique_ptr<QTcpSocket> lp_socket(io_server.nextPendingConnection());
    QByteArray l_payload;
    if (!AwaitFrame(*lp_socket, l_payload, false, i_ms) || !PeerWire::ParseHandshake(l_payload, o_handshake))
        return nullptr;
    return lp_socket;
}

// Whether all that was written on io_from has been taken off the system by
// the socket at the other end (its descriptor i_to; it may work on another
// thread): the system holds none of it unsent, unacknowledged or unread.
// Waiting for this after each write is what makes pieces arrive apart:
// pieces written in a row may otherwise be read together, and a case of
// pieces silently becomes a case of one.
inline bool OffTheWire(QTcpSocket& io_from, qintptr i_to)
{
    auto const l_queued = [](qintptr i_descriptor, unsigned long i_request) {
        int l_bytes = 0;
        return i_descriptor >= 0 && ::ioctl(int(i_descriptor), i_request, &l_bytes) == 0 ? l_bytes : -1;
    };
    io_from.flush();
    return io_from.bytesToWrite() == 0 && l_queued(io_from.socketDescriptor(), SIOCOUTQ) == 0
           && l_queued(i_to, FIONREAD) == 0;
}

// The descriptor of i_owner's socket (among its children) at the other end
// of the loopback connection i_near, or -1.
inline qintptr FarDescriptor(QObject const& i_owner, QTcpSocket const& i_near)
{
    for (QTcpSocket const* lp_socket : i_owner.findChildren<QTcpSocket*>())
        if (lp_socket->localPort() == i_near.peerPort() && lp_socket->peerPort() == i_near.localPort())
            return lp_socket->socketDescriptor();
    return -1;
}

// Runs the event loop until OffTheWire.
inline bool ReadOffTheWire(QTcpSocket& io_from, qintptr i_to)
{
    return WaitUntil([&io_from, i_to]() { return OffTheWire(io_from, i_to); });
}

inline bool AwaitClosed(QTcpSocket& io_socket, int i_ms = WAIT_MS)
{
    return WaitUntil([&io_socket]() {
        io_socket.readAll();
        return io_socket.state() == QAbstractSocket::UnconnectedState;
    }, i_ms);
}

#endif
