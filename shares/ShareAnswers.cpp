// What other users get from our shares: answers to their searches, the share
// list, the contents of one folder, and the counts the server shows them.
// Every answer is limited to the roots the asking user may see.

#include "shares/SharedFoldersManager.h"

#include "peers/PeerMessenger.h"
#include "server/SearchParser.h"
#include "server/Server.h"
#include "shares/DNetManager.h"
#include "shares/SharePayloads.h"
#include "shares/UploadQueueHooks.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/Utilities.h"

#include <QElapsedTimer>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>

namespace {

char const* const kSharedFolder = "shared_folder";
char const* const kSharedFile = "shared_file";
char const* const kFileName = "shared_file_name";
char const* const kFolder = "shared_file_folder";
// Folders of a root, or files of a folder, that a share list reads at a
// time, each batch in one step.
std::size_t const READ_BATCH = 256;

// Peers name files and folders with backslashes.
std::string RemotePath(std::string i_path)
{
    std::replace(i_path.begin(), i_path.end(), '/', '\\');
    return i_path;
}

// The text after the last "." is "mp3" in any letter case.
bool IsMP3(std::string const& i_name)
{
    std::size_t const l_dot = i_name.rfind('.');
    return l_dot != std::string::npos && i_name.size() - l_dot == 4 && (i_name[l_dot + 1] | 0x20) == 'm'
           && (i_name[l_dot + 2] | 0x20) == 'p' && i_name[l_dot + 3] == '3';
}

// One file as a peer sees it: the name given (a full path or a bare name),
// the size, and for MP3 files when asked the extension and bitrate pairs.
FileInfo DescribeFile(Item const& i_file, std::string i_name, bool i_withAudio)
{
    FileInfo l_info(std::move(i_name), i_file["shared_file_size"].AsUInt64());
    if (!i_withAudio || !IsMP3(l_info.m_name))
        return l_info;
    l_info.m_attributes.m_extension = "mp3";
    Item const l_bitrate = i_file["bitrate"];
    if (l_bitrate.IsValid())
        l_info.m_attributes.m_attributes.emplace_back(0, quint32(l_bitrate.AsUInt64()));
    Item const l_mode = i_file["bitrate_mode"];
    if (l_mode.IsValid())
        l_info.m_attributes.m_attributes.emplace_back(2, l_mode.AsStdString() == "vbr" ? 1 : 0);
    return l_info;
}

int CharacterCount(QString const& i_text)
{
    return i_text.toUcs4().size();
}

bool NameFiltersPass(QString const& i_lowerName, SearchParser const& i_parser)
{
    for (QString const& l_token : i_parser.GetExcludedTokenSet())
        if (i_lowerName.contains(l_token))
            return false;
    for (QString const& l_token : i_parser.GetIncludedPartTokenSet())
        if (!i_lowerName.contains(l_token))
            return false;
    return true;
}

// Every folder under the roots once (a folder under two visible roots is
// met under the first), in the order a share list reads them.
template <class Visit>
void ForEachListedFolder(ItemSet const& i_roots, Visit i_visit)
{
    std::unordered_set<std::uint64_t> l_seen;
    for (Item const& l_root : i_roots)
        for (Item const& l_folder : l_root.GetItems(kFolder))
            if (l_seen.insert(l_folder.Serial()).second)
                i_visit(l_folder);
}

ShareListCache::Key RootKey(ItemSet const& i_roots)
{
    ShareListCache::Key l_key;
    l_key.reserve(i_roots.size());
    for (Item const& l_root : i_roots)
        l_key.push_back(l_root.Serial());
    return l_key;
}

// The message of a record, compressed here; none for no record.
MemStream Message(quint32 i_code, MemStream const& i_record)
{
    return i_record.Size() == 0 ? MemStream() : MemStream(SharePayload::Compressed(i_code, i_record));
}

} // namespace

// ----------------------------------------------------------------- searches

void SharedFoldersManager::OnDirectFileSearch(QString i_user, quint32 i_token, QString i_search)
{
    AnswerSearch(i_user, i_token, i_search);
}

void SharedFoldersManager::OnDNetSearchRequest(QString i_user, quint32 i_token, QString i_search)
{
    AnswerSearch(i_user, i_token, i_search);
}

