// Figures of search answers as they arrive, through the program's own entry
// point: peers connect to the messenger over loopback and write their
// answers (peer message 9, compressed as a peer sends it) in one burst; the
// messenger reads and decodes them and the search page, shown (offscreen)
// with the search's tab open, takes them. Two shapes that hostile peers can
// send at will:
//   - one peer sending K distinct answers of one file each to one search
//     (1,000 and 8,000, and 2,000 and 4,000 to see how the cost grows);
//   - answers at the bound an answer may hold (100,000 files), from one
//     peer and from ten.
// For each: the longest stall of the window's thread from the first write
// until every row is in the tab and its deferred sort has run (with the
// processor time the thread itself used in it: the rest it waited, for a
// lock or a processor; and the most it used between two turns), the thread's
// processor time for that (measured apart, without the probe, which spins
// the loop), and the resident memory it added (first run of a process) and
// its peak. For the shapes whose tab is closed: the longest stall from
// the close until the work it set going has ended (the tab and its rows
// gone, the answers' digests freed, the store's collection and the free
// pages given back after it), with the thread's own processor time in it,
// and the resident memory left then against before the answers (nothing
// given back by the benchmark: what the user sees).
//
// With QUILLMAR_BENCH_TRACE set, each longest stall says on the error
// stream when it was (bench::Trace), for "perf script --time".
//
//   bench_search_answers [runs] [shape]   (default 3 runs; every shape, or
//                                          those whose name starts with the
//                                          text)
//
// In quick mode the sizes are a hundredth, one run each.

#include "bench/BenchUtil.h"
#include "bench/SearchPage.h"

#include "peers/PeerMessenger.h"
#include "peers/PeerWire.h"
#include "store/DelayedInvoker.h"
#include "store/FreePages.h"
#include "store/MemStream.h"
#include "store/StoreCollector.h"
#include "ui/search/ResultsTakeDown.h"
#include "ui/search/SearchResultsForm.h"

#include <QApplication>
#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// A search answer of the peer: i_files files from i_first on, i_perFolder
// to a folder, with size, bitrate and length.
QByteArray Answer(QString const& i_peer, quint32 i_token, int i_first, int i_files, int i_perFolder)
{
    MemStream l_record;
    l_record.WriteString(i_peer);
    l_record.WriteU32(i_token);
    l_record.WriteU32(quint32(i_files));
    for (int l_file = i_first; l_file < i_first + i_files; ++l_file) {
        l_record.WriteU8(1);
        l_record.WriteRaw(QString("Music\\%1\\artist %2\\album %3\\%4 - track %5.mp3")
                              .arg(i_peer)
                              .arg(l_file / 1000)
                              .arg(l_file / i_perFolder)
                              .arg(l_file % 10 + 1, 2, 10, QLatin1Char('0'))
                              .arg(l_file)
                              .toStdString());
        l_record.WriteU64(5000000 + quint64(l_file));
        l_record.WriteRaw(std::string("mp3"));
        l_record.WriteU32(2);
        l_record.WriteU32(0);
        l_record.WriteU32(320);
        l_record.WriteU32(1);
        l_record.WriteU32(200 + quint32(l_file % 300));
    }
    l_record.WriteU8(1);
    l_record.WriteU32(100000);
    l_record.WriteU32(0);
    l_record.WriteU32(0);
    MemStream l_message;
    l_message.WriteU32(9);
    bench::Require(ZlibCompress(l_record, l_message), "cannot compress an answer");
    return PeerWire::BuildFrame(l_message.ToByteArray(), false);
}

struct Shape
{
    char const* mp_name;
    int m_peers;
    int m_answers;         // of each peer
    int m_filesPerAnswer;
    std::size_t m_rows;    // the tab holds them all once done
    int m_perFolder = 10;
    bool m_close = false;
};

struct Figures
{
    std::vector<double> m_stallMs, m_stallOwnMs, m_stallCpuMs, m_cpuMs, m_residentMb, m_peakMb;
    std::vector<double> m_closeStallMs, m_closeStallOwnMs, m_closeCpuMs, m_leftMb;
};

