// What travels on messaging connections: the senders, the dispatcher that
// applies decoded messages, and the intake of search results into the store.
// Every incoming message is decoded completely (PeerCodec) before anything
// is emitted or stored, so a message cut short changes nothing.

#include "peers/PeerCodec.h"
#include "peers/PeerLog.h"
#include "peers/PeerMessenger.h"
#include "peers/PeerUsers.h"
#include "peers/ShareListDecoder.h"
#include "server/StoreTypes.h"
#include "store/FreePages.h"
#include "store/Settings.h"
#include "store/SlicedWork.h"
#include "store/Utilities.h"

#include <memory>
#include <set>
#include <vector>

using namespace PeerCodec;

namespace {

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
    MemStream l_message = EncodeRequest(SHARED_FILES_REQUEST);
    SendMessage(i_user, l_message);
}

void PeerMessenger::GetUserInfo(QString i_user)
{
    MemStream l_message = EncodeRequest(USER_INFO_REQUEST);
    SendMessage(i_user, l_message);
}

quint32 PeerMessenger::RequestUpload(QString i_user, QString i_file, qint64 i_size)
{
    quint32 l_token = GetSetting("transfer_req_counter").toUInt();
    SetSetting("transfer_req_counter", qint64(quint32(l_token + 1)));
    MemStream l_message = EncodeTransferRequest(l_token, i_file, i_size);
    SendMessage(i_user, l_message);
    return l_token;
}

void PeerMessenger::AcceptTransferRequest(QString i_user, uint i_token, bool i_withSize, qint64 i_size)
{
    MemStream l_message = EncodeTransferAccepted(i_token, i_withSize, i_size);
    SendMessage(i_user, l_message);
}

void PeerMessenger::DenyTransferRequest(QString i_user, uint i_token, QString i_reason)
{
    MemStream l_message = EncodeTransferDenied(i_token, i_reason);
    SendMessage(i_user, l_message);
}

void PeerMessenger::QueueDownload(QString i_user, std::string i_file)
{
    MemStream l_message = EncodeQueueUpload(i_file);
    SendMessage(i_user, l_message);
}

void PeerMessenger::SendUploadPlaceInLine(QString i_user, QString i_file, int i_place)
{
    MemStream l_message = EncodePlaceInLine(i_file, i_place);
    SendMessage(i_user, l_message);
}

void PeerMessenger::DenyUpload(QString i_user, QString i_file, QString i_reason)
{
    MemStream l_message = EncodeUploadDenied(i_file, i_reason);
    SendMessage(i_user, l_message);
}

void PeerMessenger::QueueUpload(QString i_user, QString i_file, qint64 i_size)
{
    MemStream l_message = EncodeQueueDownload(i_file, i_size);
    SendMessage(i_user, l_message);
}

// ---------------------------------------------------------------- dispatcher

bool PeerMessenger::DispatchMessage(QString const& i_user, QByteArray const& i_payload)
{
    quint32 l_code = 0;
    PeekCode(i_payload, l_code);
    MemStream l_in(i_payload);
    // Only what we asked for is worth inflating: anything else would cost
    // memory and time for nothing.
    if ((l_code == SHARED_FILES || l_code == FOLDER_CONTENTS) && !TakeRequest(i_user, l_code)) {
        Log(1, QString("Dropping %1 from %2 that we did not ask for")
                   .arg(l_code == SHARED_FILES ? "a share list" : "folder contents", Isolated(i_user)));
        return true;
    }
    if (l_code == SHARED_FILES) {
        ReadShareList(i_user, i_payload);
        return true;
    }
    if (l_code == SEARCH_RESULTS) {
        quint32 l_token = 0;
        l_in.Skip(4);
        Status const l_head = PeekSearchAnswerToken(l_in, l_token);
        if (!l_head.Ok()) {
            Log(1, QString("Message %1 from %2 %3").arg(QString::number(l_code), Isolated(i_user), l_head.m_reason));
            return false;
        }
        if (WantsSearchAnswer(i_user, l_token))
            QueueSearchAnswer(i_user, l_token, i_payload);
        return true;
    }
    Message l_message;
    Status l_status = Decode(l_in, l_message);
    if (l_status.m_fault == Fault::Malformed) {
        Log(1, QString("Message %1 from %2 %3").arg(QString::number(l_code), Isolated(i_user), l_status.m_reason));
        return false;
    }
    if (l_status.m_fault == Fault::Refused) {
        Log(1, QString("Dropping message %1 from %2: it %3")
                   .arg(QString::number(l_code), Isolated(i_user), l_status.m_reason));
        return true;
    }
    ApplyMessage(i_user, l_message);
    return true;
}

