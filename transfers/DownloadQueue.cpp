// The download queue: entries are created, asked for (peer message 43),
// paused, resumed, retried and removed here, and every status change goes
// through SetDownloadEntryStatus.

#include "transfers/TransferQueueManager.h"

#include "transfers/TransferItems.h"

#include "peers/PeerCodec.h"
#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "store/MemStream.h"
#include "store/Settings.h"
#include "store/Utilities.h"

#include <algorithm>

using namespace TransferItems;

namespace {

char const* const DOWNLOAD_STATUS = "download_entry_status";
char const* const RETRY_TIME = "download_retry_time";

QString StatusOf(Item const& i_entry)
{
    return i_entry[DOWNLOAD_STATUS].AsString();
}

// The path the peer knows the file by: its folder and name joined by a
// backslash, byte for byte as the peer sent them.
std::string RemotePath(Item const& i_entry)
{
    return i_entry["remote_folder"].AsStdString() + "\\" + i_entry["file_name"].AsStdString();
}

void SendQueueRequest(Item const& i_entry)
{
    if (peerMessenger)
        peerMessenger->QueueDownload(i_entry["user"].AsString(), RemotePath(i_entry));
}

bool IsOnline(Item const& i_user)
{
    return i_user.IsConnected("is_online");
}

} // namespace

Item TransferQueueManager::GetDownloadEntry(QString i_user, std::string i_fileName, std::string i_remoteFolder)
{
    ItemSet l_keys;
    l_keys.insert(UserItem(i_user));
    l_keys.insert(d.GetType("file_name")->GetItem(Value(i_fileName)));
    l_keys.insert(d.GetType("remote_folder")->GetItem(Value(i_remoteFolder)));
    return d.GetItem(l_keys, "download_entry");
}

Item TransferQueueManager::NewDownloadEntry(QString const& i_user, std::string const& i_fileName,
                                            std::string const& i_remoteFolder, qint64 i_size, int i_level)
{
    if (i_size < 0) {
        LogTransfer(1,
                    QString("Not queueing %1 from %2: its size %3 is negative")
                        .arg(Isolated(ToQString(i_fileName)), Isolated(i_user), QString::number(i_size)),
                    UserItem(i_user));
        return Item();
    }
    Item l_entry = d.GetType("download_entry")->NewItem();
    l_entry += UserItem(i_user);
    l_entry += d.GetType("file_name")->GetItem(Value(i_fileName));
    l_entry += d.GetType("remote_folder")->GetItem(Value(i_remoteFolder));
    l_entry += d.GetType("file_size")->GetItem(Value(static_cast<long long>(i_size)));
    l_entry += d.GetType("subfolder_save_level")->GetItem(Value(i_level));
    qint64 l_order = GetSetting("transfer_order_counter").toLongLong();
    l_entry += d.GetType("download_order")->GetItem(Value(static_cast<long long>(l_order)));
    SetSetting("transfer_order_counter", l_order + 1);
    if (gp_server)
        gp_server->TrackUser(i_user);
    return l_entry;
}

Item TransferQueueManager::AddDownload(QString i_user, std::string i_fileName, std::string i_remoteFolder,
                                       qint64 i_size, bool i_singleDownload, int i_subfolderSaveLevel)
{
    if (Item l_existing = GetDownloadEntry(i_user, i_fileName, i_remoteFolder); l_existing.IsValid()) {
        if (StatusOf(l_existing) == "complete")
            emit DownloadAlreadyComplete(l_existing);
        return l_existing;
    }
    Item l_entry = NewDownloadEntry(i_user, i_fileName, i_remoteFolder, i_size, std::max(0, i_subfolderSaveLevel));
    if (l_entry.IsNull())
        return l_entry;
    if (i_singleDownload)
        l_entry += d.GetType("single_download")->GetGlobalNullItem();
    if (IsDownloadFileComplete(l_entry)) {
        SetDownloadEntryStatus(l_entry, "complete");
        emit DownloadAlreadyComplete(l_entry);
        return l_entry;
    }
    // Settled now, and saved, so that after a restart no other download
    // can take the place of its partial file before it is offered.
    static_cast<void>(SettleLocalName(l_entry));
    SetDownloadEntryStatus(l_entry, "queued");
    Item l_user = l_entry["user"];
    if (IsOnline(l_user))
        SendQueueRequest(l_entry);
    SetUserTime(l_user, "next_place_in_line_request_time", 10);
    return l_entry;
}

