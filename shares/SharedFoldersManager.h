#ifndef QUILLMAR_SHARES_SHAREDFOLDERSMANAGER_H
#define QUILLMAR_SHARES_SHAREDFOLDERSMANAGER_H

// The index of the user's shared folders, kept as store items:
//
//   "shared_folder" (a root the user shares)
//     - "shared_file_folder" (every folder under it, the root included)
//         - "shared_file" (one file) with its "shared_file_name",
//           "shared_file_size", MP3 attributes and "search_token" links.
//
// Folder paths and file names have unsaved lower-case twins that serve the
// case-insensitive lookup peers rely on. The disk is read by a FileScanner on
// a thread of its own; everything here runs on the GUI thread.

#include "shares/AnswerWorker.h"
#include "shares/FileScanner.h"
#include "shares/ShareListCache.h"
#include "store/Data.h"
#include "store/FileInfo.h"
#include "store/MemStream.h"
#include "store/UserStats.h"

#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

namespace SharePayload {
class ShareListDraft;
}

class SharedFoldersManager : public QObject, public DataHandler
{
    Q_OBJECT
public:
    // Declares the index's store types. The server link's "user" and
    // "user_list_group" and the peer messenger's attribute types ("bitrate",
    // "file_size", ...) must be declared first.
    explicit SharedFoldersManager(QObject* ip_parent = nullptr);
    ~SharedFoldersManager() override;

    // Once the saved data is loaded: starts the start-up scan of every root.
    void Init();

    // Lower case, backslashes turned into "/", runs of "/" made one.
    static QString GetAbsoluteFileName(QString const& i_path);
    // The "shared_file" item of a local path, or a null item. An exact match
    // of folder and name wins; otherwise case and the kind and number of
    // separators are ignored. Never creates items.
    Item GetSharedFileItem(QString const& i_path) const;
    // Only the file whose folder and name are exactly those of the path.
    Item GetExactSharedFileItem(QString const& i_path) const;
    // Bitrate, mode and length of a file item for lists ("192 CBR").
    static QString GetFileItemDisplayString(Item const& i_file);

    // The start-up scan and the commands below each run as one job: the walk
    // on the scanner thread, then the changes to the store on this thread
    // in slices (SetMergeSlice), with ShareProgress meanwhile. While one job
    // runs (IsBusy), the commands wait for its end and then run in the order
    // they were asked for; each returns at once.

    // Shares a new root (the root item is made at once) and scans it; an
    // existing root is returned untouched.
    Item AddSharedFolder(QString const& i_path);
    // Scans one folder of a root into the store, subfolders included; files
    // gone from the folders walked leave the index.
    void ScanSharedFolder(QString const& i_root, QString const& i_folder);
    // Scans every root again; ends with SharedFilesRescanned.
    void RescanShares();
    // True while a job runs: from the start of its walk until its changes
    // are in the store.
    bool IsBusy() const { return mp_merge != nullptr; }
    // How long one slice of a job may hold the event loop (tests make it 0:
    // one file or removal per slice).
    void SetMergeSlice(qint64 i_ms) { m_mergeSliceMs = i_ms; }

    // Stops sharing a root: its "shared_folder" item goes, then every folder
    // that no other root holds, together with the files of those folders.
    // The store's periodic collection takes their names, sizes and tokens
    // later. A null or already removed root does nothing.
    void UnshareFolder(Item const& i_root);

    // Links a file item (with its name and folder in place) to every token
    // of its path: its folder's path, a backslash, its name. Every scan
    // tokenises through this; the folder's tokens are looked up once for a
    // run of files of one folder.
    void TokenizeSharedFile(Item const& i_file);
    // The file items linked to every one of the tokens (lower case, UTF-8),
    // intersected from the token with the fewest files; empty when a token is
    // unknown or none is given.
    ItemSet GetFilesWithTokens(std::vector<std::string> const& i_tokens) const;

    // Store observers: keep the lower-case twins of folders and names.
    void OnSharedFileFolderAdded(Item i_folder);
    void OnSharedFileNameAdded(Item i_name);

    // For the owner's shutdown and for tests: the scanner and its thread.
    FileScanner& GetFileScanner() { return m_fileScanner; }

    // ---- who sees what (ShareVisibility.cpp)
    // The roots visible to a user: the public ones, and for a user on the
    // user list those shared with the list or with one of his groups;
    // nothing for an "unshared" user. Never creates the user.
    ItemSet GetUserSharedFolders(QString const& i_user) const;
    bool IsFileSharedWithUser(Item const& i_file, QString const& i_user) const;
    // Whether the user, or another user seen at his address, is "unshared".
    bool IsUserAddressUnshared(QString const& i_user) const;
    // Store observer: a user's address became known or changed.
    void OnUserAddress(Item i_user);