void SharedFoldersManager::AnswerSearch(QString const& i_user, quint32 i_token, QString const& i_search)
{
    if (i_user == GetSetting("username"))
        return;
    ProcessSearch(i_user, i_token, i_search);
}

// A search being matched, then described, in slices: a search that matches
// 100,000 files reads the index for a quarter of a second.
struct SharedFoldersManager::SearchMatching
{
    QString m_user;
    QString m_text;
    SearchParser m_parser;
    bool m_filterNames = false;
    // Each candidate and match is let go of as it is read: freeing a
    // hundred thousand of either at the end held the loop for 15-25 ms.
    std::vector<Item> m_candidates;
    std::size_t m_nextCandidate = 0;
    ItemSet m_roots;
    std::unordered_map<std::uint64_t, bool> m_folderVisible;
    // By path, so that the answer goes out sorted; past the limit the
    // greatest path goes, so only the first paths are kept.
    std::map<std::string, Item> m_matches;
    std::size_t m_matchCount = 0;
    std::map<std::string, Item>::const_iterator m_nextMatch;
    bool m_describing = false;
    quint64 m_bytes = 0;
    bool m_full = false;
    SharePayload::SearchReply m_reply;
};

void SharedFoldersManager::ProcessSearch(QString const& i_user, quint32 i_req, QString const& i_searchText)
{
    auto lp_matching = std::make_shared<SearchMatching>();
    if (!CanSend() || !StartSearchMatching(i_user, i_req, i_searchText, *lp_matching)) {
        emit SearchProcessed(i_searchText, false);
        return;
    }
    if (MatchSearch(*lp_matching, m_shareListSliceMs)) {
        EndSearchMatching(*lp_matching);
        return;
    }
    // Strangers choose what they search for: only so many large searches
    // are read at once.
    if (m_searchMatchings.size() >= MAX_SEARCHES_IN_PROGRESS) {
        Log("Shared", 1,
            QStringLiteral("Not answering the search %1 of %2: %3 large searches are being read already")
                .arg(Isolated(i_searchText), Isolated(i_user), QString::number(m_searchMatchings.size())));
        emit SearchProcessed(i_searchText, false);
        return;
    }
    m_searchMatchings.push_back(std::move(lp_matching));
    m_searchTimer.start();
}

void SharedFoldersManager::MatchSearches()
{
    if (m_searchMatchings.empty())
        return;
    std::shared_ptr<SearchMatching> const lp_matching = m_searchMatchings.front();
    if (MatchSearch(*lp_matching, m_shareListSliceMs)) {
        m_searchMatchings.pop_front();
        EndSearchMatching(*lp_matching);
    }
    if (!m_searchMatchings.empty())
        m_searchTimer.start();
}

void SharedFoldersManager::EndSearchMatching(SearchMatching& io_matching)
{
    bool l_sent = false;
    if (!io_matching.m_reply.m_files.empty()) {
        LogSearchCut(io_matching);
        // The record is written with the compression: a large one on the
        // worker.
        auto lp_reply = std::make_shared<SharePayload::SearchReply>(std::move(io_matching.m_reply));
        l_sent = SendAnswer(io_matching.m_user, SharePayload::SEARCH_RESULTS, io_matching.m_bytes,
                            [lp_reply] { return SharePayload::SearchResultsRecord(*lp_reply); });
    }
    if (l_sent)
        Log("Search", 1,
            QStringLiteral("Sending search results to user %1 for search string %2")
                .arg(Isolated(io_matching.m_user), Isolated(io_matching.m_text)));
    emit SearchProcessed(io_matching.m_text, l_sent);
}

bool SharedFoldersManager::CanSend() const
{
    return peerMessenger || m_answerSink;
}

void SharedFoldersManager::SendToUser(QString const& i_user, QByteArray const& i_message)
{
    if (i_message.isEmpty())
        return;
    if (m_answerSink)
        m_answerSink(i_user, i_message);
    else if (peerMessenger)
        peerMessenger->SendMessageToUser(i_user, i_message);
}

