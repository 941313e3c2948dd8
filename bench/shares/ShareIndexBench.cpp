// Figures of the shared-file index: the folder walk against nftw(), each
// as a whole process; memory per indexed file from the resident memory of a
// fresh process; the start-up merge, sliced against one go, with the
// longest stall of the event loop while it runs; candidate lookups; the MP3
// header scan against a plain read() loop.
//
//   bench_shares [work folder]             200,000 files (default: a temporary folder)
//   bench_shares --million [work folder]   the merge of 1,000,000 files
//   bench_shares --walk-only [work folder] the walk against nftw() alone
//   bench_shares --commands-only [--million] [work folder]
//                                          share, rescan and unshare alone
//   bench_shares --sizes [work folder]     each sliced job (share, a search,
//                                          the share list, rescan, unshare)
//                                          at 250,000 and 2,000,000 files
//
// Quick mode makes a tree of 4 artists (2,000 files) and runs each figure
// once; with --sizes, trees of 2,000 and 4,000 files.
//
// A tree made by an earlier run in the same work folder is used again. The
// other options are the child processes the two runs start.

#include "LoopWatch.h"
#include "SharesFixture.h"
#include "bench/BenchUtil.h"
#include "bench/MusicTree.h"
#include "shares/SharedFoldersManager.h"
#include "store/DataSaver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include <fcntl.h>
#include <ftw.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int const kArtists = 400;          // 10,000 album folders, 200,000 files
int const kMillionArtists = 2000;  // 50,000 album folders, 1,000,000 files
using bench::ALBUMS_PER_ARTIST;
using bench::FILES_PER_ALBUM;

int MakeTree(QString const& i_root, int i_artists, int i_markedAlbums = 0)
{
    int const l_files = bench::MakeMusicTree(i_root, i_artists, i_markedAlbums);
    if (l_files < 0) {
        std::perror("making the tree");
        std::exit(1);
    }
    return l_files;
}

long g_nftwFiles = 0;
int CountFile(char const*, struct stat const*, int i_flag, struct FTW*)
{
    if (i_flag == FTW_F)
        ++g_nftwFiles;
    return 0;
}

double ChildrenCpuMs()
{
    rusage l_usage;
    getrusage(RUSAGE_CHILDREN, &l_usage);
    return (l_usage.ru_utime.tv_sec + l_usage.ru_stime.tv_sec) * 1e3 +
           (l_usage.ru_utime.tv_usec + l_usage.ru_stime.tv_usec) / 1e3;
}

// Runs this program with the arguments; its wall time in ms, its output and
// the processor time it took (user and system) in ms.
double RunChild(QStringList const& i_arguments, QString* op_output = nullptr, double* op_cpuMs = nullptr)
{
    double const l_cpuBefore = ChildrenCpuMs();
    QProcess l_child;
    l_child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer l_timer;
    l_timer.start();
    l_child.start(QCoreApplication::applicationFilePath(), i_arguments);
    if (!l_child.waitForFinished(-1) || l_child.exitCode() != 0) {
        std::fprintf(stderr, "child %s failed\n", qPrintable(i_arguments.join(' ')));
        std::exit(1);
    }
    double const l_ms = l_timer.nsecsElapsed() / 1e6;
    if (op_cpuMs)
        *op_cpuMs = ChildrenCpuMs() - l_cpuBefore;
    if (op_output)
        *op_output = QString::fromUtf8(l_child.readAllStandardOutput());
    return l_ms;
}

// The range and the median.
QString Spread(std::vector<double> i_values, char const* ip_format)
{
    std::sort(i_values.begin(), i_values.end());
    return bench::Range(i_values, ip_format) + QStringLiteral(" (median ") +
           QString::asprintf(ip_format, i_values[i_values.size() / 2]) + QStringLiteral(")");
}

// The walk as a whole process, the way the program walks: a scanner's
// ScanFolders, then its result taken. The process ends without freeing the
// result, which the program frees on the GUI thread after the merge.
int WalkChild(QString const& i_root)
{
    FileScanner l_scanner;
    l_scanner.ScanFolders(QStringList{i_root});
    FileScanner::ScanResult const l_result = l_scanner.TakeResult();
    std::size_t l_files = 0;
    for (auto const& l_folder : l_result.begin()->second)
        l_files += l_folder.second.size();
    std::printf("%zu\n", l_files);
    std::fflush(stdout);
    std::_Exit(0);
}

