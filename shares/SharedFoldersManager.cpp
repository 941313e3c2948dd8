#include "shares/SharedFoldersManager.h"

#include "shares/UploadQueueHooks.h"

#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "shares/SearchTokens.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/Utilities.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <unordered_map>

SharedFoldersManager* sharedFoldersManager = nullptr;

namespace {

char const* const kSharedFolder = "shared_folder";
char const* const kSharedFile = "shared_file";
char const* const kFileName = "shared_file_name";
char const* const kLowerName = "shared_file_lowercase_name";
char const* const kFolder = "shared_file_folder";
char const* const kLowerFolder = "shared_file_folder_lowercase_name";
char const* const kFileSize = "shared_file_size";
char const* const kIsScanned = "is_scanned";
char const* const kFolderId = "shared_folder_id";
char const* const kSearchToken = "search_token";
// What the MP3 analysis stores on a file.
char const* const kMP3Attributes[] = {"mpeg_version", "channel_mode", "audio_frequency", "bitrate_mode", "bitrate"};

void SaveType(char const* ip_type)
{
    if (dataSaver)
        dataSaver->AddSavedType(ip_type);
}

void SaveByConnection(char const* ip_type, char const* ip_connectedType)
{
    if (dataSaver)
        dataSaver->AddSavedByConnectionType(ip_type, ip_connectedType);
}

void Relate(char const* ip_a, char const* ip_b, OneOrMany i_aHolds, OneOrMany i_bHolds)
{
    // RelateToType takes how many of A one B holds, then how many of B one A holds.
    d.GetType(ip_a)->RelateToType(d.GetType(ip_b), i_bHolds, i_aHolds, false);
}

QString JoinPath(QString const& i_folder, QString const& i_name)
{
    return i_folder + QLatin1Char('/') + i_name;
}

// Hands a large value to the context's thread to be freed there: freeing a
// million names on this thread takes up to 150 ms at once, and freeing them
// bit by bit made the allocator tidy its free lists now and then, for 90 ms
// at once. The one handle goes with the call: a copy kept here was the last
// one whenever the other thread had run the call first, and freed it here
// after all (200 ms and more at a million files).
template <class T>
void FreeOnThreadOf(QObject* ip_context, T i_value)
{
    auto lp_value = std::make_shared<T>(std::move(i_value));
    QMetaObject::invokeMethod(
        ip_context, [lp_value = std::move(lp_value)]() mutable { lp_value.reset(); }, Qt::QueuedConnection);
}

// Serials in one flat table, made big enough once: the folders a merge has
// seen are looked up one by one at its end, where sorting a hundred
// thousand of them took several milliseconds in one step. 0 marks a free
// slot; no item has serial 0.
class SerialSet
{
public:
    void Reserve(std::size_t i_count)
    {
        std::size_t l_size = 16;
        while (l_size < 2 * i_count + 2)
            l_size *= 2;
        std::vector<std::uint64_t> l_old(l_size);
        l_old.swap(m_slots);
        m_used = 0;
        for (std::uint64_t const l_serial : l_old)
            if (l_serial != 0)
                Insert(l_serial);
    }
    void Insert(std::uint64_t i_serial)
    {
        if (2 * (m_used + 1) > m_slots.size())
            Reserve(2 * m_used + 2);
        for (std::size_t l_at = Start(i_serial);; l_at = (l_at + 1) & (m_slots.size() - 1)) {
            if (m_slots[l_at] == i_serial)
                return;
            if (m_slots[l_at] == 0) {
                m_slots[l_at] = i_serial;
                ++m_used;
                return;
            }
        }
    }
    bool Contains(std::uint64_t i_serial) const
    {
        if (m_slots.empty())
            return false;
        for (std::size_t l_at = Start(i_serial);; l_at = (l_at + 1) & (m_slots.size() - 1)) {
            if (m_slots[l_at] == i_serial)
                return true;
            if (m_slots[l_at] == 0)
                return false;
        }
    }

private:
    std::size_t Start(std::uint64_t i_serial) const
    {
        return std::size_t((i_serial * 0x9E3779B97F4A7C15ull) >> 20) & (m_slots.size() - 1);
    }

    std::vector<std::uint64_t> m_slots;
    std::size_t m_used = 0;
};

// How many folders the end of a job reads at a time, each batch in one step.
std::size_t const FOLDER_BATCH = 256;
// The size of a block of MP3 files sent to the scanner as the merge goes.
int const MP3_BLOCK_BYTES = 1 << 20;

bool IsMP3Name(QString const& i_name)
{
    return i_name.size() > 4
           && (i_name.endsWith(QLatin1String(".mp3"), Qt::CaseSensitive)
               || i_name.endsWith(QLatin1String(".MP3"), Qt::CaseSensitive));
}

} // namespace

