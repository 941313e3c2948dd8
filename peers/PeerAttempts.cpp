// Connection attempts: the address asked of the server, the direct
// connection, then the connect-back through the server, each with its
// timer, and at most so many under way at once; and the connect-backs the
// server asks of us. A link an attempt opens is kept in PeerMessenger.cpp
// and set up in PeerFrames.cpp; a failed messaging attempt drops the
// answers waiting in PeerUnsent.cpp.

#include "peers/PeerMessenger.h"

#include "peers/PeerServerLink.h"
#include "peers/PeerUsers.h"
#include "peers/PeerWire.h"
#include "server/StoreTypes.h"
#include "store/Utilities.h"

#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <vector>

void PeerMessenger::RequestFileConnectionToUser(QString i_user)
{
    RequestAttempt(i_user, "F");
}

void PeerMessenger::RequestDNetConnection(QString i_user)
{
    RequestAttempt(i_user, "D");
}

void PeerMessenger::RequestAttempt(QString const& i_user, QString const& i_type)
{
    if (int(m_attempts.size()) < m_limits.m_maxAttempts && m_waitingAttempts.empty()) {
        StartAttempt(i_user, i_type);
        return;
    }
    if (i_type == QLatin1String("P") && !m_waitingMessaging.insert(i_user).second)
        return;
    if (m_waitingAttempts.empty())
        Log(1, QString("%1 connection attempts are under way; new ones wait their turn").arg(m_attempts.size()));
    m_waitingAttempts.emplace_back(i_user, i_type);
}

void PeerMessenger::StartWaitingAttempts()
{
    m_startScheduled = false;
    while (int(m_attempts.size()) < m_limits.m_maxAttempts && !m_waitingAttempts.empty()) {
        auto const l_next = m_waitingAttempts.front();
        m_waitingAttempts.pop_front();
        if (l_next.second == QLatin1String("P")) {
            m_waitingMessaging.erase(l_next.first);
            // Nothing left to send, or a connection came meanwhile.
            if (UnsentMessageCount(l_next.first) == 0 || NewestMessagingLink(l_next.first) ||
                !UncheckedLinks(l_next.first).empty())
                continue;
        }
        StartAttempt(l_next.first, l_next.second);
    }
}

bool PeerMessenger::HasAttempt(QString const& i_user, QString const& i_type) const
{
    return !AttemptsOf(i_user, i_type).empty() ||
           (i_type == QLatin1String("P") && m_waitingMessaging.count(i_user) > 0);
}

std::vector<quint64> PeerMessenger::AttemptsOf(QString const& i_user, QString const& i_type) const
{
    std::vector<quint64> l_ids;
    auto const l_found = m_attemptsOfUser.find(i_user);
    if (l_found != m_attemptsOfUser.end())
        for (quint64 l_id : l_found->second)
            if (m_attempts.at(l_id).m_type == i_type)
                l_ids.push_back(l_id);
    return l_ids;
}

PeerMessenger::Attempt* PeerMessenger::FindAttempt(quint64 i_id)
{
    auto const l_found = m_attempts.find(i_id);
    return l_found == m_attempts.end() ? nullptr : &l_found->second;
}

PeerMessenger::Attempt* PeerMessenger::FindAttemptByToken(quint32 i_token)
{
    auto const l_found = m_attemptByToken.find(i_token);
    return l_found == m_attemptByToken.end() ? nullptr : FindAttempt(l_found->second);
}

bool PeerMessenger::LookUpStoredAddress(QString const& i_user, quint32& o_ip, int& o_port) const
{
    Item l_user = FindPeerUser(i_user);
    if (l_user.IsNull())
        return false;
    Item l_address = l_user["user_address"];
    Item l_port = l_user["user_port"];
    if (l_address.IsNull() || l_port.IsNull())
        return false;
    o_ip = quint32(l_address.AsUInt64());
    o_port = l_port.AsInt();
    return o_ip != 0 && o_port > 0 && o_port <= 65535;
}

void PeerMessenger::StartAttempt(QString const& i_user, QString const& i_type)
{
    quint64 const l_id = m_nextAttempt++;
    Attempt& l_new = m_attempts[l_id];
    l_new.m_id = l_id;
    l_new.m_user = i_user;
    l_new.m_type = i_type;
    m_attemptsOfUser[i_user].push_back(l_id);
    Log(1, QString("Connecting to %1 for a %2 connection").arg(Isolated(i_user), i_type));

    quint32 l_ip = 0;
    int l_port = 0;
    if (LookUpStoredAddress(i_user, l_ip, l_port)) {
        StartDirect(l_new, l_ip, l_port);
    } else if (PeerServerRequestAddress(i_user)) {
        l_new.m_phase = AttemptPhase::Address;
        ArmTimer(l_new, m_addressTimeoutMs);
    } else {
        StartIndirect(l_new);
    }
}

