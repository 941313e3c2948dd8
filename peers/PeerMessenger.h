#ifndef QUILLMAR_PEERS_PEERMESSENGER_H
#define QUILLMAR_PEERS_PEERMESSENGER_H

// Connections to other users' clients: the two listeners, direct and
// server-relayed connection set-up, the handshake, framing and obfuscation of
// messaging ("P") connections, the unsent-message queue, and the hand-over of
// file ("F") and distributed ("D") sockets to their owners. The messages that
// travel on "P" connections are built and dispatched in PeerMessages.cpp.
// Wire formats: docs/protocol.md, "Peer protocol"; design notes:
// docs/peers.md.

#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/FileInfo.h"
#include "store/MemStream.h"

#include <QObject>
#include <QString>
#include <QTcpServer>

#include <functional>
#include <list>
#include <map>
#include <string>

class QTcpSocket;
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
    void SendMessage(QString i_user, MemStream& i_message);
    void SendMessageToUser(QString i_user, MemStream& i_message);

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
    int UnsentMessageCount(QString const& i_user) const;

    // Share-list provider for peer message 4: returns the complete peer
    // message 5 for that user. Set by the shared-folders manager.
    typedef std::function<MemStream(QString const& i_user)> ShareListProvider;
    static void SetShareListProvider(ShareListProvider i_provider);

    // ---- time
    typedef std::function<qint64()> Clock; // milliseconds since the epoch
    void SetClock(Clock i_clock);
    qint64 Now() const;
    // Phases of an outgoing connection (real time, milliseconds).
    void SetAttemptTimeouts(int i_addressMs, int i_directMs, int i_indirectMs);

    // Time-outs (milliseconds on the clock above).
    static constexpr qint64 UNSENT_MESSAGE_LIFETIME = 300 * 1000;
    static constexpr qint64 HANDSHAKE_TIMEOUT = 30 * 1000;
    static constexpr qint64 IDLE_MESSAGING_TIMEOUT = 10 * 60 * 1000;

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
        QString m_user;
        QString m_type;
        quint64 m_serial = 0;    // newer links have larger serials
        quint64 m_attempt = 0;   // the attempt a Direct link serves
        quint32 m_token = 0;     // the relay token a ConnectBack link answers
        bool m_answersOurRequest = false; // the peer connected back for our request
        qint64 m_started = 0;
        qint64 m_lastActivity = 0;
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
    Link& AddSocket(QTcpSocket* ip_socket, LinkRole i_role, bool i_obfuscated);
    void CloseLink(QTcpSocket* ip_socket, QString const& i_reason);
    // Forgets and drops a socket of ours that never became a working link.
    void DiscardSocket(QTcpSocket* ip_socket);
    void HandOver(QTcpSocket* ip_socket);
    // One whole frame from the link's socket. False when none is complete
    // yet, or when the link was closed for an empty or oversize one.
    bool TakeFrame(Link& io_link, quint32 i_maxLength, char const* ip_kind, QByteArray& o_payload);
    void ReadHandshake(Link& io_link);
    void ReadToken(Link& io_link);
    void ReadMessages(Link& io_link);
    void CompleteHandshake(QTcpSocket* ip_socket);
    void OpenMessaging(Link& io_link);
    // False when the link was closed instead (its peer left too much unread).
    bool WriteFrame(Link& io_link, QByteArray const& i_payload);
    Link* NewestMessagingLink(QString const& i_user);

    void StartAttempt(QString const& i_user, QString const& i_type);
    Attempt* FindAttempt(quint64 i_id);
    bool HasAttempt(QString const& i_user, QString const& i_type) const;
    void StartDirect(Attempt& io_attempt, quint32 i_ip, int i_port);
    void StartIndirect(Attempt& io_attempt);
    void FailAttempt(quint64 i_id, QString const& i_reason);
    void CancelAttempt(quint64 i_id);
    void FinishAttempt(quint64 i_id);
    void ArmTimer(Attempt& io_attempt, int i_ms);
    bool LookUpStoredAddress(QString const& i_user, quint32& o_ip, int& o_port) const;

    void QueueUnsent(QString const& i_user, QByteArray const& i_message);
    void FlushUnsent(Link& io_link);
    void ExpireUnsent();

    // Filled by PeerMessages.cpp.
    void DispatchMessage(QString const& i_user, MemStream& io_message, bool& o_keepConnection);
    void HandleSearchResults(QString const& i_user, MemStream& io_message, bool& o_keepConnection);
    MemStream ShareListFor(QString const& i_user);

    QString OwnUserName() const;
    void Log(int i_level, QString const& i_text, char const* ip_category = "Peer Connections") const;

    QTcpServer m_listener;
    QTcpServer m_obfuscatedListener;
    std::map<QTcpSocket*, Link> m_links;
    std::list<Attempt> m_attempts;
    quint64 m_nextSerial = 1;
    quint64 m_nextAttempt = 1;
    Clock m_clock;
    int m_addressTimeoutMs = 4000;
    int m_directTimeoutMs = 5000;
    int m_indirectTimeoutMs = 12000;

    struct Unsent
    {
        quint64 m_order;
        QString m_user;
        QByteArray m_message;
        qint64 m_time;
        Item m_item;
    };
    std::list<Unsent> m_unsent;
    quint64 m_nextUnsentOrder = 1;
};

extern PeerMessenger* peerMessenger;

#endif