SharedFoldersManager::SharedFoldersManager(QObject* ip_parent) : QObject(ip_parent)
{
    mp_sharedFolderType = d.NewType(kSharedFolder, ROOT, false, true);
    SaveType(kSharedFolder);
    mp_sharedFileType = d.NewType(kSharedFile, INTERMEDIATE, true, true);
    mp_fileNameType = d.NewType(kFileName, INTERMEDIATE, false, true);
    mp_lowerNameType = d.NewType(kLowerName, LEAF, false, true);
    mp_folderType = d.NewType(kFolder, INTERMEDIATE, false, true);
    mp_lowerFolderType = d.NewType(kLowerFolder, LEAF, false, true);
    mp_fileSizeType = d.NewType(kFileSize, LEAF, false, true);
    d.NewType("shared_public", LEAF, true, true);
    d.NewType("shared_userlist", LEAF, true, true);
    mp_isScannedType = d.NewType(kIsScanned, LEAF, true, true);
    mp_folderIdType = d.NewType(kFolderId, LEAF, false, true);

    Relate(kSharedFolder, kFolder, MANY, MANY);
    Relate(kSharedFile, kFolder, ONE, MANY);
    Relate(kFolder, kLowerFolder, ONE, MANY);
    Relate(kSharedFile, kFileName, ONE, MANY);
    Relate(kFileName, kLowerName, ONE, MANY);
    Relate(kSharedFile, kFileSize, ONE, MANY);
    Relate(kSharedFolder, "shared_public", ONE, MANY);
    Relate(kSharedFolder, "shared_userlist", ONE, MANY);
    Relate(kFolder, kIsScanned, ONE, MANY);
    Relate(kSharedFolder, "user_list_group", MANY, MANY);
    Relate(kSharedFolder, kFolderId, ONE, ONE);
    SaveByConnection("shared_public", kSharedFolder);
    SaveByConnection("shared_userlist", kSharedFolder);
    SaveByConnection(kFolderId, kSharedFolder);

    mp_fileNameType->AddNewItemEventHandler(
        new EventHandler<SharedFoldersManager, Item>(this, &SharedFoldersManager::OnSharedFileNameAdded));
    mp_folderType->AddNewItemEventHandler(
        new EventHandler<SharedFoldersManager, Item>(this, &SharedFoldersManager::OnSharedFileFolderAdded));

    // Share lists received from other users.
    d.NewType("user_share", ROOT, true, true);
    d.NewType("user_share_folder", INTERMEDIATE, true, true);
    d.NewType("user_share_folder_parent", INTERMEDIATE, true, true);
    d.NewType("user_share_folder_child", INTERMEDIATE, true, true);
    d.NewType("user_share_folder_name", LEAF, false, true);
    d.NewType("user_share_file", INTERMEDIATE, true, true);
    d.NewType("user_share_file_name", LEAF, false, true);
    Relate("user_share", "user", ONE, ONE);
    Relate("user_share", "user_share_folder", MANY, ONE);
    Relate("user_share_folder", "user_share_folder_name", ONE, MANY);
    Relate("user_share_folder", "user_share_file", MANY, ONE);
    Relate("user_share_folder", "user_share_folder_parent", ONE, ONE);
    Relate("user_share_folder", "user_share_folder_child", MANY, ONE);
    Relate("user_share_folder_parent", "user_share_folder_child", ONE, ONE);
    Relate("user_share_file", "user_share_file_name", ONE, MANY);
    Relate("user_share_file", "file_size", ONE, MANY);

    mp_searchTokenType = d.NewType(kSearchToken, LEAF, false, true);
    Relate(kSearchToken, kSharedFile, MANY, MANY);

    for (char const* lp_attribute : kMP3Attributes)
        Relate(kSharedFile, lp_attribute, ONE, MANY);
    Relate(kSharedFile, kIsScanned, ONE, MANY);
    // Names, sizes and MP3 results are saved; tokens and the lower-case
    // twins are rebuilt after loading.
    SaveType(kIsScanned);
    SaveByConnection(kSharedFile, kFolder);
    SaveByConnection(kFolder, kSharedFolder);
    SaveByConnection(kFileName, kSharedFile);
    SaveByConnection(kFileSize, kSharedFile);
    for (char const* lp_attribute : kMP3Attributes)
        SaveByConnection(lp_attribute, kSharedFile);
    for (char const* lp_attribute : {"bitrate_mode", "bitrate", "length_seconds"})
        Relate("user_share_file", lp_attribute, ONE, MANY);

    // A root: the user it marks is kept with it.
    d.NewType("unshared", ROOT, true, true);
    Relate("user", "unshared", ONE, MANY);
    SaveType("unshared");
    SaveByConnection("user", "unshared");

    SetSetting("shared_folder_counter", QStringLiteral("1"));

    connect(this, &SharedFoldersManager::MP3ScansRequired, &m_fileScanner, &FileScanner::OnMP3ScansRequired);
    connect(this, &SharedFoldersManager::MP3ScansDropped, &m_fileScanner, &FileScanner::OnMP3ScansDropped);
    connect(&m_fileScanner, &FileScanner::MP3Scanned, this, &SharedFoldersManager::OnMP3Scanned);
    connect(&m_fileScanner, &FileScanner::FoldersScanned, this, &SharedFoldersManager::OnFoldersRescanned);
    m_mergeTimer.setSingleShot(true);
    m_mergeTimer.setInterval(0);
    connect(&m_mergeTimer, &QTimer::timeout, this, &SharedFoldersManager::MergeSlice);
    m_shareRemovalTimer.setSingleShot(true);
    m_shareRemovalTimer.setInterval(0);
    connect(&m_shareRemovalTimer, &QTimer::timeout, this, &SharedFoldersManager::RemoveSharesSlice);
    if (gp_server) {
        connect(gp_server, &Server::Connected, this, &SharedFoldersManager::OnConnectedToServer);
        connect(gp_server, &Server::ReceivedUserStats, this, &SharedFoldersManager::OnReceivedUserStats);
        connect(gp_server, &Server::DirectFileSearch, this, &SharedFoldersManager::OnDirectFileSearch);
    }
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::SharedFilesInFolderRequested, this,
                &SharedFoldersManager::OnFilesInFoldersRequested);
    ConnectAnswers();

    // Last, once nothing above can throw: a store exception must leave no
    // running thread behind (destroying it would end the program) and no
    // global pointing at a manager that was never made.
    m_fileScanner.moveToThread(&m_scannerThread);
    m_scannerThread.start();
    sharedFoldersManager = this;
}