    // ---- answers to other users (ShareAnswers.cpp)
    // Matches a search against the index and what the user may see, and
    // sends him one search-result message; SearchProcessed says whether it
    // was sent. A search whose matching outlasts one slice of the event
    // loop goes on in slices (SetShareListSlice), and its record is written
    // and compressed by the worker: SearchProcessed comes then.
    void ProcessSearch(QString const& i_user, quint32 i_req, QString const& i_searchText);
    // The search-result message ProcessSearch sends; empty when it sends none.
    MemStream SearchAnswer(QString const& i_user, quint32 i_req, QString const& i_searchText) const;
    // The folder-contents message for a request; empty when the folder is
    // unknown or hidden from the user.
    MemStream FolderContentsAnswer(QString const& i_user, quint32 i_token, QString const& i_folder) const;
    // The visible folders (backslash-separated) and their files.
    void GetSharedFilesAsUserShare(QString const& i_user, FileInfoMap& o_shares,
                                   AttributeTranslationTable& io_attributes) const;
    // The same a folder at a time, for a caller that reads a large index in
    // slices: the visible folders, then each folder with its files.
    std::vector<Item> GetUserShareFolders(QString const& i_user) const;
    void AddUserShareFolder(Item const& i_folder, FileInfoMap& io_share) const;
    // The complete share-list message for the user, made on this thread.
    MemStream GetSharedFilesMessage(QString const& i_user) const;
    // The peer messenger's share-list provider. Only reading the index runs
    // here; a list larger than the inline limit is ordered and compressed
    // by a worker and handed to i_reply later, on this thread. Users who see
    // the same roots share one compression and, until the index changes,
    // its result (later requests are answered at once).
    void ProvideShareList(QString const& i_user, ShareListCache::Reply i_reply);
    // Records up to this many bytes are compressed at once, on this thread
    // (about 10 ms); tests make it 0 to send everything to the worker.
    void SetInlineCompressionLimit(quint64 i_bytes) { m_inlineCompressionLimit = i_bytes; }
    // How long one slice of reading a share list may hold the event loop
    // (tests make it 0: one folder or file per slice).
    void SetShareListSlice(qint64 i_ms) { m_shareListSliceMs = i_ms; }
    static constexpr quint64 INLINE_COMPRESSION_LIMIT = 128 * 1024;
    // Search and folder answers waiting for the worker hold at most this
    // much; a further large answer is not sent.
    static constexpr quint64 MAX_PENDING_ANSWER_BYTES = 64ull * 1024 * 1024;
    // Drops the share list received from the user (RemoveShare).
    void RemoveUserShare(QString const& i_user);
    // For tests: search and folder answers go here, as they would go to
    // the peer messenger, which they then bypass.
    typedef std::function<void(QString const& i_user, QByteArray const& i_message)> AnswerSink;
    void SetAnswerSink(AnswerSink i_sink) { m_answerSink = std::move(i_sink); }

    // ---- share lists held as store items (ReceivedShares.cpp)
    // Drops one ("user_share", a received list or our own offered to a
    // user): its link to the user at once, so that the user has none; its
    // folders and files, with the names and attributes only they held, in
    // slices, newest first; then the share item, and the store's
    // collection. Whoever still enters the share stops first.
    void RemoveShare(Item const& i_share);
    bool IsRemovingShares() const
    {
        return !m_removedShares.empty() || !m_removedFolders.empty() || !m_removedFiles.empty();
    }
    // How long one slice of those removals may hold the event loop (tests
    // make it 0: one folder or file per slice).
    void SetShareRemovalSlice(qint64 i_ms) { m_shareRemovalSliceMs = i_ms; }

signals:
    void SharedFilesRescanned(int i_filesAdded, int i_filesRemoved);
    // What the share job in progress is doing, for the status bar, at most
    // twice a second; an empty text once no job runs or waits.
    void ShareProgress(QString i_text);
    // The start-up scan's result is merged into the store.
    void StartupMergeFinished();
    // After each search from another user, with whether it was answered.
    void SearchProcessed(QString i_search, bool i_match);
    // MP3 files a scan pass found still in need of their analysis, a block
    // of about 1 MiB at a time as the merge goes (the last of a pass at its
    // end): their paths in the system's encoding, each ended by a NUL byte
    // (see FileScanner::OnMP3ScansRequired).
    void MP3ScansRequired(QByteArray i_files);
    // Folders that left the index, their paths given as those of
    // MP3ScansRequired: the analyses of their files asked for and not yet
    // made are not to be made.
    void MP3ScansDropped(QByteArray i_folders);

public slots:
    void OnFoldersRescanned();

