// Figures of what long names from others cost the window, through the entry
// points the program uses, with the pages shown offscreen so that layout and
// painting count:
//
// - private messages from new senders (ChatsForm::AddIncomingChat, which the
//   window calls for each one), each opening a tab: 250 senders whose names
//   are 2,000 characters of mixed scripts with marks, one a turn of the
//   event loop, each 50 timed; then, 50 of those tabs closed, 40 senders of
//   30 characters; the control is 250 senders of short names;
// - rooms joined (the server link's Apply of each join answer, which opens
//   its tab): 20 rooms whose names are 3,300 characters, then 20 of short
//   names;
// - 1,000 users joining a room (message 217) whose names are 4,400
//   characters, then 1,000 of short names; the control is the short joins
//   alone.
//
// Each figure is the window's thread's processor time in milliseconds and
// the longest stall (the longest stretch without a turn of the event loop,
// bench::StallProbe); the probe spins the loop, so every shape runs twice,
// once for each.
//
//   bench_names [runs] [private|rooms|members]  (the second: only those)

#include "bench/BenchUtil.h"
#include "RoomsFixture.h"

#include "ui/chat/ChatsForm.h"
#include "ui_ChatsForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

int const SENDERS = bench::Size(250, 10);
int const SENDERS_BATCH = bench::Size(50, 5);
int const CLOSED = bench::Size(50, 2);
int const SHORT_SENDERS = bench::Size(40, 4);
int const ROOMS = bench::Size(20, 3);
int const JOINS = bench::Size(1000, 50);

// Letters of several scripts, each with a mark or two, and a character
// beyond the basic plane; i_seed makes each name its own from the start.
QString MixedName(int i_seed, int i_length)
{
    static char32_t const s_pieces[][3] = {
        {U'a', 0x0301, 0}, {0x05D0, 0x05B8, 0},   {0x0639, 0x064E, 0x0651}, {0x0915, 0x093F, 0},
        {0x0E01, 0x0E49, 0}, {0x6F22, 0, 0}, {0x1F600, 0, 0}, {U'z', 0x0308, 0x0323}, {0x0430, 0x0306, 0}};
    QString l_name = QStringLiteral("%1 ").arg(i_seed);
    for (int l_k = i_seed; l_name.size() < i_length; ++l_k)
        for (char32_t const l_code : s_pieces[l_k % 9])
            if (l_code != 0)
                l_name += QString::fromUcs4(&l_code, 1);
    return l_name.left(i_length);
}

struct Program : RoomsFixture
{
    using RoomsFixture::mp_page;
    using RoomsFixture::mp_server;
    using RoomsFixture::Tabs;

    Program()
    {
        StartPage();
        mp_page->resize(1000, 600);
        mp_chats = std::make_unique<ChatsForm>();
        mp_chats->Init();
        mp_chats->resize(1000, 600);
        mp_chats->show();
        QCoreApplication::processEvents();
    }
    ~Program()
    {
        mp_chats.reset();
        StopPage();
    }

    bool Settled() const
    {
        if (mp_server->IsApplying() || !mp_page->RoomOrder()->IsSettled())
            return false;
        for (int l_index = 0; l_index < Tabs()->count(); ++l_index)
            if (RoomForm* lp_room = qobject_cast<RoomForm*>(Tabs()->widget(l_index)))
                if (!lp_room->MemberOrder()->IsSettled())
                    return false;
        return true;
    }

    std::unique_ptr<ChatsForm> mp_chats;
};

struct Figure
{
    double m_cpu = 0, m_stall = 0;
};

