#ifndef QUILLMAR_TRANSFERS_TRANSFERQUEUEMANAGER_H
#define QUILLMAR_TRANSFERS_TRANSFERQUEUEMANAGER_H

// The transfer engine: the download queue (saved), the upload queue (kept in
// memory only), the negotiation with peers, and the threads that move the
// bytes under one shared speed budget per direction. The queues are store
// items ("download_entry", "upload_entry", "complete_download" and their
// attributes); the pages observe those items and call the operations below.
// Design notes: docs/transfers.md.

#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/FileInfo.h"
#include "store/SlicedWork.h"
#include "transfers/SpeedBudget.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QFile;
class QTcpSocket;
class TransferThread;

class TransferQueueManager : public QObject, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT
public:
    // Declares the engine's store types, writes its setting defaults and
    // connects to the peer messenger (when one exists) and the shared
    // timers. Run after the server link's, the peer messenger's and the
    // shared-folders manager's types exist, before the saved data is loaded.
    // Publishes the manager in transferQueueManager.
    TransferQueueManager();
    // Stops every transfer thread and waits for it. Deletes no item.
    ~TransferQueueManager() override;

    // Brings the limit settings into their bounds, then takes in the loaded
    // download queue in slices (a saved queue can hold tens of thousands):
    // resets its statuses, gives the downloads saved without a place theirs,
    // in their order, then tracks their users, computes the rate limits and
    // says TransfersLoaded.
    void DataLoaded() override;
    // The saved queue is still being taken in: a download without its place
    // yet is neither asked for nor accepted until it has one.
    bool IsLoadingQueue() const { return m_loadWork.IsRunning(); }
    // The most steps of the load (a download looked at, or given its
    // place) in one turn of the event loop, since the start.
    std::uint64_t MostLoadStepsInATurn() const { return m_mostLoadStepsInATurn; }
    // Load steps one turn of the event loop takes at most; a turn also ends
    // when its time is up (SlicedWork).
    static constexpr int LOAD_STEPS_PER_TURN = 512;
    // First run: ".ini" becomes the one excluded download extension.
    void NoData() override;

    // The engine's clock (UTC). Tests set their own; an empty one brings
    // back the system's.
    typedef std::function<QDateTime()> Clock;
    void SetClock(Clock i_clock);
    QDateTime Now() const;

    int ActiveDownloadCount();
    int ActiveUploadCount();
    bool HasExcludedDownloadExtension(QString i_fileName);
    void StartTimerTest();

    // ---- download queue
    // The entry of that user, file and remote folder: the existing one
    // unchanged, or a new one, which is asked for at once when the user is
    // online. A negative size is refused (null item). A file that is
    // already downloaded is not asked for: DownloadAlreadyComplete says so.
    Item AddDownload(QString i_user, std::string i_fileName, std::string i_remoteFolder, qint64 i_size,
                     bool i_singleDownload, int i_subfolderSaveLevel);
    Item GetDownloadEntry(QString i_user, std::string i_fileName, std::string i_remoteFolder);
    void QueueDownloadIfUserOnline(Item i_entry);
    void RequeueDownload(Item i_entry);
    // Asks the user for his downloads again, in their order, a download a
    // step in slices of the event loop (a user may have tens of thousands);
    // what the step finds counts: one removed, paused or finished meanwhile
    // is passed over, and the rest is dropped when he goes offline (he is
    // asked for all again when he comes back). Asked again meanwhile, he is
    // asked from the first again.
    void RequeueUserDownloads(Item i_user);
    // Downloads a step of the above (or of the sweep's asking for places in
    // line, which goes the same way) takes in, handles read or requests
    // made, at most, since the start.
    std::uint64_t MostRequeuedInAStep() const { return m_mostRequeuedInAStep; }
    // Of those, requests (for a download or its place): one a step.
    std::uint64_t MostRequestsInAStep() const { return m_mostRequestsInAStep; }
    // The asking above, or the half-minute sweep, is under way.
    bool IsRequeueing() const { return m_requeueWork.IsRunning(); }
    // Downloads whose handles and orders one step of the above reads.
    static constexpr std::size_t REQUEUE_BATCH = 256;
    // Downloads and users a step of the half-minute sweep looked at, at
    // most, since the start.
    std::uint64_t MostSweptInAStep() const { return m_mostSweptInAStep; }
    // Waiting users one step of the sweep looks at.
    static constexpr std::size_t SWEEP_USERS_A_STEP = 64;
    void PauseDownload(Item i_entry);
    void ResumeDownload(Item i_entry);
    void RemoveDownload(Item i_entry);
    // The one way a download's status changes (but pause and resume): leaving
    // "downloading" stops the thread and releases socket, file and cells. A
    // "local error" is given the time of its retry ("download_retry_time",
    // LOCAL_ERROR_RETRY_S ahead, set before the status so that an observer
    // of the status finds it); no other status keeps one.
    void SetDownloadEntryStatus(Item i_entry, QString i_status);
    // Whether a download that failed here may be asked for again: its
    // retry time has come (or it has none). Until then only the user's
    // retry asks for it; the half-minute sweep asks when it is due.
    bool IsRetryDue(Item const& i_entry) const;
    // How long a download that failed here waits for its retry: a full disk
    // or a folder that cannot be made seldom mends itself within minutes.
    static constexpr int LOCAL_ERROR_RETRY_S = 600;
    void RequestDownloadPlaceInLine(Item i_entry);
    bool IsActivelyDownloadingFromUser(QString i_user);
    // Store observer: the user was reported online.
    void OnUserOnline(Item i_user);

    // ---- download folders (backslash-separated, as the peers write paths)
    // What shapes a download's local path: the download folder and the two
    // folder switches.
    struct DownloadLayout
    {
        QString m_folder;
        bool m_split = true;
        bool m_flatSingles = false;
        static DownloadLayout Current();
        bool operator==(DownloadLayout const& i_other) const;
    };
    QString GetDownloadTargetFolder(Item i_entry, bool i_complete);
    QString GetDownloadRelativeDownloadFolder(Item i_entry);
    QString GetDownloadTargetPath(Item i_entry, bool i_complete);
    bool IsDownloadFileComplete(Item i_entry);
    void RemoveDownloadDownloadingFolderIfAppropriate(Item i_entry);
    // The file's local path ("/" separators, the partial file's or the
    // finished one's) when it lies under the download folder; an empty text
    // when it would not.
    QString GetSafeDownloadPath(Item i_entry, bool i_complete);
    // The folder that holds only partial files ("downloading" under the
    // download folder, "/" separators), which is never shared; empty when
    // downloads are not split, and partial files lie among finished ones.
    static QString GetPartialDownloadFolder();
    // One remote name component as one local component: "/", "\\" and
    // control characters become "_", as do an empty name and a name of only
    // dots; a name too long for the file system is shortened. The stored
    // remote names stay as the peer sent them.
    static QString SafeLocalName(QString i_remote);

    // The downloader's side of a file connection whose entry was found:
    // opens the partial file, sends the offset, starts the DownloadThread and
    // makes the entry "downloading". A file that cannot be opened (or would
    // lie outside the download folder) makes it "local error". Takes the
    // socket in every case. False when no thread was started.
    bool StartDownload(Item i_entry, QTcpSocket* ip_socket);
    // The uploader's side once its own file connection is open: starts the
    // UploadThread on the entry's open file and makes the entry "uploading".
    // Takes the socket in every case.
    bool StartUpload(Item i_entry, QTcpSocket* ip_socket);

    // ---- upload queue
    // The local user sends a shared file (local path) to a user: the peer is
    // told (peer message 60) and the file queued without the per-user
    // limits. The entry, or a null item, with the reason in op_reason, when
    // the user is reported offline, the file is not shared, or not with
    // that user.
    Item AddUpload(QString i_user, QString i_path, QString* op_reason = nullptr);
    void OrderNewUpload(Item i_entry);
    static bool UploadEntrySortCompare(Item i_a, Item i_b);
    static int GetUserGroupDownloadPriority(QString i_user);
    bool CanAcceptUserInitiatedUploadsFrom(QString i_user);
    void UnshareUser(QString i_user);
    void ReshareUser(QString i_user);
    int QueuedUploadCount();
    void StartNewUploads();
    // Users and entries the scheduler has looked at to gather its
    // candidates, since the start.
    std::uint64_t OfferCandidateLooks() const { return m_offerLooks; }
    void SetUploadSlots(int i_slots);
    // The one way an upload's status changes: leaving an active status stops
    // the thread and releases socket, file and cells; "aborted" from an
    // active status tells the peer (peer message 46).
    void SetUploadEntryStatus(Item i_entry, QString i_status);
    // Stops and deletes an upload without telling the peer, then fills the
    // slots.
    void RemoveUpload(Item i_entry);
    bool IsFreeToUpload();
    void AssertNoExtraUploads();

    // ---- speed limits (KB/s, 1 KB = 1024 bytes; 0 = no limit)
    void DetermineDownloadSpeedLimit();
    void DetermineUploadSpeedLimit();
    void EnableDownloadSpeedLimit(bool i_enable);
    void EnableUploadSpeedLimit(bool i_enable);
    void SetDownloadSpeedLimit(int i_kilobytesPerSecond);
    void SetUploadSpeedLimit(int i_kilobytesPerSecond);
    int GetDownloadSpeed();
    int GetUploadSpeed();
    SpeedBudget& GetDownloadBudget() { return m_downloadBudget; }
    SpeedBudget& GetUploadBudget() { return m_uploadBudget; }

    // Store observers: the per-transfer cells die with their items.
    void OnWritePositionRemoved(Item i_item);
    void OnReadPositionRemoved(Item i_item);
    void OnLastReceiptTimeRemoved(Item i_item);
    void OnBytesPerSecondRemoved(Item i_item);

