// What travels on messaging connections: the senders, the dispatcher of
// incoming messages and the intake of search results into the store. Every
// incoming message is read completely before anything is emitted or stored,
// so a message cut short changes nothing.

#include "peers/PeerLog.h"
#include "peers/PeerMessenger.h"
#include "peers/PeerUsers.h"
#include "server/StoreTypes.h"
#include "store/Settings.h"

#include <vector>

namespace PeerCode {
enum : quint32 {
    SHARED_FILES_REQUEST = 4,
    SHARED_FILES = 5,
    SEARCH_RESULTS = 9,
    USER_INFO_REQUEST = 15,
    USER_INFO_REPLY = 16,
    FOLDER_CONTENTS_REQUEST = 36,
    TRANSFER_REQUEST = 40,
    TRANSFER_RESPONSE = 41,
    QUEUE_UPLOAD = 43,
    UPLOAD_PLACE_IN_LINE = 44,
    UPLOAD_FAILED = 46,
    UPLOAD_DENIED = 50,
    UPLOAD_PLACE_IN_LINE_REQUEST = 51,
    QUEUE_DOWNLOAD = 60
};
}

namespace {

// Smallest wire size of the records whose counts a peer announces; a count
// that cannot fit in the bytes left is refused before anything is reserved.
constexpr quint64 MIN_FILE_INFO_BYTES = 1 + 4 + 8 + 4 + 4;
constexpr quint64 MIN_FOLDER_BYTES = 4 + 4;
// Each file of a decoded share list costs some 200 bytes, ten times its size
// on the wire: the inflate cap alone would let one crafted list of tiny
// entries take gigabytes. Two million files is twice the largest share we
// mean to be able to browse.
constexpr quint64 MAX_SHARE_LIST_FILES = 2000000;
// Every file of a search answer becomes several store items and a row of the
// results page; no honest answer comes near this.
constexpr quint32 MAX_SEARCH_RESULT_FILES = 100000;
constexpr quint64 MIN_TABLE_ENTRY_BYTES = 4 + 4;

bool CountFits(InputStream& io_in, quint32 i_count, quint64 i_minBytes)
{
    return quint64(i_count) * i_minBytes <= io_in.BytesAvailable();
}

MemStream NewMessage(quint32 i_code)
{
    MemStream l_message;
    l_message.WriteU32(i_code);
    return l_message;
}

// Splits a remote path at its last separator.
void SplitRemotePath(std::string const& i_path, std::string& o_folder, std::string& o_name)
{
    std::size_t l_cut = i_path.find_last_of("\\/");
    if (l_cut == std::string::npos) {
        o_folder.clear();
        o_name = i_path;
    } else {
        o_folder = i_path.substr(0, l_cut);
        o_name = i_path.substr(l_cut + 1);
    }
}

} // namespace

// ------------------------------------------------------------------- senders

void PeerMessenger::GetUserSharedFiles(QString i_user)
{
    MemStream l_message = NewMessage(PeerCode::SHARED_FILES_REQUEST);
    SendMessage(i_user, l_message);
}

void PeerMessenger::GetUserInfo(QString i_user)
{
    MemStream l_message = NewMessage(PeerCode::USER_INFO_REQUEST);
    SendMessage(i_user, l_message);
}

quint32 PeerMessenger::RequestUpload(QString i_user, QString i_file, qint64 i_size)
{
    quint32 l_token = GetSetting("transfer_req_counter").toUInt();
    SetSetting("transfer_req_counter", qint64(quint32(l_token + 1)));
    MemStream l_message = NewMessage(PeerCode::TRANSFER_REQUEST);
    l_message.WriteU32(1);
    l_message.WriteU32(l_token);
    l_message.WriteString(i_file);
    l_message.WriteU64(quint64(i_size));
    SendMessage(i_user, l_message);
    return l_token;
}

void PeerMessenger::AcceptTransferRequest(QString i_user, uint i_token, bool i_withSize, qint64 i_size)
{
    MemStream l_message = NewMessage(PeerCode::TRANSFER_RESPONSE);
    l_message.WriteU32(i_token);
    l_message.WriteU8(1);
    if (i_withSize)
        l_message.WriteU64(quint64(i_size));
    SendMessage(i_user, l_message);
}

void PeerMessenger::DenyTransferRequest(QString i_user, uint i_token, QString i_reason)
{
    MemStream l_message = NewMessage(PeerCode::TRANSFER_RESPONSE);
    l_message.WriteU32(i_token);
    l_message.WriteU8(0);
    l_message.WriteString(i_reason);
    SendMessage(i_user, l_message);
}

