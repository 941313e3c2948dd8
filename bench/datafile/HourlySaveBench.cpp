// The hourly save on the program's own index: a tree of 1,000,000 files in
// 50,000 folders (bench/MusicTree.h), shared through the shared-folders
// manager as the window shares it, each figure in a fresh process:
//
// - the background save, a few times in the same process: how long
//   SaveInBackground keeps the calling thread (its first slice), the
//   longest stall of the event loop while the save gathers the store in
//   slices and its thread writes the file, the calling thread's processor
//   time over the whole save (the slices), and the time until the file is
//   in place; with the resident memory;
// - unsharing the tree after a background save has started: while it
//   gathers the store (the unshare's changes reach the save, which notes
//   them or starts over), once it has gathered it (and its thread writes
//   the file), once it has ended, against the same with no save before it,
//   in turns: the first step (the call, which removes the shared root and
//   its links to every folder), its page faults, the longest stall of the
//   whole job, and when the save's file was in place.
//
//   bench_hourly_save [--files N] [work folder]
//
// Quick mode makes 2,000 files and runs each figure once. A tree made by an
// earlier run in the same work folder is used again; without a work folder
// the tree goes with its temporary folder. The other options are the child
// processes that the run starts.

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
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

long MinorFaults()
{
    rusage l_usage;
    getrusage(RUSAGE_THREAD, &l_usage);
    return l_usage.ru_minflt;
}

// The index as sharing leaves it, in this process.
struct SharedIndex
{
    std::unique_ptr<DataSaver> mp_saver;
    std::unique_ptr<SharedFoldersManager> mp_manager;
    Item m_root;

    explicit SharedIndex(QString const& i_root)
    {
        DeclareSharesNeighbourTypes();
        mp_saver.reset(new DataSaver);
        mp_manager.reset(new SharedFoldersManager);
        int const l_limitMs = bench::LimitMs(1200000);
        bench::RequireEnded(RunShareJob(*mp_manager, [&] { m_root = mp_manager->AddSharedFolder(i_root); }, l_limitMs),
                            "sharing the tree", l_limitMs);
        // The MP3 analyses asked for are skipped, and the scan result freed.
        mp_manager->GetFileScanner().Quit();
        QMetaObject::invokeMethod(&mp_manager->GetFileScanner(), [] {}, Qt::BlockingQueuedConnection);
    }

    std::size_t Files() const { return d.GetType("shared_file")->GetItemCount(); }
};

