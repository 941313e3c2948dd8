#include "transfers/TransferQueueManager.h"

#include "transfers/TransferItems.h"
#include "transfers/TransferThreads.h"

#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "server/StoreTypes.h"
#include "shares/UploadQueueHooks.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/TimerManager.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTcpSocket>

TransferQueueManager* transferQueueManager = nullptr;

using namespace TransferItems;

namespace {

typedef EventHandler<TransferQueueManager, Item> ItemHandler;

void Relate(char const* ip_a, char const* ip_b, OneOrMany i_aPerB, OneOrMany i_bPerA)
{
    d.GetType(ip_a)->RelateToType(d.GetType(ip_b), i_aPerB, i_bPerA, false);
}

// An attribute the entry links to one of, shared by many entries.
void RelateAttribute(char const* ip_entry, char const* ip_attribute)
{
    Relate(ip_entry, ip_attribute, MANY, ONE);
}

// A live object or cell: one per entry.
void RelateOwnObject(char const* ip_entry, char const* ip_object)
{
    Relate(ip_entry, ip_object, ONE, ONE);
}

void SaveWithEntry(char const* ip_type)
{
    if (dataSaver)
        dataSaver->AddSavedByConnectionType(ip_type, "download_entry");
}

void SetDefault(char const* ip_key, QString const& i_value)
{
    if (!IsSettingSet(ip_key))
        SetSetting(ip_key, i_value);
}

template <class Cell>
void FreeCell(Item const& i_item)
{
    delete ObjectAt<Cell>(i_item);
}

} // namespace

TransferQueueManager::TransferQueueManager()
{
    transferQueueManager = this;
    DeclareTypes();
    WriteSettingDefaults();
    ConnectPeerMessenger();

    // The share index asks about the upload queue through these; it cannot
    // link the engine.
    UploadQueueHooks l_hooks;
    l_hooks.m_isFreeToUpload = [this] { return IsFreeToUpload(); };
    l_hooks.m_queuedUploadCount = [this] { return QueuedUploadCount(); };
    l_hooks.m_unshareUser = [this](QString const& i_user) { UnshareUser(i_user); };
    l_hooks.m_partialDownloadFolder = [] { return GetPartialDownloadFolder(); };
    SetUploadQueueHooks(l_hooks);

    TimerManager* lp_timers = TimerManager::Obj();
    connect(&lp_timers->m_fiveMinutesTimer, &QTimer::timeout, this, &TransferQueueManager::PeriodicCheck);
    connect(&lp_timers->m_halfMinuteTimer, &QTimer::timeout, this, &TransferQueueManager::EveryHalfMinute);
}