bool SharedFoldersManager::SendAnswer(QString const& i_user, quint32 i_code, MemStream const& i_record)
{
    return SendAnswer(i_user, i_code, i_record.Size(), [i_record] { return i_record; });
}

bool SharedFoldersManager::SendAnswer(QString const& i_user, quint32 i_code, quint64 i_bytes,
                                      AnswerWorker::Record i_record)
{
    if (i_bytes <= m_inlineCompressionLimit) {
        SendToUser(i_user, SharePayload::Compressed(i_code, i_record()));
        return true;
    }
    // Each answer goes to its own user, so the order in which the worker
    // ends them does not matter. Requests arrive from everywhere: what
    // waits for the worker is bounded.
    quint64 const l_bytes = i_bytes;
    if (m_pendingAnswerBytes + l_bytes > MAX_PENDING_ANSWER_BYTES) {
        Log("Shared", 1,
            QStringLiteral("Not answering %1 (message %2): %3 MiB of answers already wait for compression")
                .arg(Isolated(i_user), QString::number(i_code), QString::number(m_pendingAnswerBytes >> 20)));
        return false;
    }
    m_pendingAnswerBytes += l_bytes;
    m_answerWorker.Compress(
        i_code, std::move(i_record),
        [this, i_user, l_bytes](QByteArray i_message) {
            m_pendingAnswerBytes -= l_bytes;
            SendToUser(i_user, i_message);
        });
    return true;
}

MemStream SharedFoldersManager::SearchAnswer(QString const& i_user, quint32 i_req, QString const& i_searchText) const
{
    return Message(SharePayload::SEARCH_RESULTS, SearchAnswerRecord(i_user, i_req, i_searchText));
}

MemStream SharedFoldersManager::SearchAnswerRecord(QString const& i_user, quint32 i_req,
                                                   QString const& i_searchText) const
{
    SearchMatching l_matching;
    if (!StartSearchMatching(i_user, i_req, i_searchText, l_matching))
        return MemStream();
    MatchSearch(l_matching, -1);
    if (l_matching.m_reply.m_files.empty())
        return MemStream();
    LogSearchCut(l_matching);
    return SharePayload::SearchResultsRecord(l_matching.m_reply);
}

bool SharedFoldersManager::StartSearchMatching(QString const& i_user, quint32 i_req, QString const& i_searchText,
                                               SearchMatching& o_matching) const
{
    if (IsVSettingYes("finish_uploads_and_quit"))
        return false;
    SearchParser& l_parser = o_matching.m_parser;
    if (!l_parser.SetSearchText(i_searchText) || l_parser.GetIncludedTokenSet().empty())
        return false;
    // Every included token must be in the index, and one of them must be
    // long enough to narrow the search down.
    std::vector<std::string> l_tokens;
    bool l_narrow = false;
    for (QString const& l_token : l_parser.GetIncludedTokenSet()) {
        l_tokens.push_back(l_token.toStdString());
        l_narrow = l_narrow || CharacterCount(l_token) >= 3;
    }
    if (!l_narrow)
        return false;
    o_matching.m_candidates = GetFilesWithTokens(l_tokens).TakeItems();
    if (o_matching.m_candidates.empty())
        return false;
    o_matching.m_roots = GetUserSharedFolders(i_user);
    if (o_matching.m_roots.empty())
        return false;
    o_matching.m_user = i_user;
    o_matching.m_text = i_searchText;
    o_matching.m_filterNames =
        !l_parser.GetExcludedTokenSet().empty() || !l_parser.GetIncludedPartTokenSet().empty();
    SharePayload::SearchReply& l_reply = o_matching.m_reply;
    l_reply.m_user = GetSetting("username");
    l_reply.m_token = i_req;
    l_reply.m_freeSlot = IsFreeToUpload();
    l_reply.m_uploadSpeed = quint32(GetSettingInt("upload_speed"));
    l_reply.m_queuedUploads = quint32(QueuedUploadCount());
    o_matching.m_bytes = SharePayload::SearchReplyFixedSize(l_reply.m_user);
    return true;
}