SharedFoldersManager::~SharedFoldersManager()
{
    DisconnectAnswers();
    m_fileScanner.Quit();
    m_scannerThread.quit();
    m_scannerThread.wait();
    if (sharedFoldersManager == this)
        sharedFoldersManager = nullptr;
}

void SharedFoldersManager::Init()
{
    if (m_initialised)
        return;
    m_initialised = true;
    SubscribeToAddresses();
    StartStartupScan();
}

// ------------------------------------------------------------------ lookups

QString SharedFoldersManager::GetAbsoluteFileName(QString const& i_path)
{
    // Runs for every name and folder that enters the index, so one pass
    // rather than a regular expression.
    QString const l_lower = i_path.toLower();
    QString l_path;
    l_path.reserve(l_lower.size());
    bool l_afterSlash = false;
    for (QChar l_char : l_lower) {
        bool const l_isSlash = l_char == QLatin1Char('/') || l_char == QLatin1Char('\\');
        if (l_isSlash && l_afterSlash)
            continue;
        l_path += l_isSlash ? QChar(QLatin1Char('/')) : l_char;
        l_afterSlash = l_isSlash;
    }
    return l_path;
}

namespace {

// The files of one folder and one name, intersected from whichever side has
// fewer ("folder.jpg" is in every album; a folder may be huge).
Item FileOf(Item const& i_folder, Item const& i_name)
{
    ItemSet l_pair;
    l_pair.insert(i_folder);
    l_pair.insert(i_name);
    return d.GetItem(l_pair, kSharedFile);
}

// The lower-case twin of a folder has no trailing "/", so that the files at
// the top of a root given as "/music/" or "/" are found from a clean path.
QString FolderTwinValue(QString const& i_folder)
{
    QString l_value = SharedFoldersManager::GetAbsoluteFileName(i_folder);
    while (l_value.endsWith(QLatin1Char('/')))
        l_value.chop(1);
    return l_value;
}

} // namespace

Item SharedFoldersManager::GetExactSharedFileItem(QString const& i_path) const
{
    int const l_slash = i_path.lastIndexOf(QLatin1Char('/'));
    if (l_slash < 0)
        return Item();
    Item const l_folder = mp_folderType->HasItem(Value(i_path.left(l_slash)));
    if (l_folder.IsNull())
        return Item();
    Item const l_name = mp_fileNameType->HasItem(Value(i_path.mid(l_slash + 1)));
    if (l_name.IsNull())
        return Item();
    return FileOf(l_folder, l_name);
}

Item SharedFoldersManager::GetSharedFileItem(QString const& i_path) const
{
    Item const l_exact = GetExactSharedFileItem(i_path);
    if (!l_exact.IsNull())
        return l_exact;

    std::string const l_normal = GetAbsoluteFileName(i_path).toStdString();
    Item const l_lowerName = mp_lowerNameType->HasItem(Value(GetFileName(l_normal)));
    if (l_lowerName.IsNull())
        return Item();
    Item const l_lowerFolder = mp_lowerFolderType->HasItem(Value(GetFolder(l_normal)));
    if (l_lowerFolder.IsNull())
        return Item();
    ItemSet const l_names = l_lowerName.GetItems(kFileName);
    ItemSet const l_folders = l_lowerFolder.GetItems(kFolder);
    for (Item const& l_folder : l_folders)
        for (Item const& l_name : l_names) {
            Item const l_file = FileOf(l_folder, l_name);
            if (!l_file.IsNull())
                return l_file;
        }
    return Item();
}