signals:
    void DownloadProgressed(Item i_entry);
    void CompleteDownloadAdded(Item i_completeDownload);
    // A download was asked for whose file is already complete (its entry is
    // "complete", or the file lies in its completed place).
    void DownloadAlreadyComplete(Item i_entry);
    // A download became "local error": its file could not be written or
    // moved. The reason says what went wrong, then names the folder or file
    // last.
    void DownloadLocalError(Item i_entry, QString i_reason);
    // A transfer ended before its end ("aborted", or an upload's "local
    // error") for that reason; said after its status changed.
    void TransferEnded(Item i_entry, QString i_reason);
    void UploadProgressed(Item i_entry);
    void TransfersLoaded();

public slots:
    void PeriodicCheck();
    void TimerTest();
    void EveryHalfMinute();
    void DetermineUploadsEffectiveOrder();

    // Peer messages.
    void OnFileTransferRequest(QString i_user, int i_direction, uint i_req, std::string i_file, qint64 i_fileSize);
    void OnFileTransferResponse(QString i_user, uint i_req, bool i_accepted, bool i_receivedFileSize,
                                qint64 i_fileSize, QString i_denialReason);
    void OnFileConnection(QString i_user, QTcpSocket* ip_socket, uint i_requestID);
    void OnFileConnectionAccepted(QString i_user, QTcpSocket* ip_socket);
    void OnQueueUploadRequested(QString i_user, QString i_file);
    void OnUploadPlaceInLineRequested(QString i_user, QString i_file);
    void OnUserShare(QString i_user, FileInfoMap& i_share, AttributeTranslationTable& i_table);
    void OnDownloadPlaceInLine(QString i_user, std::string i_file, int i_place);
    void OnUploadFailedNotification(QString i_user, std::string i_file);
    void OnUploadDeniedNotification(QString i_user, std::string i_file, QString i_reason);
    void OnQueueDownloadRequested(QString i_user, std::string i_file, qint64 i_size);

    // The transfer threads' reports (queued onto the GUI thread; the sender
    // names the entry).
    void OnDownloadProgress(qint64 i_position, int i_bytesPerSecond);
    void OnDownloadComplete();
    void OnDownloadError(QString i_reason);
    // The partial file took no more bytes: a "local error", asked for again
    // when its retry is due.
    void OnDownloadWriteFailed(QString i_cause);
    void OnUploadProgress(qint64 i_offset, int i_bytesPerSecond);
    void OnUploadComplete();
    void OnUploadError(QString i_reason);
    // The peer asked for an offset outside the file.
    void OnUploadLocalError(QString i_reason);

