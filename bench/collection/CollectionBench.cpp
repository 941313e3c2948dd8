// The store's collection on the program's own index: real files shared
// through the shared-folders manager (as the window shares them), then the
// collections the window runs, each as its five-minute timer asks for it
// (StoreCollector, in slices) and watched by a 1 ms timer for the longest
// stall of the event loop, with the processor time of the window's thread:
//
// - the first collection after sharing (everything the share made is new);
// - one with nothing changed since;
// - closing a search tab of 1,000 results (which asks for a collection);
// - the first collection after unsharing the folder.
//
// Each size runs in fresh processes, one after the other.
//
// With --during, it measures instead what meets an unshare of the whole
// tree a second after it began, in a process of its own each (with a data
// saver, as the window has): the five-minute collection, the hourly
// timer's whole path (a collection, then the background save), and a
// search tab of 1,000 results closed (which asks for a collection); the
// longest stall from the unshare's start until all of it has ended, with
// the window thread's processor time.
//
//   bench_collection [runs] [files...] [--work folder] [--during]
//       runs: processes per size (default 3); files: the sizes (default
//       200000 1000000; 2000000 needs some 6 GB); the trees are made in
//       the work folder and kept there for the next run (default: a
//       temporary folder, removed at the end).
//
// Quick mode: one process of 2,000 files.

#include "LoopWatch.h"
#include "bench/BenchUtil.h"
#include "bench/SearchPage.h"
#include "bench/MusicTree.h"

#include "store/DataSaver.h"
#include "store/StoreCollector.h"
#include "ui/search/SearchForm.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The tree of bench/shares at any size. False when a file cannot be made
// (a full disk).
bool MakeTree(QString const& i_root, int i_files)
{
    return bench::MakeMusicTree(i_root, (i_files + bench::FILES_PER_ARTIST - 1) / bench::FILES_PER_ARTIST) >= 0;
}

// The search page over the managers the window makes.
template <class Base>
struct PageOver : Base
{
    using Base::mp_shares;
    using Base::mp_form;

    // One user's answer of i_files files, as the peer messenger stores it.
    void Answer(unsigned int i_token, int i_files)
    {
        std::mt19937 l_random(7);
        Item const l_results = d["search_results"]->NewItem();
        d["search_request"]->HasItem(Value(i_token)) += l_results;
        l_results += d["user"]->GetItem(Value("someone"));
        for (int l_file = 0; l_file < i_files; ++l_file) {
            Item const l_result = d["search_result"]->NewItem();
            l_results += l_result;
            SetAttribute(l_result, "search_result_file_folder", Value(QStringLiteral("Music\\Album %1").arg(l_file / 10)));
            SetAttribute(l_result, "search_result_file_name",
                         Value(QStringLiteral("%1 - %2 %3.mp3").arg(l_file % 10 + 1).arg(bench::Vocabulary()[int(l_random() % 50)], bench::Vocabulary()[int(l_random() % 50)])));
            SetAttribute(l_result, "file_size", Value(int(2000000 + l_random() % 10000000)));
            SetAttribute(l_result, "bitrate", Value(int(128 + l_random() % 193)));
        }
        mp_form->OnUserSearchResults(l_results);
    }
};
using Page = PageOver<bench::SearchPage>;
// With the data saver, which the window makes first.
using SavingPage = PageOver<bench::SearchPageOver<ManagerSet<DataSaver, ActionSetToolBar, Server, PeerMessenger,
                                                             DelayedInvoker, SharedFoldersManager,
                                                             TransferQueueManager, EventToolBar>>>;

// Runs the step, then the event loop until the window's collection has
// ended; the longest stall (half a second after the end included) and the
// thread's processor time to the end, in ms.
struct Measured
{
    double m_stallMs = 0, m_stallCpuMs = 0, m_cpuMs = 0, m_wallMs = 0;
};

void Settle(LoopWatch& io_watch, Measured& io_figures);