void TransferQueueManager::DeclareTypes()
{
    // Declared by the server link, the peer messenger and the shared-folders
    // manager; ensured here so that the engine also stands alone.
    DeclareUserType();
    EnsureType("file_size", LEAF, false, true);
    EnsureType("search_request_text", INTERMEDIATE, false, true);
    EnsureType("shared_file", INTERMEDIATE, true, true);
    EnsureFlag("user", "is_online");
    EnsureFlag("user", "is_privileged");
    DeclareUserListTypes();

    for (auto const& l_type : std::initializer_list<std::pair<char const*, Primacy>>{
             {"file_name", LEAF},
             {"remote_folder", INTERMEDIATE},
             {"transfer_req", LEAF},
             {"remote_transfer_req", LEAF},
             {"download_socket", ROOT},
             {"download_file", ROOT},
             {"write_position", LEAF},
             {"download_entry_status", ROOT},
             {"download_order", LEAF},
             {"upload_socket", ROOT},
             {"upload_file", ROOT},
             {"read_position", LEAF},
             {"upload_entry_status", ROOT},
             {"upload_order", LEAF},
             {"last_receipt_time", LEAF},
             {"bytes_per_second", LEAF},
             {"place_in_line", LEAF},
             {"last_queue_request_time", LEAF},
             {"next_place_in_line_request_time", LEAF},
             {"download_thread", ROOT},
             {"subfolder_save_level", LEAF},
             {"local_place", LEAF},
             {"last_status_change_time", LEAF},
             {"download_retry_time", LEAF},
             {"filename_as_requested", LEAF},
             {"upload_thread", ROOT},
             {"effective_upload_order", LEAF},
             {"denial_reason", LEAF},
             {"complete_download_folder", INTERMEDIATE},
             {"complete_download_relative_folder", INTERMEDIATE},
             {"complete_download_filename", LEAF},
             {"complete_download_file_size", LEAF},
             {"complete_download_completion_time", LEAF},
             {"empty_share_check_status", LEAF},
             {"sent_empty_share_warning_message", LEAF},
             {"excluded_download_extension", ROOT},
         })
        d.NewType(l_type.first, l_type.second, false, true);
    for (auto const& l_type : std::initializer_list<std::pair<char const*, Primacy>>{
             {"download_entry", ROOT},
             {"is_active", LEAF},
             {"single_download", LEAF},
             {"partial_file_made", LEAF},
             {"upload_entry", ROOT},
             {"complete_download", ROOT},
         })
        d.NewType(l_type.first, l_type.second, true, true);

    for (char const* lp_type : {"user", "file_name", "remote_folder", "file_size", "remote_transfer_req",
                                "write_position", "download_entry_status", "place_in_line",
                                "subfolder_save_level", "last_status_change_time", "single_download",
                                "denial_reason", "local_place", "download_retry_time", "partial_file_made"})
        RelateAttribute("download_entry", lp_type);
    for (char const* lp_type : {"download_socket", "download_thread", "download_file", "download_order",
                                "last_receipt_time", "bytes_per_second"})
        RelateOwnObject("download_entry", lp_type);

    for (char const* lp_type : {"user", "shared_file", "read_position", "upload_entry_status",
                                "filename_as_requested", "last_status_change_time", "effective_upload_order",
                                "denial_reason"})
        RelateAttribute("upload_entry", lp_type);
    for (char const* lp_type : {"upload_socket", "upload_file", "upload_order", "transfer_req",
                                "last_receipt_time", "bytes_per_second", "upload_thread"})
        RelateOwnObject("upload_entry", lp_type);

    RelateAttribute("download_entry_status", "is_active");
    RelateAttribute("upload_entry_status", "is_active");
    for (char const* lp_type : {"last_queue_request_time", "next_place_in_line_request_time",
                                "empty_share_check_status", "sent_empty_share_warning_message"})
        RelateAttribute("user", lp_type);
    for (char const* lp_type : {"user", "complete_download_folder", "complete_download_relative_folder",
                                "complete_download_filename", "complete_download_completion_time",
                                "complete_download_file_size", "search_request_text"})
        RelateAttribute("complete_download", lp_type);

    // The cells die with their items, whoever removes them.
    d.GetType("write_position")
        ->AddRemovedItemEventHandler(new ItemHandler(this, &TransferQueueManager::OnWritePositionRemoved));
    d.GetType("read_position")
        ->AddRemovedItemEventHandler(new ItemHandler(this, &TransferQueueManager::OnReadPositionRemoved));
    d.GetType("last_receipt_time")
        ->AddRemovedItemEventHandler(new ItemHandler(this, &TransferQueueManager::OnLastReceiptTimeRemoved));
    d.GetType("bytes_per_second")
        ->AddRemovedItemEventHandler(new ItemHandler(this, &TransferQueueManager::OnBytesPerSecondRemoved));

    PathNode* lp_user = new PathNode(&d, "user");
    new PathNode(lp_user, "is_online", PATH_ON_CONNECT);
    d.AddPathEventHandler(lp_user, new ItemHandler(this, &TransferQueueManager::OnUserOnline));

    for (char const* lp_setting :
         {"download_folder", "dont_split_downloads", "dont_create_subfolders_for_single_downloads"}) {
        if (GetSettingItem(lp_setting).IsNull())
            break; // no settings yet (a test of the engine alone)
        PathNode* lp_node = new PathNode(GetSettingItem(lp_setting));
        new PathNode(lp_node, "global_value", PATH_ON_CONNECT);
        d.AddPathEventHandler(lp_node, new ItemHandler(this, &TransferQueueManager::OnDownloadLayoutChanged));
    }

    if (dataSaver) {
        dataSaver->AddSavedType("download_entry");
        // The single-download flag decides where the file lies: without it a
        // restart would look for the partial or finished file elsewhere, and
        // fetch it again from the start.
        // The local name too, once given: another download may have had the
        // name the remote one makes locally. Files written before it was
        // kept load without it. And whether the file at that place is the
        // download's own, which alone it may resume from or delete.
        for (char const* lp_type : {"user", "file_name", "remote_folder", "file_size", "download_entry_status",
                                    "download_order", "subfolder_save_level", "single_download",
                                    "local_place", "partial_file_made"})
            SaveWithEntry(lp_type);
        dataSaver->AddSavedType("excluded_download_extension");
    }

    Item l_active = d.GetType("is_active")->GetGlobalNullItem();
    d.GetType("download_entry_status")->GetItem(Value("downloading")) += l_active;
    for (char const* lp_status : {"connecting", "uploading", "requesting"})
        d.GetType("upload_entry_status")->GetItem(Value(lp_status)) += l_active;
}