void SharedFoldersManager::OnSharedFileNameAdded(Item i_name)
{
    i_name += mp_lowerNameType->GetItem(Value(GetAbsoluteFileName(i_name.AsString())));
}

void SharedFoldersManager::OnSharedFileFolderAdded(Item i_folder)
{
    i_folder += mp_lowerFolderType->GetItem(Value(FolderTwinValue(i_folder.AsString())));
}

QString SharedFoldersManager::GetFileItemDisplayString(Item const& i_file)
{
    QString l_text;
    Item const l_bitrate = i_file["bitrate"];
    if (!l_bitrate.IsNull())
        l_text += QString::number(l_bitrate.AsInt());
    std::string const l_mode = i_file["bitrate_mode"].AsStdString();
    if (l_mode == "vbr")
        l_text += QStringLiteral(" VBR");
    else if (l_mode == "cbr")
        l_text += QStringLiteral(" CBR");
    Item const l_length = i_file["length_seconds"];
    if (!l_length.IsNull())
        l_text += QStringLiteral(", ") + FormatSeconds(static_cast<long>(l_length.AsInt64()));
    return l_text;
}

// ------------------------------------------------------------------- tokens

void SharedFoldersManager::TokenizeSharedFile(Item const& i_file)
{
    TokenizeSharedFile(i_file, i_file[kFolder], i_file[kFileName].AsString());
}

void SharedFoldersManager::TokenizeSharedFile(Item const& i_file, Item const& i_folder, QString const& i_name)
{
    // The backslash between folder and name ends a token in both passes, so
    // the path's tokens are the folder's and the name's. A folder's are
    // looked up once for all its files, unless the collection has taken one
    // of them since (a folder that lost every file).
    bool l_cached = i_folder.Body() == m_tokenFolder.Body() && i_folder == m_tokenFolder;
    for (Item const& l_token : m_folderTokens)
        l_cached = l_cached && !l_token.IsNull();
    std::vector<std::string> l_words;
    if (!l_cached) {
        m_tokenFolder = i_folder;
        m_folderTokens.clear();
        AppendSearchTokens(i_folder.AsString().toLower(), l_words);
        for (std::string const& l_word : l_words)
            m_folderTokens.push_back(mp_searchTokenType->GetItem(Value(l_word)));
        l_words.clear();
    }
    for (Item const& l_token : m_folderTokens)
        i_file += l_token;
    AppendSearchTokens(i_name.toLower(), l_words);
    for (std::string const& l_word : l_words)
        i_file += mp_searchTokenType->GetItem(Value(l_word));
}

ItemSet SharedFoldersManager::GetFilesWithTokens(std::vector<std::string> const& i_tokens) const
{
    ItemSet l_tokens;
    for (std::string const& l_text : i_tokens) {
        Item const l_token = mp_searchTokenType->HasItem(Value(l_text));
        if (l_token.IsNull())
            return ItemSet();
        l_tokens.insert(l_token);
    }
    if (l_tokens.empty())
        return ItemSet();
    return d.GetItemSubset(l_tokens, kSharedFile);
}

// ----------------------------------------------------------------- scanning

void SharedFoldersManager::RequestMP3ScanIfDue(Item const& i_file, QString const& i_name, QString const& i_folderPath)
{
    if (!IsMP3Name(i_name) || i_file.IsConnected(kIsScanned))
        return;
    // Sent a block of about 1 MiB at a time, each made at its size at
    // once: grown by doubling, the 130 MB of a share of 2,000,000 files
    // were copied in steps of up to 64 MB.
    if (m_mp3ScansDue.isEmpty())
        m_mp3ScansDue.reserve(MP3_BLOCK_BYTES + 4096);
    m_mp3ScansDue.append(QFile::encodeName(JoinPath(i_folderPath, i_name))).append('\0');
    if (m_mp3ScansDue.size() >= MP3_BLOCK_BYTES)
        SendMP3ScanRequests();
}

void SharedFoldersManager::SendMP3ScanRequests()
{
    if (m_mp3ScansDue.isEmpty())
        return;
    QByteArray l_files;
    l_files.swap(m_mp3ScansDue);
    emit MP3ScansRequired(l_files);
    // The scanner thread frees the block, whoever lets go of it last.
    FreeOnThreadOf(&m_fileScanner, std::move(l_files));
}

void SharedFoldersManager::DropMP3Scans(QByteArray i_folders)
{
    if (i_folders.isEmpty())
        return;
    emit MP3ScansDropped(i_folders);
    FreeOnThreadOf(&m_fileScanner, std::move(i_folders));
}

struct SharedFoldersManager::FolderSync
{
    Item m_folder;
    QString m_path;
    // The folder's files by exact name: names that differ only in case are
    // different files here.
    std::unordered_map<std::string, Item> m_unseen;
    std::vector<Item> m_duplicates;
};