bool SharedFoldersManager::MatchSearch(SearchMatching& io_matching, qint64 i_sliceMs) const
{
    QElapsedTimer l_clock;
    l_clock.start();
    auto const l_sliceOver = [&l_clock, i_sliceMs] {
        return i_sliceMs >= 0 && l_clock.nsecsElapsed() >= i_sliceMs * 1000000;
    };
    // Each candidate and match is read as it is when its slice comes; one
    // removed meanwhile reads as a null item with no folder, and is left out.
    while (!io_matching.m_describing) {
        if (io_matching.m_nextCandidate == io_matching.m_candidates.size()) {
            io_matching.m_describing = true;
            io_matching.m_nextMatch = io_matching.m_matches.begin();
            // Made at its size at once: growing it copies what it holds (a
            // hundred thousand descriptions) in one step.
            io_matching.m_reply.m_files.reserve(io_matching.m_matches.size());
            break;
        }
        Item const l_file = std::move(io_matching.m_candidates[io_matching.m_nextCandidate++]);
        Item const l_folder = l_file[kFolder];
        if (l_folder.IsNull())
            continue;
        auto const l_known = io_matching.m_folderVisible.try_emplace(l_folder.Serial(), false);
        if (l_known.second)
            l_known.first->second = !l_folder.GetItems(kSharedFolder).Common(io_matching.m_roots).empty();
        if (l_known.first->second) {
            Item const l_name = l_file[kFileName];
            if (!io_matching.m_filterNames || NameFiltersPass(l_name.AsString().toLower(), io_matching.m_parser)) {
                ++io_matching.m_matchCount;
                std::map<std::string, Item>& l_matches = io_matching.m_matches;
                l_matches.emplace(RemotePath(l_folder.AsStdString() + '/' + l_name.AsStdString()), l_file);
                if (l_matches.size() > SharePayload::MAX_SEARCH_RESULT_FILES)
                    l_matches.erase(std::prev(l_matches.end()));
            }
        }
        if (l_sliceOver())
            return false;
    }
    std::vector<FileInfo>& l_files = io_matching.m_reply.m_files;
    while (io_matching.m_nextMatch != io_matching.m_matches.end()) {
        auto const l_match = io_matching.m_matches.extract(io_matching.m_nextMatch++);
        // What the answer cannot carry is only let go of.
        if (io_matching.m_full || !l_match.mapped().IsValid()) {
            if (l_sliceOver())
                return false;
            continue;
        }
        FileInfo l_info = DescribeFile(l_match.mapped(), l_match.key(), true);
        io_matching.m_bytes += SharePayload::WireSize(l_info);
        io_matching.m_full = io_matching.m_bytes > SharePayload::MAX_SEARCH_RESULT_BYTES;
        if (io_matching.m_full)
            io_matching.m_bytes -= SharePayload::WireSize(l_info);
        else
            l_files.push_back(std::move(l_info));
        if (l_sliceOver())
            return false;
    }
    return true;
}

void SharedFoldersManager::LogSearchCut(SearchMatching const& i_matching)
{
    std::size_t const l_sent = i_matching.m_reply.m_files.size();
    if (l_sent < i_matching.m_matchCount)
        Log("Search", 1,
            QStringLiteral("Search %1 from %2 matches %3 files; sending the first %4, the most one answer may carry")
                .arg(Isolated(i_matching.m_text), Isolated(i_matching.m_user), QString::number(i_matching.m_matchCount),
                     QString::number(l_sent)));
}

// ------------------------------------------------ share list and folders

void SharedFoldersManager::GetSharedFilesAsUserShare(QString const& i_user, FileInfoMap& o_shares,
                                                     AttributeTranslationTable&) const
{
    for (Item const& l_folder : GetUserShareFolders(i_user))
        AddUserShareFolder(l_folder, o_shares);
}

std::vector<Item> SharedFoldersManager::GetUserShareFolders(QString const& i_user) const
{
    std::vector<Item> l_folders;
    ForEachListedFolder(GetUserSharedFolders(i_user), [&l_folders](Item const& i_folder) { l_folders.push_back(i_folder); });
    return l_folders;
}

