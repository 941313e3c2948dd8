#include "shares/DNetManager.h"

#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "server/ServerMessages.h"
#include "server/StoreTypes.h"
#include "shares/DNetWire.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "store/Utilities.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>
#include <vector>

DNetManager* dnetManager = nullptr;

namespace {

char const* const kCategory = "Distributed Network";
// One frame of the greatest length: reading always progresses, and a peer
// cannot make us hold more.
qint64 const READ_BUFFER_SIZE = 4 + DNetWire::MAX_FRAME_LENGTH;
char const* const kChild = "dnet_child";
char const* const kCandidate = "dnet_parent_candidate";
char const* const kParentUser = "dnet_parent_user";
char const* const kParentSocket = "dnet_parent_socket";
char const* const kLevel = "dnet_level";
char const* const kGroupLeader = "dnet_group_leader";
char const* const kChildDepth = "dnet_child_depth";

void DLog(int i_level, QString const& i_text)
{
    Log(kCategory, i_level, i_text);
}

// The "dnet_global" variables: each holds at most one "dnet_value".
Item DNetValue(char const* ip_key)
{
    return d.GetType("dnet_global")->HasItem(Value(ip_key))["dnet_value"];
}

// Links the item to the value item of that type, and removes the value it
// held before once nothing else holds it: a peer that sends one new value
// after another must not leave an item behind for each until the next
// collection.
void SetValue(Item const& i_item, char const* ip_type, Value const& i_value)
{
    Item const l_old = i_item[ip_type];
    Item const l_new = d.GetType(ip_type)->GetItem(i_value);
    i_item += l_new;
    if (l_old.IsValid() && l_old.Serial() != l_new.Serial() && l_old.IsDisconnectedFromAll())
        l_old.Remove();
}

// What a waiting search holds, near enough.
qint64 SearchBytes(QString const& i_user, QString const& i_query)
{
    return 64 + 2 * qint64(i_user.size() + i_query.size());
}

void SetDNetValue(char const* ip_key, Value const& i_value)
{
    SetValue(d.GetType("dnet_global")->GetItem(Value(ip_key)), "dnet_value", i_value);
}

void ClearDNetValue(char const* ip_key)
{
    d.GetType("dnet_global")->HasItem(Value(ip_key)).Disconnect("dnet_value");
}

qint32 LevelOrUnknown()
{
    Item const l_level = DNetValue(kLevel);
    return l_level.IsNull() ? -1 : l_level.AsInt();
}

Item UserItem(QString const& i_user)
{
    return d.GetType("user")->GetItem(Value(i_user));
}

} // namespace

DNetManager::DNetManager(QObject* ip_parent) : QObject(ip_parent)
{
    DeclareTypes();
    if (gp_server) {
        connect(gp_server, &Server::DNetParentMinSpeed, this, &DNetManager::OnDNetParentMinSpeed);
        connect(gp_server, &Server::DNetParentSpeedConnectionRatio, this,
                &DNetManager::OnDNetParentSpeedConnectionRatio);
        connect(gp_server, &Server::DNetPossibleParents, this, &DNetManager::OnDNetPossibleParents);
        connect(gp_server, &Server::DNetMessage, this, &DNetManager::OnDNetMessage);
        connect(gp_server, &Server::DNetDeliveryReport, this, &DNetManager::OnDNetDeliveryReport);
        connect(gp_server, &Server::DNetReset, this, &DNetManager::OnDNetReset);
        connect(gp_server, &Server::Connected, this, &DNetManager::OnConnected);
    }
    if (peerMessenger) {
        connect(peerMessenger, &PeerMessenger::DNetConnectionAccepted, this, &DNetManager::OnDNetConnectionAccepted);
        connect(peerMessenger, &PeerMessenger::DNetConnectionRequested, this,
                &DNetManager::OnDNetConnectionRequested);
    }
    connect(TimerManager::Obj(), &TimerManager::timeout, this, &DNetManager::EveryHalfMinute);
    m_answerTimer.setSingleShot(true);
    m_answerTimer.setInterval(0);
    connect(&m_answerTimer, &QTimer::timeout, this, &DNetManager::AnswerWaitingSearches);
    m_leaderTimer.setSingleShot(true);
    connect(&m_leaderTimer, &QTimer::timeout, this, &DNetManager::OnLeaderReportDue);
    dnetManager = this;
}