void SharedFoldersManager::BeginFolderSync(FolderSync& o_sync, Item const& i_folder, QString const& i_folderPath)
{
    o_sync.m_folder = i_folder;
    o_sync.m_path = i_folderPath;
    o_sync.m_unseen.clear();
    o_sync.m_duplicates.clear();
    for (Item const& l_file : i_folder.GetItems(kSharedFile))
        if (!o_sync.m_unseen.emplace(l_file[kFileName].AsStdString(), l_file).second)
            o_sync.m_duplicates.push_back(l_file);
}

void SharedFoldersManager::SyncFile(FolderSync& io_sync, QString const& i_name, qint64 i_size, int& io_added)
{
    std::string l_nameBytes = i_name.toStdString();
    Item l_file;
    auto const l_found = io_sync.m_unseen.find(l_nameBytes);
    if (l_found != io_sync.m_unseen.end()) {
        l_file = l_found->second;
        io_sync.m_unseen.erase(l_found);
        if (l_file[kFileSize].AsInt64() != i_size)
            l_file += mp_fileSizeType->GetItem(Value(static_cast<long long>(i_size)));
    } else {
        l_file = mp_sharedFileType->NewItem();
        l_file += io_sync.m_folder;
        l_file += mp_fileNameType->GetItem(Value(std::move(l_nameBytes)));
        l_file += mp_fileSizeType->GetItem(Value(static_cast<long long>(i_size)));
        ++io_added;
    }
    RequestMP3ScanIfDue(l_file, i_name, io_sync.m_path);
    TokenizeSharedFile(l_file, io_sync.m_folder, i_name);
}

std::vector<Item> SharedFoldersManager::EndFolderSync(FolderSync& io_sync)
{
    std::vector<Item> l_gone(std::move(io_sync.m_duplicates));
    for (auto& l_entry : io_sync.m_unseen)
        l_gone.push_back(std::move(l_entry.second));
    io_sync.m_unseen.clear();
    io_sync.m_duplicates.clear();
    return l_gone;
}

bool SharedFoldersManager::WaitForMerge(std::function<void()> i_call)
{
    if (!mp_merge)
        return false;
    m_afterMerge.push_back(std::move(i_call));
    return true;
}

// Every change of the shares runs as one job on the road the start-up scan
// takes: the walk on the scanner thread, then the merge into the store on
// the GUI thread in slices, with events handled between them (a share of a
// million files takes seconds), then the removals (files gone from the
// disk, vanished folders, folders no root holds) in slices too. One job
// runs at a time; commands asked for meanwhile wait for its end. Folders
// the merge has seen are kept in memory rather than marked in the store, so
// that a save between slices writes no mark that the next start's merge
// would take for its own.
struct SharedFoldersManager::ShareMerge
{
    enum Kind { STARTUP, RESCAN, SCAN, UNSHARE };
    enum Phase { WALK, RESERVE, FOLDERS, FOLDER_CHECK, REMOVALS, DONE };
    Kind m_kind = STARTUP;
    Phase m_phase = WALK;
    // The roots the walk covered: a vanished folder that another root holds
    // (one added while the job ran) is that root's own scan's business.
    std::set<QString> m_scanRoots;
    // Value types to make room in, one a slice, and for how many more items.
    std::vector<Type*> m_toReserve;
    std::size_t m_newFiles = 0;
    std::size_t m_resultFiles = 0;
    std::size_t m_mergedFiles = 0;
    FileScanner::ScanResult m_result;
    FileScanner::ScanResult::const_iterator m_root;
    FileScanner::FolderFiles::const_iterator m_folder;
    FileScanner::FileSizes::const_iterator m_file;
    bool m_rootStarted = false;
    bool m_inFolder = false;
    Item m_rootItem;
    FolderSync m_sync;
    int m_added = 0;
    // By serial, which no other item ever has, so that nothing need be
    // held. (A set of nodes took 20-35 ms to free at 50,000 folders.)
    SerialSet m_seenFolders;
    // Every folder of the index, each looked at in turn for whether it
    // goes, taken a batch at a time in creation order (from
    // m_nextFolderSerial on); a handle is let go of once looked at, and
    // once removed, so that no step takes or lets go of tens of thousands.
    std::vector<Item> m_folders;
    std::size_t m_nextFolder = 0;
    std::uint64_t m_nextFolderSerial = 0;
    // The paths of the folders that go, whose files the scanner is not to
    // analyse any more.
    QByteArray m_goneFolderPaths;
    // Files removed one by one, then folders each with all of its files
    // (taken when its turn comes, so that no slice gathers a million). Both
    // go from the last: the newest file of a token, a name, a folder or
    // its type is the last of their links, which then simply drops off the
    // end. Removed from the first, each left a tag behind, and a list of a
    // million tags was compacted in one step now and then (60 ms and more).
    std::vector<Item> m_removals;
    std::vector<Item> m_folderRemovals;
    std::vector<Item> m_folderFiles;
    bool m_folderFilesTaken = false;
    int m_filesRemoved = 0;
    QElapsedTimer m_progressClock;
};

