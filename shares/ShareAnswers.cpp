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

#include <algorithm>
#include <iterator>
#include <map>
#include <unordered_map>

namespace {

char const* const kSharedFolder = "shared_folder";
char const* const kSharedFile = "shared_file";
char const* const kFileName = "shared_file_name";
char const* const kFolder = "shared_file_folder";

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
    bool const l_answered = ProcessSearch(i_user, i_token, i_search);
    emit SearchProcessed(i_search, l_answered);
}

bool SharedFoldersManager::ProcessSearch(QString const& i_user, quint32 i_req, QString const& i_searchText)
{
    MemStream l_message = SearchAnswer(i_user, i_req, i_searchText);
    if (l_message.Size() == 0 || !peerMessenger)
        return false;
    Log("Search", 1, QStringLiteral("Sending search results to user %1 for search string %2").arg(i_user, i_searchText));
    peerMessenger->SendMessageToUser(i_user, l_message);
    return true;
}

MemStream SharedFoldersManager::SearchAnswer(QString const& i_user, quint32 i_req, QString const& i_searchText) const
{
    if (IsVSettingYes("finish_uploads_and_quit"))
        return MemStream();
    SearchParser l_parser;
    if (!l_parser.SetSearchText(i_searchText) || l_parser.GetIncludedTokenSet().empty())
        return MemStream();
    // Every included token must be in the index, and one of them must be
    // long enough to narrow the search down.
    std::vector<std::string> l_tokens;
    bool l_narrow = false;
    for (QString const& l_token : l_parser.GetIncludedTokenSet()) {
        l_tokens.push_back(l_token.toStdString());
        l_narrow = l_narrow || CharacterCount(l_token) >= 3;
    }
    if (!l_narrow)
        return MemStream();
    ItemSet const l_candidates = GetFilesWithTokens(l_tokens);
    if (l_candidates.empty())
        return MemStream();
    ItemSet const l_roots = GetUserSharedFolders(i_user);
    if (l_roots.empty())
        return MemStream();

    bool const l_filterNames =
        !l_parser.GetExcludedTokenSet().empty() || !l_parser.GetIncludedPartTokenSet().empty();
    std::unordered_map<std::uint64_t, bool> l_folderVisible;
    // By path, so that the answer goes out sorted; past the limit the
    // greatest path goes, so only the first paths are kept.
    std::map<std::string, Item> l_matches;
    std::size_t l_matchCount = 0;
    for (Item const& l_file : l_candidates) {
        Item const l_folder = l_file[kFolder];
        auto const l_known = l_folderVisible.try_emplace(l_folder.Serial(), false);
        if (l_known.second)
            l_known.first->second = !l_folder.GetItems(kSharedFolder).Common(l_roots).empty();
        if (!l_known.first->second)
            continue;
        Item const l_name = l_file[kFileName];
        if (l_filterNames && !NameFiltersPass(l_name.AsString().toLower(), l_parser))
            continue;
        ++l_matchCount;
        l_matches.emplace(RemotePath(l_folder.AsStdString() + '/' + l_name.AsStdString()), l_file);
        if (l_matches.size() > SharePayload::MAX_SEARCH_RESULT_FILES)
            l_matches.erase(std::prev(l_matches.end()));
    }
    if (l_matches.empty())
        return MemStream();

    SharePayload::SearchReply l_reply;
    l_reply.m_user = GetSetting("username");
    l_reply.m_token = i_req;
    l_reply.m_freeSlot = IsFreeToUpload();
    l_reply.m_uploadSpeed = quint32(GetSettingInt("upload_speed"));
    l_reply.m_queuedUploads = quint32(QueuedUploadCount());
    quint64 l_bytes = SharePayload::SearchReplyFixedSize(l_reply.m_user);
    l_reply.m_files.reserve(l_matches.size());
    for (auto const& l_match : l_matches) {
        FileInfo l_info = DescribeFile(l_match.second, l_match.first, true);
        l_bytes += SharePayload::WireSize(l_info);
        if (l_bytes > SharePayload::MAX_SEARCH_RESULT_BYTES)
            break;
        l_reply.m_files.push_back(std::move(l_info));
    }
    if (l_reply.m_files.size() < l_matchCount)
        Log("Search", 1,
            QStringLiteral("Search %1 from %2 matches %3 files; sending the first %4, the most one answer may carry")
                .arg(i_searchText, i_user)
                .arg(l_matchCount)
                .arg(l_reply.m_files.size()));
    return SharePayload::SearchResults(l_reply);
}

// ------------------------------------------------ share list and folders

void SharedFoldersManager::GetSharedFilesAsUserShare(QString const& i_user, FileInfoMap& o_shares,
                                                     AttributeTranslationTable&) const
{
    for (Item const& l_root : GetUserSharedFolders(i_user))
        for (Item const& l_folder : l_root.GetItems(kFolder)) {
            auto const l_entry = o_shares.emplace(RemotePath(l_folder.AsStdString()), std::set<FileInfo>());
            if (!l_entry.second)
                continue; // under two visible roots
            for (Item const& l_file : l_folder.GetItems(kSharedFile))
                l_entry.first->second.insert(DescribeFile(l_file, l_file[kFileName].AsStdString(), true));
        }
}

MemStream SharedFoldersManager::GetSharedFilesMessage(QString const& i_user) const
{
    Log("Shared", 1, QStringLiteral("Shared file list requested by user %1").arg(i_user));
    FileInfoMap l_shares;
    AttributeTranslationTable l_attributes;
    GetSharedFilesAsUserShare(i_user, l_shares, l_attributes);
    return SharePayload::ShareList(l_shares);
}

void SharedFoldersManager::OnFilesInFoldersRequested(QString i_user, quint32 i_token, QString i_folder)
{
    MemStream l_message = FolderContentsAnswer(i_user, i_token, i_folder);
    if (l_message.Size() > 0 && peerMessenger)
        peerMessenger->SendMessage(i_user, l_message);
}

MemStream SharedFoldersManager::FolderContentsAnswer(QString const& i_user, quint32 i_token,
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
    return SharePayload::FolderContents(i_token, i_folder, l_contents);
}

void SharedFoldersManager::RemoveUserShare(QString const& i_user)
{
    Item const l_share = d.GetType("user")->HasItem(Value(i_user))["user_share"];
    if (l_share.IsNull())
        return;
    ItemSet const l_folders = l_share.GetItems("user_share_folder");
    l_folders.GetItems("user_share_file").Remove();
    l_folders.Remove();
    l_share.Remove();
    d.RemoveDisconnectedItems();
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
    PeerMessenger::SetShareListProvider([this](QString const& i_user) { return GetSharedFilesMessage(i_user); });
}

void SharedFoldersManager::DisconnectAnswers()
{
    PeerMessenger::SetShareListProvider(PeerMessenger::ShareListProvider());
}