DNetManager::~DNetManager()
{
    for (auto const& l_entry : m_sockets) {
        l_entry.first->disconnect(this);
        delete l_entry.first;
    }
    if (dnetManager == this)
        dnetManager = nullptr;
}

void DNetManager::DeclareTypes()
{
    EnsureFlag("user", "attempted_dnet_connection");
    EnsureType("dnet_global", ROOT, false, true);
    EnsureType("dnet_value", LEAF, false, true);
    EnsureRelation("dnet_global", "dnet_value", MANY, ONE, false);
    EnsureType(kChild, ROOT, false, true);
    EnsureType("dnet_child_depth", LEAF, false, true);
    EnsureRelation(kChild, "user", ONE, ONE, false);
    EnsureRelation(kChild, "dnet_child_depth", MANY, ONE, false);
    EnsureType(kCandidate, ROOT, false, true);
    EnsureType("dnet_candidate_level", LEAF, false, true);
    EnsureType("dnet_candidate_leader", LEAF, false, true);
    EnsureRelation(kCandidate, "user", MANY, ONE, false);
    EnsureRelation(kCandidate, "dnet_candidate_level", MANY, ONE, false);
    EnsureRelation(kCandidate, "dnet_candidate_leader", MANY, ONE, false);

    // Whether we can take children follows our reported upload speed.
    if (d.HasType("global")) {
        PathNode* const lp_root = new PathNode(GetSettingItem("upload_speed"));
        new PathNode(lp_root, "global_value", PATH_CONNECTED_FIRES);
        d.AddPathEventHandler(lp_root,
                              new EventHandler<DNetManager, Item>(this, &DNetManager::OnReceivedOwnUploadSpeed));
    }
}

void DNetManager::SetClock(Clock i_clock)
{
    m_clock = std::move(i_clock);
}

qint64 DNetManager::Now() const
{
    return m_clock ? m_clock() : QDateTime::currentMSecsSinceEpoch();
}

bool DNetManager::HasParent() const
{
    return DNetValue(kParentUser).IsValid();
}

int DNetManager::ChildCount() const
{
    return int(d.GetType(kChild)->GetItemCount());
}

// ------------------------------------------------------------ can-parent

qint64 DNetManager::Capacity() const
{
    if (m_minParentSpeed == -1 || m_speedRatio <= 0 || !IsSettingSet("upload_speed"))
        return 0;
    qint64 const l_speed = GetSettingInt("upload_speed");
    if (l_speed < qint64(m_minParentSpeed) * 1024)
        return 0;
    return l_speed * 10 / 1024 / m_speedRatio;
}

void DNetManager::OnDNetParentMinSpeed(int i_speed)
{
    DLog(1, QStringLiteral("Received parent min speed %1, currently not processing").arg(i_speed));
    m_minParentSpeed = i_speed;
    DetermineCanParent();
}

void DNetManager::OnDNetParentSpeedConnectionRatio(int i_ratio)
{
    DLog(1, QStringLiteral("Received parent speed connection ratio %1, currently not processing").arg(i_ratio));
    m_speedRatio = i_ratio;
    DetermineCanParent();
}

void DNetManager::OnReceivedOwnUploadSpeed(Item)
{
    DetermineCanParent();
}

void DNetManager::DetermineCanParent()
{
    if (m_minParentSpeed == -1 || m_speedRatio == -1 || !IsSettingSet("upload_speed"))
        return;
    DLog(1, QStringLiteral("Determining whether we can accept child connections."));
    bool l_can = false;
    if (qint64(GetSettingInt("upload_speed")) < qint64(m_minParentSpeed) * 1024) {
        DLog(2, QStringLiteral("Below minimum parent speed, so no."));
    } else {
        // A ratio of 0 (or less) gives a capacity of 0: no children.
        qint64 const l_capacity = Capacity();
        DLog(2, QStringLiteral("Currently have %1 child connections, max capacity %2").arg(ChildCount()).arg(l_capacity));
        l_can = l_capacity > ChildCount();
    }
    if (l_can == m_canParentReported) {
        DLog(2, QStringLiteral("No status change, not notifying."));
        return;
    }
    m_canParentReported = l_can;
    DLog(2, QStringLiteral("Status changed, sending notification."));
    if (gp_server)
        gp_server->SendDNetCanParent(l_can);
}