int NftwChild(QString const& i_root)
{
    nftw(QFile::encodeName(i_root).constData(), CountFile, 64, FTW_PHYS);
    std::printf("%ld\n", g_nftwFiles);
    return 0;
}

void WalkBench(QString const& i_root)
{
    RunChild({"--walk", i_root});
    RunChild({"--nftw", i_root});
    // On a loaded machine the wall time also holds the waits for a
    // processor, which hit either process alike; the processor time the
    // process took tells the two walks apart more surely.
    std::vector<double> l_walk, l_nftw, l_ratio, l_walkCpu, l_nftwCpu;
    int const l_rounds = bench::Size(9, 1);
    for (int l_round = 0; l_round < l_rounds; ++l_round) {
        l_nftwCpu.push_back(0);
        l_walkCpu.push_back(0);
        l_nftw.push_back(RunChild({"--nftw", i_root}, nullptr, &l_nftwCpu.back()));
        l_walk.push_back(RunChild({"--walk", i_root}, nullptr, &l_walkCpu.back()));
        l_ratio.push_back(100.0 * l_nftw.back() / l_walk.back());
    }
    for (std::vector<double>* lp_values : {&l_walk, &l_nftw, &l_walkCpu, &l_nftwCpu})
        std::sort(lp_values->begin(), lp_values->end());
    std::size_t const l_median = l_walk.size() / 2;
    std::printf("walk as a whole process (warm cache, %d rounds): FileScanner %s ms, nftw %s ms: %s %% of its speed "
                "in a round, %.0f %% from the medians; processor time %s ms against %s ms, %.0f %% from the medians\n",
                l_rounds, qPrintable(bench::Range(l_walk, "%.0f")), qPrintable(bench::Range(l_nftw, "%.0f")),
                qPrintable(bench::Range(l_ratio, "%.0f")), 100.0 * l_nftw[l_median] / l_walk[l_median],
                qPrintable(bench::Range(l_walkCpu, "%.0f")), qPrintable(bench::Range(l_nftwCpu, "%.0f")),
                100.0 * l_nftwCpu[l_median] / l_walkCpu[l_median]);
}

// Runs the start-up scan and returns once its merge has ended.
void RunStartupScan(SharedFoldersManager& io_manager)
{
    bool l_merged = false;
    QMetaObject::Connection const l_connection =
        QObject::connect(&io_manager, &SharedFoldersManager::StartupMergeFinished, [&] { l_merged = true; });
    io_manager.Init();
    while (!l_merged)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QObject::disconnect(l_connection);
}

