// Figures of the Rooms page through the entry point the program uses, the
// server link's Apply of each decoded message: the join answer of a room of
// 5,000 members (the room page and its member list built), joins and leaves
// of that room at 100 a second, and a room list of 20,000 rooms. The page is
// shown (offscreen) and the event loop runs until the link has applied the
// message and the lists have settled, so the slices, painting and the
// lists' deferred placing are counted. The baseline is the same messages
// without the page: the server link's own store work.
//
// Each figure also has its longest stall: the longest stretch the window's
// thread worked without turning its event loop (bench::StallProbe). The
// probe spins the loop, so the joins and leaves run twice: once for their
// processor share, once with the probe.
//
// Then what is too big for one step: a room of 50,000 members ended both
// ways (its tab closed, then the server's answer; the server taking us out
// at once), and room lists of 279,000 rooms (about what one frame holds),
// each naming rooms the one before did not, refreshed four times: the rows
// and rooms the list keeps, its resident memory, the longest stall and the
// processor time of each (measured in a pass of its own without the probe,
// whose spinning would count).
//
// Then names that come and go: in a room whose page is open, tickers set by
// 100,000 names new to us, then 100,000 other new names each joining and
// leaving, three rounds, a collection after each (the window's five-minute
// one does the same): the users the store keeps, the resident memory from
// before the first round, and each round's processor time and longest
// stall.
//
// Then users joining an open room one by one (message 217), 10,000 and
// 40,000 of them arriving at once and applied as the link applies what it
// has read, 5 ms of the window's time between turns of the event loop; then
// all of them leaving (218) the same way; and the join answer of a room of
// 100,000 members in one message: the window's thread's processor time and,
// in a pass of its own, the longest stall with the thread's own share.
//
//   bench_rooms [runs] [join|end|lists|names|joins]  (the second: only those figures)
//
// Resident memory grows only while the heap grows, so it is read on the
// first run of a process (after a small warm-up page has taken the fonts,
// icons and backing store); run the program once per figure for ranges.

#include "bench/BenchUtil.h"
#include "RoomsFixture.h"

#include "ui/chat/SortedRows.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

int const MEMBERS = bench::Size(5000, 200);
int const CHANGES = bench::Size(500, 20); // five seconds' worth at 100 a second
int const ROOMS = bench::Size(20000, 500);
int const BIG_ROOM = bench::Size(50000, 500);
int const LISTED = bench::Size(279000, 3000);
int const REFRESHES = bench::Size(4, 2);
int const PASSING = bench::Size(100000, 2000);
int const PASSING_ROUNDS = 3;
int const JOINERS_FEW = bench::Size(10000, 200);
int const JOINERS_MANY = bench::Size(40000, 800);
int const JOIN_ANSWER = bench::Size(100000, 2000);
char const* const s_countries[] = {"", "DE", "US", "fr", "BR", "jp"};

struct Program : RoomsFixture
{
    using RoomsFixture::mp_page;
    using RoomsFixture::mp_server;

    explicit Program(bool i_page)
    {
        if (i_page) {
            StartPage();
            mp_page->resize(1000, 600);
            return;
        }
        StartManagers();
    }
    ~Program() { StopPage(); }

    RoomForm* Room() const
    {
        return mp_page ? qobject_cast<RoomForm*>(mp_page->Form()->roomsTabControl->widget(0)) : nullptr;
    }
    // The link has applied all it was given, and the lists have settled.
    bool Settled() const
    {
        if (mp_server->IsApplying())
            return false;
        if (!mp_page)
            return true;
        RoomForm const* lp_room = Room();
        return mp_page->RoomOrder()->IsSettled() && (!lp_room || lp_room->MemberOrder()->IsSettled());
    }
    // One message, and the event loop until all has settled; the longest
    // stall in seconds.
    double Apply(ServerMessage const& i_message)
    {
        bench::StallProbe l_probe;
        mp_server->Apply(i_message);
        return l_probe.RunUntil([this]() { return Settled(); }) / 1e3;
    }
};

ServerIn::Member Member(QString const& i_name, int i_k)
{
    ServerIn::Member l_member;
    l_member.m_name = i_name;
    l_member.m_details.m_status = STATUS_ONLINE;
    l_member.m_details.m_stats.m_averageSpeed = quint32((qint64(i_k) * 7919) % 500000);
    l_member.m_details.m_stats.m_fileCount = quint32((qint64(i_k) * 104729) % 60000);
    l_member.m_details.m_country = QString::fromLatin1(s_countries[i_k % 6]);
    return l_member;
}