void PeerMessenger::ArmTimer(Attempt& io_attempt, int i_ms)
{
    if (!io_attempt.mp_timer) {
        io_attempt.mp_timer = new QTimer(this);
        io_attempt.mp_timer->setSingleShot(true);
        io_attempt.mp_timer->setProperty("attempt", QVariant::fromValue<qulonglong>(io_attempt.m_id));
        connect(io_attempt.mp_timer, &QTimer::timeout, this, &PeerMessenger::OnAttemptTimeout);
    }
    io_attempt.mp_timer->start(i_ms);
}

void PeerMessenger::StartDirect(Attempt& io_attempt, quint32 i_ip, int i_port)
{
    // No descriptor of ours is needed for the user to connect to us.
    if (!RoomForConnection("our own attempts go through the server")) {
        StartIndirect(io_attempt);
        return;
    }
    io_attempt.m_phase = AttemptPhase::Direct;
    auto* lp_socket = new QTcpSocket(this);
    Link& l_link = AddSocket(lp_socket, LinkRole::Direct, false);
    SetLinkUser(l_link, io_attempt.m_user);
    l_link.m_type = io_attempt.m_type;
    l_link.m_attempt = io_attempt.m_id;
    io_attempt.mp_socket = lp_socket;
    ArmTimer(io_attempt, m_directTimeoutMs);
    Log(2, QString("Trying %1 directly at %2:%3")
               .arg(Isolated(io_attempt.m_user), QHostAddress(i_ip).toString(), QString::number(i_port)));
    lp_socket->connectToHost(QHostAddress(i_ip), quint16(i_port));
}

void PeerMessenger::StartIndirect(Attempt& io_attempt)
{
    quint64 l_id = io_attempt.m_id;
    DiscardSocket(io_attempt.mp_socket);
    io_attempt.mp_socket = nullptr;
    io_attempt.m_phase = AttemptPhase::Indirect;
    quint32 l_token = 0;
    do {
        l_token = QRandomGenerator::global()->generate();
    } while (l_token == 0 || m_attemptByToken.count(l_token));
    io_attempt.m_token = l_token;
    m_attemptByToken[l_token] = l_id;
    if (!PeerServerRequestConnectBack(l_token, io_attempt.m_user, io_attempt.m_type)) {
        FailAttempt(l_id, "no server link to ask for a connect-back", false);
        return;
    }
    Log(2, QString("Asking the server to have %1 connect back").arg(Isolated(io_attempt.m_user)));
    ArmTimer(io_attempt, m_indirectTimeoutMs);
}

void PeerMessenger::FinishAttempt(quint64 i_id)
{
    auto const l_found = m_attempts.find(i_id);
    if (l_found == m_attempts.end())
        return;
    Attempt& l_attempt = l_found->second;
    if (l_attempt.mp_timer) {
        l_attempt.mp_timer->stop();
        l_attempt.mp_timer->deleteLater();
    }
    if (l_attempt.m_token != 0)
        m_attemptByToken.erase(l_attempt.m_token);
    auto const l_ofUser = m_attemptsOfUser.find(l_attempt.m_user);
    std::vector<quint64>& l_ids = l_ofUser->second;
    l_ids.erase(std::find(l_ids.begin(), l_ids.end(), i_id));
    if (l_ids.empty())
        m_attemptsOfUser.erase(l_ofUser);
    m_attempts.erase(l_found);
    // The place is free: a waiting attempt starts from the event loop, not
    // inside whatever ended this one.
    if (!m_waitingAttempts.empty() && !m_startScheduled) {
        m_startScheduled = true;
        QTimer::singleShot(0, this, &PeerMessenger::StartWaitingAttempts);
    }
}

void PeerMessenger::CancelAttempt(quint64 i_id)
{
    Attempt* lp_attempt = FindAttempt(i_id);
    if (!lp_attempt)
        return;
    QTcpSocket* lp_socket = lp_attempt->mp_socket;
    lp_attempt->mp_socket = nullptr;
    Link* lp_link = FindLink(lp_socket);
    if (lp_link && lp_link->m_state == LinkState::Connecting)
        DiscardSocket(lp_socket);
    FinishAttempt(i_id);
}

void PeerMessenger::FailAttempt(quint64 i_id, QString const& i_reason, bool i_unreachable)
{
    Attempt* lp_attempt = FindAttempt(i_id);
    if (!lp_attempt)
        return;
    QString l_user = lp_attempt->m_user;
    QString l_type = lp_attempt->m_type;
    DiscardSocket(lp_attempt->mp_socket);
    lp_attempt->mp_socket = nullptr;
    FinishAttempt(i_id);
    Log(1, QString("Could not connect to %1 for a %2 connection: %3").arg(Isolated(l_user), l_type, i_reason));
    if (HasAttempt(l_user, l_type))
        return;
    // Answers to a name nobody answers to (anyone can search under any name)
    // would only wait, and trying him again for each one costs two round
    // trips to the server: they go, and he gets none for a while. Without a
    // server link nobody was tried; what waits stays for a connection of his.
    if (i_unreachable && l_type == QLatin1String("P")) {
        DropUnsentAnswers(l_user);
        NoteUnreachable(l_user);
    }
    // Reported from the event loop: a caller that starts a request and only
    // then connects to this signal must still hear about the failure.
    QMetaObject::invokeMethod(
        this, [this, l_user, l_type]() { emit ConnectionToUserFailed(l_user, l_type); }, Qt::QueuedConnection);
}