void TransferQueueManager::WriteSettingDefaults()
{
    SetDefault("download_folder", QDir::homePath() + "/Quillmar Downloads");
    SetDefault("transfer_order_counter", "1");
    SetSetting("transfer_req_counter", "1");
    for (char const* lp_direction : {"upload", "download"}) {
        QByteArray l_key = QByteArray(lp_direction) + "_speed_limit";
        if (!IsSettingSet(l_key.constData())) {
            SetSetting(l_key.constData(), "0");
            SetSetting((l_key + "_enabled").constData(), "no");
        }
    }
    SetSetting("upload_slots", "1");
    SetSetting("check_for_empty_shares", "no");
    SetSetting("empty_share_message",
               "It looks like you're not sharing any files. Please share something before downloading anything "
               "from my own shares. Thanks.");
    SetSetting("max_queued_uploads_per_user", "200");
    SetSetting("max_queued_mb_per_user", "500");
    SetSetting("max_queued_uploads_per_user_enabled", "no");
    SetSetting("max_queued_mb_per_user_enabled", "no");
}

void TransferQueueManager::ConnectPeerMessenger()
{
    if (!peerMessenger)
        return;
    PeerMessenger* lp_m = peerMessenger;
    connect(lp_m, &PeerMessenger::FileTransferRequested, this, &TransferQueueManager::OnFileTransferRequest);
    connect(lp_m, &PeerMessenger::FileConnectionRequested, this, &TransferQueueManager::OnFileConnection);
    connect(lp_m, &PeerMessenger::QueueUploadRequested, this, &TransferQueueManager::OnQueueUploadRequested);
    connect(lp_m, &PeerMessenger::QueueDownloadRequested, this, &TransferQueueManager::OnQueueDownloadRequested);
    connect(lp_m, &PeerMessenger::FileConnectionAccepted, this, &TransferQueueManager::OnFileConnectionAccepted);
    connect(lp_m, &PeerMessenger::FileTransferResponse, this, &TransferQueueManager::OnFileTransferResponse);
    connect(lp_m, &PeerMessenger::UploadFailed, this, &TransferQueueManager::OnUploadFailedNotification);
    connect(lp_m, &PeerMessenger::UploadDenied, this, &TransferQueueManager::OnUploadDeniedNotification);
    connect(lp_m, &PeerMessenger::UploadPlaceInLineRequested, this,
            &TransferQueueManager::OnUploadPlaceInLineRequested);
    connect(lp_m, &PeerMessenger::DownloadPlaceInLine, this, &TransferQueueManager::OnDownloadPlaceInLine);
    connect(lp_m, &PeerMessenger::UserShare, this, &TransferQueueManager::OnUserShare);
}

TransferQueueManager::~TransferQueueManager()
{
    // Uploads first, then downloads; threads, sockets, files and items stay
    // for the process's end to take.
    SetUploadQueueHooks(UploadQueueHooks());
    StopThreads("upload_thread");
    StopThreads("download_thread");
}