void TransferQueueManager::SetDownloadEntryStatus(Item i_entry, QString i_status)
{
    if (i_entry.IsNull())
        return;
    if (i_status == "local error")
        i_entry += d.GetType(RETRY_TIME)->GetItem(Value(NowText(LOCAL_ERROR_RETRY_S)));
    else if (Item const l_retry = i_entry[RETRY_TIME]; l_retry.IsValid())
        i_entry.Disconnect(l_retry);
    auto const [l_wasActive, l_nowActive] = StampStatus(i_entry, DOWNLOAD_STATUS, i_status);
    if (l_nowActive == l_wasActive)
        return;
    if (l_wasActive) {
        ReleaseTransfer(i_entry, "download");
        SetUserTime(i_entry["user"], "last_queue_request_time", 0);
    }
    DetermineDownloadSpeedLimit();
}

bool TransferQueueManager::IsRetryDue(Item const& i_entry) const
{
    QDateTime const l_now = Now();
    QDateTime const l_due = StoredTime(i_entry[RETRY_TIME].AsString(), l_now);
    // A time further ahead than any retry is set was written before the
    // clock went back: the wait would be as long as the clock moved.
    return !l_due.isValid() || l_due <= l_now || l_now.secsTo(l_due) > LOCAL_ERROR_RETRY_S;
}

void TransferQueueManager::QueueDownloadIfUserOnline(Item i_entry)
{
    Item l_user = i_entry["user"];
    QString const l_path = ToQString(RemotePath(i_entry));
    QString const l_status = StatusOf(i_entry);
    // A paused or finished download is not asked for again: the peer would
    // offer it, hear "no" and keep it as denied.
    if (l_status == "local error" || l_status == "paused" || l_status == "complete") {
        LogTransfer(1, QString("Download status %1, not re-queueing %2").arg(l_status, Isolated(l_path)), l_user);
        return;
    }
    if (IsOnline(l_user)) {
        LogTransfer(1,
                    QString("User %1 appears to still be online, re-queueing %2")
                        .arg(Isolated(l_user.AsString()), Isolated(l_path)),
                    l_user);
        SendQueueRequest(i_entry);
    } else {
        LogTransfer(1,
                    QString("User %1 offline, not re-queueing %2").arg(Isolated(l_user.AsString()), Isolated(l_path)),
                    l_user);
    }
}

void TransferQueueManager::RequeueDownload(Item i_entry)
{
    if (i_entry.IsNull())
        return;
    QString const l_status = StatusOf(i_entry);
    if (l_status == "complete" || l_status == "paused" || IsActiveStatus(i_entry[DOWNLOAD_STATUS]))
        return;
    if (IsDownloadFileComplete(i_entry)) {
        SetDownloadEntryStatus(i_entry, "complete");
        return;
    }
    SendQueueRequest(i_entry);
    ++m_requestsThisStep;
    SetDownloadEntryStatus(i_entry, "queued");
    LogTransfer(2, QString("Queueing %1").arg(Isolated(i_entry["file_name"].AsString())), i_entry["user"]);
}

void TransferQueueManager::RequeueUserDownloads(Item i_user)
{
    if (!i_user.IsConnected("download_entry"))
        return;
    LogTransfer(1, QString("Requeueing downloads from user %1").arg(Isolated(i_user.AsString())), i_user);
    // Set now, as the asking begins: the sweep would otherwise start it
    // again while it runs.
    SetUserTime(i_user, "last_queue_request_time", 0);
    SetUserTime(i_user, "next_place_in_line_request_time", 30);
    QueueUserAsking(i_user, false);
}

void TransferQueueManager::RequestPlacesInLine(Item const& i_user)
{
    // Behind his downloads' asking if that runs, as the sweep asked them
    // after it.
    QueueUserAsking(i_user, true);
}