void SharedFoldersManager::StartStartupScan()
{
    // After a command asked for before Init, if one runs.
    if (WaitForMerge([this] { StartStartupScan(); }))
        return;
    QStringList l_roots;
    for (Item const& l_root : mp_sharedFolderType->GetItems())
        l_roots << l_root.AsString();
    StartJob(ShareMerge::STARTUP, l_roots, QString());
}

void SharedFoldersManager::StartJob(int i_kind, QStringList const& i_roots, QString const& i_folder)
{
    mp_merge.reset(new ShareMerge);
    mp_merge->m_kind = ShareMerge::Kind(i_kind);
    mp_merge->m_progressClock.start();
    for (QString const& l_root : i_roots)
        mp_merge->m_scanRoots.insert(l_root);
    if (mp_merge->m_kind == ShareMerge::UNSHARE) {
        mp_merge->m_phase = ShareMerge::FOLDER_CHECK;
        emit ShareProgress(tr("Unsharing folder..."));
        m_mergeTimer.start();
        return;
    }
    emit ShareProgress(tr("Scanning shared folders..."));
    // Files being received are incomplete: offered to others, they would be
    // asked for with sizes that no longer hold.
    QString const l_notShared = PartialDownloadFolder();
    if (mp_merge->m_kind == ShareMerge::SCAN)
        QMetaObject::invokeMethod(&m_fileScanner, "ScanFolderOfRoot", Qt::QueuedConnection,
                                  Q_ARG(QString, i_roots.value(0)), Q_ARG(QString, i_folder),
                                  Q_ARG(QString, l_notShared));
    else
        QMetaObject::invokeMethod(&m_fileScanner, "ScanFolders", Qt::QueuedConnection, Q_ARG(QStringList, i_roots),
                                  Q_ARG(QString, l_notShared));
}

void SharedFoldersManager::OnFoldersRescanned()
{
    // The walk of the job in progress has ended: its result goes into the
    // store in slices.
    if (!mp_merge || mp_merge->m_phase != ShareMerge::WALK)
        return;
    Log("Profiling", 1, "OnFoldersRescanned begin");
    mp_merge->m_phase = ShareMerge::RESERVE;
    std::size_t l_files = 0;
    mp_merge->m_result = m_fileScanner.TakeResult(&l_files);
    mp_merge->m_root = mp_merge->m_result.begin();
    std::size_t l_folders = 0;
    for (auto const& l_root : mp_merge->m_result)
        l_folders += l_root.second.size();
    mp_merge->m_seenFolders.Reserve(l_folders);
    // New names are at most as many as the files the index does not hold.
    mp_merge->m_resultFiles = l_files;
    std::size_t const l_known = mp_sharedFileType->GetItemCount();
    mp_merge->m_newFiles = l_files > l_known ? l_files - l_known : 0;
    // Sizes repeat too often for their table to be sized by the file count
    // (it grows a step at a time instead, see store/Data.h).
    mp_merge->m_toReserve = {mp_sharedFileType, mp_fileNameType, mp_lowerNameType};
    MergeSlice();
}

void SharedFoldersManager::ReportProgress(bool i_removing)
{
    ShareMerge& l_merge = *mp_merge;
    if (l_merge.m_progressClock.elapsed() < PROGRESS_INTERVAL_MS)
        return;
    l_merge.m_progressClock.restart();
    if (i_removing)
        emit ShareProgress(tr("Removing shared files: %L1 removed").arg(l_merge.m_filesRemoved));
    else
        emit ShareProgress(
            tr("Adding shared files: %L1 of %L2").arg(l_merge.m_mergedFiles).arg(l_merge.m_resultFiles));
}