ServerIn::RoomJoined BigRoom(int i_members = MEMBERS)
{
    ServerIn::RoomJoined l_join;
    l_join.m_room = QStringLiteral("big room");
    for (int l_k = 0; l_k < i_members; ++l_k)
        l_join.m_members.push_back(Member(QStringLiteral("member%1").arg(l_k), l_k));
    return l_join;
}

ServerIn::RoomList RoomList()
{
    ServerIn::RoomList l_list;
    for (int l_k = 0; l_k < ROOMS; ++l_k)
        l_list.m_public.push_back({QStringLiteral("room %1").arg((l_k * 7919) % ROOMS), quint32(l_k % 300)});
    return l_list;
}

struct Figures
{
    double m_joinBaseline = 0, m_join = 0, m_joinStall = 0;
    long m_joinMemory = 0;
    double m_changesBaseline = 0, m_changes = 0, m_changesStall = 0;
    double m_listBaseline = 0, m_list = 0, m_listStall = 0;
    long m_listMemory = 0;
};

// Joins of new users and leaves of members, alternately, one every 10 ms
// from a timer, as a busy room's messages arrive: the processor share of
// 100 of them a second (the thread's processor time over the wall time), or,
// with i_probe, the longest stall in seconds.
double Changes(Program& io_program, bool i_probe)
{
    static int s_round = 0;
    int const l_round = s_round++;
    std::unique_ptr<bench::StallProbe> lp_probe;
    if (i_probe)
        lp_probe = std::make_unique<bench::StallProbe>();
    QEventLoop l_loop;
    QTimer l_arrivals;
    l_arrivals.setTimerType(Qt::PreciseTimer);
    int l_k = 0;
    QObject::connect(&l_arrivals, &QTimer::timeout, [&]() {
        // Each round its own guests and leavers.
        int const l_user = l_round % (MEMBERS / CHANGES) * CHANGES + l_k;
        if (l_k % 2 == 0)
            io_program.mp_server->Apply(ServerIn::UserJoinedRoom{QStringLiteral("big room"),
                                                                 Member(QStringLiteral("guest%1").arg(l_user), l_user)});
        else
            io_program.mp_server->Apply(
                ServerIn::UserLeftRoom{QStringLiteral("big room"), QStringLiteral("member%1").arg(l_user)});
        if (++l_k == CHANGES) {
            l_arrivals.stop();
            l_loop.quit();
        }
    });
    QElapsedTimer l_wall;
    l_wall.start();
    std::int64_t const l_start = bench::ThreadCpuNs();
    l_arrivals.start(1000 / 100);
    l_loop.exec();
    QTest::qWait(SortedRows::BATCH_MS * 2);
    double const l_share = (bench::ThreadCpuNs() - l_start) / double(l_wall.nsecsElapsed());
    if (!lp_probe)
        return l_share;
    return lp_probe->RunUntil([&io_program]() { return io_program.Settled(); }) / 1e3;
}

// The time from the message to settled lists; o_stall: the longest stall.
double Timed(Program& io_program, ServerMessage const& i_message, double* op_stall = nullptr)
{
    QElapsedTimer l_clock;
    l_clock.start();
    double const l_stall = io_program.Apply(i_message);
    if (op_stall)
        *op_stall = l_stall;
    return l_clock.nsecsElapsed() / 1e9;
}

Figures Measure()
{
    Figures l_f;
    ServerMessage const l_join = BigRoom();
    ServerMessage const l_list = RoomList();
    {
        Program l_page(true);
        long const l_before = bench::ResidentKiB();
        l_f.m_join = Timed(l_page, l_join, &l_f.m_joinStall);
        l_f.m_joinMemory = bench::ResidentKiB() - l_before;
        RoomForm* lp_room = l_page.Room();
        bench::Require(lp_room && lp_room->Form()->userList->topLevelItemCount() == MEMBERS,
                       "the member list was not built");
        l_f.m_changes = Changes(l_page, false);
        l_f.m_changesStall = Changes(l_page, true);
        bench::Require(lp_room->Form()->userList->topLevelItemCount() == MEMBERS,
                       "the member list did not follow the joins and leaves");
        SetSetting("accept_room_list", QStringLiteral("yes"));
        long const l_beforeList = bench::ResidentKiB();
        l_f.m_list = Timed(l_page, l_list, &l_f.m_listStall);
        l_f.m_listMemory = bench::ResidentKiB() - l_beforeList;
        bench::Require(l_page.mp_page->Form()->roomList->topLevelItemCount() == ROOMS + 1,
                       "the room list does not hold every room");
    }
    Program l_plain(false);
    l_f.m_joinBaseline = Timed(l_plain, l_join);
    l_f.m_changesBaseline = Changes(l_plain, false);
    SetSetting("accept_room_list", QStringLiteral("yes"));
    l_f.m_listBaseline = Timed(l_plain, l_list);
    return l_f;
}