void TransferQueueManager::QueueUserAsking(Item const& i_user, bool i_places)
{
    // Downloads added from now on are asked for as they come. Asked again
    // meanwhile, he is asked from the first again, in his old turn.
    RequeueKey const l_key(i_user.Serial(), i_places);
    UserRequeue& l_asking = m_requeues[l_key];
    if (l_asking.m_user.IsNull())
        m_requeueOrder.push_back(l_key);
    l_asking = UserRequeue();
    l_asking.m_user = i_user;
    l_asking.m_places = i_places;
    l_asking.m_until = d.NextSerial();
    StartRequeueWork();
}

std::vector<Item> TransferQueueManager::DownloadsBatch(Item const& i_of, std::uint64_t& io_from, std::uint64_t i_until,
                                                      bool& o_through, std::uint64_t& io_most)
{
    std::vector<Item> l_batch = i_of.GetItemsFrom("download_entry", io_from, REQUEUE_BATCH);
    io_most = std::max<std::uint64_t>(io_most, l_batch.size());
    o_through = l_batch.size() < REQUEUE_BATCH;
    if (!l_batch.empty())
        io_from = l_batch.back().Serial() + 1;
    // In creation order: those made since the walk began are not its own.
    auto const l_late = std::find_if(l_batch.begin(), l_batch.end(),
                                     [i_until](Item const& i_entry) { return i_entry.Serial() >= i_until; });
    if (l_late != l_batch.end()) {
        l_batch.erase(l_late, l_batch.end());
        o_through = true;
    }
    return l_batch;
}

void TransferQueueManager::StartRequeueWork()
{
    if (!m_requeueWork.IsRunning())
        m_requeueWork.Start([this]() { return RequeueStep(); });
}

bool TransferQueueManager::RequeueStep()
{
    m_requestsThisStep = 0;
    bool l_more = true;
    if (m_sweep.m_phase != SweepPhase::NONE)
        SweepStep();
    else
        l_more = AskStep();
    m_mostRequeuedInAStep = std::max<std::uint64_t>(m_mostRequeuedInAStep, m_requestsThisStep);
    m_mostRequestsInAStep = std::max<std::uint64_t>(m_mostRequestsInAStep, m_requestsThisStep);
    return l_more;
}

bool TransferQueueManager::AskStep()
{
    if (m_requeueOrder.empty())
        return false;
    auto const l_found = m_requeues.find(m_requeueOrder.front());
    UserRequeue& l_requeue = l_found->second;
    auto const l_next = [&]() {
        m_requeues.erase(l_found);
        m_requeueOrder.pop_front();
        return !m_requeueOrder.empty();
    };
    // Gone offline: he is asked for all of them when he comes back.
    if (!IsOnline(l_requeue.m_user))
        return l_next();
    // Only the queued ones have a place in line.
    Item const l_queued =
        l_requeue.m_places ? d.GetType(DOWNLOAD_STATUS)->HasItem(Value("queued")) : Item();
    if (!l_requeue.m_gathered) {
        for (Item const& l_entry : DownloadsBatch(l_requeue.m_user, l_requeue.m_from, l_requeue.m_until,
                                                  l_requeue.m_gathered, m_mostRequeuedInAStep)) {
            if (l_requeue.m_places && !l_entry.IsConnected(l_queued))
                continue;
            // Equal orders (a damaged file) keep the order they were made in.
            if (Item const l_order = l_entry["download_order"]; l_order.IsValid())
                l_requeue.m_entries.emplace(l_order.AsInt64(), l_entry);
        }
        return true;
    }
    if (l_requeue.m_entries.empty())
        return l_next();
    Item const l_entry = std::move(l_requeue.m_entries.begin()->second);
    l_requeue.m_entries.erase(l_requeue.m_entries.begin());
    // Removed meanwhile: a handle of a removed entry reads as null.
    if (l_entry.IsNull())
        return true;
    if (l_requeue.m_places) {
        if (l_entry.IsConnected(l_queued))
            RequestDownloadPlaceInLine(l_entry);
        return true;
    }
    QString const l_status = StatusOf(l_entry);
    // One that failed here waits for its retry: a user who comes and goes
    // would otherwise have it fail again each time.
    if (l_status != "complete" && l_status != "denied" && (l_status != "local error" || IsRetryDue(l_entry)))
        RequeueDownload(l_entry);
    return true;
}