void SharedFoldersManager::AddUserShareFolder(Item const& i_folder, FileInfoMap& io_share) const
{
    // A folder unshared since the list began is left out.
    if (i_folder.IsNull())
        return;
    auto const l_entry = io_share.emplace(RemotePath(i_folder.AsStdString()), std::set<FileInfo>());
    if (!l_entry.second)
        return;
    for (Item const& l_file : i_folder.GetItems(kSharedFile))
        l_entry.first->second.insert(DescribeFile(l_file, l_file[kFileName].AsStdString(), true));
}

SharedFoldersManager::ShareListReading SharedFoldersManager::StartShareListReading(ItemSet const& i_roots) const
{
    ShareListReading l_reading;
    l_reading.m_key = RootKey(i_roots);
    l_reading.m_generation = m_indexGeneration;
    l_reading.m_roots.assign(i_roots.begin(), i_roots.end());
    l_reading.mp_draft = std::make_shared<SharePayload::ShareListDraft>();
    // Every folder and file of the index at most; what is not written is
    // never touched.
    l_reading.mp_draft->Reserve(mp_folderType->GetItemCount(), mp_sharedFileType->GetItemCount());
    return l_reading;
}

bool SharedFoldersManager::ReadShareList(ShareListReading& io_reading, qint64 i_sliceMs) const
{
    QElapsedTimer l_clock;
    l_clock.start();
    SharePayload::ShareListDraft& l_draft = *io_reading.mp_draft;
    // Handles are let go of as they are passed, while their bodies are in
    // cache, so that no step frees thousands of them.
    for (;;) {
        if (io_reading.m_nextFile < io_reading.m_files.size()) {
            Item const l_file = std::move(io_reading.m_files[io_reading.m_nextFile++]);
            if (l_file.IsValid()) // not removed since its batch was taken
                l_draft.AddFile(DescribeFile(l_file, l_file[kFileName].AsStdString(), true));
        } else if (io_reading.m_folder.IsValid()) {
            io_reading.m_files = io_reading.m_folder.GetItemsFrom(kSharedFile, io_reading.m_fileFrom, READ_BATCH);
            io_reading.m_nextFile = 0;
            if (io_reading.m_files.empty())
                io_reading.m_folder = Item();
            else
                io_reading.m_fileFrom = io_reading.m_files.back().Serial() + 1;
        } else if (io_reading.m_nextFolder < io_reading.m_folders.size()) {
            Item l_folder = std::move(io_reading.m_folders[io_reading.m_nextFolder++]);
            // A folder unshared since its batch was taken is left out.
            if (l_folder.IsValid() &&
                (io_reading.m_roots.size() == 1 || io_reading.m_listedFolders.insert(l_folder.Serial()).second)) {
                l_draft.AddFolder(RemotePath(l_folder.AsStdString()));
                io_reading.m_folder = std::move(l_folder);
                io_reading.m_fileFrom = 0;
            }
        } else if (io_reading.m_root.IsValid()) {
            io_reading.m_folders = io_reading.m_root.GetItemsFrom(kFolder, io_reading.m_folderFrom, READ_BATCH);
            io_reading.m_nextFolder = 0;
            if (io_reading.m_folders.empty())
                io_reading.m_root = Item();
            else
                io_reading.m_folderFrom = io_reading.m_folders.back().Serial() + 1;
        } else if (io_reading.m_nextRoot < io_reading.m_roots.size()) {
            io_reading.m_root = std::move(io_reading.m_roots[io_reading.m_nextRoot++]);
            io_reading.m_folderFrom = 0;
        } else {
            return true;
        }
        if (i_sliceMs >= 0 && l_clock.nsecsElapsed() >= i_sliceMs * 1000000)
            return false;
    }
}

MemStream SharedFoldersManager::GetSharedFilesMessage(QString const& i_user) const
{
    Log("Shared", 1, QStringLiteral("Shared file list requested by user %1").arg(Isolated(i_user)));
    ShareListReading l_reading = StartShareListReading(GetUserSharedFolders(i_user));
    ReadShareList(l_reading, -1);
    return SharePayload::ShareList(*l_reading.mp_draft);
}