// The search page over the managers, with the messenger listening, one
// search's tab open and the peers connected.
struct Program : bench::SearchPage
{
    using bench::SearchPage::mp_messenger;

    explicit Program(Shape const& i_shape)
    {
        SetSetting("username", QString("me"));
        SetSetting("listening_port", qint64(0));
        mp_messenger->DataLoaded();
        m_token = mp_server->FileSearch(QStringLiteral("track"), QString());
        bench::Require(mp_form->CreateSearchForm(m_token, QStringLiteral("track"), SEARCH_EVERYONE) != nullptr,
                       "no tab for the search");
        for (int l_peer = 0; l_peer < i_shape.m_peers; ++l_peer) {
            QString const l_name = QStringLiteral("peer%1").arg(l_peer);
            // Where the server says the peer is.
            Item const l_user = d["user"]->GetItem(Value(l_name));
            SetAttribute(l_user, "user_address", Value(static_cast<unsigned long long>(0x7F000001)));
            SetAttribute(l_user, "user_port", Value(1));
            QByteArray l_burst = PeerWire::BuildFrame(PeerWire::BuildInitHandshake(l_name, "P"), false);
            for (int l_answer = 0; l_answer < i_shape.m_answers; ++l_answer)
                l_burst += Answer(l_name, m_token, l_answer * i_shape.m_filesPerAnswer, i_shape.m_filesPerAnswer,
                                  i_shape.m_perFolder);
            m_bursts.push_back(l_burst);
            auto lp_socket = std::make_unique<QTcpSocket>();
            lp_socket->connectToHost(QHostAddress::LocalHost, mp_messenger->ListeningPort());
            bench::Require(lp_socket->waitForConnected(WAIT_MS), "no connection to the messenger");
            m_peers.push_back(std::move(lp_socket));
            // The messenger takes each connection before the listening
            // queue fills.
            bench::Drain();
        }
        bench::Drain();
    }

    // Writes every burst, then runs the event loop until the tab holds
    // i_rows file rows and has sorted them (its deferred sort).
    void Run(std::size_t i_rows, bool i_spin)
    {
        for (std::size_t l_peer = 0; l_peer < m_peers.size(); ++l_peer)
            m_peers[l_peer]->write(m_bursts[l_peer]);
        QElapsedTimer l_limit;
        l_limit.start();
        Type* lp_rows = d["search_result_node"];
        auto const l_turn = [i_spin]() {
            if (i_spin)
                bench::TurnLoop();
            else
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        };
        int const l_limitMs = bench::LimitMs(600000);
        while (lp_rows->GetItemCount() < i_rows && l_limit.elapsed() < l_limitMs)
            l_turn();
        bench::RequireEnded(lp_rows->GetItemCount() == i_rows, "taking every row into the tab", l_limitMs);
        // The sort an answer asks for comes a second after it, on the
        // invoker's timer, which wakes the loop when it is due.
        SearchResultsForm* const lp_tab = mp_form->GetCurrentSearchResultsForm();
        bench::Require(lp_tab != nullptr, "no tab for the rows");
        QString const l_sort = QString::fromLatin1(SLOT(Sort()));
        while ((delayedInvoker->IsPending(lp_tab, l_sort) || lp_tab->IsSorting()) && l_limit.elapsed() < l_limitMs)
            l_turn();
        bench::RequireEnded(!delayedInvoker->IsPending(lp_tab, l_sort) && !lp_tab->IsSorting(), "sorting the rows",
                            l_limitMs);
    }