// The start-up scan in a fresh process: the walk on the scanner thread,
// then the merge in slices of i_sliceMs on this thread, watched by a 1 ms
// timer for the longest stall of the event loop while the merge runs. On a
// fresh store (the first start with these folders), or with i_again on the
// store loaded from the data file that a first start saved (every later
// start: the files are known, their tokens are not). Prints: files, walk
// ms, merge ms, longest stall ms, resident bytes per file (as left, and with
// freed heap given back; a fresh store only).
int MergeChild(QString const& i_root, qint64 i_sliceMs, bool i_again)
{
    DeclareSharesNeighbourTypes();
    std::unique_ptr<DataSaver> lp_saver(new DataSaver);
    std::unique_ptr<SharedFoldersManager> lp_manager(new SharedFoldersManager);
    d.GetType("shared_folder")->GetItem(Value(i_root));
    QTemporaryDir l_data;
    if (i_again) {
        lp_manager->SetMergeSlice(1000000000);
        RunStartupScan(*lp_manager);
        QString const l_stem = l_data.filePath(".Quillmar");
        if (!lp_saver->Save(l_stem))
            return 1;
        lp_manager.reset();
        lp_saver.reset();
        DeclareSharesNeighbourTypes();
        lp_saver.reset(new DataSaver);
        lp_manager.reset(new SharedFoldersManager);
        lp_saver->Load(l_stem);
    }
    // The process ends with _Exit, which runs no destructor: the data file
    // (50 MB at a million files) goes now.
    l_data.remove();
    lp_manager->SetMergeSlice(i_sliceMs);
    long const l_before = bench::ResidentKiB();

    QElapsedTimer l_clock;
    l_clock.start();
    std::atomic<qint64> l_walkEnd{-1};
    qint64 l_lastTick = 0, l_lastCpu = 0, l_longest = 0, l_longestCpu = 0, l_mergeEnd = -1;
    QObject::connect(&lp_manager->GetFileScanner(), &FileScanner::FoldersScanned, &lp_manager->GetFileScanner(),
                     [&] { l_walkEnd = l_clock.nsecsElapsed(); }, Qt::DirectConnection);
    // A stall as the event loop sees it, and the time this thread ran in
    // it: on a busy machine the difference is time the system gave to
    // other processes.
    auto const l_tick = [&] {
        qint64 const l_now = l_clock.nsecsElapsed();
        qint64 const l_cpu = bench::ThreadCpuNs();
        qint64 const l_start = l_walkEnd;
        if (l_start >= 0 && l_now > l_start && l_now - std::max(l_lastTick, l_start) > l_longest) {
            l_longest = l_now - std::max(l_lastTick, l_start);
            l_longestCpu = l_cpu - l_lastCpu;
        }
        l_lastTick = l_now;
        l_lastCpu = l_cpu;
    };
    QTimer l_probe;
    l_probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&l_probe, &QTimer::timeout, l_tick);
    l_probe.start(1);
    QObject::connect(lp_manager.get(), &SharedFoldersManager::StartupMergeFinished, [&] {
        l_tick();
        l_mergeEnd = l_clock.nsecsElapsed();
    });
    RunStartupScan(*lp_manager);
    // The scanner thread frees the scan result after the merge; it is made
    // to do so (and to skip the MP3 analyses asked for) before the memory
    // is read.
    lp_manager->GetFileScanner().Quit();
    QMetaObject::invokeMethod(&lp_manager->GetFileScanner(), [] {}, Qt::BlockingQueuedConnection);

    std::size_t const l_files = d.GetType("shared_file")->GetItemCount();
    double const l_resident = i_again ? 0 : (bench::ResidentKiB() - l_before) * 1024.0 / double(l_files);
    malloc_trim(0);
    double const l_trimmed = i_again ? 0 : (bench::ResidentKiB() - l_before) * 1024.0 / double(l_files);
    std::printf("%zu %.1f %.1f %.1f %.0f %.0f %.1f\n", l_files, l_walkEnd / 1e6, (l_mergeEnd - l_walkEnd) / 1e6,
                l_longest / 1e6, l_resident, l_trimmed, l_longestCpu / 1e6);
    std::fflush(stdout);
    std::_Exit(0); // tearing down the store is not what is measured
}

struct MergeFigures
{
    std::vector<double> m_walk, m_merge, m_stall, m_stallCpu, m_resident, m_trimmed, m_rate;
    std::size_t m_files = 0;
};

void RunMerge(QString const& i_root, qint64 i_sliceMs, bool i_again, MergeFigures& io_figures)
{
    QString l_output;
    RunChild({"--merge", i_root, QString::number(i_sliceMs), i_again ? "again" : "first"}, &l_output);
    QStringList const l_values = l_output.split(' ');
    io_figures.m_files = l_values[0].toULongLong();
    io_figures.m_walk.push_back(l_values[1].toDouble());
    io_figures.m_merge.push_back(l_values[2].toDouble());
    io_figures.m_stall.push_back(l_values[3].toDouble());
    io_figures.m_resident.push_back(l_values[4].toDouble());
    io_figures.m_trimmed.push_back(l_values[5].toDouble());
    io_figures.m_stallCpu.push_back(l_values[6].toDouble());
    io_figures.m_rate.push_back(io_figures.m_files / ((l_values[1].toDouble() + l_values[2].toDouble()) / 1e3));
}

void PrintMerge(char const* ip_name, MergeFigures const& i_figures, bool i_again)
{
    std::printf("  %s: walk %s ms, merge %s ms, longest stall %s ms (this thread ran %s ms of it), "
                "%s files/s end to end\n",
                ip_name, qPrintable(bench::Range(i_figures.m_walk, "%.0f")), qPrintable(bench::Range(i_figures.m_merge, "%.0f")),
                qPrintable(bench::Range(i_figures.m_stall, "%.0f")), qPrintable(bench::Range(i_figures.m_stallCpu, "%.0f")),
                qPrintable(bench::Range(i_figures.m_rate, "%.0f")));
    if (!i_again)
        std::printf("    resident memory per indexed file: %s bytes as left, %s with freed heap given back\n",
                    qPrintable(bench::Range(i_figures.m_resident, "%.0f")), qPrintable(bench::Range(i_figures.m_trimmed, "%.0f")));
}