    // Requests of the server link, the peer messenger and the distributed
    // network, connected by the constructor when those exist.
    void OnConnectedToServer();
    void OnReceivedUserStats(QString i_user, UserStats i_stats);
    void OnDirectFileSearch(QString i_user, quint32 i_token, QString i_search);
    void OnDNetSearchRequest(QString i_user, quint32 i_token, QString i_search);
    void OnFilesInFoldersRequested(QString i_user, quint32 i_token, QString i_folder);
    void OnMP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency, bool i_isVBR,
                      int i_bitrate);

private slots:
    void MergeSlice();
    void RemoveSharesSlice();

private:
    // Connects the answers to their senders and becomes the peer
    // messenger's share-list provider; undone by the destructor.
    void ConnectAnswers();
    void DisconnectAnswers();
    void SubscribeToAddresses();
    void AnswerSearch(QString const& i_user, quint32 i_token, QString const& i_search);
    // The uncompressed records of SearchAnswer and FolderContentsAnswer;
    // empty for none.
    MemStream SearchAnswerRecord(QString const& i_user, quint32 i_req, QString const& i_searchText) const;
    MemStream FolderContentsRecord(QString const& i_user, quint32 i_token, QString const& i_folder) const;
    // Whether an answer has anywhere to go, and its sending.
    bool CanSend() const;
    void SendToUser(QString const& i_user, QByteArray const& i_message);
    // Compresses the record (a large one on the worker) and sends it; false
    // when too much already waits for the worker.
    bool SendAnswer(QString const& i_user, quint32 i_code, MemStream const& i_record);
    // The same for a record of i_bytes bytes that the worker writes itself.
    bool SendAnswer(QString const& i_user, quint32 i_code, quint64 i_bytes, AnswerWorker::Record i_record);
    // A search being matched against the index (ShareAnswers.cpp): the
    // matches in path order, then their descriptions up to the limits of
    // one answer. Each step is the same whether it runs at once (the
    // records SearchAnswer gives) or in slices.
    struct SearchMatching;
    // False when nothing can match (or nothing is answered at all).
    bool StartSearchMatching(QString const& i_user, quint32 i_req, QString const& i_searchText,
                             SearchMatching& o_matching) const;
    // Reads on; true once the reply's files are complete, false when the
    // slice is used up (a negative slice has no end).
    bool MatchSearch(SearchMatching& io_matching, qint64 i_sliceMs) const;
    static void LogSearchCut(SearchMatching const& i_matching);
    // Sends the reply, if any, and emits SearchProcessed.
    void EndSearchMatching(SearchMatching& io_matching);
    // Timer slot: one slice of the first search in progress.
    void MatchSearches();
    // A share list being read from the index into its draft, in slices: a
    // file reads about 0.5 µs, a share of 200,000 files 100 ms. Each root,
    // folder and file is read as it is when its slice comes, the folders of
    // a root and the files of a folder a batch at a time: even gathering
    // the 50,000 folders of a million files first held the loop for 6 ms.
    struct ShareListReading
    {
        ShareListCache::Key m_key;
        quint64 m_generation = 0; // when the reading began
        std::vector<Item> m_roots;
        std::size_t m_nextRoot = 0;
        Item m_root; // whose folders are being read
        std::uint64_t m_folderFrom = 0;
        std::vector<Item> m_folders; // a batch of them
        std::size_t m_nextFolder = 0;
        // A folder under two visible roots is listed under the first (with
        // one root, each folder comes once anyway).
        std::unordered_set<std::uint64_t> m_listedFolders;
        Item m_folder; // whose files are being read
        std::uint64_t m_fileFrom = 0;
        std::vector<Item> m_files; // a batch of them
        std::size_t m_nextFile = 0;
        std::shared_ptr<SharePayload::ShareListDraft> mp_draft;
    };
    ShareListReading StartShareListReading(ItemSet const& i_roots) const;
    // Reads on; true once the draft is whole, false when the slice is used
    // up (a negative slice has no end).
    bool ReadShareList(ShareListReading& io_reading, qint64 i_sliceMs) const;
    // Timer slot: one slice of the readings in progress.
    void ReadShareLists();
    // Compresses the draft read (a large one on the worker).
    void CompressShareList(ShareListReading& io_reading);
    void OnShareListMade(ShareListCache::Key const& i_key, quint64 i_generation, QByteArray const& i_message);
    // Store observer: any link that changes what a share list shows.
    void OnIndexLink(ConnectionInfo& i_link);

    // TokenizeSharedFile with the folder and name the scan holds already.
    void TokenizeSharedFile(Item const& i_file, Item const& i_folder, QString const& i_name);
    // Brings the file items of one folder in line with a listing, file by
    // file (the merge spreads a large folder over several slices): new
    // files get items, changed sizes are updated; every listed file is
    // tokenised and, when due, handed to MP3 analysis. The end gives the
    // items that were not listed, which the caller removes.
    struct FolderSync;
    void BeginFolderSync(FolderSync& o_sync, Item const& i_folder, QString const& i_folderPath);
    void SyncFile(FolderSync& io_sync, QString const& i_name, qint64 i_size, int& io_added);
    std::vector<Item> EndFolderSync(FolderSync& io_sync);
    void RequestMP3ScanIfDue(Item const& i_file, QString const& i_name, QString const& i_folderPath);
    void SendMP3ScanRequests();
    void DropMP3Scans(QByteArray i_folders);
    // True when a job runs: the call then runs after it (and all the
    // calls that waited before it).
    bool WaitForMerge(std::function<void()> i_call);
    void StartStartupScan();
    // i_kind is a ShareMerge::Kind; a scan of one folder walks i_folder of
    // the one root given.
    void StartJob(int i_kind, QStringList const& i_roots, QString const& i_folder);
    void ReportProgress(bool i_removing);
    void FinishMerge();
    static constexpr qint64 PROGRESS_INTERVAL_MS = 500;

    struct ShareMerge;
    std::unique_ptr<ShareMerge> mp_merge;
    // Starts the next slice: a timer rather than a posted call, so that the
    // event loop takes its turn (input, paint, timers) before every slice.
    QTimer m_mergeTimer;
    // Events wait about this long, while the slices' own cost (a turn of
    // the event loop each) stays far below the merge's. Kept well below the
    // 100 ms a user notices: a slice may also have to grow the store's value
    // tables (about 30 ms each at a million names).
    qint64 m_mergeSliceMs = 10;
    std::vector<std::function<void()>> m_afterMerge;
    // The folder whose tokens TokenizeSharedFile looked up last.
    Item m_tokenFolder;
    std::vector<Item> m_folderTokens;

    QThread m_scannerThread;
    FileScanner m_fileScanner;
    // MP3 files found due by the scan pass in progress and not sent yet,
    // as the scanner takes them.
    QByteArray m_mp3ScansDue;

    bool m_initialised = false;

    // Answers to other users: the worker that compresses the large ones,
    // the share lists kept, and the index generation they were read at
    // (bumped by every link that changes what a list shows).
    AnswerWorker m_answerWorker;
    ShareListCache m_shareLists;
    quint64 m_indexGeneration = 0;
    std::vector<Type*> m_listedTypes;
    quint64 m_inlineCompressionLimit = INLINE_COMPRESSION_LIMIT;
    AnswerSink m_answerSink;
    // Bytes of the search and folder answers the worker has not ended.
    quint64 m_pendingAnswerBytes = 0;
    // Readings that did not end in their first slice, and the zero timer
    // that goes on with them.
    std::map<ShareListCache::Key, ShareListReading> m_shareListReadings;
    QTimer m_shareListTimer;
    // Searches whose matching did not end in their first slice, in the
    // order they came, and the zero timer that goes on with them.
    std::deque<std::shared_ptr<SearchMatching>> m_searchMatchings;
    QTimer m_searchTimer;
    static constexpr std::size_t MAX_SEARCHES_IN_PROGRESS = 16;
    qint64 m_shareListSliceMs = 10;

    // Share lists being removed: their folders, then the files of the
    // folder taken last, each next at the back.
    // Shares whose folders are being removed, with the serial of the next
    // batch of them to read, and those read: they go newest first, each
    // then the last link of the share, the cheapest for the store to drop
    // (oldest first, the share's and the type's vectors were compacted now
    // and then, for up to 65 ms at 2,000,000 folders).
    static constexpr std::uint64_t ALL_READ = ~std::uint64_t(0);
    std::deque<std::pair<Item, std::uint64_t>> m_removedShares;
    std::vector<Item> m_removedFolders;
    std::vector<Item> m_removedFiles;
    QTimer m_shareRemovalTimer;
    qint64 m_shareRemovalSliceMs = 10;

    Type* mp_sharedFolderType;
    Type* mp_sharedFileType;
    Type* mp_fileNameType;
    Type* mp_lowerNameType;
    Type* mp_folderType;
    Type* mp_lowerFolderType;
    Type* mp_fileSizeType;
    Type* mp_isScannedType;
    Type* mp_folderIdType;
    Type* mp_searchTokenType;
};

extern SharedFoldersManager* sharedFoldersManager;

#endif
