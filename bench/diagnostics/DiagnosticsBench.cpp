// What the diagnostic log costs the window: the join answer of a room of
// 100,000 members applied by the whole program (MainWindow, started as the
// program starts it, logged in to nobody), once with "show_diagnostics"
// off, once on with the Rooms page in front and once on with the
// Diagnostics page in front. Each member coming online writes a line of the
// transfer queue's log ("User ... went online"), so the join is also a
// flood of 100,000 lines to the log file and the diagnostics window.
//
// Each figure is taken in a fresh process with a home of its own, from the
// message to the end of all it caused: the link has applied it, the
// member list has settled, the log's queue is written and the diagnostics
// window has shown what it was given (with its page and the transfer
// queue's tab in front: a tab out of view waits until it is shown). The
// window's thread's processor time, its longest stall (a 1 ms timer notes
// the turns of its event loop) with its longest piece of work (the most
// processor time it used between two turns, which the machine's load does
// not lengthen), the resident memory the join left and its peak, and the
// lines the log files hold.
//
// Then names that pass (names): in the same window with diagnostics on, in
// a room of ten, tickers set by 100,000 names new to us and 100,000 other
// new names each joining and leaving, three rounds, the collection after
// each as the window's five-minute one runs it: each round's processor
// time and longest stall, the users the store keeps and the resident
// memory from before the first round.
//
//   bench_diagnostics [runs] [names]
//
// The update check asks the network: run it without one ("unshare -n"), as
// the tests run. Quick mode: 2,000 members, one run.

#include "LoopWatch.h"
#include "app/MainWindow.h"
#include "bench/BenchUtil.h"
#include "server/Server.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/StoreCollector.h"
#include "store/windows/DiagnosticsForm.h"
#include "tests/app/SeededDataFile.h"
#include "ui/chat/RoomForm.h"
#include "ui/chat/SortedRows.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTabWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <vector>