void DNetManager::OnConnected()
{
    if (!gp_server)
        return;
    gp_server->SendDNetHasParent(HasParent());
    m_canParentReported = false;
    // A new login has heard of no leader yet.
    m_reportedLeader.clear();
    m_leaderTimer.stop();
    if (DNetValue(kGroupLeader).IsValid())
        ReportGroupLeader(true);
    Item const l_level = DNetValue(kLevel);
    if (l_level.IsValid())
        gp_server->SendDNetLevel(l_level.AsInt());
    DetermineCanParent();
}

void DNetManager::OnDNetDeliveryReport(int i_req)
{
    DLog(1, QStringLiteral("Received DNet delivery report request, req %1").arg(i_req));
}

void DNetManager::OnDNetReset()
{
    DLog(1, QStringLiteral("Received DNet reset request"));
}

// --------------------------------------------------------------- parents

void DNetManager::OnDNetPossibleParents(PossibleParentList& i_parentList)
{
    if (HasParent()) {
        DLog(1, QStringLiteral("Received possible parents list, but already have a parent. Not processing."));
        return;
    }
    DLog(1, QStringLiteral("Received possible parents list, %1 entries").arg(i_parentList.size()));
    QString const l_ownName = GetSetting("username");
    int l_attempts = 0;
    for (auto const& l_entry : i_parentList) {
        QString const& l_name = l_entry.first;
        // Our own searches would come back to us through ourselves forever.
        if (l_name == l_ownName)
            continue;
        Item const l_user = UserItem(l_name);
        if (l_user.IsConnected("attempted_dnet_connection")) {
            DLog(2, QStringLiteral("Already attempted parent connection to %1, skipping").arg(Isolated(l_name)));
            continue;
        }
        if (++l_attempts > MAX_PARENT_ATTEMPTS) {
            DLog(1, QStringLiteral("Not trying more than %1 possible parents of one list").arg(MAX_PARENT_ATTEMPTS));
            break;
        }
        DLog(2, QStringLiteral("Attempting parent connection to %1").arg(Isolated(l_name)));
        SetAttribute(l_user, "user_address", Value(static_cast<unsigned long long>(l_entry.second.m_ip)));
        SetAttribute(l_user, "user_port", Value(l_entry.second.m_port));
        l_user += d.GetType("attempted_dnet_connection")->GetGlobalNullItem();
        if (peerMessenger)
            peerMessenger->RequestDNetConnection(l_name);
    }
}

void DNetManager::OnDNetConnectionAccepted(QString i_user, QTcpSocket* ip_socket)
{
    DLog(1, QStringLiteral("Parent connection to user %1 accepted").arg(Isolated(i_user)));
    if (HasParent()) {
        DLog(2, QStringLiteral("Rejecting, already have parent"));
        Refuse(ip_socket);
        return;
    }
    DLog(2, QStringLiteral("Adding as possible parent candidate"));
    d.GetType(kCandidate)->GetItem(Value(ip_socket)) += UserItem(i_user);
    TakeSocket(ip_socket, Role::Candidate);
}