// The thread's own share of the longest stall of the last Until with the
// probe, in milliseconds.
double s_ownStall = 0;

// Runs the event loop from i_start until i_done: with i_probe the longest
// stall, otherwise the window's thread's processor time, in milliseconds.
double Until(bool i_probe, std::function<void()> const& i_start, std::function<bool()> const& i_done)
{
    if (i_probe) {
        bench::StallProbe l_probe;
        i_start();
        double const l_stall = l_probe.RunUntil(i_done);
        s_ownStall = l_probe.LongestCpuMs();
        return l_stall;
    }
    std::int64_t const l_start = bench::ThreadCpuNs();
    i_start();
    while (!i_done()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return (bench::ThreadCpuNs() - l_start) / 1e6;
}

struct EndFigures
{
    // [0]: processor time, [1]: longest stall, [2]: the thread's own
    // longest stretch.
    double m_close[3] = {}, m_answer[3] = {}, m_out[3] = {};
};

// The room of 50,000, its tab closed (offline: the page marks the room left
// itself), then the server's answer that unlinks the members; joined again,
// and the server taking us out.
EndFigures MeasureEnds()
{
    EndFigures l_f;
    ServerMessage const l_join = BigRoom(BIG_ROOM);
    ServerMessage const l_left = ServerIn::RoomLeft{QStringLiteral("big room")};
    for (int l_probe = 0; l_probe < 2; ++l_probe) {
        Program l_page(true);
        Item const l_room = d["room"]->GetItem(Value(QStringLiteral("big room")));
        auto const l_gone = [&l_page, l_room]() {
            return RowsAwaitingDeletion() == 0 && l_room.CountItems("user") == 0 && l_page.Settled();
        };
        l_page.Apply(l_join);
        bench::Require(l_page.Room() && l_page.Room()->Form()->userList->topLevelItemCount() == BIG_ROOM,
                       "the member list was not built");
        l_f.m_close[l_probe] =
            Until(l_probe, [&l_page]() { l_page.mp_page->OnRoomTabClosed(0); },
                  [&l_page]() { return RowsAwaitingDeletion() == 0 && l_page.Settled(); });
        l_f.m_close[2] = s_ownStall;
        bench::Require(!l_page.Room(), "the room's page did not go");
        l_f.m_answer[l_probe] = Until(l_probe, [&l_page, &l_left]() { l_page.mp_server->Apply(l_left); }, l_gone);
        l_f.m_answer[2] = s_ownStall;
        l_page.Apply(l_join);
        bench::Require(l_page.Room() != nullptr, "the room was not joined again");
        l_f.m_out[l_probe] = Until(l_probe, [&l_page, &l_left]() { l_page.mp_server->Apply(l_left); }, l_gone);
        l_f.m_out[2] = s_ownStall;
        bench::Require(!l_page.Room(), "the room's page did not go");
    }
    return l_f;
}

struct ListFigures
{
    std::vector<double> m_cpu, m_stall, m_own;
    std::vector<int> m_rows;
    std::vector<long> m_memory;
};

// REFRESHES room lists of LISTED rooms each, every one naming other rooms.
ListFigures MeasureLists()
{
    ListFigures l_f;
    for (int l_probe = 0; l_probe < 2; ++l_probe) {
        Program l_page(true);
        bench::ResetPeak();
        long const l_before = bench::ResidentKiB();
        for (int l_refresh = 0; l_refresh < REFRESHES; ++l_refresh) {
            ServerIn::RoomList l_list;
            for (int l_k = 0; l_k < LISTED; ++l_k)
                l_list.m_public.push_back({QStringLiteral("list %1 room %2").arg(l_refresh).arg(l_k), quint32(l_k % 300)});
            ServerMessage const l_message = l_list;
            SetSetting("accept_room_list", QStringLiteral("yes"));
            double const l_figure = Until(l_probe, [&l_page, &l_message]() { l_page.mp_server->Apply(l_message); },
                                          [&l_page]() { return l_page.Settled(); });
            if (l_probe) {
                l_f.m_stall.push_back(l_figure);
                l_f.m_own.push_back(s_ownStall);
                l_f.m_rows.push_back(l_page.mp_page->Form()->roomList->topLevelItemCount());
                bench::Drain();
                malloc_trim(0);
                l_f.m_memory.push_back(bench::ResidentKiB() - l_before);
            } else {
                l_f.m_cpu.push_back(l_figure);
            }
        }
        bench::Require(std::size_t(l_page.mp_page->Form()->roomList->topLevelItemCount()) <=
                           std::min<std::size_t>(std::size_t(LISTED), Server::MAX_LISTED_ROOMS),
                       "the room list holds more than its bound");
    }
    return l_f;
}

struct NamesRound
{
    double m_tickersCpu = 0, m_passingCpu = 0, m_stall = 0;
    std::size_t m_users = 0;
    long m_memory = 0;
};

// Tickers of PASSING new names, then PASSING other new names each joining
// and leaving, PASSING_ROUNDS times, a collection after each round.
std::vector<NamesRound> MeasureNames()
{
    std::vector<NamesRound> l_rounds;
    Program l_page(true);
    QString const l_room = QStringLiteral("big room");
    l_page.Apply(BigRoom(10));
    bench::Require(l_page.Room() != nullptr, "the room was not joined");
    d.RemoveDisconnectedItems();
    bench::Drain();
    long const l_before = bench::ResidentKiB();
    static int s_process = 0;
    int const l_process = s_process++;
    for (int l_round = 0; l_round < PASSING_ROUNDS; ++l_round) {
        NamesRound l_f;
        QString const l_prefix = QStringLiteral("p%1r%2 ").arg(l_process).arg(l_round);
        // A turn of the event loop every hundred messages, as frames arrive.
        auto const l_feed = [&](int i_count, std::function<void(int)> const& i_apply) {
            bench::StallProbe l_probe;
            std::int64_t const l_start = bench::ThreadCpuNs();
            for (int l_k = 0; l_k < i_count; ++l_k) {
                i_apply(l_k);
                if (l_k % 100 == 99)
                    QCoreApplication::processEvents();
            }
            l_f.m_stall = std::max(l_f.m_stall, l_probe.RunUntil([&l_page]() { return l_page.Settled(); }));
            return (bench::ThreadCpuNs() - l_start) / 1e9;
        };
        l_f.m_tickersCpu = l_feed(PASSING, [&](int i_k) {
            l_page.mp_server->Apply(ServerIn::RoomTickerSet{l_room, l_prefix + QString::number(i_k),
                                                            QStringLiteral("a ticker")});
        });
        l_f.m_passingCpu = l_feed(2 * PASSING, [&](int i_k) {
            QString const l_name = l_prefix + QStringLiteral("guest ") + QString::number(i_k / 2);
            if (i_k % 2 == 0)
                l_page.mp_server->Apply(ServerIn::UserJoinedRoom{l_room, Member(l_name, i_k)});
            else
                l_page.mp_server->Apply(ServerIn::UserLeftRoom{l_room, l_name});
        });
        d.RemoveDisconnectedItems();
        bench::Drain();
        l_f.m_users = d["user"]->GetItemCount();
        l_f.m_memory = bench::ResidentKiB() - l_before;
        l_rounds.push_back(l_f);
    }
    return l_rounds;
}

struct JoinsFigures
{
    // [0]: processor ms, [1]: longest stall ms, [2]: the thread's own
    // longest stretch ms.
    double m_joins[3] = {}, m_leaves[3] = {};
};

// i_users new users joining the open room one by one, then leaving, each
// all arriving at once: the link applies what it has read for a slice of
// the window's time (Server::ReadFrames), then lets the loop turn.
JoinsFigures MeasureJoins(int i_users)
{
    JoinsFigures l_f;
    QString const l_room = QStringLiteral("big room");
    std::vector<ServerMessage> l_joins, l_leaves;
    for (int l_k = 0; l_k < i_users; ++l_k) {
        QString const l_name = QStringLiteral("joiner%1").arg(l_k);
        l_joins.push_back(ServerIn::UserJoinedRoom{l_room, Member(l_name, l_k)});
        l_leaves.push_back(ServerIn::UserLeftRoom{l_room, l_name});
    }
    for (int l_probe = 0; l_probe < 2; ++l_probe) {
        Program l_page(true);
        l_page.Apply(BigRoom(1));
        RoomForm const* lp_room = l_page.Room();
        bench::Require(lp_room != nullptr, "the room was not joined");
        for (auto const& l_shape : {std::make_pair(&l_joins, l_f.m_joins), std::make_pair(&l_leaves, l_f.m_leaves)}) {
            std::vector<ServerMessage> const& l_messages = *l_shape.first;
            std::size_t l_next = 0;
            QTimer l_reads;
            l_reads.setInterval(0);
            QObject::connect(&l_reads, &QTimer::timeout, [&]() {
                QElapsedTimer l_slice;
                l_slice.start();
                while (l_next < l_messages.size() && l_slice.elapsed() < SlicedWork::SIDE_BY_SIDE_MS)
                    l_page.mp_server->Apply(l_messages[l_next++]);
                if (l_next == l_messages.size())
                    l_reads.stop();
            });
            double const l_start = bench::MonotonicSeconds();
            l_shape.second[l_probe] = Until(
                l_probe, [&l_reads]() { l_reads.start(); },
                [&]() { return l_next == l_messages.size() && l_page.Settled(); });
            bench::Trace(l_shape.first == &l_joins ? "joins" : "leaves", l_start);
            if (l_probe)
                l_shape.second[2] = s_ownStall;
        }
        bench::Require(lp_room->Form()->userList->topLevelItemCount() == 1,
                       "the member list did not follow the joins and leaves");
    }
    return l_f;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication l_app(argc, argv);
    int const l_runs = argc > 1 ? std::max(1, atoi(argv[1])) : bench::Size(3, 1);
    std::printf("a room of %d members, %d joins and leaves, a list of %d rooms; %d runs; warm cache (all in memory)\n",
                MEMBERS, CHANGES, ROOMS, l_runs);
    {
        // The first page of a process allocates what every later one reuses.
        Program l_warmUp(true);
        ServerIn::RoomJoined l_small;
        l_small.m_room = QStringLiteral("warm-up");
        l_small.m_members.push_back(Member(QStringLiteral("someone"), 1));
        l_warmUp.Apply(l_small);
    }
    QString const l_only = argc > 2 ? QString(argv[2]) : QString();
    if (l_only.isEmpty() || l_only == "end") {
        std::printf("a room of %d members ended, window's thread (processor ms / longest stall ms (its own "
                    "longest stretch ms))\n",
                    BIG_ROOM);
        std::printf("  tab closed | the server's answer | taken out by the server\n");
        for (int l_run = 0; l_run < l_runs; ++l_run) {
            EndFigures const l_f = MeasureEnds();
            std::printf("  %5.0f / %5.1f (%5.1f) | %5.0f / %5.1f (%5.1f) | %5.0f / %5.1f (%5.1f)\n", l_f.m_close[0],
                        l_f.m_close[1], l_f.m_close[2], l_f.m_answer[0], l_f.m_answer[1], l_f.m_answer[2],
                        l_f.m_out[0], l_f.m_out[1], l_f.m_out[2]);
            std::fflush(stdout);
        }
    }
    if (l_only.isEmpty() || l_only == "lists") {
        std::printf("%d room lists of %d rooms, each naming other rooms (processor s / longest stall ms (its own "
                    "longest stretch ms) / rows / resident KiB since the first)\n",
                    REFRESHES, LISTED);
        for (int l_run = 0; l_run < l_runs; ++l_run) {
            ListFigures const l_f = MeasureLists();
            for (std::size_t l_refresh = 0; l_refresh < std::size_t(REFRESHES); ++l_refresh)
                std::printf("  list %d: %6.2f s / %6.1f ms (%5.1f) / %7d rows / %8ld KiB\n", int(l_refresh) + 1,
                            l_f.m_cpu[l_refresh] / 1e3, l_f.m_stall[l_refresh], l_f.m_own[l_refresh],
                            l_f.m_rows[l_refresh], l_f.m_memory[l_refresh]);
            std::fflush(stdout);
        }
    }
    if (l_only == "names") {
        std::printf("%d rounds: tickers of %d new names, then %d new names joining and leaving, a collection "
                    "(processor s: tickers | joins and leaves / longest stall ms / users kept / resident KiB since "
                    "the first)\n",
                    PASSING_ROUNDS, PASSING, PASSING);
        for (int l_run = 0; l_run < l_runs; ++l_run)
            for (NamesRound const& l_f : MeasureNames())
                std::printf("  %6.2f | %6.2f s / %6.1f ms / %7zu users / %8ld KiB\n", l_f.m_tickersCpu,
                            l_f.m_passingCpu, l_f.m_stall, l_f.m_users, l_f.m_memory);
        return 0;
    }
    if (l_only.isEmpty() || l_only == "joins") {
        std::printf("users joining an open room one by one, then leaving, window's thread (processor ms / longest "
                    "stall ms (its own longest stretch ms)); a join answer of %d members (processor ms / longest "
                    "stall ms (its own))\n",
                    JOIN_ANSWER);
        for (int l_run = 0; l_run < l_runs; ++l_run) {
            JoinsFigures const l_few = MeasureJoins(JOINERS_FEW);
            JoinsFigures const l_many = MeasureJoins(JOINERS_MANY);
            double l_answer[3] = {};
            for (int l_probe = 0; l_probe < 2; ++l_probe) {
                Program l_page(true);
                ServerMessage const l_join = BigRoom(JOIN_ANSWER);
                l_answer[l_probe] = Until(l_probe, [&l_page, &l_join]() { l_page.mp_server->Apply(l_join); },
                                          [&l_page]() { return l_page.Settled(); });
                if (l_probe)
                    l_answer[2] = s_ownStall;
                bench::Require(l_page.Room() && l_page.Room()->Form()->userList->topLevelItemCount() == JOIN_ANSWER,
                               "the member list was not built");
            }
            std::printf("  %d joins: %6.0f / %5.1f (%5.1f) | leaves: %6.0f / %5.1f (%5.1f) || %d joins: %6.0f / %5.1f "
                        "(%5.1f) | leaves: %6.0f / %5.1f (%5.1f) || %d over %d: joins %.1f, leaves %.1f || answer: "
                        "%6.0f / %5.1f (%5.1f)\n",
                        JOINERS_FEW, l_few.m_joins[0], l_few.m_joins[1], l_few.m_joins[2], l_few.m_leaves[0],
                        l_few.m_leaves[1], l_few.m_leaves[2], JOINERS_MANY, l_many.m_joins[0], l_many.m_joins[1],
                        l_many.m_joins[2], l_many.m_leaves[0], l_many.m_leaves[1], l_many.m_leaves[2], JOINERS_MANY,
                        JOINERS_FEW, l_many.m_joins[0] / l_few.m_joins[0], l_many.m_leaves[0] / l_few.m_leaves[0],
                        l_answer[0], l_answer[1], l_answer[2]);
            std::fflush(stdout);
        }
    }
    if (!l_only.isEmpty() && l_only != "join")
        return 0;
    std::printf("  join s: without page | with page | stall ms | page KiB | 100 joins+leaves/s, core %%: without | "
                "with | stall ms | list s: without | with | stall ms | list KiB\n");
    for (int l_run = 0; l_run < l_runs; ++l_run) {
        Figures const l_f = Measure();
        QString const l_joinMemory = l_run == 0 ? QString::number(l_f.m_joinMemory) : QStringLiteral("-");
        QString const l_listMemory = l_run == 0 ? QString::number(l_f.m_listMemory) : QStringLiteral("-");
        std::printf("  %20.3f | %9.3f | %8.1f | %8s | %41.1f | %4.1f | %8.1f | %16.3f | %4.3f | %8.1f | %8s\n",
                    l_f.m_joinBaseline, l_f.m_join, 1e3 * l_f.m_joinStall, qPrintable(l_joinMemory),
                    100.0 * l_f.m_changesBaseline, 100.0 * l_f.m_changes, 1e3 * l_f.m_changesStall,
                    l_f.m_listBaseline, l_f.m_list, 1e3 * l_f.m_listStall, qPrintable(l_listMemory));
    }
    return 0;
}