void PeerMessenger::ApplyMessage(QString const& i_user, Message& io_message)
{
    Record& l_record = io_message.m_record;
    switch (io_message.m_code) {
    case SHARED_FILES_REQUEST: {
        Log(1, QString("%1 asks for our share list").arg(Isolated(i_user)));
        AnswerShareListRequest(i_user);
        break;
    }
    case USER_INFO_REQUEST:
        emit UserInfoRequested(i_user);
        break;
    case USER_INFO_REPLY: {
        UserInfo& l_info = std::get<UserInfo>(l_record);
        char* lp_picture = l_info.m_hasPicture && !l_info.m_picture.isEmpty() ? l_info.m_picture.data() : nullptr;
        emit UserInfoReceived(i_user, l_info.m_description, l_info.m_hasPicture, lp_picture,
                              lp_picture ? l_info.m_picture.size() : 0, l_info.m_uploadSlots, l_info.m_queuedUploads,
                              l_info.m_freeSlot);
        break;
    }
    case FOLDER_CONTENTS_REQUEST: {
        FolderRequest const& l_request = std::get<FolderRequest>(l_record);
        emit SharedFilesInFolderRequested(i_user, l_request.m_token, l_request.m_folder);
        break;
    }
    case FOLDER_CONTENTS: {
        FolderContents& l_contents = std::get<FolderContents>(l_record);
        std::size_t l_files = 0;
        for (auto const& l_folder : l_contents.m_folders)
            l_files += l_folder.second.size();
        Log(1, QString("Received the contents of folder %1 of %2: %3 files")
                   .arg(Isolated(ToQString(l_contents.m_folder)), Isolated(i_user), QString::number(l_files)));
        emit FolderContentsReceived(i_user, l_contents.m_token, l_contents.m_folder, l_contents.m_folders);
        break;
    }
    case TRANSFER_REQUEST: {
        TransferRequest const& l_request = std::get<TransferRequest>(l_record);
        emit FileTransferRequested(i_user, l_request.m_direction, l_request.m_token, l_request.m_file, l_request.m_size);
        break;
    }
    case TRANSFER_RESPONSE: {
        TransferResponse const& l_response = std::get<TransferResponse>(l_record);
        emit FileTransferResponse(i_user, l_response.m_token, l_response.m_allowed, l_response.m_hasSize,
                                  l_response.m_size, l_response.m_reason);
        break;
    }
    case QUEUE_UPLOAD:
        emit QueueUploadRequested(i_user, std::get<FileRequest>(l_record).m_file);
        break;
    case UPLOAD_PLACE_IN_LINE_REQUEST:
        emit UploadPlaceInLineRequested(i_user, std::get<FileRequest>(l_record).m_file);
        break;
    case UPLOAD_PLACE_IN_LINE: {
        PlaceInLine const& l_place = std::get<PlaceInLine>(l_record);
        emit DownloadPlaceInLine(i_user, l_place.m_file, l_place.m_place);
        break;
    }
    case UPLOAD_FAILED:
        emit UploadFailed(i_user, std::get<PeerCodec::UploadFailed>(l_record).m_file);
        break;
    case UPLOAD_DENIED: {
        PeerCodec::UploadDenied const& l_denied = std::get<PeerCodec::UploadDenied>(l_record);
        emit UploadDenied(i_user, l_denied.m_file, l_denied.m_reason);
        break;
    }
    case PeerCodec::QUEUE_DOWNLOAD: {
        PeerCodec::QueueDownload const& l_queue = std::get<PeerCodec::QueueDownload>(l_record);
        emit QueueDownloadRequested(i_user, l_queue.m_file, l_queue.m_size);
        break;
    }
    default:
        Log(2, QString("Ignoring message %1 from %2").arg(QString::number(io_message.m_code), Isolated(i_user)));
        break;
    }
}

// -------------------------------------------------------- search-result intake