void DNetManager::Adopt(QTcpSocket* ip_socket)
{
    Item const l_candidate = d.GetType(kCandidate)->HasItem(Value(ip_socket));
    QString const l_user = l_candidate["user"].AsString();
    SetDNetValue(kParentUser, Value(l_user));
    SetDNetValue(kParentSocket, Value(ip_socket));
    m_sockets[ip_socket] = Role::Parent;
    DLog(1, QStringLiteral("Received first search request from parent candidate %1, adopting as parent.")
                .arg(Isolated(l_user)));
    if (Item const l_level = l_candidate["dnet_candidate_level"]; l_level.IsValid()) {
        DLog(2, QStringLiteral("Level recorded as %1.").arg(l_level.AsInt()));
        TakeLevel(l_level.AsInt());
    }
    if (Item const l_leader = l_candidate["dnet_candidate_leader"]; l_leader.IsValid()) {
        DLog(2, QStringLiteral("Group leader recorded as %1.").arg(Isolated(l_leader.AsString())));
        TakeGroupLeader(l_leader.AsString());
        SendToChildren(DNetWire::GroupLeaderMessage(l_leader.AsString()));
    }
    d.GetType(kCandidate)->GetItems().Remove();
    std::vector<QTcpSocket*> l_others;
    for (auto const& l_entry : m_sockets)
        if (l_entry.second == Role::Candidate)
            l_others.push_back(l_entry.first);
    for (QTcpSocket* lp_other : l_others)
        CloseSocket(lp_other, true);
    if (gp_server)
        gp_server->SendDNetHasParent(true);
}

void DNetManager::LoseParent()
{
    DLog(1, QStringLiteral("Parent socket closed"));
    for (char const* lp_key : {kParentUser, kParentSocket, kGroupLeader, kLevel})
        ClearDNetValue(lp_key);
    if (!gp_server)
        return;
    gp_server->SendDNetHasParent(false);
    gp_server->SendDNetGroupLeader(QString());
    m_leaderTimer.stop();
    m_reportedLeader.clear();
    m_lastLeaderReport = Now();
    gp_server->SendDNetLevel(-1);
}

void DNetManager::EveryHalfMinute()
{
    // After the clock went back, the silence counts from now.
    m_lastSearchTime = std::min(m_lastSearchTime, Now());
    QTcpSocket* const lp_parent = SocketOf(DNetValue(kParentSocket));
    if (lp_parent && Now() - m_lastSearchTime > PARENT_SILENCE_LIMIT) {
        DLog(1, QStringLiteral("More than a minute elapsed without hearing from parent, closing connection."));
        CloseSocket(lp_parent);
    }
}

// -------------------------------------------------------------- children

void DNetManager::OnDNetConnectionRequested(QString i_user, QTcpSocket* ip_socket)
{
    DLog(1, QStringLiteral("Child connection accepted from %1").arg(Isolated(i_user)));
    Item const l_user = UserItem(i_user);
    Item const l_old = l_user[kChild];
    if (l_old.IsValid()) {
        DLog(2, QStringLiteral("Child connection already found, closing old connection."));
        QTcpSocket* const lp_old = SocketOf(l_old);
        l_old.Remove();
        if (lp_old)
            CloseSocket(lp_old, true);
    } else if (ChildCount() >= Capacity()) {
        // Only clients the server sent can be children, and it sends them
        // while we say we have room; anyone else would cost us a copy of
        // every search.
        DLog(1, QStringLiteral("Refusing child connection from %1: no room for more children").arg(Isolated(i_user)));
        Refuse(ip_socket);
        return;
    }
    d.GetType(kChild)->GetItem(Value(ip_socket)) += l_user;
    TakeSocket(ip_socket, Role::Child);
    Item const l_level = DNetValue(kLevel);
    if (l_level.IsValid())
        ip_socket->write(DNetWire::Frame(DNetWire::LevelMessage(l_level.AsInt())));
    Item const l_leader = DNetValue(kGroupLeader);
    if (l_leader.IsValid())
        ip_socket->write(DNetWire::Frame(DNetWire::GroupLeaderMessage(l_leader.AsString())));
}

void DNetManager::DetermineChildDepth()
{
    qint64 const l_old = DNetValue(kChildDepth).AsInt64();
    qint64 l_new = 0;
    for (Item const& l_child : d.GetType(kChild)->GetItems()) {
        Item const l_depth = l_child["dnet_child_depth"];
        if (l_depth.IsValid())
            l_new = std::max(l_new, l_depth.AsInt64() + 1);
    }
    if (l_new == l_old)
        return;
    DLog(1, QStringLiteral("New child depth is %1").arg(l_new));
    SetDNetValue(kChildDepth, Value(static_cast<long long>(l_new)));
    if (gp_server)
        gp_server->SendChildDepth(l_new != 0);
}