void SharedFoldersManager::ProvideShareList(QString const& i_user, ShareListCache::Reply i_reply)
{
    Log("Shared", 1, QStringLiteral("Shared file list requested by user %1").arg(Isolated(i_user)));
    ItemSet const l_roots = GetUserSharedFolders(i_user);
    ShareListCache::Key const l_key = RootKey(l_roots);
    QByteArray const l_kept = m_shareLists.Find(l_key, m_indexGeneration);
    if (!l_kept.isEmpty()) {
        i_reply(l_kept);
        return;
    }
    if (m_shareLists.IsBeingMade(l_key)) {
        if (!m_shareLists.Wait(l_key, {i_user, std::move(i_reply)}))
            Log("Shared", 1,
                QStringLiteral("%1 asked again for the share list being made for him").arg(Isolated(i_user)));
        return;
    }
    m_shareLists.StartMaking(l_key, {i_user, std::move(i_reply)});
    ShareListReading l_reading = StartShareListReading(l_roots);
    // A small share is read, compressed and answered at once.
    if (ReadShareList(l_reading, m_shareListSliceMs)) {
        CompressShareList(l_reading);
        return;
    }
    m_shareListReadings.emplace(l_key, std::move(l_reading));
    m_shareListTimer.start();
}

void SharedFoldersManager::ReadShareLists()
{
    if (m_shareListReadings.empty())
        return;
    auto const l_first = m_shareListReadings.begin();
    bool const l_whole = ReadShareList(l_first->second, m_shareListSliceMs);
    if (l_whole) {
        ShareListReading l_reading = std::move(l_first->second);
        m_shareListReadings.erase(l_first);
        CompressShareList(l_reading);
    }
    if (!m_shareListReadings.empty())
        m_shareListTimer.start();
}

void SharedFoldersManager::CompressShareList(ShareListReading& io_reading)
{
    ShareListCache::Key const l_key = io_reading.m_key;
    quint64 const l_generation = io_reading.m_generation;
    if (io_reading.mp_draft->Bytes() <= m_inlineCompressionLimit) {
        OnShareListMade(l_key, l_generation, SharePayload::ShareList(*io_reading.mp_draft).ToByteArray());
        return;
    }
    m_answerWorker.Compress(
        SharePayload::SHARE_LIST,
        [lp_draft = std::move(io_reading.mp_draft)]() mutable {
            MemStream const l_record = lp_draft->Record();
            lp_draft.reset();
            return l_record;
        },
        [this, l_key, l_generation](QByteArray i_message) { OnShareListMade(l_key, l_generation, i_message); });
}

void SharedFoldersManager::OnShareListMade(ShareListCache::Key const& i_key, quint64 i_generation,
                                                 QByteArray const& i_message)
{
    if (i_message.isEmpty())
        Log("Shared", 1, QStringLiteral("A share list could not be compressed"));
    else if (i_generation == m_indexGeneration)
        m_shareLists.Keep(i_key, i_generation, i_message);
    for (ShareListCache::Waiter& l_waiter : m_shareLists.EndMaking(i_key)) {
        // A user who sees other roots now (unshared meanwhile, say) must
        // not get the list of the roots he saw when he asked.
        if (RootKey(GetUserSharedFolders(l_waiter.m_user)) != i_key)
            ProvideShareList(l_waiter.m_user, std::move(l_waiter.m_reply));
        else
            l_waiter.m_reply(i_message);
    }
}

void SharedFoldersManager::OnIndexLink(ConnectionInfo& i_link)
{
    if (std::find(m_listedTypes.begin(), m_listedTypes.end(), i_link.m_item2.GetType()) != m_listedTypes.end())
        ++m_indexGeneration;
}

void SharedFoldersManager::OnFilesInFoldersRequested(QString i_user, quint32 i_token, QString i_folder)
{
    MemStream const l_record = FolderContentsRecord(i_user, i_token, i_folder);
    if (l_record.Size() > 0 && CanSend())
        SendAnswer(i_user, SharePayload::FOLDER_CONTENTS, l_record);
}

MemStream SharedFoldersManager::FolderContentsAnswer(QString const& i_user, quint32 i_token,
                                                     QString const& i_folder) const
{
    return Message(SharePayload::FOLDER_CONTENTS, FolderContentsRecord(i_user, i_token, i_folder));
}