    // Closes the tab and runs the event loop until its rows are gone and
    // the store's collection has ended.
    void Close()
    {
        SearchResultsForm* lp_tab = mp_form->GetCurrentSearchResultsForm();
        bench::Require(lp_tab != nullptr, "no tab to close");
        QPointer<SearchResultsForm> const lp_gone = lp_tab;
        mp_form->OnTabCloseRequested(0);
        Type* lp_rows = d["search_result_node"];
        QElapsedTimer l_limit;
        l_limit.start();
        int const l_limitMs = bench::LimitMs(600000);
        auto const l_done = [&]() {
            return (!lp_gone && lp_rows->GetItemCount() == 0 && !StoreCollector::Obj()->IsRunning() &&
                    ResultsTakeDown::Running() == 0) ||
                   l_limit.elapsed() >= l_limitMs;
        };
        while (!l_done())
            bench::TurnLoop();
        bench::RequireEnded(!lp_gone && lp_rows->GetItemCount() == 0, "closing the tab", l_limitMs);
    }

    // Runs the event loop until the work the close set going has ended:
    // the answers' digests freed, the collection and what waits for it,
    // the free pages given back (on a thread of their own, which sends no
    // event: the loop turns until then).
    void SettleClose()
    {
        QElapsedTimer l_limit;
        l_limit.start();
        int const l_limitMs = bench::LimitMs(600000);
        auto const l_settled = [this]() {
            return mp_messenger->SearchDigestsHeld() == 0 && !StoreCollector::Obj()->IsBusy() &&
                   !GivingBackFreePages();
        };
        while (!l_settled() && l_limit.elapsed() < l_limitMs)
            bench::TurnLoop();
        bench::RequireEnded(l_settled(), "the close's work", l_limitMs);
    }

    unsigned int m_token = 0;
    std::vector<QByteArray> m_bursts;
    std::vector<std::unique_ptr<QTcpSocket>> m_peers;
};

void RunOnce(Shape const& i_shape, bool i_first, Figures& io_figures)
{
    {
        Program l_program(i_shape);
        bench::StallProbe l_probe;
        l_program.Run(i_shape.m_rows, true);
        io_figures.m_stallMs.push_back(l_probe.LongestMs());
        io_figures.m_stallOwnMs.push_back(l_probe.LongestStallCpuMs());
        io_figures.m_stallCpuMs.push_back(l_probe.LongestCpuMs());
        bench::Trace("longest stall of the arrival", l_probe.LongestStart(),
                     l_probe.LongestStart() + l_probe.LongestMs() / 1e3);
        if (i_shape.m_close) {
            bench::StallProbe l_closeProbe;
            std::int64_t const l_start = bench::ThreadCpuNs();
            l_program.Close();
            io_figures.m_closeCpuMs.push_back(double(bench::ThreadCpuNs() - l_start) / 1e6);
            l_program.SettleClose();
            io_figures.m_closeStallMs.push_back(l_closeProbe.LongestMs());
            io_figures.m_closeStallOwnMs.push_back(l_closeProbe.LongestStallCpuMs());
            bench::Trace("longest stall of the close", l_closeProbe.LongestStart(),
                         l_closeProbe.LongestStart() + l_closeProbe.LongestMs() / 1e3);
        }
    }
    Program l_program(i_shape);
    bench::ResetPeak();
    long const l_before = bench::ResidentKiB();
    std::int64_t const l_start = bench::ThreadCpuNs();
    l_program.Run(i_shape.m_rows, false);
    // With the turns of the wait for the deferred sort, which cost next to nothing.
    io_figures.m_cpuMs.push_back(double(bench::ThreadCpuNs() - l_start) / 1e6);
    if (i_first) {
        io_figures.m_residentMb.push_back(double(bench::ResidentKiB() - l_before) / 1024.0);
        io_figures.m_peakMb.push_back(double(bench::ResidentKiB("VmHWM:") - l_before) / 1024.0);
        if (i_shape.m_close) {
            l_program.Close();
            l_program.SettleClose();
            io_figures.m_leftMb.push_back(double(bench::ResidentKiB() - l_before) / 1024.0);
        }
    }
}