void PeerMessenger::QueueDownload(QString i_user, std::string i_file)
{
    MemStream l_message = NewMessage(PeerCode::QUEUE_UPLOAD);
    l_message.WriteRaw(i_file);
    SendMessage(i_user, l_message);
}

void PeerMessenger::SendUploadPlaceInLine(QString i_user, QString i_file, int i_place)
{
    MemStream l_message = NewMessage(PeerCode::UPLOAD_PLACE_IN_LINE);
    l_message.WriteString(i_file);
    l_message.WriteU32(quint32(i_place));
    SendMessage(i_user, l_message);
}

void PeerMessenger::DenyUpload(QString i_user, QString i_file, QString i_reason)
{
    MemStream l_message = NewMessage(PeerCode::UPLOAD_DENIED);
    l_message.WriteString(i_file);
    l_message.WriteString(i_reason);
    SendMessage(i_user, l_message);
}

void PeerMessenger::QueueUpload(QString i_user, QString i_file, qint64 i_size)
{
    MemStream l_message = NewMessage(PeerCode::QUEUE_DOWNLOAD);
    l_message.WriteString(i_file);
    l_message.WriteI64(i_size);
    SendMessage(i_user, l_message);
}

// ---------------------------------------------------------------- dispatcher

namespace {

bool ReadShareList(MemStream& io_in, FileInfoMap& o_share, AttributeTranslationTable& o_table)
{
    quint32 l_folders = 0;
    if (!io_in.ReadU32(l_folders) || !CountFits(io_in, l_folders, MIN_FOLDER_BYTES))
        return false;
    quint64 l_total = 0;
    for (quint32 l_folder = 0; l_folder < l_folders; ++l_folder) {
        std::string l_path;
        quint32 l_files = 0;
        if (!io_in.ReadRaw(l_path) || !io_in.ReadU32(l_files) || !CountFits(io_in, l_files, MIN_FILE_INFO_BYTES))
            return false;
        l_total += l_files;
        if (l_total > MAX_SHARE_LIST_FILES)
            return false;
        std::set<FileInfo>& l_set = o_share[l_path];
        for (quint32 l_file = 0; l_file < l_files; ++l_file) {
            FileInfo l_info;
            if (!l_info.Read(io_in))
                return false;
            l_set.insert(std::move(l_info));
        }
    }
    quint32 l_entries = 0;
    if (!io_in.ReadU32(l_entries) || !CountFits(io_in, l_entries, MIN_TABLE_ENTRY_BYTES))
        return false;
    for (quint32 l_entry = 0; l_entry < l_entries; ++l_entry) {
        quint32 l_code = 0;
        std::string l_name;
        if (!io_in.ReadU32(l_code) || !io_in.ReadRaw(l_name))
            return false;
        o_table[l_code] = l_name;
    }
    return true;
}

} // namespace

