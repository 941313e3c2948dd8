#ifndef QUILLMAR_PEERS_PEERMESSENGER_H
#define QUILLMAR_PEERS_PEERMESSENGER_H

// Connections to other users' clients: the two listeners, direct and
// server-relayed connection set-up, the handshake, framing and obfuscation of
// messaging ("P") connections, the unsent-message queue, and the hand-over of
// file ("F") and distributed ("D") sockets to their owners. The messages that
// travel on "P" connections are built and dispatched in PeerMessages.cpp;
// the rest is split by concern over PeerMessenger.cpp (listeners, links,
// time), PeerAttempts.cpp, PeerFrames.cpp, PeerTrust.cpp and PeerUnsent.cpp.
// Wire formats: docs/protocol.md, "Peer protocol"; design notes:
// docs/peers.md.

#include "peers/ConnectionCount.h"
#include "peers/PeerCodec.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/FileInfo.h"
#include "store/MemStream.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class QTcpSocket;
class SlicedWork;
class QTimer;

class PeerMessenger : public QObject, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT
public:
    explicit PeerMessenger(QObject* ip_parent = nullptr);
    ~PeerMessenger() override;

    // Opens the listeners (the saved data holds the ports).
    void DataLoaded() override;
    void NoData() override;

    // ---- sending (messages are a u32 code and the payload)
    // Our own messages: requests, transfer messages.
    void SendMessage(QString i_user, MemStream& i_message);
    // An answer to another user's request (search results, folder contents,
    // a share list, user information): anyone can make us send one, to any
    // name, so answers are bounded more tightly when they must wait, are
    // dropped when the user could not be reached lately, and what shows our
    // shares never reaches a user the answer gate bars by the time it leaves
    // (a share list that waited for him is made again, for what he sees
    // then).
    void SendMessageToUser(QString i_user, MemStream& i_message);
    // The same for a message already in one buffer (an answer made on a
    // worker, a share list of tens of megabytes): the bytes are shared on
    // their way to the socket, never copied whole on this thread.
    void SendMessageToUser(QString const& i_user, QByteArray const& i_message);

    void GetUserSharedFiles(QString i_user);
    void GetUserInfo(QString i_user);
    quint32 RequestUpload(QString i_user, QString i_file, qint64 i_size);
    void AcceptTransferRequest(QString i_user, uint i_token, bool i_withSize, qint64 i_size);
    void DenyTransferRequest(QString i_user, uint i_token, QString i_reason);
    void QueueDownload(QString i_user, std::string i_file);
    void SendUploadPlaceInLine(QString i_user, QString i_file, int i_place);
    void DenyUpload(QString i_user, QString i_file, QString i_reason);
    void QueueUpload(QString i_user, QString i_file, qint64 i_size);

    // ---- connection requests
    void RequestFileConnectionToUser(QString i_user);
    void RequestDNetConnection(QString i_user);

    // ---- state
    quint16 ListeningPort() const;
    quint16 ObfuscatedPort() const;
    int OpenMessagingConnectionCount(QString const& i_user) const;
    int PendingSocketCount() const; // sockets not yet past their handshake
    int SocketCount() const { return int(m_links.size()); }
    int UnsentMessageCount(QString const& i_user) const;
    int UnsentMessageCount() const { return m_unsentCount; }
    int AttemptCount() const { return int(m_attempts.size()); }
    int WaitingAttemptCount() const { return int(m_waitingAttempts.size()); }

    // Handles one message as if it came on a checked messaging connection
    // of the user; false when it is malformed (its connection would go).
    // The connections call it, and so does the fuzz target of the handlers.
    bool DispatchMessage(QString const& i_user, QByteArray const& i_payload);

    // Share-list provider for peer message 4: hands the complete peer
    // message 5 for that user to i_reply, at once or later on this thread
    // (a large list is compressed on a worker). The reply sends it to the
    // user as SendMessage does, or logs that there is none when it is
    // empty; once the messenger is gone it does nothing. Set by the
    // shared-folders manager.
    typedef std::function<void(QByteArray i_message)> ShareListReply;
    typedef std::function<void(QString const& i_user, ShareListReply i_reply)> ShareListProvider;
    static void SetShareListProvider(ShareListProvider i_provider);
    // False when the user is barred from our shares: an answer made
    // earlier (before his address was known, or while a worker compressed
    // it) may not go to him. Set by the shared-folders manager; without it
    // every answer may go.
    typedef std::function<bool(QString const& i_user)> AnswerGate;
    static void SetAnswerGate(AnswerGate i_gate);

    // ---- time and bounds
    typedef std::function<qint64()> Clock; // milliseconds since the epoch
    void SetClock(Clock i_clock);
    qint64 Now() const;
    // Phases of an outgoing connection (real time, milliseconds).
    void SetAttemptTimeouts(int i_addressMs, int i_directMs, int i_indirectMs);

    // What strangers can make us hold or do at once.
    struct Limits
    {
        // Connections made or accepted and not yet deleted, handed-over ones
        // included (ConnectionCount.h): beyond, incoming ones are closed,
        // connect-backs refused and our own attempts go through the server.
        int m_maxSockets = ConnectionCount::Bound();
        qint64 m_maxBufferedBytes = 256ll * 1024 * 1024;  // unfinished frames of all links
        qint64 m_stalledFrameMs = 60 * 1000;              // on the clock above
        int m_maxPendingConnectBacks = 100;
        int m_connectBackMs = 12 * 1000;                  // real time
        quint64 m_maxSearchFiles = 250000;                // of all answers to one search
        // Files of one user's answers to one search that are kept: a
        // results tab shows no more of one user.
        std::size_t m_maxSearchFilesPerUser = 10000;
        // Search answers read in slices, one at a time: those that wait
        // their turn, in bytes as they came.
        qint64 m_maxWaitingAnswerBytes = 64ll * 1024 * 1024;
        int m_maxHeldMessages = 64;                       // per link awaiting its check
        int m_maxAttempts = 500;                          // pending at once; more wait their turn
        // Messages waiting for a connection: per user, answers in all, and
        // all in all (answers cannot crowd out our own messages).
        int m_maxUnsentPerUser = 256;
        qint64 m_maxUnsentBytesPerUser = 65ll * 1024 * 1024; // the largest message and 1 MiB
        int m_maxUnsentAnswers = 20000;
        qint64 m_maxUnsentAnswerBytes = 128ll * 1024 * 1024;
        int m_maxUnsent = 25000;
        qint64 m_maxUnsentBytes = 256ll * 1024 * 1024;
        qint64 m_unreachableHoldMs = 5 * 60 * 1000;       // no answers to a user we could not reach
        std::size_t m_maxUnreachableUsers = 20000;        // remembered; the oldest are forgotten
        int m_readSliceMs = 10;                           // frames of all links per turn of the event loop
    };
    void SetLimits(Limits const& i_limits);
    qint64 BufferedBytes() const { return m_bufferedBytes; }
    // Share lists being read (in slices) and not yet handed on.
    int ShareListsBeingRead() const { return m_shareListsRead; }
    // Search answers not yet stored: waiting, being read or being stored.
    std::size_t SearchAnswersWaiting() const
    {
        return m_waitingAnswers.size() + (mp_answerReader || m_answerItem.IsValid() ? 1 : 0);
    }
    // Comparisons of answers' digests the check for repeated search answers
    // made: those of a look-up in a set for each answer, however many came
    // before it.
    quint64 RepeatCheckSteps() const { return m_repeatCheckSteps; }
    // Digests of answers held for the repeat check, of searches still
    // there and of searches gone whose digests are not yet freed.
    std::size_t SearchDigestsHeld() const;

    // Time-outs (milliseconds on the clock above).
    static constexpr qint64 UNSENT_MESSAGE_LIFETIME = 300 * 1000;
    static constexpr qint64 HANDSHAKE_TIMEOUT = 30 * 1000;
    static constexpr qint64 IDLE_MESSAGING_TIMEOUT = 10 * 60 * 1000;
    // A share list or folder listing is read only from a user we asked
    // within this time, once per request.
    static constexpr qint64 REQUEST_ANSWER_TIME = 10 * 60 * 1000;
    static constexpr std::size_t MAX_OPEN_REQUESTS = 8; // per user and kind