bool PeerMessenger::WantsSearchAnswer(QString const& i_user, quint32 i_token)
{
    QString const l_token = QString::number(i_token);
    Item const l_request = d.GetType("search_request")->HasItem(Value(i_token));
    if (l_request.IsNull()) {
        Log(2, QString("Search results from %1 for unknown search %2").arg(Isolated(i_user), l_token), "Search");
        return false;
    }
    if (l_request.IsConnected("search_stopped")) {
        Log(2, QString("Search results from %1 for stopped search %2").arg(Isolated(i_user), l_token), "Search");
        return false;
    }
    auto const l_intake = m_searchIntake.find(i_token);
    if (l_intake != m_searchIntake.end() && l_intake->second.m_full) {
        Log(2, QString("Search results from %1 for search %2, which has all it takes").arg(Isolated(i_user), l_token),
            "Search");
        return false;
    }
    Item const l_user = FindPeerUser(i_user);
    if (l_user.IsValid() && d.HasType("is_ignored") && l_user.IsConnected("is_ignored")) {
        Log(2, QString("Search results from ignored user %1 dropped").arg(Isolated(i_user)), "Search");
        return false;
    }
    Item const l_wish = l_request["wish_list_item"];
    if (l_user.IsValid() && l_wish.IsValid() && l_wish.IsConnected("discard_repeated_results") &&
        l_wish["received_results_from_users"].IsConnected(l_user)) {
        PeerLog(1, QString("Throwing away repeated search results from user %1").arg(Isolated(i_user)), "Wish List");
        return false;
    }
    return true;
}

void PeerMessenger::QueueSearchAnswer(QString const& i_user, quint32 i_token, QByteArray const& i_payload)
{
    if (m_waitingAnswerBytes + i_payload.size() > m_limits.m_maxWaitingAnswerBytes) {
        Log(1,
            QString("Dropping search results from %1: answers of %2 bytes wait to be read")
                .arg(Isolated(i_user), QString::number(m_waitingAnswerBytes)),
            "Search");
        return;
    }
    m_waitingAnswers.push_back({i_user, i_token, mp_dispatching, i_payload});
    m_waitingAnswerBytes += i_payload.size();
    if (Link* lp_link = mp_dispatching ? FindLink(mp_dispatching) : nullptr)
        ++lp_link->m_answersWaiting;
    if (!mp_answerWork) {
        // Beside the results tab's slices, which show the answers.
        mp_answerWork = new SlicedWork(this);
        mp_answerWork->SetOwnSliceMs(SlicedWork::SIDE_BY_SIDE_MS);
    }
    // The first slice runs here: a small answer is taken at once.
    if (!mp_answerWork->IsRunning())
        mp_answerWork->Start([this]() { return TakeAnswerStep(); });
}

bool PeerMessenger::TakeAnswerStep()
{
    if (m_answerItem.IsValid())
        return StoreAnswerFiles() || !m_waitingAnswers.empty();
    if (!mp_answerReader) {
        if (m_waitingAnswers.empty())
            return false;
        m_answer = std::move(m_waitingAnswers.front());
        m_waitingAnswers.pop_front();
        m_waitingAnswerBytes -= m_answer.m_payload.size();
        // Only what may still be shown of the user is kept.
        SearchIntake const& l_intake = m_searchIntake[m_answer.m_token];
        auto const l_user = l_intake.m_users.find(m_answer.m_user);
        std::size_t const l_shown = l_user == l_intake.m_users.end() ? 0 : l_user->second.m_files;
        std::size_t const l_keep = m_limits.m_maxSearchFilesPerUser - std::min(l_shown, m_limits.m_maxSearchFilesPerUser);
        mp_answerReader = std::make_unique<SearchAnswerReader>(m_answer.m_payload, 4, l_keep);
        m_answer.m_payload = QByteArray();
        return true;
    }
    if (mp_answerReader->Step())
        return true;
    std::unique_ptr<SearchAnswerReader> const lp_reader = std::move(mp_answerReader);
    Status const& l_status = lp_reader->Result();
    QString const l_what = QString("Message 9 from %1 %2").arg(Isolated(m_answer.m_user), l_status.m_reason);
    if (l_status.m_fault == Fault::Malformed) {
        Log(1, l_what);
        EndSearchAnswer(l_status.m_reason);
    } else if (l_status.m_fault == Fault::Refused) {
        Log(1, QString("Dropping message 9 from %1: it %2").arg(Isolated(m_answer.m_user), l_status.m_reason));
        EndSearchAnswer();
    } else if ((m_answerItem = BeginSearchAnswer(m_answer.m_user, *lp_reader)).IsNull()) {
        EndSearchAnswer();
    }
    return m_answerItem.IsValid() || !m_waitingAnswers.empty();
}