// Runs i_steps one a turn of the event loop (each returns whether there is
// more), then the loop until the program has settled: the thread's
// processor time without the probe, or the longest stall with it.
double Run(Program& io_program, std::function<bool()> const& i_step, bool i_probe)
{
    bool l_more = true;
    QTimer l_steps;
    l_steps.setInterval(0);
    QObject::connect(&l_steps, &QTimer::timeout, [&]() {
        l_more = i_step();
        if (!l_more)
            l_steps.stop();
    });
    auto const l_done = [&]() { return !l_more && io_program.Settled(); };
    if (i_probe) {
        bench::StallProbe l_probe;
        l_steps.start();
        return l_probe.RunUntil(l_done);
    }
    std::int64_t const l_start = bench::ThreadCpuNs();
    l_steps.start();
    while (!l_done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
    return (bench::ThreadCpuNs() - l_start) / 1e6;
}

// The shape's figures: i_shape(program, probe, figures) runs it once in a
// fresh program each way, filling [cpu or stall] of each figure.
std::vector<Figure> Twice(int i_figures, std::function<void(Program&, bool, std::vector<double>&)> const& i_shape)
{
    std::vector<Figure> l_figures(static_cast<std::size_t>(i_figures));
    for (int l_probe = 0; l_probe < 2; ++l_probe) {
        Program l_program;
        std::vector<double> l_values;
        i_shape(l_program, l_probe != 0, l_values);
        for (std::size_t l_k = 0; l_k < l_values.size() && l_k < l_figures.size(); ++l_k)
            (l_probe ? l_figures[l_k].m_stall : l_figures[l_k].m_cpu) = l_values[l_k];
    }
    return l_figures;
}

// Senders i_from.. of names of i_length, each a tab.
double Senders(Program& io_program, bool i_probe, int i_from, int i_count, int i_length)
{
    QStringList l_names;
    for (int l_k = i_from; l_k < i_from + i_count; ++l_k)
        l_names << MixedName(l_k, i_length);
    int l_next = 0;
    return Run(
        io_program,
        [&]() {
            io_program.mp_chats->AddIncomingChat(l_names[l_next], QStringLiteral("hello"));
            return ++l_next < l_names.size();
        },
        i_probe);
}

void PrivateShape(Program& io_program, bool i_probe, std::vector<double>& o_values, int i_length)
{
    QTabWidget* lp_tabs = io_program.mp_chats->Form()->chatTabControl;
    for (int l_from = 0; l_from < SENDERS; l_from += SENDERS_BATCH)
        o_values.push_back(Senders(io_program, i_probe, l_from, SENDERS_BATCH, i_length));
    bench::Require(lp_tabs->count() == SENDERS, "a sender's tab is missing");
    if (i_length <= 30)
        return;
    for (int l_closed = 0; l_closed < CLOSED; ++l_closed)
        io_program.mp_chats->OnChatTabClosed(0);
    QCoreApplication::processEvents();
    o_values.push_back(Senders(io_program, i_probe, 100000, SHORT_SENDERS, 30));
    bench::Require(lp_tabs->count() == SENDERS - CLOSED + SHORT_SENDERS, "a short sender's tab is missing");
}

// Rooms i_from.. of names of i_length joined, a join answer a turn.
double Rooms(Program& io_program, bool i_probe, int i_from, int i_length)
{
    std::vector<ServerMessage> l_joins;
    for (int l_k = i_from; l_k < i_from + ROOMS; ++l_k) {
        ServerIn::RoomJoined l_join;
        l_join.m_room = MixedName(l_k, i_length);
        ServerIn::Member l_member;
        l_member.m_name = QStringLiteral("member");
        l_member.m_details.m_status = STATUS_ONLINE;
        l_join.m_members.push_back(l_member);
        l_joins.push_back(l_join);
    }
    std::size_t l_next = 0;
    return Run(
        io_program,
        [&]() {
            io_program.mp_server->Apply(l_joins[l_next]);
            return ++l_next < l_joins.size();
        },
        i_probe);
}

// JOINS users of names of i_length joining the room, arriving at once: the
// link applies what it has read for a slice of the window's time
// (Server::ReadFrames), then lets the loop turn.
double Joins(Program& io_program, bool i_probe, int i_from, int i_length)
{
    std::vector<ServerMessage> l_joins;
    for (int l_k = i_from; l_k < i_from + JOINS; ++l_k) {
        ServerIn::Member l_member;
        l_member.m_name = MixedName(l_k, i_length);
        l_member.m_details.m_status = STATUS_ONLINE;
        l_member.m_details.m_country = QStringLiteral("DE");
        l_joins.push_back(ServerIn::UserJoinedRoom{QStringLiteral("room"), l_member});
    }
    std::size_t l_next = 0;
    return Run(
        io_program,
        [&]() {
            QElapsedTimer l_slice;
            l_slice.start();
            while (l_next < l_joins.size() && l_slice.elapsed() < SlicedWork::SIDE_BY_SIDE_MS)
                io_program.mp_server->Apply(l_joins[l_next++]);
            return l_next < l_joins.size();
        },
        i_probe);
}

void JoinRoom(Program& io_program)
{
    ServerIn::RoomJoined l_join;
    l_join.m_room = QStringLiteral("room");
    Run(
        io_program,
        [&]() {
            io_program.mp_server->Apply(l_join);
            return false;
        },
        false);
}

} // namespace