void PeerMessenger::OnAttemptTimeout()
{
    auto* lp_timer = qobject_cast<QTimer*>(sender());
    if (!lp_timer)
        return;
    Attempt* lp_attempt = FindAttempt(lp_timer->property("attempt").toULongLong());
    if (!lp_attempt)
        return;
    switch (lp_attempt->m_phase) {
    case AttemptPhase::Address:
        Log(2, QString("No address for %1 from the server in time").arg(Isolated(lp_attempt->m_user)));
        StartIndirect(*lp_attempt);
        break;
    case AttemptPhase::Direct:
        Log(2, QString("Direct connection to %1 timed out").arg(Isolated(lp_attempt->m_user)));
        StartIndirect(*lp_attempt);
        break;
    case AttemptPhase::Indirect:
        FailAttempt(lp_attempt->m_id, "the user did not connect back in time", true);
        break;
    }
}

void PeerMessenger::OnPeerAddress(QString i_user, quint32 i_ip, int i_port)
{
    bool l_usable = i_ip != 0 && i_port > 0 && i_port <= 65535;
    if (l_usable) {
        Item l_user = PeerUserItem(i_user);
        SetAttribute(l_user, "user_address", Value(static_cast<unsigned long long>(i_ip)));
        SetAttribute(l_user, "user_port", Value(i_port));
    }
    for (QTcpSocket* lp_socket : UncheckedLinks(i_user)) {
        if (PeerWire::AddressMatches(lp_socket->peerAddress().toIPv4Address(), i_ip))
            Trust(lp_socket);
        else
            Distrust(lp_socket, QString("the server places the user at %1").arg(QHostAddress(i_ip).toString()));
    }
    std::vector<quint64> l_waiting;
    auto const l_ofUser = m_attemptsOfUser.find(i_user);
    if (l_ofUser != m_attemptsOfUser.end())
        for (quint64 l_id : l_ofUser->second)
            if (m_attempts.at(l_id).m_phase == AttemptPhase::Address)
                l_waiting.push_back(l_id);
    for (quint64 l_id : l_waiting) {
        Attempt* lp_attempt = FindAttempt(l_id);
        if (!lp_attempt)
            continue;
        if (l_usable)
            StartDirect(*lp_attempt, i_ip, i_port);
        else
            StartIndirect(*lp_attempt);
    }
}

void PeerMessenger::OnConnectBackRequested(QString i_user, QString i_type, quint32 i_ip, int i_port, quint32 i_token)
{
    if (i_user.isEmpty() || !PeerWire::IsConnectionType(i_type) || i_ip == 0 || i_port <= 0 || i_port > 65535) {
        Log(1, QString("Ignoring an unusable connect-back request from %1").arg(Isolated(i_user)));
        PeerServerCannotConnect(i_token, i_user);
        return;
    }
    if (m_connectingBacks >= m_limits.m_maxPendingConnectBacks) {
        Log(1, QString("Not connecting back to %1: %2 connect-backs are pending")
                   .arg(Isolated(i_user), QString::number(m_connectingBacks)));
        PeerServerCannotConnect(i_token, i_user);
        return;
    }
    // A connection made counts as much as one still connecting: a server
    // that names a listener which accepts and holds must not use up our
    // descriptors.
    if (!RoomForConnection("connect-backs are refused")) {
        PeerServerCannotConnect(i_token, i_user);
        return;
    }
    Log(1, QString("Connecting back to %1 for a %2 connection").arg(Isolated(i_user), i_type));
    auto* lp_socket = new QTcpSocket(this);
    Link& l_link = AddSocket(lp_socket, LinkRole::ConnectBack, false);
    SetLinkUser(l_link, i_user);
    l_link.m_type = i_type;
    l_link.m_token = i_token;
    l_link.m_connectingBack = true;
    ++m_connectingBacks;
    // The asker gives up after its own wait: tell the server at once when
    // we cannot get through, not at the next sweep.
    QTimer::singleShot(m_limits.m_connectBackMs, lp_socket, [this, lp_socket]() {
        Link* lp_link = FindLink(lp_socket);
        if (lp_link && lp_link->m_state == LinkState::Connecting)
            CloseLink(lp_socket, "no connection within the connect-back time");
    });
    lp_socket->connectToHost(QHostAddress(i_ip), quint16(i_port));
}

void PeerMessenger::OnConnectBackFailed(quint32 i_token)
{
    Attempt* lp_attempt = FindAttemptByToken(i_token);
    if (lp_attempt && lp_attempt->m_phase == AttemptPhase::Indirect)
        FailAttempt(lp_attempt->m_id, "the user could not connect back", true);
}