public slots:
    void EveryHalfMinute();

    // From the server link.
    void OnPeerAddress(QString i_user, quint32 i_ip, int i_port);
    void OnConnectBackRequested(QString i_user, QString i_type, quint32 i_ip, int i_port, quint32 i_token);
    void OnConnectBackFailed(quint32 i_token);

signals:
    void ConnectionToUserFailed(QString i_user, QString i_type);
    void FileConnectionAccepted(QString i_user, QTcpSocket* ip_socket);
    void FileConnectionRequested(QString i_user, QTcpSocket* ip_socket, uint i_token);
    void DNetConnectionAccepted(QString i_user, QTcpSocket* ip_socket);
    void DNetConnectionRequested(QString i_user, QTcpSocket* ip_socket);

    // Incoming peer messages.
    void UserShare(QString i_user, FileInfoMap& i_share, AttributeTranslationTable& i_table);
    // The share list we asked the user for came and was refused; i_reason
    // says why ("holds a name of ... bytes, ..."), to follow "it".
    void ShareListRefused(QString i_user, QString i_reason);
    // Peer message 37: the files of one folder, i_folder as we asked for it.
    void FolderContentsReceived(QString i_user, quint32 i_token, std::string i_folder, FileInfoMap& i_contents);
    void SearchResults(Item i_searchResults);
    void UserInfoRequested(QString i_user);
    void UserInfoReceived(QString i_user, QString i_description, bool i_hasPicture, char* ip_picture,
                          int i_pictureLength, int i_uploadSlots, int i_queuedUploads, bool i_freeUploadSlots);
    void SharedFilesInFolderRequested(QString i_user, quint32 i_token, QString i_folder);
    void FileTransferRequested(QString i_user, int i_direction, uint i_token, std::string i_file, qint64 i_size);
    void FileTransferResponse(QString i_user, uint i_token, bool i_accepted, bool i_receivedFileSize,
                              qint64 i_fileSize, QString i_denialReason);
    void QueueUploadRequested(QString i_user, QString i_file);
    void DownloadPlaceInLine(QString i_user, std::string i_file, int i_place);
    void UploadFailed(QString i_user, std::string i_file);
    void UploadDenied(QString i_user, std::string i_file, QString i_reason);
    void UploadPlaceInLineRequested(QString i_user, QString i_file);
    void QueueDownloadRequested(QString i_user, std::string i_file, qint64 i_size);

