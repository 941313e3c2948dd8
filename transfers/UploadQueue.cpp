// The upload queue, its slots and the negotiation of transfers with peers.
// The status machine of a running upload and its thread are here; the queue's
// admission and order, the slots and the negotiation are not built yet, and
// until they are each of their operations does the least that keeps callers
// honest: nothing is queued, offered or accepted.

#include "transfers/TransferQueueManager.h"

#include "transfers/TransferItems.h"
#include "transfers/TransferThreads.h"

#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "store/MemStream.h"
#include "store/Settings.h"

#include <QFile>
#include <QTcpSocket>

using namespace TransferItems;

namespace {

char const* const UPLOAD_STATUS = "upload_entry_status";

// The shared file's size, folder and name as the share index keeps them;
// empty when the index is not there.
QString SharedFileText(Item const& i_entry, char const* ip_attribute)
{
    if (!d.HasType(ip_attribute))
        return QString();
    return i_entry["shared_file"][ip_attribute].AsString();
}

} // namespace

void TransferQueueManager::SetUploadEntryStatus(Item i_entry, QString i_status)
{
    if (i_entry.IsNull())
        return;
    bool const l_wasActive = IsActiveStatus(i_entry[UPLOAD_STATUS]);
    Item l_status = d.GetType(UPLOAD_STATUS)->GetItem(Value(i_status));
    i_entry += l_status;
    i_entry += d.GetType("last_status_change_time")->GetItem(Value(NowText()));
    bool const l_nowActive = IsActiveStatus(l_status);
    if (l_wasActive && !l_nowActive) {
        ReleaseTransfer(i_entry, "upload");
        if (i_status == "aborted") {
            Item l_user = i_entry["user"];
            LogTransfer(1, QString("Upload of %1 to %2 aborted, sending upload failed notification.")
                               .arg(SharedFileText(i_entry, "shared_file_name"), l_user.AsString()),
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

void TransferQueueManager::RemoveUpload(Item i_entry)
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
    Item l_time = d.GetType("last_receipt_time")->GetItem(Value(new QDateTime(QDateTime::currentDateTime())));
    Item l_rate = d.GetType("bytes_per_second")->GetItem(Value(new int(0)));
    SetUploadEntryStatus(i_entry, "uploading");
    i_entry += l_time;
    i_entry += l_rate;
    i_entry += d.GetType("read_position")->GetItem(Value(new qint64(0)));

    ip_socket->disconnect();
    auto* lp_thread = new UploadThread(ip_socket, lp_file, int(i_entry["transfer_req"].AsUInt64()), &m_uploadBudget);
    ip_socket->setParent(nullptr);
    ip_socket->moveToThread(lp_thread);
    i_entry += d.GetType("upload_thread")->GetItem(Value(static_cast<QObject*>(lp_thread)));
    connect(lp_thread, &UploadThread::UploadError, this, &TransferQueueManager::OnUploadError);
    connect(lp_thread, &UploadThread::UploadLocalError, this, &TransferQueueManager::OnUploadLocalError);
    connect(lp_thread, &UploadThread::UploadProgress, this, &TransferQueueManager::OnUploadProgress);
    connect(lp_thread, &UploadThread::UploadComplete, this, &TransferQueueManager::OnUploadComplete);
    lp_thread->start(QThread::InheritPriority);
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
    LogTransfer(1, QString("Error uploading %1 to %2. %3")
                       .arg(SharedFileText(l_entry, "shared_file_folder") + "/" +
                                SharedFileText(l_entry, "shared_file_name"),
                            l_user.AsString(), i_reason),
                l_user);
    SetUploadEntryStatus(l_entry, "aborted");
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
    LogTransfer(1, QString("Error uploading %1 to %2. %3")
                       .arg(SharedFileText(l_entry, "shared_file_name"), l_user.AsString(), i_reason),
                l_user);
    if (peerMessenger)
        peerMessenger->DenyUpload(l_user.AsString(), l_entry["filename_as_requested"].AsString(), "File read error.");
    SetUploadEntryStatus(l_entry, "local error");
    StartNewUploads();
}

Item TransferQueueManager::AddUpload(QString i_user, QString i_path)
{
    // Not built yet: nothing is queued.
    Log("Transfer Queue", 1, QString("Initiating upload to %1 of file %2").arg(i_user, i_path));
    return Item();
}

void TransferQueueManager::OrderNewUpload(Item)
{
}

bool TransferQueueManager::UploadEntrySortCompare(Item i_a, Item i_b)
{
    // Age alone until the group and privilege order exists.
    return i_a["upload_order"].AsInt64() < i_b["upload_order"].AsInt64();
}

int TransferQueueManager::GetUserGroupDownloadPriority(QString)
{
    return 0;
}

void TransferQueueManager::DetermineUploadsEffectiveOrder()
{
}

bool TransferQueueManager::CanAcceptUserInitiatedUploadsFrom(QString)
{
    // Not built yet: no user may push files to us.
    return false;
}

void TransferQueueManager::UnshareUser(QString i_user)
{
    // The flag is what the share index reads; there are no uploads to stop yet.
    Item l_user = d.GetType("user")->GetItem(Value(i_user));
    if (d.HasType("unshared") && !l_user.IsConnected("unshared"))
        l_user += d.GetType("unshared")->GetGlobalNullItem();
}

void TransferQueueManager::ReshareUser(QString i_user)
{
    if (Item l_user = d.GetType("user")->HasItem(Value(i_user)); l_user.IsValid() && d.HasType("unshared"))
        l_user.Disconnect("unshared");
}

int TransferQueueManager::QueuedUploadCount()
{
    Item l_queued = d.GetType("upload_entry_status")->HasItem(Value("queued"));
    return l_queued.IsValid() ? int(l_queued.CountItems("upload_entry")) : 0;
}

void TransferQueueManager::StartNewUploads()
{
    // Not built yet: queued uploads wait.
}

void TransferQueueManager::SetUploadSlots(int i_slots)
{
    if (i_slots < 1 || i_slots > 99)
        return;
    SetSetting("upload_slots", qint64(i_slots));
}

bool TransferQueueManager::IsFreeToUpload()
{
    return ActiveUploadCount() < GetSettingInt("upload_slots");
}

void TransferQueueManager::AssertNoExtraUploads()
{
}

void TransferQueueManager::OnQueueUploadRequested(QString i_user, QString i_file)
{
    // Not built yet: the request is answered as for a file we do not share.
    if (peerMessenger)
        peerMessenger->DenyUpload(i_user, i_file, "File not shared.");
}

void TransferQueueManager::OnUploadPlaceInLineRequested(QString, QString)
{
}

void TransferQueueManager::OnUserShare(QString, FileInfoMap&, AttributeTranslationTable&)
{
}

void TransferQueueManager::OnFileTransferRequest(QString i_user, int, uint i_req, std::string, qint64)
{
    // Not built yet: every offer is declined.
    if (peerMessenger)
        peerMessenger->DenyTransferRequest(i_user, i_req, "Cancelled");
}

void TransferQueueManager::OnFileTransferResponse(QString, uint, bool, bool, qint64, QString)
{
}

void TransferQueueManager::OnFileConnection(QString, QTcpSocket* ip_socket, uint)
{
    // Not built yet: no download waits for a connection.
    ip_socket->close();
    ip_socket->deleteLater();
}

void TransferQueueManager::OnFileConnectionAccepted(QString, QTcpSocket* ip_socket)
{
    ip_socket->deleteLater();
}

void TransferQueueManager::EveryHalfMinute()
{
}