Item PeerMessenger::BeginSearchAnswer(QString const& i_user, SearchAnswerReader& io_reader)
{
    SearchAnswer& l_answer = io_reader.Answer();
    QString l_token = QString::number(l_answer.m_token);
    if (l_answer.m_user != i_user)
        Log(2, QString("Search results from %1 name the user %2").arg(Isolated(i_user), Isolated(l_answer.m_user)),
            "Search");
    // The dispatcher asked WantsSearchAnswer of the same token before the
    // files were read.
    Item l_request = d.GetType("search_request")->HasItem(Value(l_answer.m_token));
    if (l_request.IsNull() || l_answer.m_token != m_answer.m_token)
        return Item();
    Item l_user = PeerUserItem(i_user);
    Item l_wish = l_request["wish_list_item"];
    bool l_oncePerUser = l_wish.IsValid() && l_wish.IsConnected("discard_repeated_results");
    Item l_received = l_oncePerUser ? l_wish["received_results_from_users"] : Item();
    // Another answer of the user may have been taken while this one waited.
    if (l_received.IsValid() && l_received.IsConnected(l_user)) {
        PeerLog(1, QString("Throwing away repeated search results from user %1").arg(Isolated(i_user)), "Wish List");
        return Item();
    }
    SearchIntake::UserAnswers& l_earlier =
        m_searchIntake[l_answer.m_token].m_users.try_emplace(i_user, m_repeatCheckSteps).first->second;
    if (l_earlier.m_digests.count(io_reader.Digest())) {
        Log(2,
            QString("Search results from %1 for search %2 repeat an earlier answer, dropped")
                .arg(Isolated(i_user), l_token),
            "Search");
        return Item();
    }
    if (!AdmitSearchFiles(l_answer.m_token, l_answer.m_files.size()))
        return Item();
    l_earlier.m_digests.insert(io_reader.Digest());
    l_earlier.m_files += l_answer.m_files.size();
    if (l_answer.m_files.size() < io_reader.FileCount())
        Log(1,
            QString("Search results from %1 for search %2: %3 of %4 files kept, %5 at most from one user")
                .arg(Isolated(i_user), l_token, QString::number(l_answer.m_files.size()),
                     QString::number(io_reader.FileCount()), QString::number(m_limits.m_maxSearchFilesPerUser)),
            "Search");
    if (l_oncePerUser) {
        if (l_received.IsNull()) {
            l_received = d.GetType("received_results_from_users")->NewItem();
            l_wish += l_received;
        }
        l_received += l_user;
    }

    Item l_results = d.GetType("search_results")->NewItem();
    l_request += l_results;
    l_results += l_user;
    SetAttribute(l_results, "search_results_user_available", Value(l_answer.m_freeSlot ? "yes" : "no"));
    SetAttribute(l_results, "search_results_user_speed", Value(static_cast<unsigned long long>(l_answer.m_speed)));
    SetAttribute(l_results, "search_results_uploads_in_queue", Value(static_cast<unsigned long long>(l_answer.m_queued)));
    m_answerFiles = std::move(l_answer.m_files);
    m_answerNext = 0;
    return l_results;
}

bool PeerMessenger::StoreAnswerFiles()
{
    Type* lp_resultType = d.GetType("search_result");
    for (int l_step = 0; l_step < 32 && m_answerNext < m_answerFiles.size(); ++l_step) {
        FileInfo const& l_file = m_answerFiles[m_answerNext++];
        std::string l_folder, l_name;
        SplitRemotePath(l_file.m_name, l_folder, l_name);
        Item l_result = lp_resultType->NewItem();
        m_answerItem += l_result;
        SetAttribute(l_result, "search_result_file_folder", Value(l_folder));
        SetAttribute(l_result, "search_result_file_name", Value(l_name));
        SetAttribute(l_result, "file_size", Value(static_cast<unsigned long long>(l_file.m_size)));
        AttributeMap const& l_attributes = l_file.m_attributes;
        quint32 l_value = 0;
        if (l_attributes.Find(0, l_value))
            SetAttribute(l_result, "bitrate", Value(static_cast<unsigned long long>(l_value)));
        if (l_attributes.Find(1, l_value))
            SetAttribute(l_result, "length_seconds", Value(static_cast<unsigned long long>(l_value)));
        if (l_attributes.Find(2, l_value))
            SetAttribute(l_result, "bitrate_mode", Value(l_value == 1 ? "vbr" : "cbr"));
    }
    if (m_answerNext < m_answerFiles.size())
        return true;
    Item const l_results = m_answerItem;
    m_answerItem = Item();
    Log(1,
        QString("%1 search results from %2 for search %3")
            .arg(QString::number(m_answerFiles.size()), Isolated(m_answer.m_user), QString::number(m_answer.m_token)));
    m_answerFiles = std::vector<FileInfo>();
    EndSearchAnswer();
    emit SearchResults(l_results);
    return false;
}