void TransferQueueManager::PauseDownload(Item i_entry)
{
    if (i_entry.IsNull() || StatusOf(i_entry) == "complete")
        return;
    // A paused download holds nothing: its thread, socket, file and cells go
    // as on any other end of a transfer, and its share of the limit returns
    // to the others.
    bool const l_wasActive = IsActiveStatus(i_entry[DOWNLOAD_STATUS]);
    ReleaseTransfer(i_entry, "download");
    i_entry.Disconnect(RETRY_TIME);
    i_entry += d.GetType(DOWNLOAD_STATUS)->GetItem(Value("paused"));
    if (l_wasActive)
        DetermineDownloadSpeedLimit();
}

void TransferQueueManager::ResumeDownload(Item i_entry)
{
    if (i_entry.IsNull() || StatusOf(i_entry) != "paused")
        return;
    i_entry += d.GetType(DOWNLOAD_STATUS)->GetItem(Value("queued"));
    if (IsOnline(i_entry["user"]))
        RequeueDownload(i_entry);
}

void TransferQueueManager::RemoveDownload(Item i_entry)
{
    if (i_entry.IsNull())
        return;
    bool const l_wasActive = IsActiveStatus(i_entry[DOWNLOAD_STATUS]);
    ReleaseTransfer(i_entry, "download");
    if (StatusOf(i_entry) != "complete")
        DiscardPartialFile(i_entry);
    i_entry.Remove();
    if (l_wasActive)
        DetermineDownloadSpeedLimit();
}

void TransferQueueManager::RequestDownloadPlaceInLine(Item i_entry)
{
    Item l_user = i_entry["user"];
    MemStream l_message;
    l_message.WriteU32(51);
    l_message.WriteRaw(RemotePath(i_entry));
    LogTransfer(1,
                QString("Requesting place in line for download of %1 from %2")
                    .arg(Isolated(i_entry["file_name"].AsString()), Isolated(l_user.AsString())),
                l_user);
    if (peerMessenger)
        peerMessenger->SendMessage(l_user.AsString(), l_message);
    ++m_requestsThisStep;
}

bool TransferQueueManager::IsActivelyDownloadingFromUser(QString i_user)
{
    // The store walks the shorter of the two link lists: the downloads
    // running are few, where a user may have tens of thousands queued.
    return d.GetItem(d.GetType("user")->HasItem(Value(i_user)),
                     d.GetType(DOWNLOAD_STATUS)->HasItem(Value("downloading")), "download_entry")
        .IsValid();
}

void TransferQueueManager::OnUserOnline(Item i_user)
{
    LogTransfer(1, QString("User %1 went online").arg(Isolated(i_user.AsString())), i_user);
    RequeueUserDownloads(i_user);
    // Only his own queued uploads can be new candidates: a join answer of
    // thousands would otherwise make each member look at the whole queue.
    Item const l_queued = d.GetType("upload_entry_status")->HasItem(Value("queued"));
    for (Item const& l_entry : i_user.GetItems("upload_entry"))
        if (l_entry.IsConnected(l_queued)) {
            StartNewUploads();
            return;
        }
}

void TransferQueueManager::OnDownloadWriteFailed(QString i_cause)
{
    Item const l_entry = SenderEntry("download_thread", "download_entry");
    if (l_entry.IsNull())
        return;
    Item const l_user = l_entry["user"];
    LogTransfer(1,
                QString("Error downloading %1 from %2. Writing to file failed. Error string: %3")
                    .arg(Isolated(l_entry["file_name"].AsString()), Isolated(l_user.AsString()), i_cause),
                l_user);
    // Not "aborted": the peer's failure notice would have it asked for
    // again at once, and it would fail again, three times a minute, each
    // time shown as running.
    SetDownloadEntryStatus(l_entry, "local error");
    emit DownloadLocalError(l_entry, QStringLiteral("the file could not be written (%1): %2")
                                         .arg(i_cause, Isolated(GetSafeDownloadPath(l_entry, false))));
}

