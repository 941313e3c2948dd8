// What users coming online cost, through the entry point the program uses,
// the server link's Apply of each decoded message, with the managers that
// follow presence (the transfer engine's upload scheduler among them):
//   1. a join answer naming N members, all online, none known before;
//   2. a second join answer of N other names while the first N stay online;
//   3. status messages of M users coming online, one message each, the
//      event loop turning between them as frames arrive;
//   4. the status message of one user with D downloads waiting (D and 2D),
//      all asked for again: to the last request;
//   5. then, all of them queued, the half-minute sweep 31 s later, which
//      finds him waiting and asks for the places of all D: to the last
//      request.
// Each at N and 2N (M and 2M) in fresh stores, so that the ratio tells
// whether the cost grows with the users (linear: at most 2) or with the
// users times those online already. Some uploads wait in the queue, as in
// a real session: 200 users, not online, each queued 5 files, and the
// upload slot is free, so the scheduler is asked at every user who comes.
// No peer connects.
//
// Figures: the window's thread's processor time from the message to the
// end of its application, and the longest stall of the event loop meanwhile
// (bench::StallProbe; the probe spins the loop, so the processor time is
// taken in a run of its own without it).
//
//   bench_users_online [runs] [members] [downloads]   (statuses: three tenths of the members)

#include "bench/BenchUtil.h"
#include "peers/PeerMessenger.h"
#include "server/Server.h"
#include "server/ServerMessages.h"
#include "server/StoreTypes.h"
#include "shares/SharedFoldersManager.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

namespace {

int MEMBERS = bench::Size(50000, 1000);
int STATUSES = bench::Size(15000, 500);
int DOWNLOADS = bench::Size(40000, 1000);
int const QUEUERS = bench::Size(200, 20);
int const FILES = 50;
int const FILES_PER_QUEUER = 5;

// The managers the program makes, in its order, over a fresh store, with
// uploads queued by users who are not online.
struct Program
{
    explicit Program(QString const& i_share)
    {
        d.Reset();
        DeclareSettingsTypes();
        mp_server = std::make_unique<Server>();
        mp_server->CreateData();
        mp_messenger = std::make_unique<PeerMessenger>();
        mp_shares = std::make_unique<SharedFoldersManager>();
        mp_transfers = std::make_unique<TransferQueueManager>();
        d.GetType("shared_public")->GetGlobalNullItem() += mp_shares->AddSharedFolder(i_share);
        while (mp_shares->IsBusy())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QString const l_remote = QString(i_share).replace('/', '\\');
        for (int l_user = 0; l_user < QUEUERS; ++l_user)
            for (int l_file = 0; l_file < FILES_PER_QUEUER; ++l_file)
                emit mp_messenger->QueueUploadRequested(QString("queuer%1").arg(l_user),
                                                       l_remote + QString("\\track%1.mp3").arg((l_user + l_file) % FILES));
        bench::Require(mp_transfers->QueuedUploadCount() == QUEUERS * FILES_PER_QUEUER, "the uploads were not queued");
    }
    ~Program()
    {
        mp_transfers.reset();
        mp_shares.reset();
        mp_messenger.reset();
        mp_server.reset();
        d.Reset();
    }

    std::unique_ptr<Server> mp_server;
    std::unique_ptr<PeerMessenger> mp_messenger;
    std::unique_ptr<SharedFoldersManager> mp_shares;
    std::unique_ptr<TransferQueueManager> mp_transfers;
};

ServerIn::RoomJoined Join(QString const& i_room, QString const& i_prefix, int i_members)
{
    ServerIn::RoomJoined l_join;
    l_join.m_room = i_room;
    for (int l_k = 0; l_k < i_members; ++l_k) {
        ServerIn::Member l_member;
        l_member.m_name = QString("%1%2").arg(i_prefix).arg(l_k);
        l_member.m_details.m_status = STATUS_ONLINE;
        l_member.m_details.m_stats.m_fileCount = quint32(l_k % 6000);
        l_join.m_members.push_back(l_member);
    }
    return l_join;
}

struct Figure
{
    double m_cpu = 0;
    double m_stall = 0;
    double m_own = 0; // the thread's own share of the longest stall

