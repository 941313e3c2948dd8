// What happens on a link's socket: its signals, the handshake and the file
// token, the hand-over of file and distributed connections, messages read
// in slices and handed to DispatchMessage (PeerMessages.cpp), and frames
// written in pieces. The links themselves are kept in PeerMessenger.cpp;
// a messaging link the peer opened is checked in PeerTrust.cpp before it
// may act.

#include "peers/PeerMessenger.h"

#include "peers/PeerMessengerInternals.h"

#include "peers/PeerCodec.h"
#include "peers/PeerWire.h"
#include "store/Utilities.h"

#include <QElapsedTimer>
#include <QMetaMethod>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <exception>

using namespace PeerMessengerInternals;

namespace {

// Bytes that may wait in a connection's send buffer: room for the largest
// frame and as much again.
constexpr qint64 MAX_UNWRITTEN_BYTES = 2 * qint64(PeerWire::MAX_MESSAGE_LENGTH);

} // namespace

void PeerMessenger::OnSocketReadyRead()
{
    auto* lp_socket = qobject_cast<QTcpSocket*>(sender());
    Link* lp_link = FindLink(lp_socket);
    if (!lp_link)
        return;
    switch (lp_link->m_state) {
    case LinkState::AwaitingHandshake:
        ReadHandshake(*lp_link);
        break;
    case LinkState::AwaitingToken:
        ReadToken(*lp_link);
        break;
    case LinkState::Open:
        // A scheduled slice reads on by itself.
        if (!lp_link->m_readScheduled)
            ReadMessages(*lp_link);
        break;
    case LinkState::Connecting:
        break;
    }
    if (Link* lp_open = FindLink(lp_socket))
        CountBuffered(*lp_open);
}

void PeerMessenger::OnSocketClosed()
{
    auto* lp_socket = qobject_cast<QTcpSocket*>(sender());
    Link* lp_link = FindLink(lp_socket);
    if (!lp_link)
        return;
    if (lp_link->m_peerGone)
        return;
    // A messaging connection may have delivered its last frames together
    // with the close: they are handled, in slices, before the link goes.
    if (lp_link->m_state == LinkState::Open && lp_socket->bytesAvailable() > 0) {
        lp_link->m_peerGone = true;
        if (!lp_link->m_readScheduled)
            ReadMessages(*lp_link);
        return;
    }
    CloseLink(lp_socket, lp_socket->error() == QAbstractSocket::RemoteHostClosedError ||
                                 lp_socket->error() == QAbstractSocket::UnknownSocketError
                             ? QString("closed by the peer")
                             : lp_socket->errorString());
}

void PeerMessenger::OnSocketConnected()
{
    auto* lp_socket = qobject_cast<QTcpSocket*>(sender());
    Link* lp_link = FindLink(lp_socket);
    if (!lp_link || lp_link->m_state != LinkState::Connecting)
        return;
    lp_link->m_lastActivity = Now();
    EndConnectingBack(*lp_link);
    if (lp_link->m_role == LinkRole::Direct) {
        WriteFrame(*lp_link, PeerWire::BuildInitHandshake(OwnUserName(), lp_link->m_type));
        FinishAttempt(lp_link->m_attempt);
        lp_link->m_answersOurRequest = true;
    } else {
        WriteFrame(*lp_link, PeerWire::BuildConnectBackHandshake(lp_link->m_token, OwnUserName()));
        lp_link->m_answersOurRequest = false;
    }
    CompleteHandshake(lp_socket);
}

