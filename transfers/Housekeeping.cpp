// The transfer engine's sweep every 30 seconds: negotiations that stall are
// given up, users whose downloads wait are asked again and asked for their
// place in line, and a finish-and-quit ends the program once the uploads are
// done.

#include "transfers/TransferQueueManager.h"

#include "transfers/TransferItems.h"

#include "store/Settings.h"

#include <QCoreApplication>

#include <limits>
#include <vector>

using namespace TransferItems;

namespace {

constexpr qint64 NEGOTIATION_TIMEOUT_MS = 29999;
constexpr qint64 QUEUE_REQUEST_REPEAT_MS = 599999;
constexpr int PLACE_IN_LINE_REPEAT_S = 600;
constexpr qint64 QUIT_IDLE_S = 300;
// What an unset or unreadable time counts as: long past.
constexpr qint64 LONG_AGO = std::numeric_limits<qint64>::max();

} // namespace

void TransferQueueManager::EveryHalfMinute()
{
    QDateTime const l_now = Now();

    ItemSet l_negotiating;
    for (char const* lp_status : {"requesting", "connecting"})
        l_negotiating.Add(d.GetType("upload_entry_status")->HasItem(Value(lp_status)).GetItems("upload_entry"));
    bool l_aborted = false;
    for (Item const& l_entry : l_negotiating) {
        if (MillisecondsSince(l_entry["last_status_change_time"].AsString(), l_now, LONG_AGO) <= NEGOTIATION_TIMEOUT_MS)
            continue;
        LogTransfer(1, QString("Upload of %1 to %2 timed out in %3 phase, aborting")
                           .arg(Isolated(SharedFileText(l_entry, "shared_file_name")),
                                Isolated(l_entry["user"].AsString()), l_entry["upload_entry_status"].AsString()));
        QString const l_phase = l_entry["upload_entry_status"].AsString();
        SetUploadEntryStatus(l_entry, "aborted");
        emit TransferEnded(l_entry, QString("The transfer to %1 did not start within 30 seconds (%2).")
                                        .arg(Isolated(l_entry["user"].AsString()), l_phase));
        l_aborted = true;
    }
    if (l_aborted)
        StartNewUploads();

    ItemSet l_waiting;
    Item const l_queued = d.GetType("download_entry_status")->HasItem(Value("queued"));
    for (Item const& l_entry : l_queued.GetItems("download_entry"))
        if (Item l_user = l_entry["user"]; l_user.IsConnected("is_online"))
            l_waiting.insert(l_user);
    for (Item const& l_user : l_waiting) {
        if (IsActivelyDownloadingFromUser(l_user.AsString()))
            continue;
        if (MillisecondsSince(l_user["last_queue_request_time"].AsString(), Now(), LONG_AGO) >
            QUEUE_REQUEST_REPEAT_MS)
            RequeueUserDownloads(l_user);
    }
    for (Item const& l_user : l_waiting) {
        if (IsActivelyDownloadingFromUser(l_user.AsString()))
            continue;
        QDateTime const l_next = StoredTime(l_user["next_place_in_line_request_time"].AsString(), Now());
        if (l_next.isValid() && Now() < l_next)
            continue;
        for (Item const& l_entry :
             l_user.GetItems("download_entry").Connected(l_queued).SortNumericBy("download_order", true))
            RequestDownloadPlaceInLine(l_entry);
        SetUserTime(l_user, "next_place_in_line_request_time", PLACE_IN_LINE_REPEAT_S);
    }

    // Downloads that failed here are asked for again once their retry is
    // due. One whose user is offline waits for him as any queued one does,
    // and is asked for when he comes; it no longer waits for a time that
    // has passed.
    std::vector<Item> l_due;
    for (Item const& l_entry :
         d.GetType("download_entry_status")->HasItem(Value("local error")).GetItems("download_entry"))
        if (IsRetryDue(l_entry))
            l_due.push_back(l_entry);
    for (Item const& l_entry : l_due) {
        if (l_entry["user"].IsConnected("is_online"))
            RequeueDownload(l_entry);
        else
            SetDownloadEntryStatus(l_entry, "queued");
    }

    // With no upload status change yet this run, the uploads have been idle
    // since the start.
    if (IsVSettingYes("finish_uploads_and_quit") &&
        MillisecondsSince(GetVSetting("last_upload_state_change"), l_now, LONG_AGO) / 1000 > QUIT_IDLE_S &&
        ActiveUploadCount() == 0 && QueuedUploadCount() == 0)
        QCoreApplication::exit(0);
}