private slots:
    void OnNewConnection();
    void OnSocketReadyRead();
    void OnSocketConnected();
    void OnSocketClosed();
    void OnSocketBytesWritten();
    void OnAttemptTimeout();

private:
    enum class LinkState { Connecting, AwaitingHandshake, AwaitingToken, Open };
    enum class LinkRole {
        Accepted,       // the peer connected to us directly
        Direct,         // we connected to the peer for our own request
        ConnectBack,    // we connect back because the peer asked through the server
    };
    struct Link
    {
        QTcpSocket* mp_socket = nullptr;
        LinkState m_state = LinkState::AwaitingHandshake;
        LinkRole m_role = LinkRole::Accepted;
        bool m_obfuscated = false;
        QString m_user;          // set through SetLinkUser, which keeps the index by user
        QString m_type;
        quint64 m_serial = 0;    // newer links have larger serials
        quint64 m_attempt = 0;   // the attempt a Direct link serves
        quint32 m_token = 0;     // the relay token a ConnectBack link answers
        bool m_answersOurRequest = false; // the peer connected back for our request
        bool m_connectingBack = false;    // counted in m_connectingBacks
        qint64 m_started = 0;
        qint64 m_lastActivity = 0;
        qint64 m_buffered = 0;   // bytes of an unfinished frame
        qint64 m_progress = 0;   // when they last grew
        qint64 m_skipping = 0;   // bytes left of a frame dropped as it arrives
        // Whether the link is the user it names. Only a messaging link the
        // peer opened with its own name needs the check; until it passes, it
        // receives nothing of ours, and its transfer messages and requests
        // wait in m_held.
        enum class Trust { Trusted, Pending, Untrusted } m_trust = Trust::Trusted;
        std::vector<QByteArray> m_held;
        // Frames larger than a piece, and every frame after one, wait here
        // and go to the socket a piece at a time as it drains: the socket
        // copies what it is given (15 MB took 9 ms), and the whole frame was
        // built by another copy before.
        struct Outgoing
        {
            QByteArray m_payload;
            quint32 m_key = 0;
            qint64 m_written = 0; // bytes of the frame
        };
        std::deque<Outgoing> m_outgoing;
        qint64 m_outgoingBytes = 0; // not yet given to the socket
        // Frames are handled in slices: the next one is scheduled, or the
        // peer has closed and the link goes once its last frames are handled.
        bool m_readScheduled = false;
        bool m_peerGone = false;
        // Search answers of the link still being read: its next frames wait
        // for them, so that nothing overtakes an answer.
        int m_answersWaiting = 0;
    };
    enum class AttemptPhase { Address, Direct, Indirect };
    struct Attempt
    {
        quint64 m_id = 0;
        QString m_user;
        QString m_type;
        AttemptPhase m_phase = AttemptPhase::Address;
        QTcpSocket* mp_socket = nullptr; // the direct connection in progress
        quint32 m_token = 0;             // the relay token of the indirect phase
        QTimer* mp_timer = nullptr;
    };

    void DeclareTypes();
    void OpenListeners();
    bool Listen(QTcpServer& io_server, quint16 i_port, char const* ip_what);

    Link* FindLink(QTcpSocket* ip_socket);
    // Takes a connected socket on, counted against the connection bound
    // until it is destroyed.
    Link& AddSocket(QTcpSocket* ip_socket, LinkRole i_role, bool i_obfuscated);
    void SetLinkUser(Link& io_link, QString const& i_user);
    void UnindexLink(Link const& i_link);
    // The link no longer waits to connect back.
    void EndConnectingBack(Link& io_link);
    // Forgets the link and its share of the buffered bytes, handing it to
    // op_link; false when there was none.
    bool RemoveLink(QTcpSocket* ip_socket, Link* op_link = nullptr);
    // False when the link was closed for holding too much.
    bool CountBuffered(Link& io_link);
    // Dispatches one message of an open link; false when the link was closed.
    bool HandleMessage(QTcpSocket* ip_socket, QByteArray const& i_payload);
    // The link's next frames are read on the next turn of the event loop.
    void ScheduleRead(QTcpSocket* ip_socket);
    void CloseLink(QTcpSocket* ip_socket, QString const& i_reason);
    // Forgets and drops a socket of ours that never became a working link.
    void DiscardSocket(QTcpSocket* ip_socket);
    void HandOver(QTcpSocket* ip_socket);
    // False (with one log line until connections end) when the bound on
    // connections is reached.
    bool RoomForConnection(char const* ip_refused);
    // One whole frame from the link's socket. False when none is complete
    // yet, or when the link was closed for an empty or oversize one.
    bool TakeFrame(Link& io_link, quint32 i_maxLength, char const* ip_kind, QByteArray& o_payload);
    void ReadHandshake(Link& io_link);
    void ReadToken(Link& io_link);
    // Handles the link's complete frames for at most one slice, then
    // schedules the rest for the next turn of the event loop.
    void ReadMessages(Link& io_link);
    // Drops a frame that would be dropped unread anyway (an answer we did
    // not ask for) as its bytes arrive, instead of gathering it first.
    // False while bytes of such a frame are still to come.
    bool SkipUnaskedFrame(Link& io_link);
    void CompleteHandshake(QTcpSocket* ip_socket);
    void OpenMessaging(Link& io_link);
    // The sender check of a messaging link the peer opened.
    void CheckSender(Link& io_link);
    void Trust(QTcpSocket* ip_socket);
    void Distrust(QTcpSocket* ip_socket, QString const& i_reason);
    // The links of i_user that await their check.
    std::vector<QTcpSocket*> UncheckedLinks(QString const& i_user) const;
    // False when the message must wait for the check or is dropped.
    bool MayAct(Link& io_link, QByteArray const& i_payload);
    // False when the link was closed instead (its peer left too much unread).
    bool WriteFrame(Link& io_link, QByteArray const& i_payload);
    // Gives the socket the next pieces of the waiting frames while it holds
    // less than one piece.
    void WriteOutgoing(Link& io_link);
    static constexpr qint64 FRAME_PIECE = 1 << 20;
    Link* NewestMessagingLink(QString const& i_user);

    // Writes the message to the user's newest messaging link, or queues it
    // until one is open; an answer (i_answer) is bounded as said above.
    void Send(QString const& i_user, QByteArray const& i_message, bool i_answer);
    // False (with a log line) when the answer is held back: the user could
    // not be reached lately, or it was made before he was barred.
    bool MayAnswer(QString const& i_user, QByteArray const& i_message);
    bool IsBarredAnswer(QString const& i_user, QByteArray const& i_message) const;

    // Starts an attempt, or lets it wait for a free place.
    void RequestAttempt(QString const& i_user, QString const& i_type);
    void StartAttempt(QString const& i_user, QString const& i_type);
    // Starts waiting attempts while there is room (from the event loop).
    void StartWaitingAttempts();
    Attempt* FindAttempt(quint64 i_id);
    // The attempt whose connect-back carries the token.
    Attempt* FindAttemptByToken(quint32 i_token);
    // The user's attempts (ids) in the given phase, or in any.
    std::vector<quint64> AttemptsOf(QString const& i_user, QString const& i_type) const;
    // An attempt under way or waiting for its place.
    bool HasAttempt(QString const& i_user, QString const& i_type) const;
    void StartDirect(Attempt& io_attempt, quint32 i_ip, int i_port);
    void StartIndirect(Attempt& io_attempt);
    // i_unreachable: the user could not be reached (not: we had no server).
    void FailAttempt(quint64 i_id, QString const& i_reason, bool i_unreachable);
    void CancelAttempt(quint64 i_id);
    void FinishAttempt(quint64 i_id);
    void ArmTimer(Attempt& io_attempt, int i_ms);
    bool LookUpStoredAddress(QString const& i_user, quint32& o_ip, int& o_port) const;

    // False when a bound kept the message out.
    bool QueueUnsent(QString const& i_user, QByteArray const& i_message, bool i_answer);
    void FlushUnsent(Link& io_link);
    void ExpireUnsent();
    // Drops the answers waiting for the user (his attempt failed).
    void DropUnsentAnswers(QString const& i_user);
    struct Unsent;
    // Forgets at most i_most of the user's waiting messages that i_drop
    // picks, with what they counted; the number forgotten.
    int DropUnsent(QString const& i_user, std::function<bool(Unsent const&)> const& i_drop,
                   int i_most = std::numeric_limits<int>::max());
    void NoteUnreachable(QString const& i_user);
    void ForgetOldUnreachable();

    // Filled by PeerMessages.cpp.
    void ApplyMessage(QString const& i_user, PeerCodec::Message& io_message);
    // Whether an answer to search i_token from the user is wanted, judged
    // before its files are read; logs why not.
    bool WantsSearchAnswer(QString const& i_user, quint32 i_token);
    // A search answer waits its turn to be read and stored in slices.
    void QueueSearchAnswer(QString const& i_user, quint32 i_token, QByteArray const& i_payload);
    // One step of the answer being taken; false once none is left.
    bool TakeAnswerStep();
    // The answer read: checked, and its item made (null when it is not taken).
    Item BeginSearchAnswer(QString const& i_user, PeerCodec::SearchAnswerReader& io_reader);
    // Some of its files stored; false once all are.
    bool StoreAnswerFiles();
    // The answer is done with: its link reads on, or goes (i_malformed).
    void EndSearchAnswer(QString const& i_malformed = QString());
    void AnswerShareListRequest(QString const& i_user);

    // The requests whose answers we read only when we asked: share lists
    // (4, answered by 5) and folder contents (36, answered by 37).
    void NoteRequest(QString const& i_user, QByteArray const& i_message);
    // True (and the request used up) when we asked the user in time.
    bool TakeRequest(QString const& i_user, quint32 i_answerCode);
    // The same without using the request up.
    bool AskedFor(QString const& i_user, quint32 i_answerCode) const;
    // Reads a share list we asked for, in slices, then hands it on (or says
    // why not).
    void ReadShareList(QString const& i_user, QByteArray const& i_message);
    // A list's entries that nobody took go in slices too.
    void DropInSlices(FileInfoMap i_folders);
    void ForgetOldRequests();
    // True while the search may take i_files more.
    bool AdmitSearchFiles(quint32 i_token, std::size_t i_files);
    void ForgetEndedSearches();
    void OnSearchRequestRemoved(Item i_request);

    QString OwnUserName() const;
    void Log(int i_level, QString const& i_text, char const* ip_category = "Peer Connections") const;

    QTcpServer m_listener;
    QTcpServer m_obfuscatedListener;
    std::map<QTcpSocket*, Link> m_links;
    std::map<QString, std::vector<QTcpSocket*>> m_linksOfUser;
    int m_connectingBacks = 0;
    quint64 m_nextSerial = 1;
    Clock m_clock;
    Limits m_limits;
    qint64 m_bufferedBytes = 0;
    bool m_refusingSockets = false;
    int m_addressTimeoutMs = 4000;
    int m_directTimeoutMs = 5000;
    int m_indirectTimeoutMs = 12000;

    // Attempts by id, with indexes by user and by relay token, and those
    // that wait for a place (a messaging attempt waits once per user).
    std::map<quint64, Attempt> m_attempts;
    std::map<QString, std::vector<quint64>> m_attemptsOfUser;
    std::map<quint32, quint64> m_attemptByToken;
    std::deque<std::pair<QString, QString>> m_waitingAttempts;
    std::set<QString> m_waitingMessaging;
    bool m_startScheduled = false;
    quint64 m_nextAttempt = 1;

    // Messages waiting for a connection, per user in send order. Our own
    // messages are also "unsent_message" items; answers stay out of the
    // store, so that strangers leave nothing there.
    struct Unsent
    {
        QByteArray m_message;
        qint64 m_time = 0;
        bool m_answer = false;
        Item m_item;
    };
    struct UserQueue
    {
        std::deque<Unsent> m_messages;
        qint64 m_bytes = 0;
    };
    std::map<QString, UserQueue> m_unsent;
    int m_unsentCount = 0;
    qint64 m_unsentBytes = 0;
    int m_unsentAnswers = 0;
    qint64 m_unsentAnswerBytes = 0;
    quint64 m_nextUnsentOrder = 1;
    // Users we could not reach, when; oldest first in m_unreachableOrder
    // (an entry there whose time differs was renewed since).
    std::map<QString, qint64> m_unreachable;
    std::deque<std::pair<QString, qint64>> m_unreachableOrder;

    std::map<std::pair<QString, quint32>, std::deque<qint64>> m_requests; // (user, answer code): times we asked
    int m_shareListsRead = 0;
    struct SearchIntake
    {
        quint64 m_files = 0;
        bool m_full = false;
        // What each user answered: the same search can reach a peer twice
        // (from the server and through the distributed tree) and he
        // answers both, which would show each of his files twice. A digest
        // per answer, so that an answer is checked against every earlier
        // one of its user at the cost of one look-up; and the files kept.
        struct UserAnswers
        {
            explicit UserAnswers(quint64& io_comparisons) : m_digests(PeerCodec::FilesDigestOrder(io_comparisons)) {}
            std::set<PeerCodec::FilesDigest, PeerCodec::FilesDigestOrder> m_digests;
            std::size_t m_files = 0;
        };
        std::map<QString, UserAnswers> m_users;
    };
    std::map<quint32, SearchIntake> m_searchIntake; // by search token
    quint64 m_repeatCheckSteps = 0;
    std::size_t m_digestsDropped = 0; // of searches gone, not yet freed
    // Search answers waiting to be read, first come first, and the one
    // being read (its reader) or stored (its item and next file).
    struct WaitingAnswer
    {
        QString m_user;
        quint32 m_token = 0;
        QTcpSocket* mp_socket = nullptr; // the link it came on, if any
        QByteArray m_payload;
    };
    std::deque<WaitingAnswer> m_waitingAnswers;
    qint64 m_waitingAnswerBytes = 0;
    WaitingAnswer m_answer;
    std::unique_ptr<PeerCodec::SearchAnswerReader> mp_answerReader;
    std::vector<FileInfo> m_answerFiles;
    Item m_answerItem;
    std::size_t m_answerNext = 0;
    SlicedWork* mp_answerWork = nullptr;
    // The links ready in one turn of the event loop share one slice of
    // reading (m_readSliceMs), which starts with the first of them and ends
    // with the turn (a timer of no interval, made on the first read).
    QElapsedTimer m_readTurn;
    QTimer* mp_readTurnEnd = nullptr;
    QTcpSocket* mp_dispatching = nullptr; // the link whose message is being handled
};

extern PeerMessenger* peerMessenger;

#endif