void SharedFoldersManager::MergeSlice()
{
    if (!mp_merge || mp_merge->m_phase == ShareMerge::WALK)
        return;
    ShareMerge& l_merge = *mp_merge;
    // Every slice does some work, however short it is meant to be.
    QElapsedTimer l_slice;
    l_slice.start();
    bool l_worked = false;
    auto const l_sliceOver = [this, &l_slice, &l_worked] {
        bool const l_over = l_worked && l_slice.elapsed() >= m_mergeSliceMs;
        l_worked = true;
        return l_over;
    };

    // A first start makes a name and its twin for most files: their key
    // tables grow to the share's size in one rebuild each, a slice apiece,
    // rather than in two rebuilds of a million keys in one slice amid the
    // merge. (At a later start the loaded index holds them already, and
    // nothing is rebuilt.)
    if (l_merge.m_phase == ShareMerge::RESERVE) {
        Type* const lp_type = l_merge.m_toReserve.back();
        lp_type->Reserve(lp_type->GetItemCount() + l_merge.m_newFiles);
        l_merge.m_toReserve.pop_back();
        if (l_merge.m_toReserve.empty())
            l_merge.m_phase = ShareMerge::FOLDERS;
        l_sliceOver();
    }

    while (l_merge.m_phase == ShareMerge::FOLDERS) {
        if (l_merge.m_root == l_merge.m_result.end()) {
            l_merge.m_phase = ShareMerge::FOLDER_CHECK;
            break;
        }
        if (!l_merge.m_inFolder) {
            if (!l_merge.m_rootStarted) {
                l_merge.m_rootItem = mp_sharedFolderType->HasItem(Value(l_merge.m_root->first));
                l_merge.m_folder = l_merge.m_root->second.begin();
                l_merge.m_rootStarted = true;
            }
            // A root removed while the scan ran, or between slices, is left.
            if (l_merge.m_rootItem.IsNull() || l_merge.m_folder == l_merge.m_root->second.end()) {
                ++l_merge.m_root;
                l_merge.m_rootStarted = false;
                continue;
            }
            Item const l_folderItem = mp_folderType->GetItem(Value(l_merge.m_folder->first));
            if (l_merge.m_kind == ShareMerge::SCAN)
                Log("Shared", 1,
                    QStringLiteral("Adding folder %1 as part of sharing %2")
                        .arg(Isolated(l_merge.m_folder->first), Isolated(l_merge.m_root->first)));
            l_folderItem += l_merge.m_rootItem;
            l_merge.m_seenFolders.Insert(l_folderItem.Serial());
            BeginFolderSync(l_merge.m_sync, l_folderItem, l_merge.m_folder->first);
            l_merge.m_file = l_merge.m_folder->second.begin();
            l_merge.m_inFolder = true;
        }
        FileScanner::FileSizes::const_iterator const l_end = l_merge.m_folder->second.end();
        while (l_merge.m_file != l_end && !l_sliceOver()) {
            SyncFile(l_merge.m_sync, l_merge.m_file->first, l_merge.m_file->second, l_merge.m_added);
            ++l_merge.m_file;
            ++l_merge.m_mergedFiles;
        }
        ReportProgress(false);
        if (l_merge.m_file != l_end)
            break;
        for (Item& l_gone : EndFolderSync(l_merge.m_sync))
            l_merge.m_removals.push_back(std::move(l_gone));
        l_merge.m_inFolder = false;
        ++l_merge.m_folder;
        if (l_sliceOver())
            break;
    }

    while (l_merge.m_phase == ShareMerge::FOLDER_CHECK && !l_sliceOver()) {
        // An unshared root's links to its folders go in steps after its
        // removal (Data::DropLinksOfRemoved); no reader sees them meanwhile,
        // so this only keeps the order of old, the root's links before the
        // folders.
        if (d.HasLinksOfRemoved()) {
            d.DropLinksOfRemoved();
            continue;
        }
        if (l_merge.m_nextFolder == l_merge.m_folders.size()) {
            l_merge.m_folders = mp_folderType->GetItemsFrom(l_merge.m_nextFolderSerial, FOLDER_BATCH);
            l_merge.m_nextFolder = 0;
            if (!l_merge.m_folders.empty()) {
                l_merge.m_nextFolderSerial = l_merge.m_folders.back().Serial() + 1;
                continue;
            }
            // Before their removal: the scanner is reading them meanwhile.
            DropMP3Scans(std::move(l_merge.m_goneFolderPaths));
            l_merge.m_goneFolderPaths.clear();
            l_merge.m_phase = ShareMerge::REMOVALS;
            break;
        }
        Item const l_folder = std::move(l_merge.m_folders[l_merge.m_nextFolder++]);
        if (l_folder.IsNull())
            continue;
        // Folders no root holds any more go: their root was unshared (by
        // this job, or between slices), or a rescan did not find them
        // again. So do folders the start-up scan and a rescan did not see
        // (a scan of one folder removes only the files gone from the
        // folders it walked): they are gone from the disk, unless a root
        // added while the job ran holds them, whose own scan is newer.
        // Their files go with them, so that nothing of a vanished folder
        // can be found (and offered) until the next collection.
        bool l_goes = !l_folder.IsConnected(kSharedFolder);
        if (!l_goes && (l_merge.m_kind == ShareMerge::STARTUP || l_merge.m_kind == ShareMerge::RESCAN)
            && !l_merge.m_seenFolders.Contains(l_folder.Serial())) {
            l_goes = true;
            for (Item const& l_root : l_folder.GetItems(kSharedFolder))
                l_goes = l_goes && l_merge.m_scanRoots.count(l_root.AsString()) > 0;
        }
        if (l_goes) {
            l_merge.m_folderRemovals.push_back(l_folder);
            l_merge.m_goneFolderPaths.append(QFile::encodeName(l_folder.AsString())).append('\0');
        }
    }

    while (l_merge.m_phase == ShareMerge::REMOVALS && !l_sliceOver()) {
        if (!l_merge.m_removals.empty()) {
            Item const l_file = std::move(l_merge.m_removals.back());
            l_merge.m_removals.pop_back();
            if (!l_file.IsNull()) {
                l_file.Remove();
                ++l_merge.m_filesRemoved;
            }
        } else if (!l_merge.m_folderRemovals.empty()) {
            if (!l_merge.m_folderFilesTaken) {
                l_merge.m_folderFiles = l_merge.m_folderRemovals.back().GetItems(kSharedFile).TakeItems();
                l_merge.m_folderFilesTaken = true;
            } else if (!l_merge.m_folderFiles.empty()) {
                Item const l_file = std::move(l_merge.m_folderFiles.back());
                l_merge.m_folderFiles.pop_back();
                l_file.Remove();
                ++l_merge.m_filesRemoved;
            } else {
                Item const l_folder = std::move(l_merge.m_folderRemovals.back());
                l_merge.m_folderRemovals.pop_back();
                l_folder.Remove();
                l_merge.m_folderFilesTaken = false;
            }
        } else if (d.HasLinksOfRemoved()) {
            // (Removals of items of many links, as above.)
            d.DropLinksOfRemoved();
        } else {
            l_merge.m_phase = ShareMerge::DONE;
        }
        ReportProgress(true);
    }
    if (l_merge.m_phase == ShareMerge::DONE && !l_sliceOver()) {
        FinishMerge();
        return;
    }
    m_mergeTimer.start();
}

