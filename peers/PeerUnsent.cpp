// Sending a message: to the user's newest messaging link, or else into the
// queue of messages waiting for a connection (bounded per user, for answers
// and in all) while an attempt (PeerAttempts.cpp) reaches him; and the
// users we could not reach, who get no answers for a while. Whether an
// answer may go at all is judged in PeerTrust.cpp.

#include "peers/PeerMessenger.h"

#include "peers/PeerMessengerInternals.h"

#include "peers/PeerCodec.h"
#include "peers/PeerUsers.h"
#include "peers/PeerWire.h"
#include "server/StoreTypes.h"
#include "store/Utilities.h"

#include <vector>

using namespace PeerMessengerInternals;

// ------------------------------------------------------------------- sending

void PeerMessenger::SendMessage(QString i_user, MemStream& i_message)
{
    Send(i_user, i_message.ToByteArray(), false);
}

void PeerMessenger::SendMessageToUser(QString i_user, MemStream& i_message)
{
    Send(i_user, i_message.ToByteArray(), true);
}

void PeerMessenger::SendMessageToUser(QString const& i_user, QByteArray const& i_message)
{
    Send(i_user, i_message, true);
}

void PeerMessenger::Send(QString const& i_user, QByteArray const& i_message, bool i_answer)
{
    if (i_message.size() < 4 || quint64(i_message.size()) > PeerWire::MAX_MESSAGE_LENGTH) {
        Log(1, QString("Not sending a message of %1 bytes to %2").arg(i_message.size()).arg(Isolated(i_user)));
        return;
    }
    if (i_answer && !MayAnswer(i_user, i_message))
        return;
    NoteRequest(i_user, i_message);
    if (Link* lp_link = NewestMessagingLink(i_user)) {
        // Refused only when the peer leaves what we send unread: keeping the
        // message for it would only move the backlog into the queue.
        WriteFrame(*lp_link, i_message);
        return;
    }
    if (!QueueUnsent(i_user, i_message, i_answer))
        return;
    // A connection of his that awaits its check will take the message if
    // it passes, or start an attempt of ours if it fails.
    if (!UncheckedLinks(i_user).empty())
        return;
    if (!HasAttempt(i_user, "P"))
        RequestAttempt(i_user, "P");
}

// ---------------------------------------------------------- waiting messages

bool PeerMessenger::QueueUnsent(QString const& i_user, QByteArray const& i_message, bool i_answer)
{
    // The name counts too: a stranger's name can be long.
    qint64 const l_bytes = i_message.size() + 2 * qint64(i_user.size());
    auto l_queue = m_unsent.find(i_user);
    int const l_userCount = l_queue == m_unsent.end() ? 0 : int(l_queue->second.m_messages.size());
    qint64 const l_userBytes = l_queue == m_unsent.end() ? 0 : l_queue->second.m_bytes;
    QString l_full;
    if (l_userCount >= m_limits.m_maxUnsentPerUser || l_userBytes + l_bytes > m_limits.m_maxUnsentBytesPerUser)
        l_full = QString("%1 messages of %2 bytes wait for him").arg(l_userCount).arg(l_userBytes);
    else if (i_answer && (m_unsentAnswers >= m_limits.m_maxUnsentAnswers ||
                          m_unsentAnswerBytes + l_bytes > m_limits.m_maxUnsentAnswerBytes))
        l_full = QString("%1 answers of %2 bytes wait in all").arg(m_unsentAnswers).arg(m_unsentAnswerBytes);
    else if (m_unsentCount >= m_limits.m_maxUnsent || m_unsentBytes + l_bytes > m_limits.m_maxUnsentBytes)
        l_full = QString("%1 messages of %2 bytes wait in all").arg(m_unsentCount).arg(m_unsentBytes);
    if (!l_full.isEmpty()) {
        Log(1, QString("Not keeping a message of %1 bytes for %2 until a connection is open: %3")
                   .arg(QString::number(i_message.size()), Isolated(i_user), l_full));
        return false;
    }
    Unsent l_unsent;
    l_unsent.m_message = i_message;
    l_unsent.m_time = Now();
    l_unsent.m_answer = i_answer;
    if (!i_answer) {
        l_unsent.m_item = d.GetType("unsent_message")->NewItem(Value(static_cast<unsigned long long>(m_nextUnsentOrder++)));
        l_unsent.m_item += PeerUserItem(i_user);
        SetAttribute(l_unsent.m_item, "unsent_message_time", Value(static_cast<long long>(l_unsent.m_time)));
    }
    UserQueue& l_userQueue = m_unsent[i_user];
    l_userQueue.m_messages.push_back(l_unsent);
    l_userQueue.m_bytes += l_bytes;
    ++m_unsentCount;
    m_unsentBytes += l_bytes;
    if (i_answer) {
        ++m_unsentAnswers;
        m_unsentAnswerBytes += l_bytes;
    }
    Log(2, QString("Queueing a message for %1 until a connection is open").arg(Isolated(i_user)));
    return true;
}

