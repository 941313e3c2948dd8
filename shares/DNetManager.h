#ifndef QUILLMAR_SHARES_DNETMANAGER_H
#define QUILLMAR_SHARES_DNETMANAGER_H

// Our place in the distributed search tree: at most one parent, from which
// searches come, and children, to which every search from the parent is
// passed on. The server proposes possible parents; we connect to them as
// candidates and adopt the first that delivers a search. We tell the server
// whether we have a parent, whether we can take children, our level, our
// group leader and whether we have grandchildren.
//
// State lives in the store ("dnet_global" variables, "dnet_child" and
// "dnet_parent_candidate" items keyed by their socket); the sockets
// themselves are owned here. Frames: docs/protocol.md, "Distributed search
// messages". Design notes: docs/shares.md, "Distributed search tree".

#include "server/TCPAddress.h"
#include "store/Data.h"
#include "store/MemStream.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <tuple>

class QTcpSocket;

class DNetManager : public QObject, public DataHandler
{
    Q_OBJECT
public:
    // Declares the tree's store types and connects to the server link, the
    // peer messenger and the half-minute timer when they exist. The
    // settings types and "user" must be declared first.
    explicit DNetManager(QObject* ip_parent = nullptr);
    ~DNetManager() override;

    // A parent silent (no search) for longer than this is dropped.
    static constexpr qint64 PARENT_SILENCE_LIMIT = 60 * 1000;
    // A child that leaves more than this unread is dropped.
    static constexpr qint64 MAX_CHILD_BACKLOG = 1024 * 1024;
    // At most this many users of one possible-parents list are tried.
    static constexpr int MAX_PARENT_ATTEMPTS = 50;
    // Searches remembered so that one that comes round again is neither
    // answered nor passed on a second time.
    static constexpr std::size_t REMEMBERED_SEARCHES = 1000;
    // Searches are passed on at once and answered afterwards, in slices, so
    // that the relay keeps its rate whatever answering costs. Beyond this
    // many waiting, or these many bytes of names and texts, a search is
    // passed on but not answered.
    static constexpr std::size_t MAX_WAITING_SEARCHES = 50000;
    static constexpr qint64 MAX_WAITING_SEARCH_BYTES = 16 * 1024 * 1024;
    // The group leader goes to the server at most this often (milliseconds).
    static constexpr qint64 LEADER_REPORT_INTERVAL = 1000;

    typedef std::function<qint64()> Clock; // milliseconds since the epoch
    void SetClock(Clock i_clock);
    // How long one slice of answering may hold the event loop.
    void SetAnswerSlice(qint64 i_ms) { m_answerSliceMs = i_ms; }
    std::size_t WaitingSearchCount() const { return m_waitingSearches.size(); }

    bool HasParent() const;
    int ChildCount() const;
    // How many children our upload speed carries under the server's ratio;
    // 0 while the server's parameters or our speed are unknown, below the
    // minimum speed, or with a ratio of 0 or less.
    qint64 Capacity() const;

    // One message from the parent, a candidate, or (null socket) the
    // server; the message starts at the stream's read position.
    void HandleMessage(QTcpSocket* ip_socket, MemStream& io_message);
    void HandleChildMessage(QTcpSocket* ip_socket, MemStream& io_message);
    // Writes the message from the stream's read position to its end as one
    // frame to every child.
    void SendMessageToChildren(MemStream& i_message);

public slots:
    void OnDNetParentMinSpeed(int i_speed);
    void OnDNetParentSpeedConnectionRatio(int i_ratio);
    void OnDNetPossibleParents(PossibleParentList& i_parentList);
    void OnDNetMessage(MemStream& i_message);
    void OnDNetDeliveryReport(int i_req);
    void OnDNetReset();
    void OnDNetConnectionAccepted(QString i_user, QTcpSocket* ip_socket);
    void OnDNetConnectionRequested(QString i_user, QTcpSocket* ip_socket);
    void OnConnected();
    void EveryHalfMinute();
    // Store observer: our upload speed was reported.
    void OnReceivedOwnUploadSpeed(Item i_setting);

signals:
    // A search to answer.
    void DNetSearchRequest(QString i_user, quint32 i_req, QString i_searchText);

private slots:
    // Emits DNetSearchRequest for waiting searches, for one slice.
    void AnswerWaitingSearches();
    // The interval since the last group-leader report has passed.
    void OnLeaderReportDue();
    void OnSocketReadyToRead();
    // Closed or failed.
    void OnSocketGone();

private:
    enum class Role { Candidate, Parent, Child };

    qint64 Now() const;
    void DeclareTypes();
    // Takes a socket handed over by the peer messenger.
    void TakeSocket(QTcpSocket* ip_socket, Role i_role);
    void ReadFrames(QTcpSocket* ip_socket);
    // Forgets a socket of ours, with what its loss means for its role, and
    // closes it; i_quietly skips the loss (candidates dropped at adoption).
    void CloseSocket(QTcpSocket* ip_socket, bool i_quietly = false);
    // Closes a socket that is not (or no longer) ours at once.
    void Discard(QTcpSocket* ip_socket);
    // Closes a socket we do not take, after what was written to it.
    void Refuse(QTcpSocket* ip_socket);
    QTcpSocket* SocketOf(Item const& i_item) const;
    void Adopt(QTcpSocket* ip_socket);
    // The candidate lies below us in the tree (our child, or its group
    // leader is we): adopting it would close a loop.
    bool IsInOwnBranch(QTcpSocket* ip_socket) const;
    // False when the search was seen lately.
    bool RememberSearch(QString const& i_user, quint32 i_token, QString const& i_query);
    void LoseParent();
    void HandleLevel(qint32 i_level, bool i_fromParent, QTcpSocket* ip_socket);
    void HandleGroupLeader(QString const& i_leader, bool i_fromParent, QTcpSocket* ip_socket, MemStream& io_message,
                           quint64 i_start);
    void SendToChildren(QByteArray const& i_message);
    // Our level in the tree (-1: none) and group leader, as the parent gives
    // them: kept and told to the server; the level also goes down to the
    // children.
    void TakeLevel(qint32 i_level);
    void TakeGroupLeader(QString const& i_leader);
    // Tells the server our group leader when it changed since the last
    // report, at once or when the interval has passed (i_due: it has).
    void ReportGroupLeader(bool i_due);
    void WaitToAnswer(QString const& i_user, quint32 i_token, QString const& i_query);
    void DetermineCanParent();
    void DetermineChildDepth();

    MemStream m_message; // one incoming frame at a time
    qint32 m_minParentSpeed = -1;
    qint32 m_speedRatio = -1;
    bool m_canParentReported = false;
    qint64 m_lastSearchTime = 0; // 0: none yet
    Clock m_clock;
    std::map<QTcpSocket*, Role> m_sockets;
    std::set<std::tuple<QString, quint32, QString>> m_seenSearches;
    std::deque<std::tuple<QString, quint32, QString>> m_seenOrder; // oldest first
    std::deque<std::tuple<QString, quint32, QString>> m_waitingSearches;
    qint64 m_waitingSearchBytes = 0;
    QTimer m_answerTimer;
    qint64 m_answerSliceMs = 10;
    quint64 m_unanswered = 0; // searches not answered since the last line that said so
    QString m_reportedLeader;
    qint64 m_lastLeaderReport = 0; // 0: none yet
    QTimer m_leaderTimer;
};

extern DNetManager* dnetManager;

#endif
