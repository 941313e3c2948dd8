// The negotiation of a transfer with its peer: the uploader offers a file
// with a token (peer message 40), the downloader answers (41), the uploader
// asks for a file connection and the two exchange token and offset on it
// (docs/protocol.md, "The file-connection exchange"). Both roles are here;
// the bytes then move on the threads started by StartUpload and
// StartDownload.

#include "transfers/TransferQueueManager.h"

#include "transfers/TransferItems.h"

#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "store/Utilities.h"

#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>

using namespace TransferItems;

namespace {

void DenyOffer(QString const& i_user, uint i_token, QString const& i_reason)
{
    if (peerMessenger)
        peerMessenger->DenyTransferRequest(i_user, i_token, i_reason);
}

void Drop(QTcpSocket* ip_socket)
{
    ip_socket->disconnect();
    ip_socket->close();
    ip_socket->deleteLater();
}

} // namespace

bool TransferQueueManager::IsWrittenByOtherDownload(Item const& i_entry)
{
    // Two users may offer the same remote path; their partial files are one.
    QString const l_path = GetSafeDownloadPath(i_entry, false);
    if (l_path.isEmpty())
        return false;
    Item const l_running = d.GetType("download_entry_status")->HasItem(Value("downloading"));
    for (Item const& l_other : l_running.GetItems("download_entry"))
        if (l_other != i_entry && GetSafeDownloadPath(l_other, false) == l_path)
            return true;
    return false;
}

void TransferQueueManager::OnFileTransferRequest(QString i_user, int i_direction, uint i_req, std::string i_file,
                                                 qint64 i_fileSize)
{
    std::string const l_name = GetFileName(i_file);
    std::string const l_folder = GetFolder(i_file);
    if (i_direction != 1) {
        // The peer asks us to send: that is a queue request.
        DenyOffer(i_user, i_req, "Queued");
        OnQueueUploadRequested(i_user, ToQString(i_file));
        return;
    }
    Item const l_user = UserItem(i_user);
    LogTransfer(1,
                QString("Received upload request from %1 for file %2, req %3")
                    .arg(Isolated(i_user), Isolated(ToQString(i_file)), QString::number(i_req)),
                l_user);

    Item l_entry = FindDownloadByRemotePath(i_user, i_file);
    if (l_entry.IsNull() && CanAcceptUserInitiatedUploadsFrom(i_user)) {
        l_entry = NewDownloadEntry(i_user, l_name, l_folder, i_fileSize, 0);
        SetDownloadEntryStatus(l_entry, "queued");
    }
    QString const l_status = l_entry["download_entry_status"].AsString();
    if (l_entry.IsNull() || l_status == "paused") {
        LogTransfer(2, l_entry.IsNull() ? "Denied, Cancelled" : "Denied, Paused", l_user);
        DenyOffer(i_user, i_req, "Cancelled");
        return;
    }
    if (l_status == "complete") {
        LogTransfer(2, "Denied, Complete", l_user);
        DenyOffer(i_user, i_req, "Complete");
        return;
    }
    // One that failed here waits for its retry: taken now, it would fail
    // again; "Queued" keeps it in the peer's queue.
    if (l_status == "local error" && !IsRetryDue(l_entry)) {
        LogTransfer(2, "Denied, waiting for the retry of a local error", l_user);
        DenyOffer(i_user, i_req, "Queued");
        return;
    }
    // One the load has not given its place yet would take one out of its
    // turn, and one whose file the load has yet to know as its own would
    // take a new name and leave that file behind; "Queued" keeps it in the
    // peer's queue until the load is that far.
    if (!IsPlaceSettled(l_entry)) {
        LogTransfer(2, "Denied, the download queue is still being loaded", l_user);
        DenyOffer(i_user, i_req, "Queued");
        return;
    }
    // A download has its local name from when it was added; one a peer
    // pushes, or one whose place a folder took since, gets it here, before
    // its offer is answered: otherwise two remote names that make one local
    // name would write one partial file, and one of them wait for ever.
    static_cast<void>(SettleLocalName(l_entry));
    if (IsWrittenByOtherDownload(l_entry)) {
        // Accepting would have the offer time out and the peer ask again at
        // once; "Queued" keeps it waiting until the other download is done.
        LogTransfer(2, "Denied, another download is writing the same file", l_user);
        DenyOffer(i_user, i_req, "Queued");
        return;
    }

    Item const l_token = d.GetType("remote_transfer_req")->GetItem(Value(i_req));
    for (Item const& l_previous : d.GetItems(l_user, l_token, "download_entry"))
        l_previous.Disconnect(l_token);
    l_entry += l_token;
    if (l_status == "downloading") {
        LogTransfer(2, "Transfer is already downloading, cancelling...", l_user);
        SetDownloadEntryStatus(l_entry, "aborted");
    }
    // The offer tells the file's size as it is now; the search that found
    // it may be older than a change to the file. Reading any other count of
    // bytes ends in a cut-off file taken for complete, or in a wait for
    // bytes that never come.
    if (qint64 const l_known = l_entry["file_size"].AsInt64(); i_fileSize != l_known) {
        LogTransfer(2, QString("The offer gives the file's size as %1 bytes, not %2").arg(i_fileSize).arg(l_known),
                    l_user);
        l_entry += d.GetType("file_size")->GetItem(Value(static_cast<long long>(i_fileSize)));
    }
    if (peerMessenger)
        peerMessenger->AcceptTransferRequest(i_user, i_req, false, 0);
    LogTransfer(2, "Accepted", l_user);
}

