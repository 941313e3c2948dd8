#ifndef QUILLMAR_TESTS_TRANSFERS_TRANSFERSFIXTURE_H
#define QUILLMAR_TESTS_TRANSFERS_TRANSFERSFIXTURE_H

// Loopback socket pairs for the transfer threads, and the far end's reads.

#include <QByteArray>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <utility>

// A connected pair on 127.0.0.1: the near socket (no parent, for the code
// under test) and the far one the test plays.
inline std::pair<QTcpSocket*, std::unique_ptr<QTcpSocket>> ConnectedPair()
{
    QTcpServer l_server;
    if (!l_server.listen(QHostAddress::LocalHost, 0))
        qFatal("cannot listen on loopback");
    auto lp_far = std::make_unique<QTcpSocket>();
    lp_far->connectToHost(QHostAddress::LocalHost, l_server.serverPort());
    if (!l_server.waitForNewConnection(5000) || !lp_far->waitForConnected(5000))
        qFatal("no loopback connection");
    QTcpSocket* lp_near = l_server.nextPendingConnection();
    lp_near->setParent(nullptr);
    return {lp_near, std::move(lp_far)};
}

// Reads until i_count bytes came or the peer closed (event loop running).
inline QByteArray ReadBytes(QTcpSocket& io_socket, int i_count, int i_ms = 5000)
{
    QByteArray l_bytes;
    for (int l_waited = 0; l_bytes.size() < i_count && l_waited <= i_ms; l_waited += 5) {
        l_bytes += io_socket.read(i_count - l_bytes.size());
        if (l_bytes.size() < i_count && io_socket.state() == QAbstractSocket::UnconnectedState &&
            io_socket.bytesAvailable() == 0)
            break;
        if (l_bytes.size() < i_count)
            QTest::qWait(5);
    }
    return l_bytes;
}

inline bool AwaitPeerClosed(QTcpSocket& io_socket, int i_ms = 5000)
{
    for (int l_waited = 0; l_waited <= i_ms; l_waited += 5) {
        io_socket.readAll();
        if (io_socket.state() == QAbstractSocket::UnconnectedState)
            return true;
        QTest::qWait(5);
    }
    return false;
}

// i_count bytes of a pattern that shows misplaced offsets.
inline QByteArray Pattern(int i_count)
{
    QByteArray l_bytes(i_count, '\0');
    for (int l_k = 0; l_k < i_count; ++l_k)
        l_bytes[l_k] = char((l_k * 7 + l_k / 251) & 0xff);
    return l_bytes;
}

#endif
