// The upload queue, its slots and the negotiation of transfers with peers.
// Until they are built, each operation does the least that keeps callers
// honest: nothing is queued, offered or accepted, and no upload slot is
// claimed.

#include "transfers/TransferQueueManager.h"

#include "peers/PeerMessenger.h"
#include "store/Log.h"
#include "store/Settings.h"

#include <QTcpSocket>

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