// The merge in slices against the merge in one go, alternating, at a first
// start and at a later one.
void MergeBench(QString const& i_root)
{
    for (bool l_again : {false, true}) {
        MergeFigures l_sliced, l_whole;
        for (int l_round = 0, l_rounds = bench::Size(3, 1); l_round < l_rounds; ++l_round) {
            RunMerge(i_root, 10, l_again, l_sliced);
            RunMerge(i_root, 1000000000, l_again, l_whole);
        }
        std::printf("start-up scan %s (%zu files, %zu fresh processes each):\n",
                    l_again ? "at a later start, the index loaded" : "at the first start, a fresh store",
                    l_sliced.m_files, l_sliced.m_merge.size());
        PrintMerge("merge in slices", l_sliced, l_again);
        PrintMerge("merge in one go", l_whole, l_again);
        std::vector<double> l_ratio;
        for (std::size_t l_round = 0; l_round < l_sliced.m_merge.size(); ++l_round)
            l_ratio.push_back(l_sliced.m_merge[l_round] / l_whole.m_merge[l_round]);
        std::printf("  sliced merge time against one go: %s times\n", qPrintable(bench::Range(l_ratio, "%.2f")));
    }
}

// Sharing, rescanning and unsharing a root in a fresh process, each command
// as the window gives it (the call returns at once, its job runs in the
// event loop), watched by a 1 ms timer for the longest stall. Prints, for
// each command, its time to the end and the longest stall, in ms.
int CommandsChild(QString const& i_root, qint64 i_sliceMs)
{
    DeclareSharesNeighbourTypes();
    std::unique_ptr<SharedFoldersManager> lp_manager(new SharedFoldersManager);
    lp_manager->SetMergeSlice(i_sliceMs);
    LoopWatch l_watch;
    Item l_root;
    std::function<void()> const l_commands[] = {[&] { l_root = lp_manager->AddSharedFolder(i_root); },
                                                [&] { lp_manager->RescanShares(); },
                                                [&] { lp_manager->UnshareFolder(l_root); }};
    std::size_t l_files = 0;
    for (auto const& l_command : l_commands) {
        qint64 const l_start = l_watch.Elapsed();
        std::int64_t const l_cpu = bench::ThreadCpuNs();
        l_watch.Restart();
        bench::Require(RunShareJob(*lp_manager, l_command, bench::Size(600000, 60000)), "a share job did not end in time");
        l_watch.Turn();
        l_files = std::max(l_files, d.GetType("shared_file")->GetItemCount());
        std::printf("%lld %.1f %.1f %.1f ", static_cast<long long>(l_watch.Elapsed() - l_start), l_watch.LongestMs(),
                    l_watch.LongestCpuMs(), (bench::ThreadCpuNs() - l_cpu) / 1e6);
    }
    bench::Require(d.GetType("shared_file")->GetItemCount() == 0, "unsharing left files in the index");
    std::printf("%zu\n", l_files);
    std::fflush(stdout);
    std::_Exit(0);
}

void CommandsBench(QString const& i_root)
{
    char const* const l_names[] = {"share", "rescan", "unshare"};
    std::vector<double> l_time[2][3], l_stall[2][3], l_stallCpu[3], l_ratio[3], l_cpuRatio[3], l_cpu[2][3];
    std::size_t l_files = 0;
    // In one go is the same job with a slice that never ends, in the
    // process before or after (in turns): the two of a round see about the
    // same load.
    for (int l_round = 0, l_rounds = bench::Size(7, 1); l_round < l_rounds; ++l_round)
        for (int l_turn = 0; l_turn < 2; ++l_turn) {
            int const l_whole = (l_round + l_turn) % 2;
            QString l_output;
            RunChild({"--commands", i_root, l_whole ? "1000000000" : "10"}, &l_output);
            QStringList const l_values = l_output.split(' ');
            for (int l_command = 0; l_command < 3; ++l_command) {
                l_time[l_whole][l_command].push_back(l_values[4 * l_command].toDouble());
                l_stall[l_whole][l_command].push_back(l_values[4 * l_command + 1].toDouble());
                if (!l_whole)
                    l_stallCpu[l_command].push_back(l_values[4 * l_command + 2].toDouble());
                l_cpu[l_whole][l_command].push_back(l_values[4 * l_command + 3].toDouble());
            }
            l_files = l_values[12].toULongLong();
        }
    std::printf("share, rescan and unshare of %zu files, %zu fresh processes each way:\n", l_files,
                l_time[0][0].size());
    for (int l_command = 0; l_command < 3; ++l_command) {
        for (std::size_t l_round = 0; l_round < l_time[0][l_command].size(); ++l_round) {
            l_ratio[l_command].push_back(l_time[0][l_command][l_round] / l_time[1][l_command][l_round]);
            l_cpuRatio[l_command].push_back(l_cpu[0][l_command][l_round] / l_cpu[1][l_command][l_round]);
        }
        std::printf("  %-7s in slices %s ms, longest stall %s ms (this thread ran %s ms of it); in one go %s ms, "
                    "longest stall %s ms; sliced against one go %s times\n",
                    l_names[l_command], qPrintable(bench::Range(l_time[0][l_command], "%.0f")),
                    qPrintable(Spread(l_stall[0][l_command], "%.0f")), qPrintable(bench::Range(l_stallCpu[l_command], "%.0f")),
                    qPrintable(bench::Range(l_time[1][l_command], "%.0f")), qPrintable(bench::Range(l_stall[1][l_command], "%.0f")),
                    qPrintable(Spread(l_ratio[l_command], "%.2f")));
        // The machine is shared: the processor time of this thread, the
        // merge's own work, moves far less with the load than the time to
        // the end does.
        std::printf("          this thread's processor time in slices against one go %s times\n",
                    qPrintable(Spread(l_cpuRatio[l_command], "%.2f")));
    }
}