void PeerMessenger::DispatchMessage(QString const& i_user, MemStream& io_in, bool& o_keepConnection)
{
    quint32 l_code = 0;
    if (!io_in.ReadU32(l_code)) {
        o_keepConnection = false;
        return;
    }
    auto Short = [&]() {
        Log(1, QString("Message %1 from %2 is cut short or malformed").arg(l_code).arg(i_user));
        o_keepConnection = false;
    };

    switch (l_code) {
    case PeerCode::SHARED_FILES_REQUEST: {
        Log(1, QString("%1 asks for our share list").arg(i_user));
        MemStream l_reply = ShareListFor(i_user);
        if (l_reply.Size() >= 4)
            SendMessage(i_user, l_reply);
        else
            Log(1, "No share list to send");
        break;
    }
    case PeerCode::SHARED_FILES: {
        MemStream l_inflated;
        if (!ZlibInflate(io_in, INFLATE_CAP_SHARE_LIST, l_inflated)) {
            Log(1, QString("Share list from %1 does not inflate within the limit").arg(i_user));
            o_keepConnection = false;
            return;
        }
        FileInfoMap l_share;
        AttributeTranslationTable l_table;
        if (!ReadShareList(l_inflated, l_share, l_table))
            return Short();
        Log(1, QString("Received the share list of %1: %2 folders").arg(i_user, QString::number(l_share.size())));
        emit UserShare(i_user, l_share, l_table);
        break;
    }
    case PeerCode::SEARCH_RESULTS:
        HandleSearchResults(i_user, io_in, o_keepConnection);
        break;
    case PeerCode::USER_INFO_REQUEST:
        emit UserInfoRequested(i_user);
        break;
    case PeerCode::USER_INFO_REPLY: {
        QString l_description;
        bool l_hasPicture = false;
        QByteArray l_picture;
        quint32 l_slots = 0, l_queued = 0;
        bool l_free = false;
        if (!io_in.ReadString(l_description) || !io_in.ReadBool(l_hasPicture))
            return Short();
        if (l_hasPicture) {
            quint32 l_length = 0;
            // The length is checked against the bytes actually received
            // before anything is allocated for it.
            if (!io_in.ReadU32(l_length) || l_length > io_in.BytesAvailable() || l_length > 0x7FFFFFF0u)
                return Short();
            l_picture.resize(int(l_length));
            if (l_length > 0 && !io_in.ReadBuffer(l_picture.data(), l_length))
                return Short();
        }
        if (!io_in.ReadU32(l_slots) || !io_in.ReadU32(l_queued) || !io_in.ReadBool(l_free))
            return Short();
        char* lp_picture = l_hasPicture && !l_picture.isEmpty() ? l_picture.data() : nullptr;
        emit UserInfoReceived(i_user, l_description, l_hasPicture, lp_picture, lp_picture ? l_picture.size() : 0,
                              int(l_slots), int(l_queued), l_free);
        break;
    }
    case PeerCode::FOLDER_CONTENTS_REQUEST: {
        quint32 l_token = 0;
        QString l_folder;
        if (!io_in.ReadU32(l_token) || !io_in.ReadString(l_folder))
            return Short();
        emit SharedFilesInFolderRequested(i_user, l_token, l_folder);
        break;
    }
    case PeerCode::TRANSFER_REQUEST: {
        quint32 l_direction = 0, l_token = 0;
        std::string l_file;
        quint64 l_size = 0;
        if (!io_in.ReadU32(l_direction) || !io_in.ReadU32(l_token) || !io_in.ReadRaw(l_file))
            return Short();
        // Only an offer (direction 1) must carry the size.
        if (!io_in.ReadU64(l_size) && l_direction == 1)
            return Short();
        emit FileTransferRequested(i_user, int(l_direction), l_token, l_file, qint64(l_size));
        break;
    }
    case PeerCode::TRANSFER_RESPONSE: {
        quint32 l_token = 0;
        bool l_allowed = false;
        if (!io_in.ReadU32(l_token) || !io_in.ReadBool(l_allowed))
            return Short();
        if (l_allowed) {
            quint64 l_size = 0;
            bool l_withSize = io_in.BytesAvailable() >= 8 && io_in.ReadU64(l_size);
            emit FileTransferResponse(i_user, l_token, true, l_withSize, qint64(l_size), QString());
        } else {
            QString l_reason;
            if (!io_in.ReadString(l_reason))
                return Short();
            emit FileTransferResponse(i_user, l_token, false, false, 0, l_reason);
        }
        break;
    }
    case PeerCode::QUEUE_UPLOAD: {
        QString l_file;
        if (!io_in.ReadString(l_file))
            return Short();
        emit QueueUploadRequested(i_user, l_file);
        break;
    }
    case PeerCode::UPLOAD_PLACE_IN_LINE: {
        std::string l_file;
        quint32 l_place = 0;
        if (!io_in.ReadRaw(l_file) || !io_in.ReadU32(l_place))
            return Short();
        emit DownloadPlaceInLine(i_user, l_file, int(l_place));
        break;
    }
    case PeerCode::UPLOAD_FAILED: {
        std::string l_file;
        if (!io_in.ReadRaw(l_file))
            return Short();
        emit UploadFailed(i_user, l_file);
        break;
    }
    case PeerCode::UPLOAD_DENIED: {
        std::string l_file;
        QString l_reason;
        if (!io_in.ReadRaw(l_file) || !io_in.ReadString(l_reason))
            return Short();
        emit UploadDenied(i_user, l_file, l_reason);
        break;
    }
    case PeerCode::UPLOAD_PLACE_IN_LINE_REQUEST: {
        QString l_file;
        if (!io_in.ReadString(l_file))
            return Short();
        emit UploadPlaceInLineRequested(i_user, l_file);
        break;
    }
    case PeerCode::QUEUE_DOWNLOAD: {
        std::string l_file;
        qint64 l_size = 0;
        if (!io_in.ReadRaw(l_file) || !io_in.ReadI64(l_size))
            return Short();
        emit QueueDownloadRequested(i_user, l_file, l_size);
        break;
    }
    default:
        Log(2, QString("Ignoring message %1 from %2").arg(l_code).arg(i_user));
        break;
    }
}

// -------------------------------------------------------- search-result intake