Measured Measure(LoopWatch& io_watch, std::function<void()> const& i_step)
{
    Measured l_figures;
    QElapsedTimer l_wall;
    std::int64_t const l_cpu = bench::ThreadCpuNs();
    io_watch.Restart();
    l_wall.start();
    i_step();
    while (StoreCollector::Obj()->IsRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    l_figures.m_wallMs = l_wall.nsecsElapsed() / 1e6;
    l_figures.m_cpuMs = (bench::ThreadCpuNs() - l_cpu) / 1e6;
    Settle(io_watch, l_figures);
    return l_figures;
}

void Settle(LoopWatch& io_watch, Measured& io_figures)
{
    // Then half a second more of a loop that allocates as a window does
    // (a block the C library takes from its heap, not from a thread's
    // cache), for what a walk of the heaps begun at the end still holds.
    QTimer l_allocating;
    QObject::connect(&l_allocating, &QTimer::timeout, []() {
        static void* volatile sp_block = nullptr;
        sp_block = std::malloc(64 << 10);
        std::free(sp_block);
    });
    l_allocating.start(1);
    for (QElapsedTimer l_after; !l_after.isValid() || l_after.elapsed() < 500;) {
        if (!l_after.isValid())
            l_after.start();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    io_watch.Turn();
    io_figures.m_stallMs = io_watch.LongestMs();
    io_figures.m_stallCpuMs = io_watch.LongestCpuMs();
}

// Shares the tree, and collects what the share made.
template <class SomePage>
Item Share(SomePage& io_page, QString const& i_root)
{
    Item l_share;
    int const l_limitMs = bench::LimitMs(1800000);
    bench::RequireEnded(
        RunShareJob(*io_page.mp_shares, [&]() { l_share = io_page.mp_shares->AddSharedFolder(i_root); }, l_limitMs),
        "sharing", l_limitMs);
    // The MP3 analyses would link results into the store meanwhile.
    io_page.mp_shares->GetFileScanner().Quit();
    for (QElapsedTimer l_drain; !l_drain.isValid() || l_drain.elapsed() < 500;) {
        if (!l_drain.isValid())
            l_drain.start();
        QCoreApplication::processEvents();
    }
    return l_share;
}

// One process: shares the tree, collects it, starts unsharing it and a
// second later runs the case; prints the files shared and the figures from
// the unshare's start until the unshare, the case and its collection have
// all ended.
int DuringUnshare(QString const& i_root, QString const& i_case, QString const& i_data)
{
    SavingPage l_page;
    LoopWatch l_watch;
    Item const l_share = Share(l_page, i_root);
    std::size_t const l_files = d["shared_file"]->GetItemCount();
    Measure(l_watch, []() { StoreCollector::Obj()->Collect(); });
    if (i_case == "tab") {
        unsigned int const l_token = l_page.mp_server->FileSearch(QStringLiteral("song"), QString());
        l_page.mp_form->CreateSearchForm(l_token, QStringLiteral("song"), SEARCH_EVERYONE);
        l_page.Answer(l_token, 1000);
        for (int l_pass = 0; l_pass < 20; ++l_pass)
            QCoreApplication::processEvents();
    }
    bool l_unshared = false, l_caseDone = false, l_saved = true;
    QObject::connect(l_page.mp_shares.get(), &SharedFoldersManager::ShareProgress, [&](QString i_text) {
        l_unshared = l_unshared || i_text.isEmpty();
    });
    QTimer l_case;
    l_case.setSingleShot(true);
    QObject::connect(&l_case, &QTimer::timeout, [&]() {
        if (i_case == "collection") {
            // As MainWindow::EveryFiveMinutes.
            StoreCollector::Obj()->Collect([&]() { l_caseDone = true; });
        } else if (i_case == "hourly") {
            // As MainWindow::EveryHour.
            StoreCollector::Obj()->Collect([&]() {
                l_page.mp_saver->SaveInBackground(i_data + "/.Quillmar", [&](bool i_saved) {
                    l_saved = i_saved;
                    l_caseDone = true;
                });
            });
        } else {
            l_page.mp_form->OnTabCloseRequested(0);
            l_caseDone = true;
        }
    });
    Measured l_figures;
    QElapsedTimer l_wall;
    std::int64_t const l_cpu = bench::ThreadCpuNs();
    l_watch.Restart();
    l_wall.start();
    l_page.mp_shares->UnshareFolder(l_share);
    l_case.start(bench::Size(1000, 0));
    while (!(l_unshared && l_caseDone && !StoreCollector::Obj()->IsRunning()))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    l_figures.m_wallMs = l_wall.nsecsElapsed() / 1e6;
    l_figures.m_cpuMs = (bench::ThreadCpuNs() - l_cpu) / 1e6;
    Settle(l_watch, l_figures);
    // For "perf script --time": when the longest stall was.
    if (std::getenv("QUILLMAR_BENCH_TRACE"))
        std::fprintf(stderr, "longest stall: %.6f,%.6f\n", (l_watch.LongestEndNs() - l_figures.m_stallMs * 1e6) / 1e9,
                     l_watch.LongestEndNs() / 1e9);
    bench::Require(l_saved, "the background save failed");
    bench::Require(d["search_result"]->GetItemCount() == 0 || i_case != "tab", "closing the tab left its results");
    std::printf("%zu %.2f %.2f %.2f %.2f\n", l_files, l_figures.m_stallMs, l_figures.m_stallCpuMs, l_figures.m_cpuMs,
                l_figures.m_wallMs);
    std::fflush(stdout);
    std::_Exit(0);
}

// One process: shares the tree, runs the four collections, prints a line
// of figures.
int Child(QString const& i_root)
{
    Page l_page;
    LoopWatch l_watch;
    Item const l_share = Share(l_page, i_root);
    std::size_t const l_files = d["shared_file"]->GetItemCount();
    std::size_t const l_items = d.ItemCount();

    std::vector<Measured> l_figures;
    l_figures.push_back(Measure(l_watch, []() { StoreCollector::Obj()->Collect(); }));
    bench::Require(d.ItemCount() > l_items * 9 / 10, "the collection took the share");
    l_figures.push_back(Measure(l_watch, []() { StoreCollector::Obj()->Collect(); }));

    unsigned int const l_token = l_page.mp_server->FileSearch(QStringLiteral("song"), QString());
    l_page.mp_form->CreateSearchForm(l_token, QStringLiteral("song"), SEARCH_EVERYONE);
    l_page.Answer(l_token, 1000);
    for (int l_pass = 0; l_pass < 20; ++l_pass)
        QCoreApplication::processEvents();
    std::size_t const l_withTab = d.ItemCount();
    l_figures.push_back(Measure(l_watch, [&]() { l_page.mp_form->OnTabCloseRequested(0); }));
    std::size_t const l_tabItems = l_withTab - d.ItemCount();
    bench::Require(d["search_result"]->GetItemCount() == 0, "closing the tab left its results");

    int const l_unshareLimitMs = bench::LimitMs(1800000);
    bench::RequireEnded(
        RunShareJob(*l_page.mp_shares, [&]() { l_page.mp_shares->UnshareFolder(l_share); }, l_unshareLimitMs),
        "unsharing", l_unshareLimitMs);
    std::size_t const l_beforeLast = d.ItemCount();
    l_figures.push_back(Measure(l_watch, []() { StoreCollector::Obj()->Collect(); }));
    std::size_t const l_removed = l_beforeLast - d.ItemCount();
    bench::Require(d["shared_file_name"]->GetItemCount() == 0, "the collection after unsharing left names");

    std::printf("%zu %zu %zu %zu", l_files, l_items, l_tabItems, l_removed);
    for (Measured const& l_one : l_figures)
        std::printf(" %.2f %.2f %.2f %.2f", l_one.m_stallMs, l_one.m_stallCpuMs, l_one.m_cpuMs, l_one.m_wallMs);
    std::printf("\n");
    std::fflush(stdout);
    std::_Exit(0); // tearing down the store is not what is measured
}

} // namespace

int main(int argc, char** argv)
{
    bench::UseOffscreenPlatform();
    QApplication l_application(argc, argv);
    QStringList l_arguments = l_application.arguments().mid(1);
    if (l_arguments.value(0) == "--child")
        return Child(l_arguments.value(1));
    if (l_arguments.value(0) == "--child-during")
        return DuringUnshare(l_arguments.value(1), l_arguments.value(2), l_arguments.value(3));
    bool const l_during = l_arguments.removeAll("--during") > 0;

    QString l_work;
    int const l_workAt = l_arguments.indexOf("--work");
    if (l_workAt >= 0) {
        l_work = l_arguments.value(l_workAt + 1);
        l_arguments.erase(l_arguments.begin() + l_workAt, l_arguments.begin() + std::min(l_workAt + 2, int(l_arguments.size())));
    }
    // The parent ends by returning from here, never by exit(): a tree made
    // in a temporary folder goes with it.
    std::unique_ptr<QTemporaryDir> lp_temporary;
    if (l_work.isEmpty()) {
        lp_temporary = std::make_unique<QTemporaryDir>();
        l_work = lp_temporary->path();
    }
    auto const l_failed = [](char const* ip_why) {
        std::fprintf(stderr, "benchmark failed: %s\n", ip_why);
        return 1;
    };
    int const l_runs = l_arguments.isEmpty() ? bench::Size(3, 1) : std::max(1, l_arguments.takeFirst().toInt());
    std::vector<int> l_sizes;
    for (QString const& l_size : l_arguments)
        l_sizes.push_back(l_size.toInt());
    if (l_sizes.empty())
        l_sizes = bench::Quick() ? std::vector<int>{2000} : std::vector<int>{200000, 1000000};

    char const* const l_names[] = {"first collection after sharing", "collection with nothing changed",
                                   "closing a search tab of 1,000 results", "first collection after unsharing"};
    for (int l_size : l_sizes) {
        QString const l_root = QStringLiteral("%1/Tree%2").arg(l_work).arg(l_size);
        if (!QFile::exists(l_root + ".complete")) {
            QElapsedTimer l_timer;
            l_timer.start();
            if (!MakeTree(l_root, l_size)) {
                QDir(l_root).removeRecursively();
                return l_failed("a file of the tree cannot be made");
            }
            QFile(l_root + ".complete").open(QIODevice::WriteOnly);
            std::printf("tree of %d files made in %.0f s\n", l_size, l_timer.elapsed() / 1e3);
        }
        if (l_during) {
            QTemporaryDir l_data;
            char const* const l_cases[] = {"collection", "hourly", "tab"};
            char const* const l_caseNames[] = {"the five-minute collection", "the hourly collection and save",
                                               "a search tab of 1,000 results closed"};
            for (int l_case = 0; l_case < 3; ++l_case) {
                std::vector<double> l_values[4];
                QString l_files;
                for (int l_run = 0; l_run < l_runs; ++l_run) {
                    QStringList const l_fields =
                        bench::ChildWords({"--child-during", l_root, l_cases[l_case], l_data.path()});
                    if (l_fields.size() != 5)
                        return l_failed("a measuring process failed or printed no figures");
                    l_files = l_fields[0];
                    for (int l_value = 0; l_value < 4; ++l_value)
                        l_values[l_value].push_back(l_fields[1 + l_value].toDouble());
                }
                std::printf("unsharing %s files, %s a second in (%d fresh processes): longest stall %s ms (the "
                            "thread ran %s ms of it), processor time %s ms, to the end %s ms\n",
                            qPrintable(l_files), l_caseNames[l_case], l_runs,
                            qPrintable(bench::Range(l_values[0], "%.1f")), qPrintable(bench::Range(l_values[1], "%.1f")),
                            qPrintable(bench::Range(l_values[2], "%.0f")), qPrintable(bench::Range(l_values[3], "%.0f")));
                std::fflush(stdout);
            }
            continue;
        }
        std::vector<double> l_values[4][4];
        QString l_counts;
        for (int l_run = 0; l_run < l_runs; ++l_run) {
            QStringList const l_fields = bench::ChildWords({"--child", l_root});
            if (l_fields.size() != 20)
                return l_failed("a measuring process failed or printed no figures");
            l_counts = QStringLiteral("%1 files shared, %2 items in the store, %3 items of the tab, %4 removed "
                                      "after unsharing")
                           .arg(l_fields[0], l_fields[1], l_fields[2], l_fields[3]);
            for (int l_case = 0; l_case < 4; ++l_case)
                for (int l_value = 0; l_value < 4; ++l_value)
                    l_values[l_case][l_value].push_back(l_fields[4 + 4 * l_case + l_value].toDouble());
        }
        std::printf("%s (%d fresh processes):\n", qPrintable(l_counts), l_runs);
        for (int l_case = 0; l_case < 4; ++l_case)
            std::printf("  %-38s longest stall %s ms (the thread ran %s ms of it), processor time %s ms, "
                        "to the end %s ms\n",
                        l_names[l_case], qPrintable(bench::Range(l_values[l_case][0], "%.1f")),
                        qPrintable(bench::Range(l_values[l_case][1], "%.1f")), qPrintable(bench::Range(l_values[l_case][2], "%.0f")),
                        qPrintable(bench::Range(l_values[l_case][3], "%.0f")));
        std::fflush(stdout);
    }
    return 0;
}