void TransferQueueManager::OnFileTransferResponse(QString i_user, uint i_req, bool i_accepted, bool, qint64,
                                                  QString i_denialReason)
{
    Item const l_user = UserItem(i_user);
    LogTransfer(1,
                QString("Received file transfer response from user %1 for req %2, transfer %3")
                    .arg(Isolated(i_user), QString::number(i_req), i_accepted ? "accepted" : "not accepted"),
                l_user);
    Item const l_token = d.GetType("transfer_req")->HasItem(Value(i_req));
    if (l_token.IsNull()) {
        LogTransfer(2, "req not found", l_user);
        return;
    }
    if (l_token.IsConnected("download_entry")) {
        LogTransfer(2, "Found download, not processing", l_user);
        return;
    }
    Item const l_entry = l_token["upload_entry"];
    if (l_entry.IsNull()) {
        LogTransfer(2, "Neither upload or download attached to req, weird", l_user);
        return;
    }
    LogTransfer(2, "Found upload", l_user);
    if (l_entry["user"] != l_user) {
        LogTransfer(2,
                    QString("Upload user %1 not the same as user who opened the connection, not doing anything")
                        .arg(Isolated(l_entry["user"].AsString())),
                    l_user);
        return;
    }
    if (!i_accepted) {
        LogTransfer(2, QString("Upload was not accepted, marking denied. Reason: %1").arg(Isolated(i_denialReason)),
                    l_user);
        l_entry += d.GetType("denial_reason")->GetItem(Value(i_denialReason));
        SetUploadEntryStatus(l_entry, "denied");
        StartNewUploads();
        return;
    }
    QString const l_status = l_entry["upload_entry_status"].AsString();
    if (l_status != "requesting") {
        LogTransfer(2, QString("Upload no longer in requesting phase, instead status is %1. Not processing.")
                           .arg(l_status),
                    l_user);
        return;
    }
    if (!IsStillShared(l_entry)) {
        DenyNotShared(l_entry);
        StartNewUploads();
        return;
    }

    QString const l_path = SharedFilePath(l_entry);
    auto* lp_file = new QFile(l_path);
    // Only a regular file is opened: a pipe put in a shared file's place
    // would block the whole program in the open.
    if (!QFileInfo(l_path).isFile() || !lp_file->open(QIODevice::ReadOnly)) {
        delete lp_file;
        LogTransfer(2, "File could not be opened, marking local error and sending denial message. Shouldn't we "
                       "have done this before we requested the transfer?",
                    l_user);
        if (peerMessenger)
            peerMessenger->DenyUpload(i_user, l_entry["filename_as_requested"].AsString(), "File read error.");
        SetUploadEntryStatus(l_entry, "local error");
        StartNewUploads();
        return;
    }
    LogTransfer(2, "Requesting file connection to user", l_user);
    if (peerMessenger)
        peerMessenger->RequestFileConnectionToUser(i_user);
    l_entry += d.GetType("upload_file")->GetItem(Value(lp_file));
    SetUploadEntryStatus(l_entry, "connecting");
}

void TransferQueueManager::OnFileConnection(QString i_user, QTcpSocket* ip_socket, uint i_requestID)
{
    Item const l_user = UserItem(i_user);
    LogTransfer(
        1, QString("File connection created by user %1 for req %2").arg(Isolated(i_user), QString::number(i_requestID)),
        l_user);
    Item const l_token = d.GetType("remote_transfer_req")->HasItem(Value(i_requestID));
    Item const l_entry = d.GetItem(l_user, l_token, "download_entry");
    if (l_entry.IsNull()) {
        Drop(ip_socket);
        LogTransfer(2, "Download not found, aborting", l_user);
        return;
    }
    // One connection per accepted offer: a second one would open the same
    // partial file beside the running thread.
    if (l_entry["download_entry_status"].AsString() == "downloading" || IsWrittenByOtherDownload(l_entry)) {
        Drop(ip_socket);
        LogTransfer(2, "The file is already being downloaded, closing the second file connection", l_user);
        return;
    }
    StartDownload(l_entry, ip_socket);
}

void TransferQueueManager::OnFileConnectionAccepted(QString i_user, QTcpSocket* ip_socket)
{
    Item const l_user = d.GetType("user")->HasItem(Value(i_user));
    Item const l_connecting = d.GetType("upload_entry_status")->HasItem(Value("connecting"));
    Item const l_entry = d.GetItem(l_user, l_connecting, "upload_entry");
    if (l_entry.IsNull()) {
        Drop(ip_socket);
        return;
    }
    // The file may have left the shares while the connection was made.
    if (!IsStillShared(l_entry)) {
        Drop(ip_socket);
        DenyNotShared(l_entry);
        StartNewUploads();
        return;
    }
    StartUpload(l_entry, ip_socket);
}
