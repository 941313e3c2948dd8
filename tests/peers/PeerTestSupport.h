#ifndef QUILLMAR_TESTS_PEERS_PEERTESTSUPPORT_H
#define QUILLMAR_TESTS_PEERS_PEERTESTSUPPORT_H

// A raw peer for the tests: a plain QTcpSocket on 127.0.0.1 that speaks the
// peer protocol byte by byte, so that the messenger is tested against the
// wire format and not against itself.

#include "peers/PeerWire.h"
#include "store/MemStream.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <functional>
#include <memory>

inline QByteArray Message(quint32 i_code, std::function<void(MemStream&)> i_fill = {})
{
    MemStream l_message;
    l_message.WriteU32(i_code);
    if (i_fill)
        i_fill(l_message);
    return l_message.ToByteArray();
}

inline QByteArray Le32(quint32 i_value)
{
    MemStream l_bytes;
    l_bytes.WriteU32(i_value);
    return l_bytes.ToByteArray();
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

// Connects and waits for the connection.
inline std::unique_ptr<QTcpSocket> ConnectRaw(quint16 i_port)
{
    auto lp_socket = std::make_unique<QTcpSocket>();
    lp_socket->connectToHost(QHostAddress::LocalHost, i_port);
    if (!lp_socket->waitForConnected(5000))
        return nullptr;
    return lp_socket;
}

// Waits (running the event loop) for one whole frame on a raw socket.
inline bool AwaitFrame(QTcpSocket& io_socket, QByteArray& o_payload, bool i_obfuscated = false, int i_ms = 5000)
{
    for (int l_waited = 0; l_waited <= i_ms; l_waited += 10) {
        if (PeerWire::ReadFrame(io_socket, i_obfuscated, PeerWire::MAX_MESSAGE_LENGTH, o_payload) ==
            PeerWire::ReadResult::Complete)
            return true;
        QTest::qWait(10);
    }
    return false;
}

// The connection the messenger opened to a test peer's listener, once the
// handshake it sends first has arrived; null when either does not come.
inline std::unique_ptr<QTcpSocket> AcceptHandshake(QTcpServer& io_server, PeerWire::Handshake& o_handshake,
                                                   int i_ms = 5000)
{
    for (int l_waited = 0; !io_server.hasPendingConnections(); l_waited += 10) {
        if (l_waited > i_ms)
            return nullptr;
        QTest::qWait(10);
    }
    std::unique_ptr<QTcpSocket> lp_socket(io_server.nextPendingConnection());
    QByteArray l_payload;
    if (!AwaitFrame(*lp_socket, l_payload, false, i_ms) || !PeerWire::ParseHandshake(l_payload, o_handshake))
        return nullptr;
    return lp_socket;
}

inline bool AwaitClosed(QTcpSocket& io_socket, int i_ms = 5000)
{
    for (int l_waited = 0; l_waited <= i_ms; l_waited += 10) {
        if (io_socket.state() == QAbstractSocket::UnconnectedState)
            return true;
        io_socket.readAll();
        QTest::qWait(10);
    }
    return false;
}

#endif
