#ifndef QUILLMAR_TESTS_TRANSFERS_TRANSFERSFIXTURE_H
#define QUILLMAR_TESTS_TRANSFERS_TRANSFERSFIXTURE_H

// Loopback socket pairs for the transfer threads, the far end's reads, and
// the files on either side.

#include "tests/Waits.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

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
    if (!l_server.waitForNewConnection(WAIT_MS) || !lp_far->waitForConnected(WAIT_MS))
        qFatal("no loopback connection");
    QTcpSocket* lp_near = l_server.nextPendingConnection();
    lp_near->setParent(nullptr);
    return {lp_near, std::move(lp_far)};
}

// Reads until i_count bytes came or the peer closed (event loop running).
inline QByteArray ReadBytes(QTcpSocket& io_socket, int i_count, int i_ms = WAIT_MS)
{
    QByteArray l_bytes;
    static_cast<void>(WaitUntil([&] {
        l_bytes += io_socket.read(i_count - l_bytes.size());
        return l_bytes.size() == i_count ||
               (io_socket.state() == QAbstractSocket::UnconnectedState && io_socket.bytesAvailable() == 0);
    }, i_ms));
    return l_bytes;
}

inline QByteArray Le64(qint64 i_value)
{
    char l_bytes[8];
    qToLittleEndian(i_value, l_bytes);
    return QByteArray(l_bytes, 8);
}

// Writes a file, its folders made as needed; one that cannot be written ends the test program.
inline void WriteFileAt(QString const& i_path, QByteArray const& i_bytes)
{
    QDir().mkpath(QFileInfo(i_path).path());
    QFile l_file(i_path);
    if (!l_file.open(QIODevice::WriteOnly) || l_file.write(i_bytes) != i_bytes.size())
        qFatal("cannot write %s", qPrintable(i_path));
}

inline QByteArray ReadFileAt(QString const& i_path)
{
    QFile l_file(i_path);
    return l_file.open(QIODevice::ReadOnly) ? l_file.readAll() : QByteArray("<missing>");
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
