// Upload slots and the upload status machine: the scheduler that offers
// queued uploads to their peers while slots are free, the one routine through
// which an upload changes status, the removal of an upload, and the reports
// of the upload threads.

#include "transfers/TransferQueueManager.h"

#include "transfers/TransferItems.h"
#include "transfers/TransferThreads.h"

#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "store/MemStream.h"
#include "store/Settings.h"

#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>

#include <algorithm>

using namespace TransferItems;

namespace {

char const* const UPLOAD_STATUS = "upload_entry_status";

// The size an offer announces: the file's on the disk, which is what the
// upload will send, rather than the index's from the last scan.
qint64 OfferedSize(Item const& i_entry)
{
    QFileInfo const l_file(SharedFilePath(i_entry));
    return l_file.isFile() ? l_file.size() : SharedFileText(i_entry, "shared_file_size").toLongLong();
}

} // namespace

std::vector<std::pair<qint64, Item>> TransferQueueManager::OfferCandidates()
{
    // The queued entries of online users, gathered from whichever side is
    // smaller: a request from a user who is offline must not cost a walk
    // over the whole queue, nor one over everyone online. Nothing is
    // copied or counted beyond the smaller side.
    std::vector<std::pair<qint64, Item>> l_candidates;
    Item const l_queued = d.GetType(UPLOAD_STATUS)->HasItem(Value("queued"));
    std::size_t const l_queuedCount = l_queued.CountItems("upload_entry");
    if (l_queuedCount == 0)
        return l_candidates;
    Item const l_online = d.GetType("is_online")->FindGlobalNullItem();
    auto const l_take = [&](Item const& i_entry) {
        if (Item const l_number = i_entry["effective_upload_order"]; l_number.IsValid())
            l_candidates.emplace_back(l_number.AsInt64(), i_entry);
    };
    if (l_online.CountItemsUpTo("user", l_queuedCount) < l_queuedCount) {
        for (Item const& l_user : l_online.GetItems("user")) {
            ++m_offerLooks;
            for (Item const& l_entry : l_user.GetItems("upload_entry")) {
                ++m_offerLooks;
                if (l_entry.IsConnected(l_queued))
                    l_take(l_entry);
            }
        }
    } else {
        for (Item const& l_entry : l_queued.GetItems("upload_entry")) {
            ++m_offerLooks;
            if (l_entry["user"].IsConnected(l_online))
                l_take(l_entry);
        }
    }
    // Equal numbers (entries ordered in different runs of the numbering)
    // keep their age.
    std::sort(l_candidates.begin(), l_candidates.end(), [](auto const& i_a, auto const& i_b) {
        return i_a.first != i_b.first ? i_a.first < i_b.first : i_a.second < i_b.second;
    });
    return l_candidates;
}

void TransferQueueManager::StartNewUploads()
{
    int l_free = GetSettingInt("upload_slots") - ActiveUploadCount();
    if (l_free <= 0)
        return;
    std::vector<std::pair<qint64, Item>> l_candidates = OfferCandidates();
    if (l_candidates.empty())
        return;

    // One upload per user: those with one under way wait.
    ItemSet l_busyUsers;
    for (Item const& l_status : d.GetType(UPLOAD_STATUS)->GetItems())
        if (IsActiveStatus(l_status))
            for (Item const& l_entry : l_status.GetItems("upload_entry"))
                l_busyUsers.insert(l_entry["user"]);

    Type* const lp_number = d.GetType("effective_upload_order");
    qint64 l_number = 0;
    for (auto const& l_candidate : l_candidates) {
        Item const& l_entry = l_candidate.second;
        if (l_candidate.first != l_number)
            l_entry += lp_number->GetItem(Value(static_cast<long long>(l_number)));
        ++l_number;
        if (l_free == 0 || !peerMessenger)
            continue;
        Item const l_user = l_entry["user"];
        if (l_busyUsers.contains(l_user))
            continue;
        // A file that left the shares, or this user's view of them, since it
        // was queued is never offered.
        if (!IsStillShared(l_entry)) {
            DenyNotShared(l_entry);
            continue;
        }
        quint32 const l_token = peerMessenger->RequestUpload(
            l_user.AsString(), l_entry["filename_as_requested"].AsString(), OfferedSize(l_entry));
        SetUploadEntryStatus(l_entry, "requesting");
        l_entry += d.GetType("transfer_req")->GetItem(Value(l_token));
        l_busyUsers.insert(l_user);
        --l_free;
    }
}

void TransferQueueManager::SetUploadSlots(int i_slots)
{
    if (i_slots < 1 || i_slots > 99)
        return;
    int const l_old = GetSettingInt("upload_slots");
    SetSetting("upload_slots", qint64(i_slots));
    if (i_slots > l_old)
        StartNewUploads();
}

bool TransferQueueManager::IsFreeToUpload()
{
    return ActiveUploadCount() < GetSettingInt("upload_slots");
}

void TransferQueueManager::AssertNoExtraUploads()
{
    // Lowering the slots leaves running uploads alone, so more may run than
    // the setting says; this only records it.
    int const l_active = ActiveUploadCount();
    int const l_slots = GetSettingInt("upload_slots");
    if (l_active > l_slots)
        LogTransfer(1, QString("%1 uploads are active with %2 upload slots").arg(l_active).arg(l_slots));
}