void SharedFoldersManager::FinishMerge()
{
    FreeOnThreadOf(&m_fileScanner, std::move(mp_merge->m_result));
    std::unique_ptr<ShareMerge> lp_done(std::move(mp_merge));
    SendMP3ScanRequests();
    Log("Profiling", 1, "OnFoldersRescanned end");
    // The names, sizes and tokens that only the removed files held are left
    // to the store's periodic collection (in slices): nothing finds a file
    // through them any more.
    if (lp_done->m_kind == ShareMerge::STARTUP)
        emit StartupMergeFinished();
    else if (lp_done->m_kind == ShareMerge::RESCAN)
        emit SharedFilesRescanned(lp_done->m_added, lp_done->m_filesRemoved);
    std::vector<std::function<void()>> l_calls;
    l_calls.swap(m_afterMerge);
    // The first waiting command starts the next job; the others wait again,
    // in their order.
    for (std::function<void()>& l_call : l_calls)
        if (!WaitForMerge(l_call))
            l_call();
    if (!mp_merge)
        emit ShareProgress(QString());
}

Item SharedFoldersManager::AddSharedFolder(QString const& i_path)
{
    Item l_root = mp_sharedFolderType->HasItem(Value(i_path));
    if (!l_root.IsNull())
        return l_root;
    l_root = mp_sharedFolderType->GetItem(Value(i_path));
    int const l_number = GetSettingInt("shared_folder_counter");
    SetSetting("shared_folder_counter", static_cast<qint64>(l_number) + 1);
    l_root += mp_folderIdType->GetItem(Value(QStringLiteral("[%1]%2").arg(l_number).arg(QDir(i_path).dirName())));
    ScanSharedFolder(i_path, i_path);
    return l_root;
}

void SharedFoldersManager::ScanSharedFolder(QString const& i_root, QString const& i_folder)
{
    if (!i_folder.startsWith(i_root))
        return;
    if (WaitForMerge([this, i_root, i_folder] { ScanSharedFolder(i_root, i_folder); }))
        return;
    mp_sharedFolderType->GetItem(Value(i_root));
    StartJob(ShareMerge::SCAN, QStringList{i_root}, i_folder);
}

void SharedFoldersManager::RescanShares()
{
    if (WaitForMerge([this] { RescanShares(); }))
        return;
    QStringList l_roots;
    for (Item const& l_root : mp_sharedFolderType->GetItems())
        l_roots << l_root.AsString();
    StartJob(ShareMerge::RESCAN, l_roots, QString());
}

void SharedFoldersManager::UnshareFolder(Item const& i_root)
{
    if (i_root.IsNull() || i_root.GetType() != mp_sharedFolderType)
        return;
    if (WaitForMerge([this, i_root] { UnshareFolder(i_root); }))
        return;
    i_root.Remove();
    // The root is gone for every reader at once, but its links, whose
    // events tell the share lists kept, go in the job's slices.
    ++m_indexGeneration;
    StartJob(ShareMerge::UNSHARE, QStringList(), QString());
}

// --------------------------------------------------------------------- MP3

void SharedFoldersManager::OnMP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency,
                                        bool i_isVBR, int i_bitrate)
{
    Log("MP3 Scanning", 1, QStringLiteral("Scanned %1").arg(Isolated(i_file)));
    // The path is the one our scan built, so only the exact file is meant:
    // if it left the index, a twin differing in case must not take its result.
    Item const l_file = GetExactSharedFileItem(i_file);
    if (l_file.IsNull())
        return;
    l_file += d.GetType("mpeg_version")->GetItem(Value(i_mpegVersion));
    l_file += d.GetType("channel_mode")->GetItem(Value(i_channelMode));
    l_file += d.GetType("audio_frequency")->GetItem(Value(i_frequency));
    l_file += d.GetType("bitrate_mode")->GetItem(Value(i_isVBR ? "vbr" : "cbr"));
    l_file += d.GetType("bitrate")->GetItem(Value(i_bitrate));
    l_file += mp_isScannedType->GetGlobalNullItem();
}