MemStream SharedFoldersManager::FolderContentsRecord(QString const& i_user, quint32 i_token,
                                                     QString const& i_folder) const
{
    QString l_path = i_folder;
    l_path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    Item const l_folder = mp_folderType->HasItem(Value(l_path));
    if (l_folder.IsNull() || l_folder.GetItems(kSharedFolder).Common(GetUserSharedFolders(i_user)).empty())
        return MemStream();
    SharedFolderInfo l_contents;
    for (Item const& l_file : l_folder.GetItems(kSharedFile))
        l_contents.m_files.insert(DescribeFile(l_file, l_file[kFileName].AsStdString(), false));
    return SharePayload::FolderContentsRecord(i_token, i_folder, l_contents);
}

void SharedFoldersManager::RemoveUserShare(QString const& i_user)
{
    RemoveShare(d.GetType("user")->HasItem(Value(i_user))["user_share"]);
}

// ------------------------------------------------------------ share counts

void SharedFoldersManager::OnConnectedToServer()
{
    if (!gp_server)
        return;
    int const l_folders = int(mp_folderType->GetItemCount());
    int const l_files = int(mp_sharedFileType->GetItemCount());
    Log("Shared", 1, QStringLiteral("Reporting %1 shared folders and %2 shared files").arg(l_folders).arg(l_files));
    gp_server->SendFilesFolders(l_folders, l_files);
    gp_server->GetUserStats(GetSetting("username"));
}

void SharedFoldersManager::OnReceivedUserStats(QString i_user, UserStats i_stats)
{
    // Other parts of the program ask for other users' statistics too.
    if (i_user != GetSetting("username"))
        return;
    SetSetting("upload_speed", qint64(qint32(i_stats.m_averageSpeed)));
}

// ------------------------------------------------------------------ wiring

void SharedFoldersManager::ConnectAnswers()
{
    if (dnetManager)
        connect(dnetManager, &DNetManager::DNetSearchRequest, this, &SharedFoldersManager::OnDNetSearchRequest);
    // What a share list shows: roots, their visibility, folders, files and
    // what is listed of each file. Tokens, twins and upload entries also
    // link to these items and change nothing in a list.
    for (char const* lp_type : {kSharedFolder, "shared_public", "shared_userlist", "user_list_group", kFolder,
                                kSharedFile, kFileName, "shared_file_size", "bitrate", "bitrate_mode"})
        if (d.HasType(lp_type))
            m_listedTypes.push_back(d.GetType(lp_type));
    for (Type* lp_type : {mp_sharedFolderType, mp_folderType, mp_sharedFileType}) {
        lp_type->AddConnectEventHandler(
            new EventHandler<SharedFoldersManager, ConnectionInfo&>(this, &SharedFoldersManager::OnIndexLink));
        lp_type->AddDisconnectEventHandler(
            new EventHandler<SharedFoldersManager, ConnectionInfo&>(this, &SharedFoldersManager::OnIndexLink));
    }
    m_shareListTimer.setSingleShot(true);
    m_shareListTimer.setInterval(0);
    connect(&m_shareListTimer, &QTimer::timeout, this, &SharedFoldersManager::ReadShareLists);
    m_searchTimer.setSingleShot(true);
    m_searchTimer.setInterval(0);
    connect(&m_searchTimer, &QTimer::timeout, this, &SharedFoldersManager::MatchSearches);
    PeerMessenger::SetShareListProvider([this](QString const& i_user, PeerMessenger::ShareListReply i_reply) {
        ProvideShareList(i_user, std::move(i_reply));
    });
    PeerMessenger::SetAnswerGate([this](QString const& i_user) { return !IsUserAddressUnshared(i_user); });
}

void SharedFoldersManager::DisconnectAnswers()
{
    PeerMessenger::SetShareListProvider(PeerMessenger::ShareListProvider());
    PeerMessenger::SetAnswerGate(PeerMessenger::AnswerGate());
    // No answer is sent once the manager goes: the compressions under way
    // end at their next slice, and the requests waiting for them are
    // dropped.
    m_shareListTimer.stop();
    m_shareListReadings.clear();
    m_searchTimer.stop();
    m_searchMatchings.clear();
    m_answerWorker.Stop();
    m_shareLists.Clear();
    m_pendingAnswerBytes = 0;
}