int PeerMessenger::DropUnsent(QString const& i_user, std::function<bool(Unsent const&)> const& i_drop, int i_most)
{
    auto const l_queue = m_unsent.find(i_user);
    if (l_queue == m_unsent.end())
        return 0;
    std::deque<Unsent>& l_messages = l_queue->second.m_messages;
    int l_dropped = 0;
    for (auto l_it = l_messages.begin(); l_it != l_messages.end() && l_dropped < i_most;) {
        if (!i_drop(*l_it)) {
            ++l_it;
            continue;
        }
        qint64 const l_bytes = l_it->m_message.size() + 2 * qint64(i_user.size());
        l_queue->second.m_bytes -= l_bytes;
        --m_unsentCount;
        m_unsentBytes -= l_bytes;
        if (l_it->m_answer) {
            --m_unsentAnswers;
            m_unsentAnswerBytes -= l_bytes;
        }
        l_it->m_item.Remove();
        l_it = l_messages.erase(l_it);
        ++l_dropped;
    }
    if (l_messages.empty())
        m_unsent.erase(l_queue);
    return l_dropped;
}

void PeerMessenger::FlushUnsent(Link& io_link)
{
    QTcpSocket* lp_socket = io_link.mp_socket;
    QString const l_user = io_link.m_user;
    AnswerGate const& l_gate = AnswerGateSlot();
    // The user may have been barred from our shares since his answers were
    // made (his address was not known yet): they go, and a share list made
    // before is made again, for what he sees now.
    bool const l_barred = l_gate && !l_gate(l_user);
    bool l_listAgain = false;
    for (;;) {
        auto l_queue = m_unsent.find(l_user);
        Link* lp_link = FindLink(lp_socket);
        if (l_queue == m_unsent.end() || !lp_link)
            break;
        Unsent const l_next = l_queue->second.m_messages.front();
        quint32 l_code = 0;
        bool const l_list = PeerCodec::PeekCode(l_next.m_message, l_code) && l_code == PeerCodec::SHARED_FILES;
        if (l_next.m_answer && l_barred && (l_list || IsBarredAnswer(l_user, l_next.m_message))) {
            Log(1, QString("Dropping an answer (message %1) made for %2 before he was barred from our shares")
                       .arg(QString::number(l_code), Isolated(l_user)));
            l_listAgain = l_listAgain || l_list;
        } else if (!WriteFrame(*lp_link, l_next.m_message)) {
            return;
        }
        DropUnsent(l_user, [](Unsent const&) { return true; }, 1);
    }
    if (l_listAgain)
        AnswerShareListRequest(l_user);
}

void PeerMessenger::ExpireUnsent()
{
    qint64 const l_now = Now();
    std::vector<QString> l_users;
    for (auto const& l_queue : m_unsent)
        if (l_now - l_queue.second.m_messages.front().m_time > UNSENT_MESSAGE_LIFETIME)
            l_users.push_back(l_queue.first);
    for (QString const& l_user : l_users) {
        int const l_dropped = DropUnsent(l_user, [l_now](Unsent const& i_unsent) {
            return l_now - i_unsent.m_time > UNSENT_MESSAGE_LIFETIME;
        });
        Log(1, QString("Dropping %1 messages to %2 that could not be sent within 300 s")
                   .arg(QString::number(l_dropped), Isolated(l_user)));
    }
}

void PeerMessenger::DropUnsentAnswers(QString const& i_user)
{
    int const l_dropped = DropUnsent(i_user, [](Unsent const& i_unsent) { return i_unsent.m_answer; });
    if (l_dropped > 0)
        Log(2, QString("Dropping %1 answers to %2, who could not be reached")
                   .arg(QString::number(l_dropped), Isolated(i_user)));
}

void PeerMessenger::NoteUnreachable(QString const& i_user)
{
    qint64 const l_now = Now();
    m_unreachable[i_user] = l_now;
    m_unreachableOrder.emplace_back(i_user, l_now);
    // Forgetting the oldest early only means trying them again.
    while (m_unreachable.size() > m_limits.m_maxUnreachableUsers || m_unreachableOrder.size() > 2 * m_limits.m_maxUnreachableUsers) {
        auto const& l_oldest = m_unreachableOrder.front();
        auto const l_found = m_unreachable.find(l_oldest.first);
        if (l_found != m_unreachable.end() && l_found->second == l_oldest.second)
            m_unreachable.erase(l_found);
        m_unreachableOrder.pop_front();
    }
}

void PeerMessenger::ForgetOldUnreachable()
{
    qint64 const l_now = Now();
    while (!m_unreachableOrder.empty() && l_now - m_unreachableOrder.front().second >= m_limits.m_unreachableHoldMs) {
        auto const& l_oldest = m_unreachableOrder.front();
        auto const l_found = m_unreachable.find(l_oldest.first);
        if (l_found != m_unreachable.end() && l_found->second == l_oldest.second)
            m_unreachable.erase(l_found);
        m_unreachableOrder.pop_front();
    }
}

int PeerMessenger::UnsentMessageCount(QString const& i_user) const
{
    auto const l_queue = m_unsent.find(i_user);
    return l_queue == m_unsent.end() ? 0 : int(l_queue->second.m_messages.size());
}