void TransferQueueManager::StopThreads(char const* ip_threadType)
{
    if (!d.HasType(ip_threadType))
        return;
    for (Item const& l_item : d.GetType(ip_threadType)->GetItems())
        if (auto* lp_thread = qobject_cast<TransferThread*>(ObjectAt<QObject>(l_item))) {
            lp_thread->SignalExit();
            lp_thread->AwaitEnd();
        }
}

void TransferQueueManager::DataLoaded()
{
    for (auto const& l_clamp : std::initializer_list<std::pair<char const*, int>>{
             {"upload_slots", 1}, {"max_queued_uploads_per_user", 10}, {"max_queued_mb_per_user", 50}})
        if (GetSettingInt(l_clamp.first) < l_clamp.second)
            SetSetting(l_clamp.first, qint64(l_clamp.second));

    m_downloadLayout = DownloadLayout::Current();
    ItemSet const l_entries = d.GetType("download_entry")->GetItems();
    m_loadEntries.assign(l_entries.begin(), l_entries.end());
    m_nextLoadEntry = 0;
    m_loadUsers = ItemSetBuilder();
    m_unplaced.clear();
    m_nextUnplaced = 0;
    m_unplacedSorted = false;
    m_markOlderData = !IsOlderDataMarked();
    m_loadWork.Start([this]() { return LoadStep(); }, [this]() { EndLoad(); });
}

bool TransferQueueManager::LoadStep()
{
    // A step's work does not depend on the size of the queue, and a turn
    // takes a bounded number of them, whatever its time budget says.
    if (quint64 const l_slice = m_loadWork.SlicesBegun(); l_slice != m_loadSlice) {
        m_loadSlice = l_slice;
        m_loadStepsThisTurn = 0;
    }
    m_mostLoadStepsInATurn = std::max<std::uint64_t>(m_mostLoadStepsInATurn, ++m_loadStepsThisTurn);
    if (m_loadStepsThisTurn >= LOAD_STEPS_PER_TURN)
        m_loadWork.EndSlice();
    if (m_nextLoadEntry < m_loadEntries.size()) {
        Item const l_entry = std::move(m_loadEntries[m_nextLoadEntry++]);
        // One removed meanwhile is gone from the queue.
        if (l_entry.IsValid()) {
            QString const l_status = l_entry["download_entry_status"].AsString();
            if (l_status != "complete" && l_status != "paused")
                l_entry += d.GetType("download_entry_status")->GetItem(Value("queued"));
            if (Item l_user = l_entry["user"]; l_user.IsValid())
                m_loadUsers.Add(l_user);
            if (m_markOlderData)
                MarkPartialFileOfOlderData(l_entry, *m_downloadLayout);
            // An unfinished download saved without a place (by an older
            // version, or never offered then) owns no file: whatever lies at
            // the path its remote name makes may be another download's
            // partial file, so it is given a place against all the others,
            // once theirs are known, in their order.
            if (l_status != "complete" && !l_entry.IsConnected("local_place"))
                if (Item const l_order = l_entry["download_order"]; l_order.IsValid())
                    m_unplaced.emplace_back(l_order.AsInt64(), l_entry);
        }
        return true;
    }
    if (!m_unplacedSorted) {
        // Integers only: tens of thousands sort within a few milliseconds.
        m_loadEntries = std::vector<Item>();
        if (m_markOlderData)
            NoteOlderDataMarked();
        std::stable_sort(m_unplaced.begin(), m_unplaced.end(),
                         [](auto const& i_a, auto const& i_b) { return i_a.first < i_b.first; });
        m_unplacedSorted = true;
        return true;
    }
    if (m_nextUnplaced < m_unplaced.size()) {
        Item const l_entry = std::move(m_unplaced[m_nextUnplaced++].second);
        // One removed, finished or placed meanwhile needs none.
        if (l_entry.IsValid() && l_entry["download_entry_status"].AsString() != "complete" &&
            !l_entry.IsConnected("local_place"))
            static_cast<void>(SettleLocalName(l_entry));
        return m_nextUnplaced < m_unplaced.size();
    }
    return false;
}