// ------------------------------------------------------------ peer notices

Item TransferQueueManager::FindDownloadByRemotePath(QString const& i_user, std::string const& i_file)
{
    // Looked up without making anything: a peer's notice must not leave
    // key items behind.
    Item const l_user = d.GetType("user")->HasItem(Value(i_user));
    Type* const lp_names = d.GetType("file_name");
    Type* const lp_folders = d.GetType("remote_folder");
    auto const l_find = [&](std::string const& i_name, std::string const& i_folder) {
        Item const l_name = lp_names->HasItem(Value(i_name));
        Item const l_folder = l_name.IsNull() ? Item() : lp_folders->HasItem(Value(i_folder));
        if (l_user.IsNull() || l_folder.IsNull())
            return Item();
        ItemSet l_keys;
        for (Item const& l_key : {l_user, l_name, l_folder})
            l_keys.insert(l_key);
        return d.GetItem(l_keys, "download_entry");
    };
    if (Item const l_entry = l_find(GetFileName(i_file), GetFolder(i_file)); l_entry.IsValid())
        return l_entry;
    // A name may hold a separator itself (a file "a\b.mp3" on a Linux
    // peer's disk): the path is cut at each earlier one in turn, as far as
    // a share list's names go; otherwise the peer's offer of the file is
    // refused ("Cancelled") and the download waits for ever.
    std::size_t l_cut = i_file.size();
    while (l_cut > 0 && (l_cut = i_file.find_last_of("\\/", l_cut - 1)) != std::string::npos) {
        if (i_file.size() - l_cut - 1 > PeerCodec::MAX_NAME_BYTES)
            break;
        if (Item const l_entry = l_find(i_file.substr(l_cut + 1), i_file.substr(0, l_cut)); l_entry.IsValid())
            return l_entry;
    }
    return Item();
}

void TransferQueueManager::OnDownloadPlaceInLine(QString i_user, std::string i_file, int i_place)
{
    if (Item l_entry = FindDownloadByRemotePath(i_user, i_file); l_entry.IsValid())
        l_entry += d.GetType("place_in_line")->GetItem(Value(i_place));
}

void TransferQueueManager::OnUploadFailedNotification(QString i_user, std::string i_file)
{
    Item l_user = UserItem(i_user);
    LogTransfer(1,
                QString("Received peer notification from %1 that upload of %2 failed")
                    .arg(Isolated(i_user), Isolated(ToQString(i_file))),
                l_user);
    Item l_entry = FindDownloadByRemotePath(i_user, i_file);
    if (l_entry.IsNull()) {
        LogTransfer(2, "Download not found.", l_user);
        return;
    }
    LogTransfer(2, "Download found!", l_user);
    QueueDownloadIfUserOnline(l_entry);
    SetUserTime(l_user, "last_queue_request_time", 0);
}

void TransferQueueManager::OnUploadDeniedNotification(QString i_user, std::string i_file, QString i_reason)
{
    Item l_user = UserItem(i_user);
    LogTransfer(1,
                QString("Received peer notification from %1 that upload of %2 was denied, reason: %3")
                    .arg(Isolated(i_user), Isolated(ToQString(i_file)), Isolated(i_reason)),
                l_user);
    Item l_entry = FindDownloadByRemotePath(i_user, i_file);
    if (l_entry.IsNull()) {
        LogTransfer(2, "Download not found.", l_user);
        return;
    }
    // A finished file stays finished: an uploader that bars us denies every
    // entry it still lists, the ones we completed too.
    if (StatusOf(l_entry) == "complete") {
        LogTransfer(2, "Download already complete, denial ignored.", l_user);
        return;
    }
    LogTransfer(2, "Download found, marking as denied.", l_user);
    l_entry += d.GetType("denial_reason")->GetItem(Value(i_reason));
    SetDownloadEntryStatus(l_entry, "denied");
}

void TransferQueueManager::OnQueueDownloadRequested(QString i_user, std::string i_file, qint64 i_size)
{
    if (CanAcceptUserInitiatedUploadsFrom(i_user))
        AddDownload(i_user, GetFileName(i_file), GetFolder(i_file), i_size, false, 0);
}