void DNetManager::SendMessageToChildren(MemStream& i_message)
{
    SendToChildren(QByteArray::fromRawData(i_message.Data() + i_message.ReadIndex(), int(i_message.BytesAvailable())));
}

void DNetManager::SendToChildren(QByteArray const& i_message)
{
    QByteArray const l_frame = DNetWire::Frame(i_message);
    std::vector<QTcpSocket*> l_slow;
    for (auto const& l_entry : m_sockets) {
        if (l_entry.second != Role::Child)
            continue;
        QTcpSocket* const lp_child = l_entry.first;
        if (lp_child->bytesToWrite() + l_frame.size() > MAX_CHILD_BACKLOG)
            l_slow.push_back(lp_child);
        else
            lp_child->write(l_frame);
    }
    for (QTcpSocket* lp_child : l_slow) {
        DLog(1, QStringLiteral("Child %1 leaves more than %2 bytes unread; dropping it")
                    .arg(Isolated(d.GetType(kChild)->HasItem(Value(lp_child))["user"].AsString()),
                         QString::number(MAX_CHILD_BACKLOG)));
        CloseSocket(lp_child);
    }
}

// -------------------------------------------------------------- messages

void DNetManager::OnDNetMessage(MemStream& i_message)
{
    // Children refuse frames above the bound; we could not pass it on.
    if (i_message.BytesAvailable() > DNetWire::MAX_FRAME_LENGTH) {
        DLog(1, QStringLiteral("Distributed message of %1 bytes from the server is over the limit; dropped")
                    .arg(i_message.BytesAvailable()));
        return;
    }
    HandleMessage(nullptr, i_message);
}

void DNetManager::HandleMessage(QTcpSocket* ip_socket, MemStream& io_message)
{
    quint64 const l_start = io_message.ReadIndex();
    DNetWire::Message l_message;
    DNetWire::Decoded const l_decoded =
        DNetWire::Decode(io_message.Data() + l_start, io_message.BytesAvailable(), l_message);
    if (l_decoded == DNetWire::Decoded::NoCode) {
        DLog(1, QStringLiteral("Error reading message code, closing parent/candidate connection"));
        if (ip_socket)
            CloseSocket(ip_socket);
        return;
    }
    bool l_fromParent = false;
    bool l_fromCandidate = false;
    if (ip_socket) {
        auto const l_found = m_sockets.find(ip_socket);
        Role const l_wanted = HasParent() ? Role::Parent : Role::Candidate;
        if (l_found == m_sockets.end() || l_found->second != l_wanted) {
            CloseSocket(ip_socket);
            return;
        }
        l_fromParent = l_wanted == Role::Parent;
        l_fromCandidate = !l_fromParent;
    }
    if (l_decoded != DNetWire::Decoded::Ok) {
        DLog(1, QStringLiteral("Distributed message %1 is cut short or out of range").arg(l_message.m_code));
        if (ip_socket && l_decoded == DNetWire::Decoded::CutShort)
            CloseSocket(ip_socket);
        return;
    }
    switch (l_message.m_code) {
    case DNetWire::SEARCH:
        if (l_message.m_subCode == DNetWire::SEARCH_REQUEST) {
            // Two clients that each adopt the other pass every search
            // between them without end.
            if (l_fromCandidate && IsInOwnBranch(ip_socket)) {
                DLog(1, QStringLiteral("Not adopting %1 as parent: it is in our own branch")
                            .arg(Isolated(d.GetType(kCandidate)->HasItem(Value(ip_socket))["user"].AsString())));
                CloseSocket(ip_socket);
                return;
            }
            bool const l_new = RememberSearch(l_message.m_user, l_message.m_token, l_message.m_query);
            m_lastSearchTime = Now();
            if (l_fromCandidate && m_sockets.count(ip_socket))
                Adopt(ip_socket);
            if (!l_new)
                return;
            io_message.SetReadIndex(l_start);
            SendMessageToChildren(io_message);
            WaitToAnswer(l_message.m_user, l_message.m_token, l_message.m_query);
            return;
        }
        io_message.SetReadIndex(l_start);
        SendMessageToChildren(io_message);
        break;
    case DNetWire::LEVEL:
        if (ip_socket)
            HandleLevel(l_message.m_number, l_fromParent, ip_socket);
        break;
    case DNetWire::GROUP_LEADER:
        if (ip_socket)
            HandleGroupLeader(l_message.m_leader, l_fromParent, ip_socket, io_message, l_start);
        break;
    default:
        break;
    }
}