namespace {

int const MEMBERS = bench::Size(100000, 2000);
char const* const MODES[] = {"off", "on", "shown"};
// Where the members coming online are logged.
QString const CATEGORY = QStringLiteral("Transfer Queue");

ServerIn::RoomJoined BigRoom()
{
    ServerIn::RoomJoined l_join;
    l_join.m_room = QStringLiteral("big room");
    for (int l_k = 0; l_k < MEMBERS; ++l_k) {
        ServerIn::Member l_member;
        l_member.m_name = QStringLiteral("member%1").arg(l_k);
        l_member.m_details.m_status = STATUS_ONLINE;
        l_member.m_details.m_stats.m_fileCount = quint32(l_k % 60000);
        l_join.m_members.push_back(l_member);
    }
    return l_join;
}

RoomForm* BigRoomPage(QWidget* ip_window)
{
    for (RoomForm* lp_page : ip_window->findChildren<RoomForm*>())
        if (lp_page->Room() == QLatin1String("big room"))
            return lp_page;
    return nullptr;
}

// The lines of a category's log files, the one renamed aside included.
long LoggedLines(QString const& i_category)
{
    long l_lines = 0;
    for (QString const& l_path : {LogFolder() + "/" + i_category + ".log", LogFolder() + "/" + i_category + ".log.1"}) {
        QFile l_file(l_path);
        if (l_file.open(QIODevice::ReadOnly))
            l_lines += l_file.readAll().count('\n');
    }
    return l_lines;
}

// Starts the whole window in a home of its own, as the program starts;
// with diagnostics on or off.
MainWindow* StartWindow(bool i_on, QTcpServer& io_server)
{
    SeedDataFile([i_on]() {
        SetSetting("username", QStringLiteral("bench"));
        SetSetting("password", QStringLiteral("bench"));
        SetSetting("listening_port", qint64(0));
        SetSetting("data_version", QStringLiteral("1"));
        SetSwitch("show_diagnostics", i_on);
    });
    // A server that takes the login and never answers it.
    bench::Require(io_server.listen(QHostAddress::LocalHost), "no port to listen on");
    MainWindow* const lp_window = new MainWindow;
    lp_window->SetServerAddress(QStringLiteral("127.0.0.1:%1").arg(io_server.serverPort()));
    lp_window->resize(1000, 700);
    lp_window->setVisible(true);
    lp_window->Init();
    return lp_window;
}

// Until the start's own work and lines are out of the way: the data file
// put back, the login at our server, the log's queue written. Each of these
// ends on an event, which wakes the wait.
void SettleStart(QTcpServer& io_server)
{
    int const l_limitMs = bench::LimitMs(WAIT_MS);
    QDeadlineTimer const l_deadline(l_limitMs);
    QTimer l_limit;
    l_limit.setSingleShot(true);
    l_limit.start(l_limitMs);
    auto const l_settled = [&io_server]() {
        return !dataSaver->IsLoading() && io_server.hasPendingConnections() && !gp_server->IsApplying() &&
               QueuedLogLines() == 0;
    };
    while (!l_settled() && !l_deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    bench::RequireEnded(l_settled(), "the start", l_limitMs);
}

// A child: the program in the home given, the join in the mode given;
// prints processor s, longest stall ms, its processor ms, resident KiB
// after, peak KiB, lines logged.
int Join(QString const& i_mode)
{
    bool const l_on = i_mode != "off";
    QTcpServer l_server;
    MainWindow* const lp_window = StartWindow(l_on, l_server);
    if (i_mode == "shown") {
        // The page in front, and on it the tab of the lines of the join.
        QTabWidget* lp_pages = lp_window->findChild<QTabWidget*>("tabControl");
        bench::Require(lp_pages && diagnosticsForm && lp_pages->indexOf(diagnosticsForm) >= 0,
                       "the Diagnostics page is not there");
        lp_pages->setCurrentWidget(diagnosticsForm);
        Log(CATEGORY, 1, QStringLiteral("the join follows"));
        // The line waits in the log's queue when the start's own lines used
        // up this turn's writing; its tab comes when it is written.
        QDeadlineTimer const l_deadline(bench::LimitMs(WAIT_MS));
        while (!diagnosticsForm->Categories().contains(CATEGORY) && !l_deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QTabWidget* lp_tabs = diagnosticsForm->findChild<QTabWidget*>();
        bench::Require(lp_tabs && diagnosticsForm->Categories().contains(CATEGORY), "the log's tab is not there");
        lp_tabs->setCurrentIndex(diagnosticsForm->Categories().indexOf(CATEGORY));
    }
    SettleStart(l_server);
    ServerMessage const l_join = BigRoom();
    bench::Drain();
    bench::ResetPeak();
    long const l_before = bench::ResidentKiB();

    LoopWatch l_watch;
    std::int64_t const l_cpu = bench::ThreadCpuNs();
    gp_server->Apply(l_join);
    bool const l_shown = i_mode == "shown";
    auto const l_done = [lp_window, l_shown]() {
        if (gp_server->IsApplying() || QueuedLogLines() > 0 || (l_shown && diagnosticsForm->PendingLines(CATEGORY) > 0))
            return false;
        RoomForm const* lp_page = BigRoomPage(lp_window);
        return lp_page && lp_page->MemberOrder()->IsSettled();
    };
    // Waits for the next event: with a time given, processEvents would spin.
    while (!l_done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    double const l_cpuS = (bench::ThreadCpuNs() - l_cpu) / 1e9;
    l_watch.Turn();
    long const l_after = bench::ResidentKiB() - l_before;
    long const l_peak = bench::ResidentKiB("VmHWM:") - l_before;
    bench::Require(BigRoomPage(lp_window)->MemberOrder()->IsSettled(), "the member list did not settle");
    long const l_lines = LoggedLines(CATEGORY);
    bench::Require(l_on || l_lines == 0, "lines were logged with diagnostics off");
    std::printf("%.3f %.1f %.1f %ld %ld %ld\n", l_cpuS, l_watch.LongestMs(), l_watch.LongestWorkMs(), l_after, l_peak,
                l_lines);
    std::fflush(stdout);
    std::_Exit(0); // tearing down the window is not what is measured
}

int const PASSING = bench::Size(100000, 2000);
int const PASSING_ROUNDS = 3;

// A child: names passing through a room of the whole window; prints, per
// round, processor s, longest stall ms, its processor ms, the longest
// stall of the collection after it, users kept, resident KiB since before
// the first.
int Names()
{
    QTcpServer l_server;
    MainWindow* const lp_window = StartWindow(true, l_server);
    SettleStart(l_server);
    QString const l_room = QStringLiteral("big room");
    ServerIn::RoomJoined l_join;
    l_join.m_room = l_room;
    for (int l_k = 0; l_k < 10; ++l_k) {
        ServerIn::Member l_member;
        l_member.m_name = QStringLiteral("member%1").arg(l_k);
        l_member.m_details.m_status = STATUS_ONLINE;
        l_join.m_members.push_back(l_member);
    }
    gp_server->Apply(l_join);
    auto const l_settled = [lp_window]() {
        if (gp_server->IsApplying() || QueuedLogLines() > 0)
            return false;
        RoomForm const* lp_page = BigRoomPage(lp_window);
        return lp_page && lp_page->MemberOrder()->IsSettled();
    };
    while (!l_settled())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    d.RemoveDisconnectedItems();
    bench::Drain();
    long const l_before = bench::ResidentKiB();
    for (int l_round = 0; l_round < PASSING_ROUNDS; ++l_round) {
        QString const l_prefix = QStringLiteral("r%1 ").arg(l_round);
        LoopWatch l_watch;
        std::int64_t const l_cpu = bench::ThreadCpuNs();
        // A turn of the event loop every hundred messages, as frames come.
        for (int l_k = 0; l_k < 3 * PASSING; ++l_k) {
            QString const l_name = l_prefix + QString::number(l_k < PASSING ? l_k : (l_k - PASSING) / 2 + PASSING);
            if (l_k < PASSING)
                gp_server->Apply(ServerIn::RoomTickerSet{l_room, l_name, QStringLiteral("a ticker")});
            else if ((l_k - PASSING) % 2 == 0) {
                ServerIn::Member l_member;
                l_member.m_name = l_name;
                l_member.m_details.m_status = STATUS_ONLINE;
                gp_server->Apply(ServerIn::UserJoinedRoom{l_room, l_member});
            } else
                gp_server->Apply(ServerIn::UserLeftRoom{l_room, l_name});
            if (l_k % 100 == 99)
                QCoreApplication::processEvents();
        }
        while (!l_settled())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        double const l_cpuS = (bench::ThreadCpuNs() - l_cpu) / 1e9;
        l_watch.Turn();
        double const l_stall = l_watch.LongestMs(), l_work = l_watch.LongestWorkMs();
        // The window's five-minute collection, in slices; its end is told
        // once its thread has given the freed memory back.
        LoopWatch l_collection;
        bool l_collected = false;
        StoreCollector::Obj()->Collect([&l_collected]() { l_collected = true; });
        while (!l_collected)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        l_collection.Turn();
        std::printf("%.3f %.1f %.1f %.1f %zu %ld\n", l_cpuS, l_stall, l_work, l_collection.LongestMs(),
                    d["user"]->GetItemCount(), bench::ResidentKiB() - l_before);
        std::fflush(stdout);
    }
    std::_Exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    bench::UseOffscreenPlatform();
    QApplication l_application(argc, argv);
    QStringList const l_arguments = l_application.arguments().mid(1);
    if (l_arguments.value(0) == "--join")
        return Join(l_arguments.value(1));
    if (l_arguments.value(0) == "--names")
        return Names();
    int const l_runs = bench::RunsArgument(argc, argv, bench::Size(3, 1));
    if (l_arguments.value(1) == "names") {
        std::printf("%d rounds in a room of the whole window, diagnostics on: tickers of %d new names, then %d new "
                    "names joining and leaving, a collection; %d runs, a process each\n",
                    PASSING_ROUNDS, PASSING, PASSING, l_runs);
        std::printf("  processor s | longest stall ms (its own work ms) | collection's longest stall ms | users kept | "
                    "resident KiB since before\n");
        for (int l_run = 0; l_run < l_runs; ++l_run) {
            QTemporaryDir l_home;
            QStringList const l_words = bench::RunChild({"--names"}, l_home.path());
            bench::Require(l_words.size() == 6 * PASSING_ROUNDS, "the rounds printed no figures");
            for (int l_round = 0; l_round < PASSING_ROUNDS; ++l_round) {
                QStringList const l_round6 = l_words.mid(6 * l_round, 6);
                std::printf("  %11s | %9s (%5s) | %7s | %7s | %8s\n", qPrintable(l_round6[0]), qPrintable(l_round6[1]),
                            qPrintable(l_round6[2]), qPrintable(l_round6[3]), qPrintable(l_round6[4]),
                            qPrintable(l_round6[5]));
            }
            std::fflush(stdout);
        }
        return 0;
    }
    std::printf("the join answer of a room of %d members, the whole window, diagnostics off / on (Rooms page in front) "
                "/ on (Diagnostics page in front); %d runs, a process each\n",
                MEMBERS, l_runs);
    std::printf("  mode  | processor s | longest stall ms (its own work ms) | resident KiB after / peak | lines in "
                "the log files\n");
    // [mode][figure]: processor, stall, own work, resident, peak.
    std::vector<double> l_figures[3][5];
    std::vector<double> l_ratios[2];
    for (int l_run = 0; l_run < l_runs; ++l_run) {
        double l_cpu[3] = {};
        for (int l_mode = 0; l_mode < 3; ++l_mode) {
            QTemporaryDir l_home;
            QStringList const l_words = bench::RunChild({"--join", MODES[l_mode]}, l_home.path());
            bench::Require(l_words.size() == 6, "a join printed no figures");
            for (int l_figure = 0; l_figure < 5; ++l_figure)
                l_figures[l_mode][l_figure].push_back(l_words[l_figure].toDouble());
            l_cpu[l_mode] = l_words[0].toDouble();
            std::printf("  %-5s | %11.3f | %9.1f (%5.1f) | %8s / %8s | %s\n", MODES[l_mode], l_cpu[l_mode],
                        l_words[1].toDouble(), l_words[2].toDouble(), qPrintable(l_words[3]), qPrintable(l_words[4]),
                        qPrintable(l_words[5]));
            std::fflush(stdout);
        }
        l_ratios[0].push_back(l_cpu[1] / l_cpu[0]);
        l_ratios[1].push_back(l_cpu[2] / l_cpu[0]);
        std::printf("  processor time on / off: %.2f (Rooms page in front), %.2f (Diagnostics page in front)\n",
                    l_ratios[0].back(), l_ratios[1].back());
    }
    std::printf("ranges over %d runs:\n", l_runs);
    for (int l_mode = 0; l_mode < 3; ++l_mode)
        std::printf("  %-5s | %s s | %s ms (%s) | %s / %s KiB\n", MODES[l_mode],
                    qPrintable(bench::Range(l_figures[l_mode][0], "%.2f")),
                    qPrintable(bench::Range(l_figures[l_mode][1], "%.1f")),
                    qPrintable(bench::Range(l_figures[l_mode][2], "%.1f")),
                    qPrintable(bench::Range(l_figures[l_mode][3], "%.0f")),
                    qPrintable(bench::Range(l_figures[l_mode][4], "%.0f")));
    std::printf("  on / off: %s (Rooms page in front), %s (Diagnostics page in front)\n",
                qPrintable(bench::Range(l_ratios[0], "%.2f")), qPrintable(bench::Range(l_ratios[1], "%.2f")));
    return 0;
}