int main(int argc, char** argv)
{
    bench::UseOffscreenPlatform();
    QApplication l_app(argc, argv);
    int const l_runs = bench::RunsArgument(argc, argv, bench::Size(3, 1));
    QString const l_only = argc > 2 ? QString(argv[2]) : QString();
    std::printf("long names from others; window's thread: processor ms / longest stall ms; %d runs\n", l_runs);
    for (int l_run = 0; l_run < l_runs; ++l_run) {
        if (l_only.isEmpty() || l_only == "private") {
            for (int const l_length : {2000, 30, 8}) {
                std::vector<Figure> const l_f = Twice(SENDERS / SENDERS_BATCH + 1, [l_length](Program& io_p, bool i_probe, std::vector<double>& o_v) {
                    PrivateShape(io_p, i_probe, o_v, l_length);
                });
                std::printf("  private tabs, names of %d: each %d new", l_length, SENDERS_BATCH);
                for (int l_k = 0; l_k < SENDERS / SENDERS_BATCH; ++l_k)
                    std::printf(" | %.0f / %.1f", l_f[l_k].m_cpu, l_f[l_k].m_stall);
                if (l_length > 30)
                    std::printf(" || %d of 30 after: %.0f / %.1f", SHORT_SENDERS, l_f.back().m_cpu, l_f.back().m_stall);
                std::printf("\n");
                std::fflush(stdout);
            }
        }
        if (l_only.isEmpty() || l_only == "rooms") {
            std::vector<Figure> const l_f = Twice(2, [](Program& io_p, bool i_probe, std::vector<double>& o_v) {
                o_v.push_back(Rooms(io_p, i_probe, 0, 3300));
                o_v.push_back(Rooms(io_p, i_probe, 1000, 12));
                bench::Require(io_p.Tabs()->count() == 2 * ROOMS, "a room's tab is missing");
            });
            std::printf("  %d rooms of 3,300: %.0f / %.1f | %d rooms of 12 after: %.0f / %.1f\n", ROOMS, l_f[0].m_cpu,
                        l_f[0].m_stall, ROOMS, l_f[1].m_cpu, l_f[1].m_stall);
            std::fflush(stdout);
        }
        if (l_only.isEmpty() || l_only == "members") {
            std::vector<Figure> const l_f = Twice(2, [](Program& io_p, bool i_probe, std::vector<double>& o_v) {
                JoinRoom(io_p);
                o_v.push_back(Joins(io_p, i_probe, 0, 4400));
                o_v.push_back(Joins(io_p, i_probe, JOINS, 12));
            });
            std::vector<Figure> const l_control = Twice(1, [](Program& io_p, bool i_probe, std::vector<double>& o_v) {
                JoinRoom(io_p);
                o_v.push_back(Joins(io_p, i_probe, JOINS, 12));
            });
            std::printf("  %d joins of 4,400: %.0f / %.1f | %d of 12 after: %.0f / %.1f | control, %d of 12 alone: "
                        "%.0f / %.1f\n",
                        JOINS, l_f[0].m_cpu, l_f[0].m_stall, JOINS, l_f[1].m_cpu, l_f[1].m_stall, JOINS,
                        l_control[0].m_cpu, l_control[0].m_stall);
            std::fflush(stdout);
        }
    }
    return 0;
}
