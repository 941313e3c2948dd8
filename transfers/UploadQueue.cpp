// The upload queue: which requests of other users are admitted (and the
// reasons given for those that are not), the queue's effective order, the
// place in line, barring users, and the check of requesters' shares.

#include "transfers/TransferQueueManager.h"

#include "transfers/TransferItems.h"

#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "shares/SharedFoldersManager.h"
#include "store/Log.h"
#include "store/Settings.h"

#include <algorithm>
#include <vector>

using namespace TransferItems;

namespace {

char const* const UPLOAD_STATUS = "upload_entry_status";

QString PeerPath(QString i_requested)
{
    return i_requested.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

void Deny(QString const& i_user, QString const& i_file, QString const& i_reason)
{
    if (peerMessenger)
        peerMessenger->DenyUpload(i_user, i_file, i_reason);
}

// Highest first, then privileged users, then the older entry.
int GroupPriority(Item const& i_user)
{
    int l_priority = 0;
    for (Item const& l_group : i_user["in_user_list"].GetItems("user_list_group"))
        l_priority = std::max(l_priority, l_group["group_download_priority"].AsInt());
    return l_priority;
}

} // namespace

// ---------------------------------------------------------------- admission

Item TransferQueueManager::VisibleSharedFile(QString const& i_user, QString const& i_requested) const
{
    if (!sharedFoldersManager)
        return Item();
    Item const l_file = sharedFoldersManager->GetSharedFileItem(PeerPath(i_requested));
    return sharedFoldersManager->IsFileSharedWithUser(l_file, i_user) ? l_file : Item();
}

bool TransferQueueManager::IsStillShared(Item const& i_entry) const
{
    Item const l_file = i_entry["shared_file"];
    return l_file.IsValid() && sharedFoldersManager &&
           sharedFoldersManager->IsFileSharedWithUser(l_file, i_entry["user"].AsString());
}

void TransferQueueManager::DenyNotShared(Item const& i_entry)
{
    Item const l_user = i_entry["user"];
    LogTransfer(1,
                QString("%1 is no longer shared with %2, removing the upload")
                    .arg(Isolated(i_entry["filename_as_requested"].AsString()), Isolated(l_user.AsString())),
                l_user);
    Deny(l_user.AsString(), i_entry["filename_as_requested"].AsString(), "File not shared.");
    ForgetUpload(i_entry);
}

bool TransferQueueManager::RequeueExistingUpload(Item const& i_user, Item const& i_file)
{
    Item const l_entry = d.GetItem(i_user, i_file, "upload_entry");
    if (l_entry.IsNull())
        return false;
    Item const l_status = l_entry[UPLOAD_STATUS];
    if (l_status.AsString() == "queued" || IsActiveStatus(l_status)) {
        LogTransfer(2, "Already queued", i_user);
        return true;
    }
    LogTransfer(2, QString("%1, re-queueing").arg(l_status.AsString()), i_user);
    SetUploadEntryStatus(l_entry, "queued");
    StartNewUploads();
    return true;
}

Item TransferQueueManager::NewUploadEntry(Item const& i_user, Item const& i_file, QString const& i_requested)
{
    Item const l_entry = d.GetType("upload_entry")->NewItem();
    l_entry += i_user;
    l_entry += i_file;
    l_entry += d.GetType("filename_as_requested")->GetItem(Value(i_requested));
    SetUploadEntryStatus(l_entry, "queued");
    qint64 const l_order = GetSetting("transfer_order_counter").toLongLong();
    l_entry += d.GetType("upload_order")->GetItem(Value(static_cast<long long>(l_order)));
    SetSetting("transfer_order_counter", l_order + 1);
    OrderNewUpload(l_entry);
    LogTransfer(2, "Queued", i_user);
    if (gp_server)
        gp_server->TrackUser(i_user.AsString());
    return l_entry;
}

void TransferQueueManager::OnQueueUploadRequested(QString i_user, QString i_file)
{
    Item const l_user = UserItem(i_user);
    LogTransfer(1, QString("Queue upload requested by %1 for file %2").arg(Isolated(i_user), Isolated(i_file)), l_user);
    Item const l_file = VisibleSharedFile(i_user, i_file);
    if (l_file.IsNull()) {
        LogTransfer(2, "Denied, file not shared", l_user);
        Deny(i_user, i_file, "File not shared.");
        return;
    }
    if (IsVSettingYes("finish_uploads_and_quit")) {
        LogTransfer(2, "Denied, pending shutdown.", l_user);
        Deny(i_user, i_file, "Pending shutdown.");
        return;
    }
    if (RequeueExistingUpload(l_user, l_file))
        return;

    ItemSet const l_queued = l_user.GetItems("upload_entry").Connected(UPLOAD_STATUS, Value("queued"));
    if (IsSettingYes("max_queued_uploads_per_user_enabled") &&
        qint64(l_queued.size()) >= GetSettingInt("max_queued_uploads_per_user")) {
        LogTransfer(2, "Denied, too many files already queued by user", l_user);
        Deny(i_user, i_file, "Too many files");
        return;
    }
    qint64 l_bytes = 0;
    for (Item const& l_entry : l_queued)
        l_bytes += SharedFileText(l_entry, "shared_file_size").toLongLong();
    if (IsSettingYes("max_queued_mb_per_user_enabled") && l_bytes / 1048576 > GetSettingInt("max_queued_mb_per_user")) {
        LogTransfer(2, "Denied, too many megabytes already queued by user", l_user);
        Deny(i_user, i_file, "Too many megabytes");
        return;
    }

    NewUploadEntry(l_user, l_file, i_file);
    // Each stranger's share is looked at once per run.
    if (IsSettingYes("check_for_empty_shares") && !l_user.IsConnected("empty_share_check_status") &&
        !l_user.IsConnected("in_user_list")) {
        if (peerMessenger)
            peerMessenger->GetUserSharedFiles(i_user);
        l_user += d.GetType("empty_share_check_status")->GetItem(Value("requested"));
    }
    StartNewUploads();
}

Item TransferQueueManager::AddUpload(QString i_user, QString i_path, QString* op_reason)
{
    Item const l_user = UserItem(i_user);
    LogTransfer(1, QString("Initiating upload to %1 of file %2").arg(Isolated(i_user), Isolated(i_path)), l_user);
    bool l_offline = false;
    QString const l_refusal = UploadRefusal(l_user, i_path, l_offline);
    if (!l_refusal.isEmpty()) {
        LogTransfer(2, l_offline ? "Can't upload, the user is offline."
                                 : "Can't upload, file is either not shared or not shared with that particular user.",
                    l_user);
        if (op_reason)
            *op_reason = l_refusal;
        return Item();
    }
    Item const l_file = VisibleSharedFile(i_user, i_path);
    if (peerMessenger)
        peerMessenger->QueueUpload(i_user, i_path, l_file["shared_file_size"].AsInt64());
    if (RequeueExistingUpload(l_user, l_file))
        return d.GetItem(l_user, l_file, "upload_entry");
    Item const l_entry = NewUploadEntry(l_user, l_file, i_path);
    StartNewUploads();
    return l_entry;
}

QString TransferQueueManager::UploadRefusal(Item const& i_user, QString const& i_path, bool& o_offline) const
{
    QString const l_name = i_user.AsString();
    // Offline as far as the server has told us his status; one whose
    // status has not come yet may well be there (the new entry asks for it).
    o_offline = d.HasType("last_online_status_change") && i_user.IsConnected("last_online_status_change") &&
                !i_user.IsConnected("is_online");
    if (o_offline)
        return QString("%1 is offline.").arg(Isolated(l_name));
    if (!sharedFoldersManager || sharedFoldersManager->GetSharedFileItem(PeerPath(i_path)).IsNull())
        return QString("%1 is not shared.").arg(Isolated(i_path));
    if (sharedFoldersManager->IsUserAddressUnshared(l_name))
        return QString("Your files are withheld from %1.").arg(Isolated(l_name));
    if (VisibleSharedFile(l_name, i_path).IsNull())
        return QString("%1 is not shared with %2.").arg(Isolated(i_path), Isolated(l_name));
    return QString();
}

int TransferQueueManager::QueuedUploadCount()
{
    Item l_queued = d.GetType(UPLOAD_STATUS)->HasItem(Value("queued"));
    return l_queued.IsValid() ? int(l_queued.CountItems("upload_entry")) : 0;
}

// -------------------------------------------------------------------- order

int TransferQueueManager::GetUserGroupDownloadPriority(QString i_user)
{
    return GroupPriority(d.GetType("user")->HasItem(Value(i_user)));
}

bool TransferQueueManager::UploadEntrySortCompare(Item i_a, Item i_b)
{
    Item const l_userA = i_a["user"];
    Item const l_userB = i_b["user"];
    if (l_userA != l_userB) {
        int const l_priorityA = GroupPriority(l_userA);
        int const l_priorityB = GroupPriority(l_userB);
        if (l_priorityA != l_priorityB)
            return l_priorityA > l_priorityB;
        bool const l_privilegedA = l_userA.IsConnected("is_privileged");
        if (l_privilegedA != l_userB.IsConnected("is_privileged"))
            return l_privilegedA;
    }
    return i_a["upload_order"].AsInt64() < i_b["upload_order"].AsInt64();
}

void TransferQueueManager::SetEffectiveUploadOrder(Item const& i_entry, qint64 i_number)
{
    // Most renumberings give most entries the number they have.
    Value const l_number(static_cast<long long>(i_number));
    if (i_entry["effective_upload_order"].GetValue() != l_number)
        i_entry += d.GetType("effective_upload_order")->GetItem(l_number);
}

void TransferQueueManager::OrderNewUpload(Item i_entry)
{
    // The last ordered upload lets an entry that sorts after every other
    // take the next number without sorting anything.
    std::vector<std::pair<qint64, Item>> l_ordered;
    bool l_listed = false;
    auto const l_list = [&] {
        ItemSet const l_entries = d.GetType("upload_entry")->GetItems();
        for (Item const& l_entry : l_entries)
            if (Item const l_number = l_entry["effective_upload_order"]; l_number.IsValid())
                l_ordered.emplace_back(l_number.AsInt64(), l_entry);
        std::stable_sort(l_ordered.begin(), l_ordered.end(),
                         [](auto const& i_a, auto const& i_b) { return i_a.first < i_b.first; });
        l_listed = true;
        if (!l_ordered.empty())
            m_lastOrderedUpload = l_ordered.back().second;
    };
    if (m_lastOrderedUpload.IsNull()) {
        l_list();
        if (l_ordered.empty()) {
            SetEffectiveUploadOrder(i_entry, 1);
            m_lastOrderedUpload = i_entry;
            return;
        }
    }
    if (UploadEntrySortCompare(m_lastOrderedUpload, i_entry)) {
        SetEffectiveUploadOrder(i_entry, m_lastOrderedUpload["effective_upload_order"].AsInt64() + 1);
        m_lastOrderedUpload = i_entry;
        return;
    }
    if (!l_listed)
        l_list();
    auto const l_place = std::find_if(l_ordered.begin(), l_ordered.end(), [&](auto const& i_other) {
        return UploadEntrySortCompare(i_entry, i_other.second);
    });
    l_ordered.emplace(l_place, -1, i_entry);
    Type* const lp_number = d.GetType("effective_upload_order");
    for (std::size_t l_k = 0; l_k < l_ordered.size(); ++l_k)
        if (l_ordered[l_k].first != qint64(l_k) + 1)
            l_ordered[l_k].second += lp_number->GetItem(Value(static_cast<long long>(l_k) + 1));
}

void TransferQueueManager::DetermineUploadsEffectiveOrder()
{
    ItemSet const l_entries = d.GetType("upload_entry")->GetItems();
    ItemList l_sorted(l_entries.begin(), l_entries.end());
    std::stable_sort(l_sorted.begin(), l_sorted.end(), &TransferQueueManager::UploadEntrySortCompare);
    qint64 l_number = 0;
    for (Item const& l_entry : l_sorted)
        SetEffectiveUploadOrder(l_entry, l_number++);
}

void TransferQueueManager::OnUploadPlaceInLineRequested(QString i_user, QString i_file)
{
    // Looked up without creating anything: a stranger's question leaves no
    // trace in the store.
    Item const l_user = d.GetType("user")->HasItem(Value(i_user));
    Item const l_name = d.GetType("filename_as_requested")->HasItem(Value(i_file));
    Item const l_place = d.GetItem(l_user, l_name, "upload_entry")["effective_upload_order"];
    if (l_place.IsValid() && peerMessenger)
        peerMessenger->SendUploadPlaceInLine(i_user, i_file, l_place.AsInt());
}

// ------------------------------------------------------------------- users

void TransferQueueManager::OnUserShare(QString i_user, FileInfoMap& i_share, AttributeTranslationTable&)
{
    Item const l_user = d.GetType("user")->HasItem(Value(i_user));
    if (l_user["empty_share_check_status"].AsString() != "requested")
        return;
    Type* const lp_status = d.GetType("empty_share_check_status");
    if (!i_share.empty()) {
        l_user += lp_status->GetItem(Value("not_empty"));
        return;
    }
    l_user += lp_status->GetItem(Value("empty"));
    QString const l_text = GetSetting("empty_share_message");
    if (!IsSettingYes("check_for_empty_shares") || l_user.IsConnected("in_user_list") || l_text.isEmpty())
        return;
    if (gp_server)
        gp_server->SendPrivateChat(i_user, l_text);
    Log("Shared", 1, QString("Sent empty share warning message to user %1").arg(Isolated(i_user)));
    l_user += d.GetType("sent_empty_share_warning_message")->GetItem(Value(l_text));
}

bool TransferQueueManager::CanAcceptUserInitiatedUploadsFrom(QString i_user)
{
    Item const l_listed = d.GetType("user")->HasItem(Value(i_user))["in_user_list"];
    if (l_listed.IsNull())
        return false;
    if (IsSettingYes("accept_userlist_uploads"))
        return true;
    for (Item const& l_group : l_listed.GetItems("user_list_group"))
        if (l_group.IsConnected("accept_uploads"))
            return true;
    return false;
}

void TransferQueueManager::UnshareUser(QString i_user)
{
    Item const l_user = UserItem(i_user);
    if (d.HasType("unshared") && !l_user.IsConnected("unshared"))
        l_user += d.GetType("unshared")->GetGlobalNullItem();
    ItemSet const l_entries = l_user.GetItems("upload_entry");
    for (Item const& l_entry : l_entries) {
        Deny(i_user, l_entry["filename_as_requested"].AsString(), "File not shared.");
        ForgetUpload(l_entry);
    }
    if (!l_entries.empty())
        StartNewUploads();
}

void TransferQueueManager::ReshareUser(QString i_user)
{
    if (Item l_user = d.GetType("user")->HasItem(Value(i_user)); l_user.IsValid() && d.HasType("unshared"))
        l_user.Disconnect("unshared");
}