void TransferQueueManager::SetUploadEntryStatus(Item i_entry, QString i_status)
{
    if (i_entry.IsNull())
        return;
    auto const [l_wasActive, l_nowActive] = StampStatus(i_entry, UPLOAD_STATUS, i_status);
    if (l_wasActive && !l_nowActive) {
        ReleaseTransfer(i_entry, "upload");
        if (i_status == "aborted") {
            Item l_user = i_entry["user"];
            LogTransfer(1,
                        QString("Upload of %1 to %2 aborted, sending upload failed notification.")
                            .arg(Isolated(SharedFileText(i_entry, "shared_file_name")), Isolated(l_user.AsString())),
                        l_user);
            MemStream l_message;
            l_message.WriteU32(46);
            l_message.WriteRaw(i_entry["filename_as_requested"].AsStdString());
            if (peerMessenger)
                peerMessenger->SendMessage(l_user.AsString(), l_message);
        }
    }
    if (l_wasActive != l_nowActive)
        DetermineUploadSpeedLimit();
    SetVSetting("last_upload_state_change", NowText());
}

void TransferQueueManager::ForgetUpload(Item const& i_entry)
{
    if (i_entry.IsNull())
        return;
    bool const l_wasActive = IsActiveStatus(i_entry[UPLOAD_STATUS]);
    ReleaseTransfer(i_entry, "upload");
    if (i_entry == m_lastOrderedUpload)
        m_lastOrderedUpload = Item();
    i_entry.Remove();
    if (l_wasActive)
        DetermineUploadSpeedLimit();
}

void TransferQueueManager::RemoveUpload(Item i_entry)
{
    if (i_entry.IsNull())
        return;
    ForgetUpload(i_entry);
    StartNewUploads();
}

bool TransferQueueManager::StartUpload(Item i_entry, QTcpSocket* ip_socket)
{
    QFile* lp_file = ObjectAt<QFile>(i_entry["upload_file"]);
    if (!lp_file) {
        ip_socket->deleteLater();
        return false;
    }
    i_entry += d.GetType("upload_socket")->GetItem(Value(ip_socket));
    SetUploadEntryStatus(i_entry, "uploading");
    i_entry += d.GetType("read_position")->GetItem(Value(new qint64(0)));

    auto* lp_thread = new UploadThread(ip_socket, lp_file, int(i_entry["transfer_req"].AsUInt64()), &m_uploadBudget);
    connect(lp_thread, &UploadThread::UploadError, this, &TransferQueueManager::OnUploadError);
    connect(lp_thread, &UploadThread::UploadLocalError, this, &TransferQueueManager::OnUploadLocalError);
    connect(lp_thread, &UploadThread::UploadProgress, this, &TransferQueueManager::OnUploadProgress);
    connect(lp_thread, &UploadThread::UploadComplete, this, &TransferQueueManager::OnUploadComplete);
    StartTransferThread(i_entry, "upload", ip_socket, lp_thread);
    return true;
}

void TransferQueueManager::OnUploadProgress(qint64 i_offset, int i_bytesPerSecond)
{
    Item l_entry = SenderEntry("upload_thread", "upload_entry");
    if (l_entry.IsNull())
        return;
    WriteProgressCells(l_entry, "read_position", i_offset, i_bytesPerSecond);
    emit UploadProgressed(l_entry);
}

void TransferQueueManager::OnUploadComplete()
{
    Item l_entry = SenderEntry("upload_thread", "upload_entry");
    if (l_entry.IsNull())
        return;
    int* lp_rate = ObjectAt<int>(l_entry["bytes_per_second"]);
    int const l_speed = lp_rate ? *lp_rate : 0;
    LogTransfer(1, QString("Recording upload speed of %1").arg(l_speed));
    if (SharedFileText(l_entry, "shared_file_size").toLongLong() > 1048576 && l_speed > 0 && gp_server)
        gp_server->SendUploadSpeed(l_speed);
    SetUploadEntryStatus(l_entry, "complete");
    StartNewUploads();
}

void TransferQueueManager::OnUploadError(QString i_reason)
{
    Item l_entry = SenderEntry("upload_thread", "upload_entry");
    if (l_entry.IsNull())
        return;
    Item l_user = l_entry["user"];
    LogTransfer(1,
                QString("Error uploading %1 to %2. %3")
                    .arg(Isolated(SharedFilePath(l_entry)), Isolated(l_user.AsString()), i_reason),
                l_user);
    SetUploadEntryStatus(l_entry, "aborted");
    emit TransferEnded(l_entry, i_reason);
    StartNewUploads();
}

void TransferQueueManager::OnUploadLocalError(QString i_reason)
{
    // An offset we cannot serve: "aborted" would tell the peer to ask again at
    // once, for ever; the same answer as for a file that does not open ends it.
    Item l_entry = SenderEntry("upload_thread", "upload_entry");
    if (l_entry.IsNull())
        return;
    Item l_user = l_entry["user"];
    LogTransfer(1,
                QString("Error uploading %1 to %2. %3")
                    .arg(Isolated(SharedFileText(l_entry, "shared_file_name")), Isolated(l_user.AsString()), i_reason),
                l_user);
    if (peerMessenger)
        peerMessenger->DenyUpload(l_user.AsString(), l_entry["filename_as_requested"].AsString(), "File read error.");
    SetUploadEntryStatus(l_entry, "local error");
    emit TransferEnded(l_entry, i_reason);
    StartNewUploads();
}