bool DNetManager::IsInOwnBranch(QTcpSocket* ip_socket) const
{
    Item const l_candidate = d.GetType(kCandidate)->HasItem(Value(ip_socket));
    Item const l_leader = l_candidate["dnet_candidate_leader"];
    return l_candidate["user"][kChild].IsValid() ||
           (l_leader.IsValid() && l_leader.AsString() == GetSetting("username"));
}

void DNetManager::WaitToAnswer(QString const& i_user, quint32 i_token, QString const& i_query)
{
    // An answer goes to the name the search gives: only a user name can be
    // reached, and anything else would only cost attempts.
    if (!IsUserName(i_user)) {
        DLog(2, QStringLiteral("Not answering a search from %1 bytes that are no user name").arg(i_user.size()));
        return;
    }
    qint64 const l_bytes = SearchBytes(i_user, i_query);
    if (m_waitingSearches.size() >= MAX_WAITING_SEARCHES || m_waitingSearchBytes + l_bytes > MAX_WAITING_SEARCH_BYTES) {
        if (m_unanswered++ == 0)
            DLog(1, QStringLiteral("%1 searches of %2 bytes wait to be answered; later ones are passed on unanswered")
                        .arg(m_waitingSearches.size())
                        .arg(m_waitingSearchBytes));
        return;
    }
    m_waitingSearchBytes += l_bytes;
    m_waitingSearches.emplace_back(i_user, i_token, i_query);
    if (!m_answerTimer.isActive())
        m_answerTimer.start();
}

void DNetManager::AnswerWaitingSearches()
{
    QElapsedTimer l_slice;
    l_slice.start();
    while (!m_waitingSearches.empty()) {
        auto const l_search = std::move(m_waitingSearches.front());
        m_waitingSearches.pop_front();
        m_waitingSearchBytes -= SearchBytes(std::get<0>(l_search), std::get<2>(l_search));
        emit DNetSearchRequest(std::get<0>(l_search), std::get<1>(l_search), std::get<2>(l_search));
        if (l_slice.elapsed() >= m_answerSliceMs)
            break;
    }
    if (!m_waitingSearches.empty()) {
        m_answerTimer.start();
    } else if (m_unanswered > 0) {
        DLog(1, QStringLiteral("%1 searches were passed on unanswered").arg(m_unanswered));
        m_unanswered = 0;
    }
}

bool DNetManager::RememberSearch(QString const& i_user, quint32 i_token, QString const& i_query)
{
    auto l_key = std::make_tuple(i_user, i_token, i_query);
    if (!m_seenSearches.insert(l_key).second)
        return false;
    m_seenOrder.push_back(std::move(l_key));
    if (m_seenOrder.size() > REMEMBERED_SEARCHES) {
        m_seenSearches.erase(m_seenOrder.front());
        m_seenOrder.pop_front();
    }
    return true;
}

void DNetManager::HandleLevel(qint32 i_level, bool i_fromParent, QTcpSocket* ip_socket)
{
    qint32 const l_own = i_level == -1 ? -1 : i_level + 1;
    if (!i_fromParent) {
        if (l_own != -1)
            SetValue(d.GetType(kCandidate)->HasItem(Value(ip_socket)), "dnet_candidate_level", Value(l_own));
        return;
    }
    if (l_own == LevelOrUnknown())
        return;
    DLog(1, QStringLiteral("Received level from parent, updating to %1").arg(l_own));
    TakeLevel(l_own);
}

void DNetManager::TakeLevel(qint32 i_level)
{
    if (i_level == -1)
        ClearDNetValue(kLevel);
    else
        SetDNetValue(kLevel, Value(i_level));
    if (gp_server)
        gp_server->SendDNetLevel(i_level);
    SendToChildren(DNetWire::LevelMessage(i_level));
}

