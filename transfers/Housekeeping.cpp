// The transfer engine's sweep every 30 seconds: negotiations that stall are
// given up, users whose downloads wait are asked again and asked for their
// place in line, and a finish-and-quit ends the program once the uploads are
// done.

#include "transfers/TransferQueueManager.h"

#include "transfers/TransferItems.h"

#include "store/Settings.h"

#include <QCoreApplication>

#include <algorithm>
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

    // The downloads' part walks queues of tens of thousands: it goes in
    // steps (SweepStep). One still under way goes on.
    if (m_sweep.m_phase == SweepPhase::NONE) {
        m_sweep = Sweep();
        m_sweep.m_phase = SweepPhase::WAITING_USERS;
        m_sweep.m_until = d.NextSerial();
        StartRequeueWork();
    }

    // With no upload status change yet this run, the uploads have been idle
    // since the start.
    if (IsVSettingYes("finish_uploads_and_quit") &&
        MillisecondsSince(GetVSetting("last_upload_state_change"), l_now, LONG_AGO) / 1000 > QUIT_IDLE_S &&
        ActiveUploadCount() == 0 && QueuedUploadCount() == 0)
        QCoreApplication::exit(0);
}

void TransferQueueManager::SweepStep()
{
    Item const l_queued = d.GetType("download_entry_status")->HasItem(Value("queued"));
    Item const l_failed = d.GetType("download_entry_status")->HasItem(Value("local error"));
    // The online users with a queued download: they wait for us.
    if (m_sweep.m_phase == SweepPhase::WAITING_USERS) {
        bool l_through = false;
        for (Item const& l_entry :
             DownloadsBatch(l_queued, m_sweep.m_from, m_sweep.m_until, l_through, m_mostSweptInAStep))
            if (Item l_user = l_entry["user"]; l_user.IsConnected("is_online"))
                m_sweep.m_users.emplace(l_user.Serial(), std::move(l_user));
        if (l_through)
            m_sweep.m_phase = SweepPhase::USERS;
        return;
    }
    // Each is asked again for downloads that waited 10 minutes, or else
    // for their places every 10 minutes; never one we download from. The
    // asking itself goes in steps behind the sweep.
    if (m_sweep.m_phase == SweepPhase::USERS) {
        std::size_t l_looked = 0;
        while (!m_sweep.m_users.empty() && l_looked < SWEEP_USERS_A_STEP) {
            ++l_looked;
            Item const l_user = std::move(m_sweep.m_users.begin()->second);
            m_sweep.m_users.erase(m_sweep.m_users.begin());
            if (l_user.IsNull() || !l_user.IsConnected("is_online") || IsActivelyDownloadingFromUser(l_user.AsString()))
                continue;
            if (MillisecondsSince(l_user["last_queue_request_time"].AsString(), Now(), LONG_AGO) >
                QUEUE_REQUEST_REPEAT_MS) {
                // Sets his next place-in-line request 30 s ahead.
                RequeueUserDownloads(l_user);
                continue;
            }
            QDateTime const l_next = StoredTime(l_user["next_place_in_line_request_time"].AsString(), Now());
            if (l_next.isValid() && Now() < l_next)
                continue;
            SetUserTime(l_user, "next_place_in_line_request_time", PLACE_IN_LINE_REPEAT_S);
            RequestPlacesInLine(l_user);
        }
        m_mostSweptInAStep = std::max<std::uint64_t>(m_mostSweptInAStep, l_looked);
        if (m_sweep.m_users.empty()) {
            m_sweep.m_phase = SweepPhase::LOCAL_ERRORS;
            m_sweep.m_from = 0;
        }
        return;
    }
    // Downloads that failed here are asked for again once their retry is
    // due, one a step. One whose user is offline waits for him as any
    // queued one does, and is asked for when he comes; it no longer waits
    // for a time that has passed.
    if (m_sweep.m_nextDue < m_sweep.m_due.size()) {
        Item const l_entry = std::move(m_sweep.m_due[m_sweep.m_nextDue++]);
        m_mostSweptInAStep = std::max<std::uint64_t>(m_mostSweptInAStep, 1);
        // Asked for, removed or failed again meanwhile.
        if (!l_entry.IsConnected(l_failed) || !IsRetryDue(l_entry))
            return;
        Item const l_user = l_entry["user"];
        // His downloads' asking, which the sweep may have started, asks
        // for it in its turn: not twice.
        if (m_requeues.count(RequeueKey(l_user.Serial(), false)) != 0)
            return;
        if (l_user.IsConnected("is_online"))
            RequeueDownload(l_entry);
        else
            SetDownloadEntryStatus(l_entry, "queued");
        return;
    }
    if (m_sweep.m_lastRead) {
        m_sweep.m_phase = SweepPhase::NONE;
        return;
    }
    m_sweep.m_due.clear();
    m_sweep.m_nextDue = 0;
    // Through once the last batch's due ones are asked for.
    for (Item const& l_entry :
         DownloadsBatch(l_failed, m_sweep.m_from, m_sweep.m_until, m_sweep.m_lastRead, m_mostSweptInAStep))
        if (IsRetryDue(l_entry))
            m_sweep.m_due.push_back(l_entry);
}