void PeerMessenger::HandleSearchResults(QString const& i_user, MemStream& io_in, bool& o_keepConnection)
{
    auto Refuse = [&](char const* ip_fault) {
        Log(1, QString("Search results from %1 %2").arg(i_user, QLatin1String(ip_fault)));
        o_keepConnection = false;
    };
    MemStream l_in;
    if (!ZlibInflate(io_in, INFLATE_CAP_DEFAULT, l_in))
        return Refuse("do not inflate within the limit");

    QString l_namedUser;
    quint32 l_token = 0, l_count = 0;
    if (!l_in.ReadString(l_namedUser) || !l_in.ReadU32(l_token) || !l_in.ReadU32(l_count) ||
        !CountFits(l_in, l_count, MIN_FILE_INFO_BYTES) || l_count > MAX_SEARCH_RESULT_FILES)
        return Refuse("are malformed or too many");
    std::vector<FileInfo> l_files;
    l_files.reserve(l_count);
    for (quint32 l_index = 0; l_index < l_count; ++l_index) {
        FileInfo l_info;
        if (!l_info.Read(l_in))
            return Refuse("are cut short");
        l_files.push_back(std::move(l_info));
    }
    bool l_free = false;
    quint32 l_speed = 0, l_queued = 0;
    if (!l_in.ReadBool(l_free) || !l_in.ReadU32(l_speed) || !l_in.ReadU32(l_queued))
        return Refuse("are cut short");
    // The attribute-name table that may follow is not used.

    if (l_namedUser != i_user)
        Log(2, QString("Search results from %1 name the user %2").arg(i_user, l_namedUser), "Search");

    Item l_request = d.GetType("search_request")->HasItem(Value(l_token));
    if (l_request.IsNull()) {
        Log(2, QString("Search results from %1 for unknown search %2").arg(i_user, QString::number(l_token)), "Search");
        return;
    }
    if (l_request.IsConnected("search_stopped")) {
        Log(2, QString("Search results from %1 for stopped search %2").arg(i_user, QString::number(l_token)), "Search");
        return;
    }
    Item l_existingUser = FindPeerUser(i_user);
    if (l_existingUser.IsValid() && d.HasType("is_ignored") && l_existingUser.IsConnected("is_ignored")) {
        Log(2, QString("Search results from ignored user %1 dropped").arg(i_user), "Search");
        return;
    }
    Item l_user = PeerUserItem(i_user);
    Item l_wish = l_request["wish_list_item"];
    if (l_wish.IsValid() && l_wish.IsConnected("discard_repeated_results")) {
        Item l_received = l_wish["received_results_from_users"];
        if (l_received.IsValid() && l_received.IsConnected(l_user)) {
            PeerLog(1, QString("Throwing away repeated search results from user %1").arg(i_user), "Wish List");
            return;
        }
        if (l_received.IsNull()) {
            l_received = d.GetType("received_results_from_users")->NewItem();
            l_wish += l_received;
        }
        l_received += l_user;
    }

    Item l_results = d.GetType("search_results")->NewItem();
    l_request += l_results;
    l_results += l_user;
    SetAttribute(l_results, "search_results_user_available", Value(l_free ? "yes" : "no"));
    SetAttribute(l_results, "search_results_user_speed", Value(static_cast<unsigned long long>(l_speed)));
    SetAttribute(l_results, "search_results_uploads_in_queue", Value(static_cast<unsigned long long>(l_queued)));
    Type* lp_resultType = d.GetType("search_result");
    for (FileInfo const& l_file : l_files) {
        std::string l_folder, l_name;
        SplitRemotePath(l_file.m_name, l_folder, l_name);
        Item l_result = lp_resultType->NewItem();
        l_results += l_result;
        SetAttribute(l_result, "search_result_file_folder", Value(l_folder));
        SetAttribute(l_result, "search_result_file_name", Value(l_name));
        SetAttribute(l_result, "file_size", Value(static_cast<unsigned long long>(l_file.m_size)));
        std::map<quint32, quint32> const& l_attributes = l_file.m_attributes.m_attributes;
        auto l_bitrate = l_attributes.find(0);
        if (l_bitrate != l_attributes.end())
            SetAttribute(l_result, "bitrate", Value(static_cast<unsigned long long>(l_bitrate->second)));
        auto l_length = l_attributes.find(1);
        if (l_length != l_attributes.end())
            SetAttribute(l_result, "length_seconds", Value(static_cast<unsigned long long>(l_length->second)));
        auto l_mode = l_attributes.find(2);
        if (l_mode != l_attributes.end())
            SetAttribute(l_result, "bitrate_mode", Value(l_mode->second == 1 ? "vbr" : "cbr"));
    }
    Log(1, QString("%1 search results from %2 for search %3").arg(QString::number(l_files.size()), i_user, QString::number(l_token)));
    emit SearchResults(l_results);
}