// Both ends know the user and the type: start the connection's real work.
// Whoever asked for an F or D connection receives the "accepted" signal,
// whoever was asked receives the "requested" one, however the TCP link was
// opened.
void PeerMessenger::CompleteHandshake(QTcpSocket* ip_socket)
{
    Link* lp_link = FindLink(ip_socket);
    if (!lp_link)
        return;
    QString l_user = lp_link->m_user;
    if (lp_link->m_type == QLatin1String("P")) {
        OpenMessaging(*lp_link);
    } else if (lp_link->m_type == QLatin1String("F")) {
        if (lp_link->m_answersOurRequest) {
            Log(1, QString("File connection to %1 established").arg(Isolated(l_user)));
            HandOver(ip_socket);
            if (isSignalConnected(QMetaMethod::fromSignal(&PeerMessenger::FileConnectionAccepted)))
                emit FileConnectionAccepted(l_user, ip_socket);
            else
                ip_socket->deleteLater();
        } else {
            lp_link->m_state = LinkState::AwaitingToken;
            ReadToken(*lp_link);
        }
    } else {
        bool l_ours = lp_link->m_answersOurRequest;
        Log(1, QString("Distributed connection with %1 established").arg(Isolated(l_user)));
        HandOver(ip_socket);
        QMetaMethod l_signal = l_ours ? QMetaMethod::fromSignal(&PeerMessenger::DNetConnectionAccepted)
                                      : QMetaMethod::fromSignal(&PeerMessenger::DNetConnectionRequested);
        if (!isSignalConnected(l_signal))
            ip_socket->deleteLater();
        else if (l_ours)
            emit DNetConnectionAccepted(l_user, ip_socket);
        else
            emit DNetConnectionRequested(l_user, ip_socket);
    }
}

bool PeerMessenger::TakeFrame(Link& io_link, quint32 i_maxLength, char const* ip_kind, QByteArray& o_payload)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    quint32 l_length = 0;
    switch (PeerWire::ReadFrame(*lp_socket, io_link.m_obfuscated, i_maxLength, o_payload, &l_length)) {
    case PeerWire::ReadResult::Incomplete: {
        // A frame larger than the read-ahead must fit whole; but not before
        // its code is known, and with it whether it is wanted at all.
        qint64 const l_header = io_link.m_obfuscated ? 8 : 4;
        qint64 const l_needed = qint64(l_length) + l_header;
        if (l_length > 0 && l_needed > lp_socket->readBufferSize() && lp_socket->bytesAvailable() >= l_header + 4)
            lp_socket->setReadBufferSize(l_needed);
        return false;
    }
    case PeerWire::ReadResult::Empty:
        CloseLink(lp_socket, QString("empty %1 frame").arg(ip_kind));
        return false;
    case PeerWire::ReadResult::TooLong:
        CloseLink(lp_socket, QString("%1 frame of %2 bytes is over the limit").arg(ip_kind).arg(l_length));
        return false;
    case PeerWire::ReadResult::Complete:
        if (lp_socket->readBufferSize() > READ_AHEAD)
            lp_socket->setReadBufferSize(READ_AHEAD);
        break;
    }
    return true;
}

void PeerMessenger::ReadHandshake(Link& io_link)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    QByteArray l_payload;
    if (!TakeFrame(io_link, PeerWire::MAX_HANDSHAKE_LENGTH, "handshake", l_payload))
        return;
    PeerWire::Handshake l_handshake;
    if (!PeerWire::ParseHandshake(l_payload, l_handshake)) {
        CloseLink(lp_socket, "malformed handshake");
        return;
    }
    io_link.m_lastActivity = Now();
    if (l_handshake.m_code == PeerWire::HANDSHAKE_INIT) {
        SetLinkUser(io_link, l_handshake.m_user);
        io_link.m_type = l_handshake.m_type;
        io_link.m_answersOurRequest = false;
        // Anyone can give any name here; a connect-back proves itself by
        // our token instead.
        if (io_link.m_type == QLatin1String("P"))
            io_link.m_trust = Link::Trust::Pending;
        Log(2, QString("%1 connection from %2").arg(io_link.m_type, Isolated(io_link.m_user)));
        CompleteHandshake(lp_socket);
        return;
    }
    // A client connecting back for one of our requests through the server.
    Attempt* lp_attempt = FindAttemptByToken(l_handshake.m_token);
    if (!lp_attempt) {
        CloseLink(lp_socket, QString("connect-back with unknown token %1").arg(l_handshake.m_token));
        return;
    }
    if (lp_attempt->m_user != l_handshake.m_user) {
        CloseLink(lp_socket, QString("connect-back from %1 for a request to %2")
                                 .arg(Isolated(l_handshake.m_user), Isolated(lp_attempt->m_user)));
        return;
    }
    SetLinkUser(io_link, lp_attempt->m_user);
    io_link.m_type = lp_attempt->m_type;
    io_link.m_answersOurRequest = true;
    Log(2, QString("%1 connected back for our %2 connection").arg(Isolated(io_link.m_user), io_link.m_type));
    FinishAttempt(lp_attempt->m_id);
    CompleteHandshake(lp_socket);
}

