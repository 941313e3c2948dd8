// Figures of the Rooms page through the entry point the program uses, the
// server link's Apply of each decoded message: the join answer of a room of
// 5,000 members (the room page and its member list built), joins and leaves
// of that room at 100 a second, and a room list of 20,000 rooms. The page is
// shown (offscreen) and the event loop runs after each message, so painting
// and the lists' deferred placing are counted. The baseline is the same
// messages without the page: the server link's own store work.
//
//   bench_rooms [runs]
//
// Resident memory grows only while the heap grows, so it is read on the
// first run of a process (after a small warm-up page has taken the fonts,
// icons and backing store); run the program once per figure for ranges.

#include "bench/BenchUtil.h"
#include "RoomsFixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

namespace {

int const MEMBERS = bench::Size(5000, 200);
int const CHANGES = bench::Size(500, 20); // five seconds' worth at 100 a second
int const ROOMS = bench::Size(20000, 500);
char const* const s_countries[] = {"", "DE", "US", "fr", "BR", "jp"};

// The longest stretch the window's thread worked without a break: a message
// applied, or one pass of the event loop.
double g_longest = 0;

void Drain()
{
    for (int l_pass = 0; l_pass < 3; ++l_pass) {
        QElapsedTimer l_passClock;
        l_passClock.start();
        QCoreApplication::processEvents();
        g_longest = std::max(g_longest, l_passClock.nsecsElapsed() / 1e9);
    }
}

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

    // One message, and the event loop until the lists have settled.
    void Apply(ServerMessage const& i_message)
    {
        QElapsedTimer l_clock;
        l_clock.start();
        mp_server->Apply(i_message);
        g_longest = std::max(g_longest, l_clock.nsecsElapsed() / 1e9);
        Drain();
    }
};

ServerIn::Member Member(QString const& i_name, int i_k)
{
    ServerIn::Member l_member;
    l_member.m_name = i_name;
    l_member.m_details.m_status = STATUS_ONLINE;
    l_member.m_details.m_stats.m_averageSpeed = quint32((i_k * 7919) % 500000);
    l_member.m_details.m_stats.m_fileCount = quint32((i_k * 104729) % 60000);
    l_member.m_details.m_country = QString::fromLatin1(s_countries[i_k % 6]);
    return l_member;
}

ServerIn::RoomJoined BigRoom()
{
    ServerIn::RoomJoined l_join;
    l_join.m_room = QStringLiteral("big room");
    for (int l_k = 0; l_k < MEMBERS; ++l_k)
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
    double m_joinBaseline = 0, m_join = 0, m_joinStep = 0;
    long m_joinMemory = 0;
    double m_changesBaseline = 0, m_changes = 0;
    double m_listBaseline = 0, m_list = 0, m_listStep = 0;
    long m_listMemory = 0;
};

// Joins of new users and leaves of members, alternately, one every 10 ms
// from a timer, as a busy room's messages arrive: the processor share of
// 100 of them a second (the thread's processor time over the wall time).
double Changes(Program& io_program)
{
    QEventLoop l_loop;
    QTimer l_arrivals;
    l_arrivals.setTimerType(Qt::PreciseTimer);
    int l_k = 0;
    QObject::connect(&l_arrivals, &QTimer::timeout, [&]() {
        if (l_k % 2 == 0)
            io_program.mp_server->Apply(ServerIn::UserJoinedRoom{QStringLiteral("big room"),
                                                                 Member(QStringLiteral("guest%1").arg(l_k), l_k)});
        else
            io_program.mp_server->Apply(
                ServerIn::UserLeftRoom{QStringLiteral("big room"), QStringLiteral("member%1").arg(l_k)});
        if (++l_k == CHANGES)
            l_loop.quit();
    });
    QElapsedTimer l_wall;
    l_wall.start();
    std::int64_t const l_start = bench::ThreadCpuNs();
    l_arrivals.start(1000 / 100);
    l_loop.exec();
    Drain();
    QTest::qWait(SortedRows::BATCH_MS * 2);
    return (bench::ThreadCpuNs() - l_start) / double(l_wall.nsecsElapsed());
}

// The time from the message to settled lists; o_step: the longest stretch
// without a break in it.
double Timed(Program& io_program, ServerMessage const& i_message, double* op_step = nullptr)
{
    g_longest = 0;
    QElapsedTimer l_clock;
    l_clock.start();
    io_program.Apply(i_message);
    if (op_step)
        *op_step = g_longest;
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
        l_f.m_join = Timed(l_page, l_join, &l_f.m_joinStep);
        l_f.m_joinMemory = bench::ResidentKiB() - l_before;
        RoomForm* lp_room = qobject_cast<RoomForm*>(l_page.mp_page->Form()->roomsTabControl->widget(0));
        if (lp_room)
            lp_room->MemberOrder()->Flush();
        bench::Require(lp_room && lp_room->Form()->userList->topLevelItemCount() == MEMBERS,
                       "the member list was not built");
        l_f.m_changes = Changes(l_page);
        SetSetting("accept_room_list", QStringLiteral("yes"));
        long const l_beforeList = bench::ResidentKiB();
        l_f.m_list = Timed(l_page, l_list, &l_f.m_listStep);
        l_f.m_listMemory = bench::ResidentKiB() - l_beforeList;
        l_page.mp_page->RoomOrder()->Flush();
        bench::Require(l_page.mp_page->Form()->roomList->topLevelItemCount() == ROOMS + 1,
                       "the room list does not hold every room");
    }
    Program l_plain(false);
    l_f.m_joinBaseline = Timed(l_plain, l_join);
    l_f.m_changesBaseline = Changes(l_plain);
    SetSetting("accept_room_list", QStringLiteral("yes"));
    l_f.m_listBaseline = Timed(l_plain, l_list);
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
    std::printf("  join s: without page | with page (longest step) | page KiB | 100 joins+leaves/s, core %%: "
                "without | with | list s: without | with (longest step) | list KiB\n");
    for (int l_run = 0; l_run < l_runs; ++l_run) {
        Figures const l_f = Measure();
        QString const l_joinMemory = l_run == 0 ? QString::number(l_f.m_joinMemory) : QStringLiteral("-");
        QString const l_listMemory = l_run == 0 ? QString::number(l_f.m_listMemory) : QStringLiteral("-");
        std::printf("  %20.3f | %9.3f (%.3f) | %8s | %41.1f | %4.1f | %16.3f | %4.3f (%.3f) | %8s\n",
                    l_f.m_joinBaseline, l_f.m_join, l_f.m_joinStep, qPrintable(l_joinMemory),
                    100.0 * l_f.m_changesBaseline, 100.0 * l_f.m_changes, l_f.m_listBaseline, l_f.m_list,
                    l_f.m_listStep, qPrintable(l_listMemory));
    }
    return 0;
}