void DNetManager::HandleGroupLeader(QString const& i_leader, bool i_fromParent, QTcpSocket* ip_socket,
                                    MemStream& io_message, quint64 i_start)
{
    if (!i_fromParent) {
        SetValue(d.GetType(kCandidate)->HasItem(Value(ip_socket)), "dnet_candidate_leader", Value(i_leader));
        return;
    }
    if (i_leader == DNetValue(kGroupLeader).AsString())
        return;
    DLog(1, QStringLiteral("Received group leader from parent, updating to %1").arg(Isolated(i_leader)));
    TakeGroupLeader(i_leader);
    io_message.SetReadIndex(i_start);
    SendMessageToChildren(io_message);
}

void DNetManager::TakeGroupLeader(QString const& i_leader)
{
    SetDNetValue(kGroupLeader, Value(i_leader));
    ReportGroupLeader(false);
}

void DNetManager::ReportGroupLeader(bool i_due)
{
    QString const l_leader = DNetValue(kGroupLeader).AsString();
    if (l_leader == m_reportedLeader || !gp_server)
        return;
    // A parent may change the leader as often as it likes; the server hears
    // the latest one, once an interval.
    qint64 const l_wait = m_lastLeaderReport + LEADER_REPORT_INTERVAL - Now();
    if (!i_due && m_lastLeaderReport != 0 && l_wait > 0) {
        if (!m_leaderTimer.isActive())
            m_leaderTimer.start(int(qMin(l_wait, LEADER_REPORT_INTERVAL)));
        return;
    }
    m_leaderTimer.stop();
    m_reportedLeader = l_leader;
    m_lastLeaderReport = Now();
    gp_server->SendDNetGroupLeader(l_leader);
}

void DNetManager::OnLeaderReportDue()
{
    ReportGroupLeader(true);
}

void DNetManager::HandleChildMessage(QTcpSocket* ip_socket, MemStream& io_message)
{
    DNetWire::Message l_message;
    DNetWire::Decoded const l_decoded =
        DNetWire::Decode(io_message.Data() + io_message.ReadIndex(), io_message.BytesAvailable(), l_message);
    if (l_decoded == DNetWire::Decoded::NoCode) {
        DLog(1, QStringLiteral("Error reading message code, closing child connection"));
        CloseSocket(ip_socket);
        return;
    }
    Item const l_child = d.GetType(kChild)->HasItem(Value(ip_socket));
    if (l_child.IsNull()) {
        CloseSocket(ip_socket);
        return;
    }
    DLog(1, QStringLiteral("Received message from child, code %1").arg(l_message.m_code));
    if (l_message.m_code != DNetWire::CHILD_DEPTH)
        return;
    if (l_decoded == DNetWire::Decoded::CutShort) {
        CloseSocket(ip_socket);
        return;
    }
    if (l_decoded == DNetWire::Decoded::BadValue) {
        DLog(1, QStringLiteral("Child depth %1 is out of range; ignored").arg(l_message.m_number));
        return;
    }
    DLog(1, QStringLiteral("Received child depth %1 from %2")
                .arg(l_message.m_number)
                .arg(Isolated(l_child["user"].AsString())));
    SetValue(l_child, "dnet_child_depth", Value(l_message.m_number));
    DetermineChildDepth();
}

// --------------------------------------------------------------- sockets

void DNetManager::TakeSocket(QTcpSocket* ip_socket, Role i_role)
{
    ip_socket->setParent(this);
    m_sockets[ip_socket] = i_role;
    // ReadFrames and CloseSocket go by the socket's role: one pair of slots
    // serves them all.
    connect(ip_socket, &QTcpSocket::readyRead, this, &DNetManager::OnSocketReadyToRead);
    connect(ip_socket, &QTcpSocket::disconnected, this, &DNetManager::OnSocketGone);
    connect(ip_socket, &QTcpSocket::errorOccurred, this, &DNetManager::OnSocketGone);
    // Frames that came with the handshake are already waiting, as much as
    // the messenger read ahead. They are taken before the buffer is bounded:
    // a socket bounded below what it holds stops reading for good, and the
    // frame begun last would never be finished.
    if (ip_socket->bytesAvailable() > 0)
        ReadFrames(ip_socket);
    else if (ip_socket->state() != QAbstractSocket::ConnectedState)
        CloseSocket(ip_socket);
    if (m_sockets.count(ip_socket))
        ip_socket->setReadBufferSize(READ_BUFFER_SIZE);
}