void Report(Shape const& i_shape, Figures const& i_figures)
{
    std::printf("%s: longest stall %s (the thread's own time in it %s; at most %s between two turns), processor "
                "time %s",
                i_shape.mp_name, qPrintable(bench::Range(i_figures.m_stallMs, "%.1f ms")),
                qPrintable(bench::Range(i_figures.m_stallOwnMs, "%.1f ms")),
                qPrintable(bench::Range(i_figures.m_stallCpuMs, "%.1f ms")),
                qPrintable(bench::Range(i_figures.m_cpuMs, "%.0f ms")));
    if (!i_figures.m_residentMb.empty())
        std::printf(", resident memory %s (peak %s)", qPrintable(bench::Range(i_figures.m_residentMb, "%+.1f MB")),
                    qPrintable(bench::Range(i_figures.m_peakMb, "%+.1f MB")));
    if (!i_figures.m_closeStallMs.empty())
        std::printf("; closed: longest stall %s (the thread's own time in it %s), processor time %s",
                    qPrintable(bench::Range(i_figures.m_closeStallMs, "%.1f ms")),
                    qPrintable(bench::Range(i_figures.m_closeStallOwnMs, "%.1f ms")),
                    qPrintable(bench::Range(i_figures.m_closeCpuMs, "%.0f ms")));
    if (!i_figures.m_leftMb.empty())
        std::printf(", left after the close %s", qPrintable(bench::Range(i_figures.m_leftMb, "%+.1f MB")));
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    bench::UseOffscreenPlatform();
    QApplication l_application(argc, argv);
    int const l_runs = bench::RunsArgument(argc, argv, bench::Size(3, 1));
    std::size_t const l_perUser = SearchResultsForm::MAX_FILES_PER_USER;
    int const l_big = bench::Size(100000, 1000);
    std::vector<Shape> l_shapes = {
        {"one peer, 1,000 answers of one file", 1, bench::Size(1000, 10), 1, std::size_t(bench::Size(1000, 10))},
        {"one peer, 2,000 answers of one file", 1, bench::Size(2000, 20), 1, std::size_t(bench::Size(2000, 20))},
        {"one peer, 4,000 answers of one file", 1, bench::Size(4000, 40), 1, std::size_t(bench::Size(4000, 40))},
        {"one peer, 8,000 answers of one file", 1, bench::Size(8000, 80), 1, std::size_t(bench::Size(8000, 80))},
        {"one peer, one answer of 100,000 files", 1, 1, l_big, std::min(l_perUser, std::size_t(l_big))},
        {"ten peers, one answer of 100,000 files each", 10, 1, l_big, 10 * std::min(l_perUser, std::size_t(l_big)),
         10, true},
    };
    // Many peers, each file in a folder of its own.
    int const l_answers = bench::Size(1000, 10);
    for (int const l_peers : {25, 50, 100, 250})
        l_shapes.push_back({l_peers == 25 ? "25 peers, 1,000 one-file answers each, a folder a file"
                            : l_peers == 50 ? "50 peers, 1,000 one-file answers each, a folder a file"
                            : l_peers == 100 ? "100 peers, 1,000 one-file answers each, a folder a file"
                                             : "250 peers, 1,000 one-file answers each, a folder a file",
                            l_peers, l_answers, 1, std::size_t(l_peers) * std::size_t(l_answers), 1, true});
    int const l_wide = bench::Size(10000, 100);
    l_shapes.push_back({"25 peers, one answer of 10,000 files each, a folder a file", 25, 1, l_wide,
                        25 * std::size_t(l_wide), 1, true});
    l_shapes.push_back({"one peer, 10,000 one-file answers, a folder a file", 1, l_wide, 1, std::size_t(l_wide), 1,
                        true});
    char const* const lp_only = argc > 2 ? argv[2] : "";
    for (Shape const& l_shape : l_shapes) {
        if (std::strncmp(l_shape.mp_name, lp_only, std::strlen(lp_only)) != 0)
            continue;
        Figures l_figures;
        for (int l_run = 0; l_run < l_runs; ++l_run)
            RunOnce(l_shape, l_run == 0, l_figures);
        Report(l_shape, l_figures);
    }
    return 0;
}