void PeerMessenger::EndSearchAnswer(QString const& i_malformed)
{
    QTcpSocket* const lp_socket = m_answer.mp_socket;
    m_answer = WaitingAnswer();
    Link* lp_link = lp_socket ? FindLink(lp_socket) : nullptr;
    if (!lp_link || --lp_link->m_answersWaiting > 0)
        return;
    if (!i_malformed.isEmpty())
        CloseLink(lp_socket, "unreadable message");
    else if (lp_link->m_readScheduled)
        ScheduleRead(lp_socket);
}

// --------------------------------------------------------------- share lists

void PeerMessenger::ReadShareList(QString const& i_user, QByteArray const& i_message)
{
    // A list of a million files took 0.7 s to inflate and read at once:
    // it is read in slices now, and only what has been read is held, so
    // that a list past a bound ends as soon as the bound is passed.
    auto const lp_decoder = std::make_shared<ShareListDecoder>(i_message, 4);
    auto* lp_work = new SlicedWork(this);
    ++m_shareListsRead;
    lp_work->Start([lp_decoder]() { return lp_decoder->Step(); },
                   [this, lp_work, lp_decoder, i_user]() {
                       lp_work->deleteLater();
                       --m_shareListsRead;
                       Status const& l_status = lp_decoder->Result();
                       ShareList& l_list = lp_decoder->List();
                       if (l_status.Ok()) {
                           Log(1, QString("Received the share list of %1: %2 folders, %3 bytes inflated")
                                      .arg(Isolated(i_user), QString::number(l_list.m_folders.size()),
                                           QString::number(lp_decoder->InflatedBytes())));
                           emit UserShare(i_user, l_list.m_folders, l_list.m_table);
                       } else {
                           Log(1, QString("Refusing the share list of %1: it %2")
                                      .arg(Isolated(i_user), l_status.m_reason));
                           emit ShareListRefused(i_user, l_status.m_reason);
                       }
                       DropInSlices(std::move(l_list.m_folders));
                   });
}

namespace {

// Frees a map of sets in slices, 256 entries a step (freed at once, what
// was read would hold the window as long as it took to read), merging what
// each step freed, then gives the free pages back. i_setOf: the set of a
// map entry; i_erased runs after each entry freed. i_nextTurn: beside other
// work, from the next turn on.
template <class Map, class SetOf, class Erased>
void FreeInSlices(QObject* ip_parent, std::shared_ptr<Map> ip_map, SetOf i_setOf, Erased i_erased, bool i_nextTurn)
{
    auto* lp_work = new SlicedWork(ip_parent);
    auto l_step = [ip_map, i_setOf, i_erased]() {
        auto const l_first = ip_map->begin();
        auto& l_set = i_setOf(l_first->second);
        for (int l_entry = 0; l_entry < 256 && !l_set.empty(); ++l_entry) {
            l_set.erase(l_set.begin());
            i_erased();
        }
        if (l_set.empty())
            ip_map->erase(l_first);
        // Merged a step at a time: left for later, the quarter of a
        // million digests of a closed search were merged by the first
        // allocation of the window that needed them, 44 ms, or by a walk
        // of the heaps that held them locked as long.
        MergeFreedBlocks();
        return !ip_map->empty();
    };
    auto l_done = [lp_work]() {
        lp_work->deleteLater();
        GiveBackFreePages();
    };
    if (i_nextTurn) {
        lp_work->SetOwnSliceMs(SlicedWork::SIDE_BY_SIDE_MS);
        lp_work->StartNextTurn(l_step, l_done);
    } else {
        lp_work->Start(l_step, l_done);
    }
}

} // namespace

void PeerMessenger::DropInSlices(FileInfoMap i_folders)
{
    if (i_folders.empty())
        return;
    // The Browse page takes the entries it enters; what is left (a list
    // nobody took, what a refused one had read) would hold the window as
    // long to free at once as it took to read.
    // What a refused list had read (a quarter of a gigabyte) would
    // otherwise stay with the process: the free pages go back after it.
    FreeInSlices(
        this, std::make_shared<FileInfoMap>(std::move(i_folders)),
        [](std::set<FileInfo>& io_files) -> std::set<FileInfo>& { return io_files; }, [] {}, false);
}