void TransferQueueManager::EndLoad()
{
    m_unplaced = std::vector<std::pair<qint64, Item>>();
    // Only now: a user reported online has his queue asked for, and every
    // download in it has its place.
    ItemSet const l_users = m_loadUsers.Take();
    if (gp_server)
        for (Item const& l_user : l_users)
            gp_server->TrackUser(l_user.AsString());

    emit TransfersLoaded();
    DetermineUploadSpeedLimit();
    DetermineDownloadSpeedLimit();
}

void TransferQueueManager::NoData()
{
    m_downloadLayout = DownloadLayout::Current();
    d.GetType("excluded_download_extension")->GetItem(Value(".ini"));
}

void TransferQueueManager::SetClock(Clock i_clock)
{
    m_clock = std::move(i_clock);
}

QDateTime TransferQueueManager::Now() const
{
    return m_clock ? m_clock().toUTC() : QDateTime::currentDateTimeUtc();
}

int TransferQueueManager::CountActive(char const* ip_entryType, char const* ip_statusType)
{
    int l_count = 0;
    for (Item const& l_status : d.GetType(ip_statusType)->GetItems())
        if (l_status.IsConnected("is_active"))
            l_count += int(l_status.CountItems(ip_entryType));
    return l_count;
}

int TransferQueueManager::ActiveDownloadCount()
{
    return CountActive("download_entry", "download_entry_status");
}

int TransferQueueManager::ActiveUploadCount()
{
    return CountActive("upload_entry", "upload_entry_status");
}

bool TransferQueueManager::HasExcludedDownloadExtension(QString i_fileName)
{
    for (Item const& l_extension : d.GetType("excluded_download_extension")->GetItems())
        if (i_fileName.endsWith(l_extension.AsString(), Qt::CaseInsensitive))
            return true;
    return false;
}

void TransferQueueManager::PeriodicCheck()
{
}

void TransferQueueManager::StartTimerTest()
{
    connect(&m_timerTestTimer, &QTimer::timeout, this, &TransferQueueManager::TimerTest, Qt::UniqueConnection);
    m_timerTestTimer.setSingleShot(false);
    m_timerTestTimer.start(1000);
    m_timerTestClock.start();
}

void TransferQueueManager::TimerTest()
{
    Log("Timer Test", 1,
        QString("Timeout: %1 milliseconds behind schedule").arg(m_timerTestClock.elapsed() - 1000));
    m_timerTestClock.restart();
}

// ---------------------------------------------------------------- cells

void TransferQueueManager::OnWritePositionRemoved(Item i_item)
{
    FreeCell<qint64>(i_item);
}

void TransferQueueManager::OnReadPositionRemoved(Item i_item)
{
    FreeCell<qint64>(i_item);
}

void TransferQueueManager::OnLastReceiptTimeRemoved(Item i_item)
{
    FreeCell<QDateTime>(i_item);
}

void TransferQueueManager::OnBytesPerSecondRemoved(Item i_item)
{
    FreeCell<int>(i_item);
}

// ----------------------------------------------------- running transfers

Item TransferQueueManager::SenderEntry(char const* ip_threadType, char const* ip_entryType)
{
    QObject* lp_sender = sender();
    if (!lp_sender)
        return Item();
    return d.GetType(ip_threadType)->HasItem(Value(lp_sender))[ip_entryType];
}

void TransferQueueManager::WriteProgressCells(Item const& i_entry, char const* ip_positionType, qint64 i_position,
                                              int i_bytesPerSecond)
{
    if (auto* lp_position = ObjectAt<qint64>(i_entry[ip_positionType]))
        *lp_position = i_position;
    if (auto* lp_rate = ObjectAt<int>(i_entry["bytes_per_second"]))
        *lp_rate = i_bytesPerSecond;
    if (auto* lp_time = ObjectAt<QDateTime>(i_entry["last_receipt_time"]))
        *lp_time = QDateTime::currentDateTime();
}