void PeerMessenger::ReadToken(Link& io_link)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    quint32 l_token = 0;
    if (!PeerWire::ReadFileToken(*lp_socket, l_token))
        return;
    QString l_user = io_link.m_user;
    Log(1, QString("File connection from %1 for transfer %2").arg(Isolated(l_user), QString::number(l_token)));
    HandOver(lp_socket);
    if (isSignalConnected(QMetaMethod::fromSignal(&PeerMessenger::FileConnectionRequested)))
        emit FileConnectionRequested(l_user, lp_socket, l_token);
    else
        lp_socket->deleteLater();
}

void PeerMessenger::OpenMessaging(Link& io_link)
{
    io_link.m_state = LinkState::Open;
    io_link.m_lastActivity = Now();
    QTcpSocket* lp_socket = io_link.mp_socket;
    Log(2, QString("Messaging connection with %1 open%2")
               .arg(Isolated(io_link.m_user), io_link.m_obfuscated ? " (obfuscated)" : ""));
    if (io_link.m_trust == Link::Trust::Pending)
        CheckSender(io_link);
    else
        Trust(lp_socket);
    if (Link* lp_link = FindLink(lp_socket))
        if (lp_socket->bytesAvailable() > 0)
            ReadMessages(*lp_link);
}

void PeerMessenger::ReadMessages(Link& io_link)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    // Each link had a slice of its own: 250 peers answering a search at
    // once held the window 2.5 s in one turn.
    if (!mp_readTurnEnd) {
        mp_readTurnEnd = new QTimer(this);
        mp_readTurnEnd->setSingleShot(true);
        mp_readTurnEnd->setInterval(0);
    }
    // The link that opens a turn's slice reads at least one frame.
    bool l_first = !mp_readTurnEnd->isActive();
    if (l_first) {
        m_readTurn.start();
        mp_readTurnEnd->start();
    }
    for (;;) {
        Link* lp_link = FindLink(lp_socket);
        if (!lp_link || lp_link->m_state != LinkState::Open)
            return;
        // The rest waits for the next turn.
        if (!l_first && m_readTurn.elapsed() >= m_limits.m_readSliceMs) {
            ScheduleRead(lp_socket);
            return;
        }
        l_first = false;
        QByteArray l_payload;
        if (!SkipUnaskedFrame(*lp_link) || !TakeFrame(*lp_link, PeerWire::MAX_MESSAGE_LENGTH, "message", l_payload)) {
            lp_link = FindLink(lp_socket);
            if (lp_link && lp_link->m_peerGone)
                CloseLink(lp_socket, "closed by the peer");
            return;
        }
        lp_link->m_lastActivity = Now();
        if (l_payload.size() < 4) {
            CloseLink(lp_socket, "message frame too short for its code");
            return;
        }
        if (MayAct(*lp_link, l_payload) && !HandleMessage(lp_socket, l_payload))
            return;
        lp_link = FindLink(lp_socket);
        if (!lp_link)
            return;
        // A search answer being read in slices: the rest waits for it, and
        // its end schedules the next read.
        if (lp_link->m_answersWaiting > 0) {
            lp_link->m_readScheduled = true;
            return;
        }
    }
}

void PeerMessenger::ScheduleRead(QTcpSocket* ip_socket)
{
    Link* lp_link = FindLink(ip_socket);
    if (!lp_link)
        return;
    lp_link->m_readScheduled = true;
    QTimer::singleShot(0, ip_socket, [this, ip_socket]() {
        Link* lp_next = FindLink(ip_socket);
        if (!lp_next)
            return;
        lp_next->m_readScheduled = false;
        ReadMessages(*lp_next);
        if ((lp_next = FindLink(ip_socket)))
            CountBuffered(*lp_next);
    });
}