private:
    void DeclareTypes();
    void ConnectPeerMessenger();
    void WriteSettingDefaults();
    // A new entry with its saved attributes and order, its user tracked; no
    // status yet. A negative size is refused (null item).
    Item NewDownloadEntry(QString const& i_user, std::string const& i_fileName, std::string const& i_remoteFolder,
                          qint64 i_size, int i_level);
    // The entry of a path as a peer's notice names it (folder\\name).
    Item FindDownloadByRemotePath(QString const& i_user, std::string const& i_file);
    // ---- upload queue
    // The shared file a peer's request names, when that user may see it.
    Item VisibleSharedFile(QString const& i_user, QString const& i_requested) const;
    // Why AddUpload does not queue the file for the user; empty when it does.
    QString UploadRefusal(Item const& i_user, QString const& i_path, bool& o_offline) const;
    // The entry's file is still in the index and visible to its user.
    bool IsStillShared(Item const& i_entry) const;
    // Tells the peer "File not shared." under the name it asked for, and
    // forgets the entry.
    void DenyNotShared(Item const& i_entry);
    // An existing entry of that user and file: left alone while queued or
    // active, queued again when it ended. False when there is none.
    bool RequeueExistingUpload(Item const& i_user, Item const& i_file);
    Item NewUploadEntry(Item const& i_user, Item const& i_file, QString const& i_requested);
    void SetEffectiveUploadOrder(Item const& i_entry, qint64 i_number);
    // The queued entries of online users that carry a number, in the order
    // of their numbers.
    std::vector<std::pair<qint64, Item>> OfferCandidates();
    std::uint64_t m_offerLooks = 0;
    // RemoveUpload without filling the slots.
    void ForgetUpload(Item const& i_entry);
    // Another running download writes the entry's partial file.
    bool IsWrittenByOtherDownload(Item const& i_entry);

    // Gives a download its local file name when it is made (or loaded
    // without one), and keeps it (saved, with the last level of its local
    // folder: its "local_place"): the name made of the remote one, or
    // "name (n).ext" when that local path is taken: another download of
    // another remote file was given it, or a folder or any file lies there
    // or where the finished file would go. A download writes only into the
    // partial file at its own place, one it made ("partial_file_made"): a
    // download given its place earlier finds there, before it writes, a
    // folder or a file it did not make (the user's) and takes a new name.
    // False when a thousand numbers are taken.
    bool SettleLocalName(Item const& i_entry);
    // Whether the download's place may be settled for an offer: not while
    // the load has yet to give it one, nor, on the first load of data saved
    // before downloads marked their own files, until the load has looked
    // at every loaded download's file (the file at its place may be its
    // own, or another user's download's of the same remote file, not known
    // as such yet).
    bool IsPlaceSettled(Item const& i_entry) const;
    // A removed unfinished download's partial file goes with it when it
    // made the file, unless the same remote file from another user is still
    // fetched into it: then that download takes it over as its own. Left
    // to no one, it would be a stranger's file to every later download.
    void DiscardPartialFile(Item const& i_entry);
    // Data saved before downloads marked the files they made: the file at a
    // loaded entry's place is taken for its own, once (NoteOlderDataMarked
    // says it was done for the whole queue).
    bool IsOlderDataMarked() const;
    void MarkPartialFileOfOlderData(Item const& i_entry, DownloadLayout const& i_layout);
    void NoteOlderDataMarked();
    // One step of the load: one entry reset, then one given its place;
    // false once through.
    bool LoadStep();
    void EndLoad();
    // One step of RequeueUserDownloads, of the sweep's asking for places
    // or of the sweep itself (which comes first); false once all are
    // through. Counts the requests the step made.
    bool RequeueStep();
    // One step of the asking of a user.
    bool AskStep();
    // Asks the user for the places of his queued downloads, in their
    // order, as RequeueUserDownloads asks for them.
    void RequestPlacesInLine(Item const& i_user);
    // Queues a user's asking (his downloads, or their places) for the sliced work.
    void QueueUserAsking(Item const& i_user, bool i_places);
    // A batch of the downloads linked to i_of (a user, a status) from the
    // serial io_from on, of those made before i_until; o_through once the
    // walk has read them all. The batch's size counts in io_most.
    std::vector<Item> DownloadsBatch(Item const& i_of, std::uint64_t& io_from, std::uint64_t i_until, bool& o_through,
                                     std::uint64_t& io_most);
    // Starts the steps unless they run.
    void StartRequeueWork();
    // One step of the half-minute sweep over the downloads.
    void SweepStep();
    void RecordCompleteDownload(Item const& i_entry, QString const& i_folder, QString const& i_name);
    // A setting that shapes local paths changed: the partial files of the
    // unfinished downloads move to where their paths now lead (a running
    // thread keeps writing to the moved file), so that nothing received is
    // lost or left behind.
    void OnDownloadLayoutChanged(Item i_setting);
    void WriteProgressCells(Item const& i_entry, char const* ip_positionType, qint64 i_position,
                            int i_bytesPerSecond);
    // The entry linked to the "download_thread" or "upload_thread" item of
    // the sending thread; null for a thread whose item is gone.
    Item SenderEntry(char const* ip_threadType, char const* ip_entryType);
    // Stops the entry's thread and waits for it, then releases its socket,
    // file and cells ("download" or "upload").
    void ReleaseTransfer(Item const& i_entry, char const* ip_direction);
    // Its counterpart: fresh time and speed cells for the entry, the socket
    // handed over to the thread (nothing here listens to it any more), the
    // thread bound to the entry and started.
    void StartTransferThread(Item const& i_entry, char const* ip_direction, QTcpSocket* ip_socket,
                             TransferThread* ip_thread);
    void StopThreads(char const* ip_threadType);
    int CountActive(char const* ip_entryType, char const* ip_statusType);
    void DetermineSpeedLimit(SpeedBudget& io_budget, char const* ip_direction);

    QTimer m_timerTestTimer;
    QElapsedTimer m_timerTestClock;
    SpeedBudget m_uploadBudget;
    SpeedBudget m_downloadBudget;
    Item m_lastOrderedUpload;
    Clock m_clock;
    // The layout the partial files follow; known once the saved data is in.
    std::optional<DownloadLayout> m_downloadLayout;
    // The last number given to a local name per place whose name was taken
    // ("Top\\a_b.mp3" -> 3 after "a_b (3).mp3").
    QHash<QString, int> m_nextLocalNumbers;
    // The load: every saved entry, the users among them, and those without
    // a place by their order.
    SlicedWork m_loadWork;
    std::vector<Item> m_loadEntries;
    std::size_t m_nextLoadEntry = 0;
    ItemSetBuilder m_loadUsers;
    std::vector<std::pair<qint64, Item>> m_unplaced;
    std::size_t m_nextUnplaced = 0;
    bool m_unplacedSorted = false;
    // Data saved before the flag: true until the load has marked the file
    // of every loaded entry.
    bool m_markOlderData = false;
    quint64 m_loadSlice = 0;
    int m_loadStepsThisTurn = 0;
    std::uint64_t m_mostLoadStepsInATurn = 0;
    // The users whose downloads are asked for (RequeueUserDownloads), or
    // the places of their queued ones (m_places), by their serials and
    // what is asked, in the order they came: each one's downloads made
    // before he was asked (m_until) are read a batch a step from the serial
    // m_from, kept by their order, then asked for one a step.
    struct UserRequeue
    {
        Item m_user;
        bool m_places = false;
        std::uint64_t m_until = 0;
        std::uint64_t m_from = 0;
        bool m_gathered = false;
        std::multimap<qint64, Item> m_entries;
    };
    typedef std::pair<std::uint64_t, bool> RequeueKey;
    SlicedWork m_requeueWork;
    std::deque<RequeueKey> m_requeueOrder;
    std::map<RequeueKey, UserRequeue> m_requeues;
    std::uint64_t m_mostRequeuedInAStep = 0;
    // Requests for downloads and their places made in the step under way.
    std::uint64_t m_requestsThisStep = 0;
    std::uint64_t m_mostRequestsInAStep = 0;
    // The half-minute sweep over the downloads, in steps of the same work:
    // the queued downloads made before it began (m_until) are read a batch
    // a step for their online users (kept by serial, the order the sweep
    // went in before), those users are looked at a few a step, then the
    // downloads that failed here are read a batch a step and those whose
    // retry is due asked for one a step.
    enum class SweepPhase { NONE, WAITING_USERS, USERS, LOCAL_ERRORS };
    struct Sweep
    {
        SweepPhase m_phase = SweepPhase::NONE;
        std::uint64_t m_until = 0;
        std::uint64_t m_from = 0;
        std::map<std::uint64_t, Item> m_users;
        std::vector<Item> m_due;
        std::size_t m_nextDue = 0;
        bool m_lastRead = false;
    };
    Sweep m_sweep;
    std::uint64_t m_mostSweptInAStep = 0;
};

extern TransferQueueManager* transferQueueManager;

#endif
