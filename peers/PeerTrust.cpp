// The checks on who may act and what may leave: the sender check of a
// messaging link the peer opened under a name (its messages held until it
// passes), and the holds on answers to users we could not reach or have
// barred since. The server's word on where a user is arrives in
// OnPeerAddress (PeerAttempts.cpp); what waits for a user is in
// PeerUnsent.cpp.

#include "peers/PeerMessenger.h"

#include "peers/PeerMessengerInternals.h"

#include "peers/PeerCodec.h"
#include "peers/PeerServerLink.h"
#include "peers/PeerWire.h"
#include "store/Utilities.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <vector>

using namespace PeerMessengerInternals;

namespace {

// Transfer messages are a few hundred bytes; what waits for a sender check
// is bounded well above that.
constexpr qint64 MAX_HELD_BYTES = 1024 * 1024;

} // namespace

// ---------------------------------------------------------- the sender check

void PeerMessenger::CheckSender(Link& io_link)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    bool l_ipv4 = false;
    quint32 l_remote = lp_socket->peerAddress().toIPv4Address(&l_ipv4);
    quint32 l_ip = 0;
    int l_port = 0;
    if (l_ipv4 && LookUpStoredAddress(io_link.m_user, l_ip, l_port) && PeerWire::AddressMatches(l_remote, l_ip))
        Trust(lp_socket);
    else if (!l_ipv4)
        Distrust(lp_socket, "it does not come from an IPv4 address");
    else if (!PeerServerRequestAddress(io_link.m_user))
        Distrust(lp_socket, "there is no server link to ask where the user is");
    else
        Log(2, QString("Asking the server where %1 is before trusting the connection from %2")
                   .arg(Isolated(io_link.m_user), lp_socket->peerAddress().toString()));
}

void PeerMessenger::Trust(QTcpSocket* ip_socket)
{
    Link* lp_link = FindLink(ip_socket);
    if (!lp_link)
        return;
    lp_link->m_trust = Link::Trust::Trusted;
    QString l_user = lp_link->m_user;
    std::vector<QByteArray> l_held;
    l_held.swap(lp_link->m_held);
    // The user reached us: our own attempt has nothing left to do, and must
    // not report a failure for a user we are talking to.
    for (quint64 l_id : AttemptsOf(l_user, "P"))
        CancelAttempt(l_id);
    FlushUnsent(*lp_link);
    for (QByteArray const& l_payload : l_held)
        if (!HandleMessage(ip_socket, l_payload))
            return;
}

void PeerMessenger::Distrust(QTcpSocket* ip_socket, QString const& i_reason)
{
    Link* lp_link = FindLink(ip_socket);
    if (!lp_link || lp_link->m_trust != Link::Trust::Pending)
        return;
    lp_link->m_trust = Link::Trust::Untrusted;
    QString l_user = lp_link->m_user;
    Log(1, QString("The connection from %1 calling itself %2 is not trusted (%3): it receives none of our "
                   "messages, and its transfer messages and requests are dropped")
               .arg(ip_socket->peerAddress().toString(), Isolated(l_user), i_reason));
    for (QByteArray const& l_payload : lp_link->m_held)
        Log(1, QString("Dropping a message of %1 bytes from the untrusted connection of %2")
                   .arg(QString::number(l_payload.size()), Isolated(l_user)));
    lp_link->m_held.clear();
    // What waits for the user goes to him on a connection of our own.
    if (UnsentMessageCount(l_user) > 0 && !HasAttempt(l_user, "P"))
        RequestAttempt(l_user, "P");
}

std::vector<QTcpSocket*> PeerMessenger::UncheckedLinks(QString const& i_user) const
{
    std::vector<QTcpSocket*> l_sockets;
    auto const l_found = m_linksOfUser.find(i_user);
    if (l_found == m_linksOfUser.end())
        return l_sockets;
    for (QTcpSocket* lp_socket : l_found->second)
        if (m_links.at(lp_socket).m_trust == Link::Trust::Pending)
            l_sockets.push_back(lp_socket);
    return l_sockets;
}

bool PeerMessenger::MayAct(Link& io_link, QByteArray const& i_payload)
{
    quint32 l_code = 0;
    if (io_link.m_trust == Link::Trust::Trusted || !PeerCodec::PeekCode(i_payload, l_code) ||
        !PeerCodec::NeedsKnownSender(l_code))
        return true;
    QString l_why;
    if (io_link.m_trust == Link::Trust::Untrusted) {
        l_why = "its connection is not trusted";
    } else {
        qint64 l_heldBytes = i_payload.size();
        for (QByteArray const& l_held : io_link.m_held)
            l_heldBytes += l_held.size();
        if (int(io_link.m_held.size()) < m_limits.m_maxHeldMessages && l_heldBytes <= MAX_HELD_BYTES) {
            io_link.m_held.push_back(i_payload);
            return false;
        }
        l_why = "too many wait for the check of its connection";
    }
    Log(1, QString("Dropping message %1 from %2: %3").arg(QString::number(l_code), Isolated(io_link.m_user), l_why));
    return false;
}

// ------------------------------------------------------------------- answers

bool PeerMessenger::MayAnswer(QString const& i_user, QByteArray const& i_message)
{
    auto const l_found = m_unreachable.find(i_user);
    if (l_found != m_unreachable.end() && Now() - l_found->second < m_limits.m_unreachableHoldMs) {
        // He has reached us since (a restart, a router that let him through
        // at last): the hold is for names nobody answers to, and his own
        // connection takes the answer.
        if (!NewestMessagingLink(i_user)) {
            Log(2, QString("Not answering %1: he could not be reached %2 s ago")
                       .arg(Isolated(i_user), QString::number((Now() - l_found->second) / 1000)));
            return false;
        }
        m_unreachable.erase(l_found);
    }
    if (!IsBarredAnswer(i_user, i_message))
        return true;
    Log(1, QString("Dropping an answer made for %1 before he was barred from our shares").arg(Isolated(i_user)));
    return false;
}

bool PeerMessenger::IsBarredAnswer(QString const& i_user, QByteArray const& i_message) const
{
    // Search results and folder contents show what the user may no longer
    // see. A share list is made for what he sees when it is made (a barred
    // user's lists none), and other answers show nothing of the shares.
    quint32 l_code = 0;
    AnswerGate const& l_gate = AnswerGateSlot();
    return l_gate && PeerCodec::PeekCode(i_message, l_code) &&
           (l_code == PeerCodec::SEARCH_RESULTS || l_code == PeerCodec::FOLDER_CONTENTS) && !l_gate(i_user);
}