bool PeerMessenger::SkipUnaskedFrame(Link& io_link)
{
    QTcpSocket* const lp_socket = io_link.mp_socket;
    if (io_link.m_skipping == 0) {
        quint32 l_length = 0;
        quint32 l_code = 0;
        QByteArray l_head;
        if (!PeerWire::PeekFrameHead(*lp_socket, io_link.m_obfuscated, 4, l_length, l_head) ||
            !PeerCodec::PeekCode(l_head, l_code))
            return true;
        qint64 const l_frame = PeerWire::FrameSize(l_length, io_link.m_obfuscated);
        // A whole frame, or one that closes the link, is read as any other.
        if (lp_socket->bytesAvailable() >= l_frame || l_length > PeerWire::MAX_MESSAGE_LENGTH ||
            (l_code != PeerCodec::SHARED_FILES && l_code != PeerCodec::FOLDER_CONTENTS) ||
            AskedFor(io_link.m_user, l_code))
            return true;
        // A 45 MiB list nobody asked for was gathered whole before it was
        // dropped, and its memory stayed with the process.
        Log(1, QString("Dropping %1 of %2 bytes from %3 that we did not ask for, as it arrives")
                   .arg(l_code == PeerCodec::SHARED_FILES ? "a share list" : "folder contents",
                        QString::number(l_length), Isolated(io_link.m_user)));
        io_link.m_skipping = l_frame;
        if (lp_socket->readBufferSize() > READ_AHEAD)
            lp_socket->setReadBufferSize(READ_AHEAD);
    }
    qint64 const l_skipped = lp_socket->skip(std::min(lp_socket->bytesAvailable(), io_link.m_skipping));
    if (l_skipped > 0) {
        io_link.m_skipping -= l_skipped;
        io_link.m_progress = io_link.m_lastActivity = Now();
    }
    return io_link.m_skipping == 0;
}

bool PeerMessenger::HandleMessage(QTcpSocket* ip_socket, QByteArray const& i_payload)
{
    Link* lp_link = FindLink(ip_socket);
    if (!lp_link)
        return false;
    QString l_user = lp_link->m_user;
    bool l_keep = true;
    try {
        mp_dispatching = ip_socket;
        l_keep = DispatchMessage(l_user, i_payload);
        mp_dispatching = nullptr;
    } catch (std::exception const& i_error) {
        // A store misuse while handling one message must not take the
        // event loop down with it.
        mp_dispatching = nullptr;
        Log(1,
            QString("Handling a message from %1 failed: %2").arg(Isolated(l_user), QString::fromUtf8(i_error.what())));
        l_keep = false;
    }
    if (!l_keep)
        CloseLink(ip_socket, "unreadable message");
    return l_keep && FindLink(ip_socket);
}

bool PeerMessenger::WriteFrame(Link& io_link, QByteArray const& i_payload)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    // A peer that keeps asking (a share list costs it a few bytes) and never
    // reads the answers would have us buffer them without end.
    qint64 const l_unwritten = lp_socket->bytesToWrite() + io_link.m_outgoingBytes;
    if (l_unwritten + i_payload.size() > MAX_UNWRITTEN_BYTES) {
        CloseLink(lp_socket, QString("%1 bytes wait to be sent; the peer does not read them").arg(l_unwritten));
        return false;
    }
    io_link.m_lastActivity = Now();
    if (io_link.m_outgoing.empty() && i_payload.size() <= FRAME_PIECE) {
        lp_socket->write(PeerWire::BuildFrame(i_payload, io_link.m_obfuscated));
        return true;
    }
    Link::Outgoing l_frame;
    l_frame.m_payload = i_payload;
    if (io_link.m_obfuscated)
        l_frame.m_key = QRandomGenerator::global()->generate();
    io_link.m_outgoingBytes += PeerWire::FrameSize(i_payload.size(), io_link.m_obfuscated);
    io_link.m_outgoing.push_back(std::move(l_frame));
    WriteOutgoing(io_link);
    return true;
}

void PeerMessenger::WriteOutgoing(Link& io_link)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    while (!io_link.m_outgoing.empty() && lp_socket->bytesToWrite() < FRAME_PIECE) {
        Link::Outgoing& l_frame = io_link.m_outgoing.front();
        qint64 const l_size = PeerWire::FrameSize(l_frame.m_payload.size(), io_link.m_obfuscated);
        qint64 const l_length = std::min(FRAME_PIECE, l_size - l_frame.m_written);
        lp_socket->write(
            PeerWire::FramePiece(l_frame.m_payload, io_link.m_obfuscated, l_frame.m_key, l_frame.m_written, l_length));
        l_frame.m_written += l_length;
        io_link.m_outgoingBytes -= l_length;
        if (l_frame.m_written == l_size)
            io_link.m_outgoing.pop_front();
    }
}

void PeerMessenger::OnSocketBytesWritten()
{
    if (Link* lp_link = FindLink(qobject_cast<QTcpSocket*>(sender())))
        WriteOutgoing(*lp_link);
}