    // A run with a probe gives the stalls, one without the processor time
    // (the probe's own timer would count in it).
    void Take(bench::StallProbe const* ip_probe, double i_cpu)
    {
        if (ip_probe) {
            m_stall = ip_probe->LongestMs();
            m_own = ip_probe->LongestCpuMs();
        } else {
            m_cpu = i_cpu;
        }
    }
};

// The join applied to its end: processor time, or with i_probe the longest
// stall and the thread's own share of it (then the processor time includes
// the probe's spinning).
void ApplyJoin(Program& io_program, ServerIn::RoomJoined const& i_join, bool i_probe, Figure& o_figure)
{
    std::unique_ptr<bench::StallProbe> lp_probe;
    if (i_probe)
        lp_probe = std::make_unique<bench::StallProbe>();
    std::int64_t const l_start = bench::ThreadCpuNs();
    io_program.mp_server->Apply(i_join);
    while (io_program.mp_server->IsApplying())
        QCoreApplication::processEvents();
    if (lp_probe) {
        o_figure.m_stall = lp_probe->LongestMs();
        o_figure.m_own = lp_probe->LongestCpuMs();
    } else {
        o_figure.m_cpu = (bench::ThreadCpuNs() - l_start) / 1e9;
    }
}

// One join of i_members in a fresh program, then a second one of as many
// other names.
void Joins(QString const& i_share, int i_members, Figure& o_first, Figure& o_second)
{
    for (bool const l_probe : {false, true}) {
        Program l_program(i_share);
        ApplyJoin(l_program, Join("first", "member", i_members), l_probe, o_first);
        ApplyJoin(l_program, Join("second", "guest", i_members), l_probe, o_second);
        bench::Require(d.GetType("is_online")->GetGlobalNullItem().CountItems("user") == std::size_t(2 * i_members),
                       "the members did not come online");
    }
}

// i_users status messages, each applied and followed by a turn of the
// event loop, as frames arrive.
Figure Statuses(QString const& i_share, int i_users)
{
    Figure l_figure;
    for (bool const l_probe : {false, true}) {
        Program l_program(i_share);
        std::unique_ptr<bench::StallProbe> lp_probe;
        if (l_probe)
            lp_probe = std::make_unique<bench::StallProbe>();
        std::int64_t const l_start = bench::ThreadCpuNs();
        for (int l_k = 0; l_k < i_users; ++l_k) {
            ServerIn::UserStatus l_status;
            l_status.m_user = QString("user%1").arg(l_k);
            l_status.m_status = STATUS_ONLINE;
            l_program.mp_server->Apply(l_status);
            QCoreApplication::processEvents();
        }
        double const l_cpu = (bench::ThreadCpuNs() - l_start) / 1e9;
        bench::Require(d.GetType("is_online")->GetGlobalNullItem().CountItems("user") == std::size_t(i_users) &&
                           l_program.mp_transfers->QueuedUploadCount() == QUEUERS * FILES_PER_QUEUER,
                       "the users did not come online");
        l_figure.Take(lp_probe.get(), l_cpu);
    }
    return l_figure;
}

// One user with i_downloads downloads that ended ("aborted", in their
// order, as the saved queue holds them) comes online: each is asked for
// again, and becomes "queued". Then the sweep half a minute later asks for
// their places (o_sweep).
Figure UserWithDownloads(QString const& i_share, int i_downloads, Figure& o_sweep)
{
    Figure l_figure;
    for (bool const l_probe : {false, true}) {
        Program l_program(i_share);
        Item const l_user = d.GetType("user")->GetItem(Value("holder"));
        Item const l_aborted = d.GetType("download_entry_status")->GetItem(Value("aborted"));
        for (int l_k = 0; l_k < i_downloads; ++l_k) {
            Item const l_entry = d.GetType("download_entry")->NewItem();
            l_entry += l_user;
            l_entry += d.GetType("file_name")->GetItem(Value(QString("track %1.mp3").arg(l_k)));
            l_entry += d.GetType("remote_folder")->GetItem(Value(QString("music\\album %1").arg(l_k / 20)));
            l_entry += d.GetType("file_size")->GetItem(Value(5000000 + l_k));
            l_entry += d.GetType("download_order")->GetItem(Value(l_k + 1));
            l_entry += l_aborted;
        }
        std::unique_ptr<bench::StallProbe> lp_probe;
        if (l_probe)
            lp_probe = std::make_unique<bench::StallProbe>();
        std::int64_t const l_start = bench::ThreadCpuNs();
        ServerIn::UserStatus l_status;
        l_status.m_user = "holder";
        l_status.m_status = STATUS_ONLINE;
        l_program.mp_server->Apply(l_status);
        while (l_aborted.CountItems("download_entry") > 0)
            QCoreApplication::processEvents();
        double const l_cpu = (bench::ThreadCpuNs() - l_start) / 1e9;
        l_figure.Take(lp_probe.get(), l_cpu);
        lp_probe.reset();
        while (l_program.mp_transfers->IsRequeueing())
            QCoreApplication::processEvents();

        // His places fall due 30 s after the asking began; his queue, 10
        // minutes after.
        QString const l_places = l_user["next_place_in_line_request_time"].AsString();
        l_program.mp_transfers->SetClock([]() { return QDateTime::currentDateTimeUtc().addSecs(31); });
        if (l_probe)
            lp_probe = std::make_unique<bench::StallProbe>();
        std::int64_t const l_sweepStart = bench::ThreadCpuNs();
        l_program.mp_transfers->EveryHalfMinute();
        while (l_program.mp_transfers->IsRequeueing())
            QCoreApplication::processEvents();
        double const l_sweepCpu = (bench::ThreadCpuNs() - l_sweepStart) / 1e9;
        bench::Require(l_user["next_place_in_line_request_time"].AsString() != l_places,
                       "the places were not asked for");
        o_sweep.Take(lp_probe.get(), l_sweepCpu);
    }
    return l_figure;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    int const l_runs = bench::RunsArgument(argc, argv, bench::Size(3, 1));
    if (argc > 2) {
        MEMBERS = std::max(100, std::atoi(argv[2]));
        STATUSES = MEMBERS * 3 / 10;
    }
    if (argc > 3)
        DOWNLOADS = std::max(100, std::atoi(argv[3]));
    QTemporaryDir l_dir;
    QString const l_share = l_dir.filePath("Share");
    QDir().mkpath(l_share);
    for (int l_k = 0; l_k < FILES; ++l_k) {
        QFile l_file(QString("%1/track%2.mp3").arg(l_share).arg(l_k));
        bench::Require(l_file.open(QIODevice::WriteOnly) && l_file.write("x") == 1, "the share could not be made");
    }
    std::printf("join answers of %d and %d members, then as many other names; status messages of %d and %d users; "
                "%d users with %d queued uploads each, offline; %d runs; all in memory\n",
                MEMBERS, 2 * MEMBERS, STATUSES, 2 * STATUSES, QUEUERS, FILES_PER_QUEUER, l_runs);
    std::printf("  users | join cpu s | stall ms (own) | second join cpu s | stall ms (own) | statuses | cpu s | "
                "stall ms (own)\n");
    for (int l_run = 0; l_run < l_runs; ++l_run) {
        Figure l_first[2], l_second[2], l_statuses[2];
        for (int l_size = 0; l_size < 2; ++l_size) {
            Joins(l_share, MEMBERS << l_size, l_first[l_size], l_second[l_size]);
            l_statuses[l_size] = Statuses(l_share, STATUSES << l_size);
            std::printf("  %6d | %10.2f | %6.1f (%5.1f) | %17.2f | %6.1f (%5.1f) | %8d | %5.2f | %6.1f (%5.1f)\n",
                        MEMBERS << l_size, l_first[l_size].m_cpu, l_first[l_size].m_stall, l_first[l_size].m_own,
                        l_second[l_size].m_cpu, l_second[l_size].m_stall, l_second[l_size].m_own,
                        STATUSES << l_size, l_statuses[l_size].m_cpu, l_statuses[l_size].m_stall,
                        l_statuses[l_size].m_own);
        }
        std::printf("  doubled: join %.2f times, second join %.2f times, statuses %.2f times\n",
                    l_first[1].m_cpu / l_first[0].m_cpu, l_second[1].m_cpu / l_second[0].m_cpu,
                    l_statuses[1].m_cpu / l_statuses[0].m_cpu);
        for (int l_size = 0; l_size < 2; ++l_size) {
            Figure l_sweep;
            Figure const l_holder = UserWithDownloads(l_share, DOWNLOADS << l_size, l_sweep);
            std::printf("  a user of %d downloads comes online: cpu %.2f s, stall %.1f ms (own %.1f); "
                        "the sweep asks their places: cpu %.2f s, stall %.1f ms (own %.1f)\n",
                        DOWNLOADS << l_size, l_holder.m_cpu, l_holder.m_stall, l_holder.m_own, l_sweep.m_cpu,
                        l_sweep.m_stall, l_sweep.m_own);
        }
        std::fflush(stdout);
    }
    return 0;
}