void TransferQueueManager::ReleaseTransfer(Item const& i_entry, char const* ip_direction)
{
    QByteArray const l_direction(ip_direction);
    // The thread's item goes first, so that a report it had already queued
    // finds no entry; the thread itself is deleted only later, so that no new
    // thread can take its address while such a report is on its way.
    if (Item l_item = i_entry[(l_direction + "_thread").constData()]; l_item.IsValid()) {
        auto* lp_thread = qobject_cast<TransferThread*>(ObjectAt<QObject>(l_item));
        l_item.Remove();
        if (lp_thread) {
            lp_thread->SignalExit();
            lp_thread->AwaitEnd();
            lp_thread->deleteLater();
        }
    }
    if (Item l_item = i_entry[(l_direction + "_file").constData()]; l_item.IsValid()) {
        QFile* lp_file = ObjectAt<QFile>(l_item);
        l_item.Remove();
        if (lp_file) {
            lp_file->close();
            delete lp_file;
        }
    }
    if (Item l_item = i_entry[(l_direction + "_socket").constData()]; l_item.IsValid()) {
        QTcpSocket* lp_socket = ObjectAt<QTcpSocket>(l_item);
        l_item.Remove();
        if (lp_socket) {
            lp_socket->disconnect();
            lp_socket->close();
            lp_socket->deleteLater();
        }
    }
    for (char const* lp_cell : {l_direction == "download" ? "write_position" : "read_position",
                                "last_receipt_time", "bytes_per_second"})
        if (Item l_item = i_entry[lp_cell]; l_item.IsValid())
            l_item.Remove();
}

void TransferQueueManager::StartTransferThread(Item const& i_entry, char const* ip_direction, QTcpSocket* ip_socket,
                                               TransferThread* ip_thread)
{
    i_entry += d.GetType("last_receipt_time")->GetItem(Value(new QDateTime(QDateTime::currentDateTime())));
    i_entry += d.GetType("bytes_per_second")->GetItem(Value(new int(0)));
    ip_socket->disconnect();
    ip_socket->setParent(nullptr);
    ip_socket->moveToThread(ip_thread);
    QByteArray const l_threadType = QByteArray(ip_direction) + "_thread";
    i_entry += d.GetType(l_threadType.constData())->GetItem(Value(static_cast<QObject*>(ip_thread)));
    ip_thread->start(QThread::InheritPriority);
}

// ---------------------------------------------------------------- speed

void TransferQueueManager::DetermineSpeedLimit(SpeedBudget& io_budget, char const* ip_direction)
{
    QByteArray l_key = QByteArray(ip_direction) + "_speed_limit";
    int l_limit = GetSettingInt(l_key.constData());
    if (l_limit <= 0 || !IsSettingYes((l_key + "_enabled").constData())) {
        io_budget.ClearRates();
        return;
    }
    QByteArray l_entry = QByteArray(ip_direction) + "_entry";
    int l_active = CountActive(l_entry.constData(), (l_entry + "_status").constData());
    int l_share = l_active == 0 ? l_limit : l_limit / l_active;
    io_budget.SetRates(l_limit, l_share == 0 ? 1 : l_share);
}

void TransferQueueManager::DetermineDownloadSpeedLimit()
{
    DetermineSpeedLimit(m_downloadBudget, "download");
}

void TransferQueueManager::DetermineUploadSpeedLimit()
{
    DetermineSpeedLimit(m_uploadBudget, "upload");
}

void TransferQueueManager::EnableDownloadSpeedLimit(bool i_enable)
{
    SetSwitch("download_speed_limit_enabled", i_enable);
    DetermineDownloadSpeedLimit();
}

void TransferQueueManager::EnableUploadSpeedLimit(bool i_enable)
{
    SetSwitch("upload_speed_limit_enabled", i_enable);
    DetermineUploadSpeedLimit();
}

void TransferQueueManager::SetDownloadSpeedLimit(int i_kilobytesPerSecond)
{
    SetSetting("download_speed_limit", qint64(i_kilobytesPerSecond));
    DetermineDownloadSpeedLimit();
}

void TransferQueueManager::SetUploadSpeedLimit(int i_kilobytesPerSecond)
{
    SetSetting("upload_speed_limit", qint64(i_kilobytesPerSecond));
    DetermineUploadSpeedLimit();
}

int TransferQueueManager::GetDownloadSpeed()
{
    return m_downloadBudget.ConfiguredRate();
}

int TransferQueueManager::GetUploadSpeed()
{
    return m_uploadBudget.ConfiguredRate();
}