// Prints: files, resident MiB, then for each round the hold in ms, this
// thread's processor time in it, the longest stall of the event loop while
// the save ran, this thread's processor time over the whole save, and the
// time until the file was in place; then the resident MiB after the saves
// and the most the process held.
int HoldChild(QString const& i_root, QString const& i_data, int i_rounds)
{
    SharedIndex l_index(i_root);
    std::printf("%zu %ld", l_index.Files(), bench::ResidentKiB("VmRSS:") / 1024);
    for (int l_round = 0; l_round < i_rounds; ++l_round) {
        bool l_done = false, l_saved = false;
        LoopWatch l_watch;
        QElapsedTimer l_clock;
        std::int64_t const l_cpu = bench::ThreadCpuNs();
        l_clock.start();
        l_index.mp_saver->SaveInBackground(i_data + "/.Quillmar", [&](bool i_saved) {
            l_done = true;
            l_saved = i_saved;
        });
        double const l_heldMs = l_clock.nsecsElapsed() / 1e6;
        double const l_heldCpuMs = (bench::ThreadCpuNs() - l_cpu) / 1e6;
        while (!l_done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        l_watch.Turn();
        double const l_wholeCpuMs = (bench::ThreadCpuNs() - l_cpu) / 1e6;
        bench::Require(l_saved, "the background save failed");
        std::printf(" %.2f %.2f %.2f %.1f %lld", l_heldMs, l_heldCpuMs, std::max(l_heldMs, l_watch.LongestMs()),
                    l_wholeCpuMs, static_cast<long long>(l_clock.elapsed()));
    }
    std::printf(" %ld %ld\n", bench::ResidentKiB("VmRSS:") / 1024, bench::ResidentKiB("VmHWM:") / 1024);
    std::fflush(stdout);
    std::_Exit(0); // tearing down the store is not what is measured
}

// When unsharing starts: with no save before it, or after a background
// save started, while it gathers the store, once it has gathered it (and
// writes the file), or once it has ended.
enum class Stage { NONE, GATHERING, GATHERED, ENDED };
char const* const kStageNames[] = {"none", "gathering", "gathered", "ended"};

// Prints: the first step of unsharing in ms, this thread's processor time
// in it, its minor page faults, the longest stall of the whole job, the
// job's time, and when the save's file was in place (0 with no save).
int UnshareChild(QString const& i_root, QString const& i_data, Stage i_stage)
{
    SharedIndex l_index(i_root);
    bool l_done = i_stage == Stage::NONE;
    bool l_saved = true;
    QElapsedTimer l_save;
    l_save.start();
    qint64 l_inPlace = 0;
    if (i_stage != Stage::NONE)
        l_index.mp_saver->SaveInBackground(i_data + "/.Quillmar", [&](bool i_saved) {
            l_done = true;
            l_saved = i_saved;
            l_inPlace = l_save.elapsed();
        });
    if (i_stage == Stage::GATHERED)
        while (!l_index.mp_saver->BackgroundImageBuilt())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (i_stage == Stage::ENDED)
        while (!l_done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    LoopWatch l_watch;
    double l_firstMs = 0, l_firstCpuMs = 0;
    long l_faults = 0;
    int const l_limitMs = bench::LimitMs(1200000);
    bench::RequireEnded(RunShareJob(*l_index.mp_manager, [&] {
                       long const l_before = MinorFaults();
                       std::int64_t const l_cpu = bench::ThreadCpuNs();
                       QElapsedTimer l_clock;
                       l_clock.start();
                       l_index.mp_manager->UnshareFolder(l_index.m_root);
                       l_firstMs = l_clock.nsecsElapsed() / 1e6;
                       l_firstCpuMs = (bench::ThreadCpuNs() - l_cpu) / 1e6;
                       l_faults = MinorFaults() - l_before;
                   }, l_limitMs),
                   "unsharing", l_limitMs);
    l_watch.Turn();
    qint64 const l_job = l_watch.Elapsed();
    while (!l_done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    l_watch.Turn();
    bench::Require(l_saved, "the background save failed");
    std::printf("%.2f %.2f %ld %.2f %lld %lld\n", l_firstMs, l_firstCpuMs, l_faults, l_watch.LongestMs(),
                static_cast<long long>(l_job), static_cast<long long>(l_inPlace));
    std::fflush(stdout);
    std::_Exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    QStringList l_arguments = l_app.arguments().mid(1);
    QString const l_mode = l_arguments.value(0);
    if (l_mode == "--hold")
        return HoldChild(l_arguments.value(1), l_arguments.value(2), l_arguments.value(3).toInt());
    if (l_mode == "--unshare")
        for (int l_stage = 0; l_stage < 4; ++l_stage)
            if (l_arguments.value(3) == kStageNames[l_stage])
                return UnshareChild(l_arguments.value(1), l_arguments.value(2), Stage(l_stage));

    int l_files = bench::Size(1000000, 2000);
    if (l_mode == "--files") {
        l_files = l_arguments.value(1).toInt();
        l_arguments = l_arguments.mid(2);
    }
    QTemporaryDir l_temporary;
    QString const l_work = l_arguments.isEmpty() ? l_temporary.path() : l_arguments.last();
    QString const l_root = l_work + QString("/Index%1").arg(l_files);
    QString const l_marker = l_root + ".complete";
    if (!QFile::exists(l_marker)) {
        QElapsedTimer l_timer;
        l_timer.start();
        if (bench::MakeMusicTree(l_root, (l_files + bench::FILES_PER_ARTIST - 1) / bench::FILES_PER_ARTIST) < 0)
            bench::Fail("a file of the tree cannot be made");
        QFile(l_marker).open(QIODevice::WriteOnly);
        std::printf("tree of %d files made in %.1f s\n", l_files, l_timer.elapsed() / 1e3);
    }
    QTemporaryDir l_data;

    int const l_processes = bench::Size(3, 1);
    int const l_rounds = bench::Size(3, 1);
    // The first save of each process apart: it comes just after the share,
    // and its first allocations meet the C library's allocator still busy
    // with what the share freed.
    std::vector<double> l_held[2], l_heldCpu[2], l_longest[2], l_wholeCpu[2], l_inPlace[2], l_resident;
    std::vector<double> l_residentAfter, l_peak;
    QString l_indexed;
    for (int l_process = 0; l_process < l_processes; ++l_process) {
        QStringList const l_values = bench::RunChild({"--hold", l_root, l_data.path(), QString::number(l_rounds)});
        l_indexed = l_values.value(0);
        l_resident.push_back(l_values.value(1).toDouble());
        for (int l_round = 0; l_round < l_rounds; ++l_round) {
            int const l_kind = l_round == 0 ? 0 : 1;
            l_held[l_kind].push_back(l_values.value(2 + 5 * l_round).toDouble());
            l_heldCpu[l_kind].push_back(l_values.value(3 + 5 * l_round).toDouble());
            l_longest[l_kind].push_back(l_values.value(4 + 5 * l_round).toDouble());
            l_wholeCpu[l_kind].push_back(l_values.value(5 + 5 * l_round).toDouble());
            l_inPlace[l_kind].push_back(l_values.value(6 + 5 * l_round).toDouble());
        }
        l_residentAfter.push_back(l_values.value(2 + 5 * l_rounds).toDouble());
        l_peak.push_back(l_values.value(3 + 5 * l_rounds).toDouble());
        for (auto const& l_file : DataSaver::ListDataFiles(l_data.path() + "/.Quillmar"))
            QFile::remove(l_file.second);
    }
    std::printf("hourly save of the index of %s files (resident %s MiB before the saves, %s MiB after them, at most "
                "%s MiB), %d processes of %d saves:\n",
                qPrintable(l_indexed), qPrintable(bench::Range(l_resident, "%.0f")), qPrintable(bench::Range(l_residentAfter, "%.0f")),
                qPrintable(bench::Range(l_peak, "%.0f")), l_processes, l_rounds);
    for (int l_kind = 0; l_kind < 2; ++l_kind) {
        if (l_held[l_kind].empty())
            continue;
        std::printf("  %s: the calling thread held %s ms (its own processor time %s ms); longest stall of the event "
                    "loop while it ran %s ms; the calling thread's processor time over the save %s ms; file in place "
                    "after %s ms\n",
                    l_kind == 0 ? "the first save after sharing" : "the saves after it",
                    qPrintable(bench::Range(l_held[l_kind], "%.1f")), qPrintable(bench::Range(l_heldCpu[l_kind], "%.1f")),
                    qPrintable(bench::Range(l_longest[l_kind], "%.1f")), qPrintable(bench::Range(l_wholeCpu[l_kind], "%.0f")),
                    qPrintable(bench::Range(l_inPlace[l_kind], "%.0f")));
    }

    std::vector<double> l_first[4], l_firstCpu[4], l_faults[4], l_stall[4], l_job[4], l_fileAt[4];
    for (int l_round = 0; l_round < l_processes; ++l_round)
        for (int l_turn = 0; l_turn < 4; ++l_turn) {
            int const l_stage = (l_round + l_turn) % 4;
            QStringList const l_values = bench::RunChild({"--unshare", l_root, l_data.path(), kStageNames[l_stage]});
            l_first[l_stage].push_back(l_values.value(0).toDouble());
            l_firstCpu[l_stage].push_back(l_values.value(1).toDouble());
            l_faults[l_stage].push_back(l_values.value(2).toDouble());
            l_stall[l_stage].push_back(l_values.value(3).toDouble());
            l_job[l_stage].push_back(l_values.value(4).toDouble());
            l_fileAt[l_stage].push_back(l_values.value(5).toDouble());
            for (auto const& l_file : DataSaver::ListDataFiles(l_data.path() + "/.Quillmar"))
                QFile::remove(l_file.second);
        }
    char const* const l_names[] = {"with no save before it", "while the save gathers the store",
                                   "once it has gathered it", "once the save has ended"};
    for (int l_stage = 0; l_stage < 4; ++l_stage) {
        std::printf("  unsharing %s: first step %s ms (its own processor time %s ms, %s page faults), longest stall "
                    "%s ms, job %s ms",
                    l_names[l_stage], qPrintable(bench::Range(l_first[l_stage], "%.1f")),
                    qPrintable(bench::Range(l_firstCpu[l_stage], "%.1f")), qPrintable(bench::Range(l_faults[l_stage], "%.0f")),
                    qPrintable(bench::Range(l_stall[l_stage], "%.1f")), qPrintable(bench::Range(l_job[l_stage], "%.0f")));
        if (l_stage != 0)
            std::printf(", the save's file in place after %s ms", qPrintable(bench::Range(l_fileAt[l_stage], "%.0f")));
        std::printf("\n");
    }
    return 0;
}