// ------------------------------------------------------- what we asked for

void PeerMessenger::NoteRequest(QString const& i_user, QByteArray const& i_message)
{
    quint32 l_code = 0;
    PeekCode(i_message, l_code);
    if (l_code != SHARED_FILES_REQUEST && l_code != FOLDER_CONTENTS_REQUEST)
        return;
    std::deque<qint64>& l_times = m_requests[{i_user, l_code == SHARED_FILES_REQUEST ? SHARED_FILES : FOLDER_CONTENTS}];
    // A page that asks again and again must not grow this without end; a
    // few open requests are as good as many.
    if (l_times.size() >= MAX_OPEN_REQUESTS)
        l_times.pop_front();
    l_times.push_back(Now());
}

bool PeerMessenger::TakeRequest(QString const& i_user, quint32 i_answerCode)
{
    auto l_found = m_requests.find({i_user, i_answerCode});
    if (l_found == m_requests.end())
        return false;
    std::deque<qint64>& l_times = l_found->second;
    while (!l_times.empty() && l_times.front() < Now() - REQUEST_ANSWER_TIME)
        l_times.pop_front();
    bool const l_asked = !l_times.empty();
    if (l_asked)
        l_times.pop_front();
    if (l_times.empty())
        m_requests.erase(l_found);
    return l_asked;
}

bool PeerMessenger::AskedFor(QString const& i_user, quint32 i_answerCode) const
{
    auto const l_found = m_requests.find({i_user, i_answerCode});
    return l_found != m_requests.end() && !l_found->second.empty() &&
           l_found->second.back() >= Now() - REQUEST_ANSWER_TIME;
}

void PeerMessenger::ForgetOldRequests()
{
    qint64 l_oldest = Now() - REQUEST_ANSWER_TIME;
    for (auto l_it = m_requests.begin(); l_it != m_requests.end();) {
        std::deque<qint64>& l_times = l_it->second;
        while (!l_times.empty() && l_times.front() < l_oldest)
            l_times.pop_front();
        l_it = l_times.empty() ? m_requests.erase(l_it) : std::next(l_it);
    }
}

bool PeerMessenger::AdmitSearchFiles(quint32 i_token, std::size_t i_files)
{
    SearchIntake& l_intake = m_searchIntake[i_token];
    if (!l_intake.m_full && l_intake.m_files + i_files <= m_limits.m_maxSearchFiles) {
        l_intake.m_files += i_files;
        return true;
    }
    if (!l_intake.m_full)
        Log(1, QString("Search %1 has %2 results; further answers are dropped")
                   .arg(QString::number(i_token), QString::number(l_intake.m_files)), "Search");
    l_intake.m_full = true;
    return false;
}

void PeerMessenger::ForgetEndedSearches()
{
    Type* lp_requests = d.GetType("search_request");
    for (auto l_it = m_searchIntake.begin(); l_it != m_searchIntake.end();)
        l_it = lp_requests->HasItem(Value(l_it->first)).IsNull() ? m_searchIntake.erase(l_it) : std::next(l_it);
}

std::size_t PeerMessenger::SearchDigestsHeld() const
{
    std::size_t l_held = m_digestsDropped;
    for (auto const& l_intake : m_searchIntake)
        for (auto const& l_user : l_intake.second.m_users)
            l_held += l_user.second.m_digests.size();
    return l_held;
}

void PeerMessenger::OnSearchRequestRemoved(Item i_request)
{
    auto const l_intake = m_searchIntake.find(quint32(i_request.AsUInt64()));
    if (l_intake == m_searchIntake.end())
        return;
    // Its digests go with it, not at the next half minute: a node an
    // answer, each made among that answer's many short-lived blocks, kept
    // a page of the C library's heap from going back after the tab closed
    // (some 0.9 KB an answer). In slices, as a quarter of a million of
    // them took 36-56 ms to free.
    auto const lp_users = std::make_shared<std::map<QString, SearchIntake::UserAnswers>>(
        std::move(l_intake->second.m_users));
    m_searchIntake.erase(l_intake);
    for (auto const& l_user : *lp_users)
        m_digestsDropped += l_user.second.m_digests.size();
    if (lp_users->empty())
        return;
    FreeInSlices(
        this, lp_users, [](SearchIntake::UserAnswers& io_user) -> auto& { return io_user.m_digests; },
        [this] { --m_digestsDropped; }, true);
}
