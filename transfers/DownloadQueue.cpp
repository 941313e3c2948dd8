// The download queue, its folders and completion. Being built: for now each
// operation does the least that keeps callers honest.

#include "transfers/TransferQueueManager.h"

#include <QTcpSocket>

Item TransferQueueManager::AddDownload(QString, std::string, std::string, qint64, bool, int)
{
    // Not built yet: nothing is queued.
    return Item();
}

Item TransferQueueManager::GetDownloadEntry(QString, std::string, std::string) { return Item(); }
void TransferQueueManager::QueueDownloadIfUserOnline(Item) {}
void TransferQueueManager::RequeueDownload(Item) {}
void TransferQueueManager::RequeueUserDownloads(Item) {}
void TransferQueueManager::PauseDownload(Item) {}
void TransferQueueManager::ResumeDownload(Item) {}
void TransferQueueManager::RemoveDownload(Item i_entry) { i_entry.Remove(); }
void TransferQueueManager::SetDownloadEntryStatus(Item i_entry, QString i_status)
{
    i_entry += d.GetType("download_entry_status")->GetItem(Value(i_status));
}
void TransferQueueManager::RequestDownloadPlaceInLine(Item) {}
bool TransferQueueManager::IsActivelyDownloadingFromUser(QString) { return false; }
void TransferQueueManager::OnUserOnline(Item) {}
QString TransferQueueManager::GetDownloadTargetFolder(Item, bool) { return QString(); }
QString TransferQueueManager::GetDownloadRelativeDownloadFolder(Item) { return QString(); }
QString TransferQueueManager::GetDownloadTargetPath(Item, bool) { return QString(); }
bool TransferQueueManager::IsDownloadFileComplete(Item) { return false; }
void TransferQueueManager::RemoveDownloadDownloadingFolderIfAppropriate(Item) {}
QString TransferQueueManager::GetSafeDownloadPath(Item, bool) { return QString(); }
bool TransferQueueManager::StartDownload(Item, QTcpSocket* ip_socket)
{
    ip_socket->close();
    ip_socket->deleteLater();
    return false;
}
bool TransferQueueManager::StartUpload(Item, QTcpSocket* ip_socket)
{
    ip_socket->deleteLater();
    return false;
}
void TransferQueueManager::SetUploadEntryStatus(Item i_entry, QString i_status)
{
    i_entry += d.GetType("upload_entry_status")->GetItem(Value(i_status));
}
void TransferQueueManager::RemoveUpload(Item i_entry) { i_entry.Remove(); }
void TransferQueueManager::OnDownloadPlaceInLine(QString, std::string, int) {}
void TransferQueueManager::OnUploadFailedNotification(QString, std::string) {}
void TransferQueueManager::OnUploadDeniedNotification(QString, std::string, QString) {}
void TransferQueueManager::OnQueueDownloadRequested(QString, std::string, qint64) {}
void TransferQueueManager::OnDownloadProgress(qint64, int) {}
void TransferQueueManager::OnDownloadComplete() {}
void TransferQueueManager::OnDownloadError(QString) {}
void TransferQueueManager::OnUploadProgress(qint64, int) {}
void TransferQueueManager::OnUploadComplete() {}
void TransferQueueManager::OnUploadError(QString) {}
Item TransferQueueManager::SenderEntry(char const*, char const*) { return Item(); }
void TransferQueueManager::ReleaseTransfer(Item const&, char const*) {}