// Files of the trees of the sliced jobs' figures, each with 5,000 albums
// (100,000 files) marked: the search of the figures matches the same
// number of files at either size.
int const kSizes[] = {250000, 2000000};
int const kQuickSizes[] = {2000, 4000};
int const kMarkedAlbums = 5000;
int const kQuickMarkedAlbums = 20;

// Resident memory in MiB once freed heap is given back to the system.
double TrimmedResidentMiB()
{
    malloc_trim(0);
    return bench::ResidentKiB() / 1024.0;
}

// Every sliced job of the index in a fresh process, as the program runs
// them: sharing the tree (made public), a search from another user that
// matches 100,000 of its files (through the server link's slot), the share
// list that user asks for (through the peer messenger's provider), a
// rescan, and unsharing the tree; then the store's collection. Each is
// watched by a 1 ms timer for the longest stall. Prints for each job its
// time to the end, the longest stall, and the most processor time this
// thread used between two turns of its event loop (ms; on a loaded machine
// the longest stall is mostly time given to other processes), then the files, the MP3 analyses the scanner still had
// queued once the unshare had ended (the rescan's asked for, the share's
// left), and the resident memory held after the collection against before
// sharing (MiB, freed heap given back).
int SizedChild(QString const& i_root)
{
    DeclareSharesNeighbourTypes();
    SetSetting("username", QStringLiteral("me"));
    std::unique_ptr<SharedFoldersManager> lp_manager(new SharedFoldersManager);
    int l_answers = 0;
    lp_manager->SetAnswerSink([&l_answers](QString const&, QByteArray const&) { ++l_answers; });
    double const l_residentBefore = TrimmedResidentMiB();
    LoopWatch l_watch;
    auto const l_measure = [&](std::function<void()> const& i_start, std::function<bool()> const& i_done) {
        qint64 const l_start = l_watch.Elapsed();
        l_watch.Restart();
        i_start();
        QElapsedTimer l_limit;
        l_limit.start();
        int const l_limitMs = bench::LimitMs(1200000);
        while (!i_done()) {
            bench::RequireEnded(l_limit.elapsed() < l_limitMs, "a sliced job", l_limitMs);
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        l_watch.Turn();
        std::printf("%lld %.1f %.1f ", static_cast<long long>(l_watch.Elapsed() - l_start), l_watch.LongestMs(),
                    l_watch.LongestWorkMs());
        // Where to look in a profile of the process ("perf record -k
        // CLOCK_MONOTONIC", then "perf script --time").
        if (qEnvironmentVariableIsSet("QUILLMAR_BENCH_TRACE"))
            std::fprintf(stderr,
                         "longest stall %.1f ms, ended at %.6f s on the monotonic clock; longest work %.1f ms, "
                         "ended at %.6f s\n",
                         l_watch.LongestMs(), l_watch.LongestEndNs() / 1e9, l_watch.LongestWorkMs(),
                         l_watch.LongestWorkEndNs() / 1e9);
    };
    auto const l_shareJob = [&](std::function<void()> const& i_command) {
        bool l_ended = false;
        int const l_limitMs = bench::LimitMs(1200000);
        l_measure([&] { l_ended = RunShareJob(*lp_manager, i_command, l_limitMs); }, [&] { return true; });
        bench::RequireEnded(l_ended, "a share job", l_limitMs);
    };

    Item l_root;
    l_shareJob([&] {
        l_root = lp_manager->AddSharedFolder(i_root);
        l_root += d.GetType("shared_public")->GetGlobalNullItem();
    });
    std::size_t const l_files = d.GetType("shared_file")->GetItemCount();
    l_measure([&] { lp_manager->OnDirectFileSearch("bob", 1, "marker"); }, [&] { return l_answers == 1; });
    bool l_listed = false;
    l_measure([&] { lp_manager->ProvideShareList("bob", [&l_listed](QByteArray) { l_listed = true; }); },
              [&] { return l_listed; });
    // The scanner reads the bench's small MP3 files in minutes where a
    // real collection takes hours: it is held from the end of the rescan's
    // walk until the unshare has ended, with the analyses both asked for
    // waiting, as they would wait behind the analyses under way.
    FileScanner& l_scanner = lp_manager->GetFileScanner();
    QSemaphore l_hold;
    QObject const l_listening;
    QObject::connect(&l_scanner, &FileScanner::FoldersScanned, &l_listening, [&l_hold] { l_hold.acquire(); },
                     Qt::DirectConnection);
    l_shareJob([&] { lp_manager->RescanShares(); });
    l_shareJob([&] { lp_manager->UnshareFolder(l_root); });
    bench::Require(d.GetType("shared_file")->GetItemCount() == 0, "unsharing left files in the index");
    l_hold.release();
    // What the scanner still has to analyse once it has taken every call
    // made to it.
    QMetaObject::invokeMethod(&l_scanner, [] {}, Qt::BlockingQueuedConnection);
    std::size_t const l_pending = lp_manager->GetFileScanner().PendingMP3Count();
    d.RemoveDisconnectedItems();
    std::printf("%zu %zu %.0f\n", l_files, l_pending, TrimmedResidentMiB() - l_residentBefore);
    std::fflush(stdout);
    std::_Exit(0);
}

void SizedJobsBench(QString const& i_work)
{
    char const* const l_names[] = {"share", "search", "share list", "rescan", "unshare"};
    int const l_jobs = 5;
    int const l_rounds = bench::Size(3, 1);
    for (int l_size = 0; l_size < 2; ++l_size) {
        int const l_target = bench::Quick() ? kQuickSizes[l_size] : kSizes[l_size];
        int const l_artists = l_target / (bench::FILES_PER_ARTIST);
        QString const l_root = QString("%1/Sized%2").arg(i_work).arg(l_target);
        QString const l_marker = l_root + ".complete";
        if (!QFile::exists(l_marker)) {
            QElapsedTimer l_timer;
            l_timer.start();
            MakeTree(l_root, l_artists, bench::Size(kMarkedAlbums, kQuickMarkedAlbums));
            QFile(l_marker).open(QIODevice::WriteOnly);
            std::printf("tree of %d files made in %.1f s\n", l_target, l_timer.elapsed() / 1e3);
        }
        std::vector<double> l_time[l_jobs], l_stall[l_jobs], l_stallCpu[l_jobs], l_pending, l_resident;
        std::size_t l_files = 0;
        for (int l_round = 0; l_round < l_rounds; ++l_round) {
            QString l_output;
            RunChild({"--sized", l_root}, &l_output);
            QStringList const l_values = l_output.simplified().split(' ');
            bench::Require(l_values.size() == 3 * l_jobs + 3, "a sized child gave no figures");
            for (int l_job = 0; l_job < l_jobs; ++l_job) {
                l_time[l_job].push_back(l_values[3 * l_job].toDouble());
                l_stall[l_job].push_back(l_values[3 * l_job + 1].toDouble());
                l_stallCpu[l_job].push_back(l_values[3 * l_job + 2].toDouble());
            }
            l_files = l_values[3 * l_jobs].toULongLong();
            l_pending.push_back(l_values[3 * l_jobs + 1].toDouble());
            l_resident.push_back(l_values[3 * l_jobs + 2].toDouble());
        }
        std::printf("sliced jobs over %zu files (%d marked for the search), %d fresh processes:\n", l_files,
                    20 * bench::Size(kMarkedAlbums, kQuickMarkedAlbums), l_rounds);
        for (int l_job = 0; l_job < l_jobs; ++l_job)
            std::printf("  %-10s %s ms, longest stall %s ms, longest work between two turns %s ms\n", l_names[l_job],
                        qPrintable(bench::Range(l_time[l_job], "%.0f")), qPrintable(Spread(l_stall[l_job], "%.0f")),
                        qPrintable(Spread(l_stallCpu[l_job], "%.1f")));
        std::printf("  MP3 analyses still queued after the unshare: %s; resident memory held after it and a "
                    "collection: %s MiB\n",
                    qPrintable(bench::Range(l_pending, "%.0f")), qPrintable(bench::Range(l_resident, "%.0f")));
    }
}

void IndexBench(QString const& i_root, int i_files)
{
    DeclareSharesNeighbourTypes();
    std::unique_ptr<SharedFoldersManager> lp_manager(new SharedFoldersManager);
    d.GetType("shared_folder")->GetItem(Value(i_root));
    RunStartupScan(*lp_manager);
    int const l_albums = i_files / FILES_PER_ALBUM;
    std::printf("files %d in %d folders\n", i_files, l_albums);

    // Candidates of two-token searches.
    // Median and fastest of 200 calls: the machine is shared, and a mean
    // follows whatever else runs.
    auto l_time = [&](std::vector<std::string> const& i_tokens) {
        int const l_rounds = bench::Size(200, 5);
        std::size_t l_found = 0;
        std::vector<double> l_ms;
        for (int l_round = 0; l_round < l_rounds; ++l_round) {
            QElapsedTimer l_lookup;
            l_lookup.start();
            l_found = lp_manager->GetFilesWithTokens(i_tokens).size();
            l_ms.push_back(l_lookup.nsecsElapsed() / 1e6);
        }
        std::sort(l_ms.begin(), l_ms.end());
        std::printf("lookup %s + %s: %zu candidates, median %.3f ms, fastest %.3f ms\n", i_tokens[0].c_str(),
                    i_tokens[1].c_str(), l_found, l_ms[l_ms.size() / 2], l_ms.front());
    };
    // The two commonest words, two words of middle rank, a common word with
    // the extension every track has, and two frequent tokens with no file in common.
    l_time({"silver", "morning"});
    l_time({"thunder", "violet"});
    {
        // Two rarer words that do meet: the last two of one track's title.
        Item const l_track = d.GetType("shared_file")->GetItems().begin()[i_files / 2 + 3];
        QStringList const l_words = l_track["shared_file_name"].AsString().toLower().split(' ');
        l_time({l_words[l_words.size() - 2].toStdString(), l_words.last().section('.', 0, 0).toStdString()});
    }
    l_time({"mp3", "silver"});
    l_time({"mp3", "jpg"});

    // A file lookup of a name that every album holds.
    Item const l_anyCover = d.GetType("shared_file_name")->HasItem(Value("cover.jpg")).GetItems("shared_file").begin()
                                [l_albums / 2];
    QString const l_path = l_anyCover["shared_file_folder"].AsString() + "/cover.jpg";
    for (QString const& l_asked : {l_path, l_path.toUpper()}) {
        int const l_rounds = bench::Size(1000, 10);
        QElapsedTimer l_lookup;
        l_lookup.start();
        bool l_right = true;
        for (int l_round = 0; l_round < l_rounds; ++l_round)
            l_right = l_right && lp_manager->GetSharedFileItem(l_asked) == l_anyCover;
        std::printf("file lookup of cover.jpg (%s): %.1f us%s\n", l_asked == l_path ? "exact" : "other case",
                    l_lookup.nsecsElapsed() / 1e3 / l_rounds, l_right ? "" : " WRONG ITEM");
        bench::Require(l_right, "a file lookup found another item");
    }

    // To the end of its job: the command itself only starts the walk.
    QElapsedTimer l_rescan;
    l_rescan.start();
    int const l_rescanLimitMs = bench::LimitMs(600000);
    bench::RequireEnded(RunShareJob(*lp_manager, [&] { lp_manager->RescanShares(); }, l_rescanLimitMs), "the rescan",
                        l_rescanLimitMs);
    std::printf("rescan of an unchanged tree: %.1f ms\n", l_rescan.nsecsElapsed() / 1e6);
    lp_manager.reset();
    d.Reset();
}

void Mp3Bench(QString const& i_folder)
{
    QString const l_path = i_folder + "/synthetic.mp3";
    {
        QFile l_file(l_path);
        if (!l_file.open(QIODevice::WriteOnly))
            bench::Fail("the MP3 file cannot be written");
        QRandomGenerator l_random(7);
        QByteArray l_frame(417, '\0');
        qint64 l_written = 0;
        while (l_written < bench::Size(200ll, 2ll) * 1024 * 1024) {
            for (int l_index = 4; l_index < l_frame.size(); ++l_index)
                l_frame[l_index] = char(l_random.bounded(256));
            l_frame[0] = char(0xFF);
            l_frame[1] = char(0xFB);
            l_frame[2] = char(0x90);
            l_frame[3] = char(0x40);
            l_written += l_file.write(l_frame);
        }
    }
    qint64 const l_size = QFileInfo(l_path).size();
    auto l_readLoop = [&] {
        QElapsedTimer l_timer;
        l_timer.start();
        int const l_fd = ::open(QFile::encodeName(l_path).constData(), O_RDONLY);
        std::unique_ptr<char[]> lp_buffer(new char[65536]);
        unsigned l_sum = 0;
        ssize_t l_read;
        while ((l_read = ::read(l_fd, lp_buffer.get(), 65536)) > 0)
            l_sum += static_cast<unsigned char>(lp_buffer[0]);
        ::close(l_fd);
        if (l_sum == 1)
            std::printf(" ");
        return l_timer.nsecsElapsed() / 1e9;
    };
    FileScanner l_scanner;
    int l_version = 0, l_frequency = 0, l_bitrate = 0;
    bool l_isVBR = false;
    QString l_channel;
    auto l_scan = [&] {
        QElapsedTimer l_timer;
        l_timer.start();
        l_scanner.ScanMP3(l_path, l_version, l_channel, l_frequency, l_isVBR, l_bitrate);
        return l_timer.nsecsElapsed() / 1e9;
    };
    l_readLoop();
    double l_read = 1e18, l_parse = 1e18;
    for (int l_round = 0; l_round < 3; ++l_round) {
        l_read = std::min(l_read, l_readLoop());
        l_parse = std::min(l_parse, l_scan());
    }
    double const l_gb = l_size / 1e9;
    std::printf("MP3 scan of %.0f MB: read() loop %.2f GB/s, ScanMP3 %.2f GB/s (%d kbit/s %s, %s)\n", l_size / 1e6,
                l_gb / l_read, l_gb / l_parse, l_bitrate, l_isVBR ? "vbr" : "cbr", qPrintable(l_channel));
    QFile::remove(l_path);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    QStringList const l_arguments = l_app.arguments().mid(1);
    QString const l_mode = l_arguments.value(0);
    if (l_mode == "--walk")
        return WalkChild(l_arguments.value(1));
    if (l_mode == "--nftw")
        return NftwChild(l_arguments.value(1));
    if (l_mode == "--merge")
        return MergeChild(l_arguments.value(1), l_arguments.value(2).toLongLong(), l_arguments.value(3) == "again");
    if (l_mode == "--commands")
        return CommandsChild(l_arguments.value(1), l_arguments.value(2).toLongLong());
    if (l_mode == "--sized")
        return SizedChild(l_arguments.value(1));

    bool const l_commandsOnly = l_mode == "--commands-only";
    bool const l_million = l_mode == "--million" || (l_commandsOnly && l_arguments.value(1) == "--million");
    bool const l_walkOnly = l_mode == "--walk-only";
    bool const l_sizes = l_mode == "--sizes";
    QTemporaryDir l_temporary;
    QString const l_work =
        l_arguments.size() > int(l_million) + int(l_walkOnly || l_commandsOnly || l_sizes) ? l_arguments.last()
                                                                                           : l_temporary.path();
    if (l_sizes) {
        SizedJobsBench(l_work);
        return 0;
    }
    QString const l_root = l_work + (l_million ? "/Million" : "/Music");
    int const l_artists = bench::Size(l_million ? kMillionArtists : kArtists, 4);
    QString const l_marker = l_root + ".complete";
    int l_files = l_artists * bench::FILES_PER_ARTIST;
    if (!QFile::exists(l_marker)) {
        QElapsedTimer l_timer;
        l_timer.start();
        l_files = MakeTree(l_root, l_artists);
        QFile(l_marker).open(QIODevice::WriteOnly);
        std::printf("tree made in %.1f s\n", l_timer.elapsed() / 1e3);
    }
    if (l_commandsOnly) {
        CommandsBench(l_root);
        return 0;
    }
    if (!l_million)
        WalkBench(l_root);
    if (l_walkOnly)
        return 0;
    MergeBench(l_root);
    CommandsBench(l_root);
    if (l_million)
        return 0;
    IndexBench(l_root, l_files);
    Mp3Bench(l_work);
    return 0;
}