void DNetManager::ReadFrames(QTcpSocket* ip_socket)
{
    for (;;) {
        auto const l_found = m_sockets.find(ip_socket);
        if (l_found == m_sockets.end() || ip_socket->bytesAvailable() < 4)
            return;
        char l_header[4];
        ip_socket->peek(l_header, 4);
        quint32 const l_length = qFromLittleEndian<quint32>(l_header);
        if (!DNetWire::FrameLengthAllowed(l_length)) {
            DLog(1, QStringLiteral("Distributed frame of %1 bytes; closing the connection").arg(l_length));
            CloseSocket(ip_socket);
            return;
        }
        if (quint64(ip_socket->bytesAvailable()) < 4 + quint64(l_length))
            return;
        ip_socket->read(l_header, 4);
        m_message.Clear();
        MemBuffer& l_buffer = *m_message.mp_buffer;
        l_buffer.m_bytes.resize(l_length);
        ip_socket->read(l_buffer.m_bytes.data(), l_length);
        l_buffer.m_writeIndex = l_length;
        if (l_found->second == Role::Child)
            HandleChildMessage(ip_socket, m_message);
        else
            HandleMessage(ip_socket, m_message);
    }
}

QTcpSocket* DNetManager::SocketOf(Item const& i_item) const
{
    if (i_item.IsNull())
        return nullptr;
    auto* const lp_socket = reinterpret_cast<QTcpSocket*>(static_cast<quintptr>(i_item.AsUInt64()));
    return m_sockets.count(lp_socket) ? lp_socket : nullptr;
}

void DNetManager::CloseSocket(QTcpSocket* ip_socket, bool i_quietly)
{
    auto const l_found = m_sockets.find(ip_socket);
    if (l_found == m_sockets.end()) {
        Discard(ip_socket);
        return;
    }
    Role const l_role = l_found->second;
    m_sockets.erase(l_found);
    Discard(ip_socket);
    if (i_quietly)
        return;
    switch (l_role) {
    case Role::Parent:
        LoseParent();
        break;
    case Role::Candidate:
        DLog(1, QStringLiteral("Parent candidate socket closed"));
        d.GetType(kCandidate)->HasItem(Value(ip_socket)).Remove();
        break;
    case Role::Child: {
        DLog(1, QStringLiteral("Child socket closed"));
        Item const l_child = d.GetType(kChild)->HasItem(Value(ip_socket));
        if (l_child.IsNull())
            DLog(2, QStringLiteral("Child socket item not found, aborting"));
        l_child.Remove();
        break;
    }
    }
}

void DNetManager::Discard(QTcpSocket* ip_socket)
{
    // Our slots go first, so that closing does not call back into us.
    ip_socket->disconnect(this);
    ip_socket->abort();
    ip_socket->deleteLater();
}

void DNetManager::Refuse(QTcpSocket* ip_socket)
{
    // Closed once what is written has gone out: a connection we made back
    // for the peer still delivers its handshake, so the peer learns who
    // refused it instead of seeing a connection close without a byte.
    ip_socket->setParent(this);
    connect(ip_socket, &QAbstractSocket::disconnected, ip_socket, &QObject::deleteLater);
    ip_socket->disconnectFromHost();
    if (ip_socket->state() == QAbstractSocket::UnconnectedState)
        ip_socket->deleteLater();
}

void DNetManager::OnSocketReadyToRead()
{
    ReadFrames(qobject_cast<QTcpSocket*>(sender()));
}

// Errors are closes. Frames that arrived with the close are handled first.
void DNetManager::OnSocketGone()
{
    auto* const lp_socket = qobject_cast<QTcpSocket*>(sender());
    ReadFrames(lp_socket);
    CloseSocket(lp_socket);
}
