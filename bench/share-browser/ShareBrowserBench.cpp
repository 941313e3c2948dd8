// Figures of the Browse page with a received share of 200,000 files in
// 20,000 folders, through the entry points the program uses: the share list
// handed over as the peer messenger hands it (PeerMessenger::UserShare), the
// filter box's text, and closing the tab. The page is shown (offscreen) in a
// main window and the event loop runs throughout, so the slices, painting
// and the view's layout are all counted; the longest time the event loop
// waited between two of its turns is the stall the user would feel.
// Everything is in memory: caches are warm.
//
// Then a folder of 100,001 files chosen for download, and its tab closed
// while the folder is being queued (after the first thousand files): the
// rest is queued after the tab has gone. The longest stall from the close
// to the last file queued and the list removed, and the window's thread's
// processor time over the same (in a pass of its own, without the probe).
//
//   bench_share_browser [runs] [files]     (default 4 runs of 200,000 files)
//   bench_share_browser [runs] hostile     (each hostile list [runs] times,
//                                           after one ordinary share)
//   bench_share_browser [runs] folders KIND (a list of many folders [runs]
//                                           times, after one ordinary share)
//   bench_share_browser [runs] bigfolder   (a folder of 100,000 files
//                                           listed, [runs] times each way)
//
// The hostile lists are the shapes peers have sent (names of 131,000
// bytes, a chain of folders 10,000 deep, an attribute-name table of 28
// million names, a million files) and two at the bounds a list may reach
// (names of 1,024 bytes, 2,048 levels), each compressed and handed to the
// peer messenger as the answer to the tab's request
// (PeerMessenger::DispatchMessage, as a connection does): read in slices,
// refused or entered and shown. The memory an accepted list may take is
// twice its inflated size and, for each of its entries, the bytes a file
// takes in the run of the ordinary share made first in the same process;
// it is read as the peak from the list's arrival to its tab shown
// ("VmHWM:") and as the resident memory then, once the C library has given
// back its free pages.
//
// The lists of many folders (KIND: flat200k, flat2m, chains, wide,
// refused) go the same way, and their tab is closed again: 200,000 or
// 2,000,000 top-level folders, 50 chains of folders 2,048 deep, one folder
// of 1,998,999 subfolders, and a list of folders of 1,000-byte names that
// inflates past the 256 MiB cap (300 MiB).
// For each, the longest stall, the window's thread's processor time and
// the longest it ran without a turn of the event loop, from the message's
// arrival to the tab built (or refused), and from the close to the share
// removed and the store's collection done; the resident memory growth once
// shown (for an accepted list after malloc_trim: what is held), and left
// 5 s after the close as the process has it (no malloc_trim by the
// benchmark: what the user sees).
// One kind a process, so that what an earlier list freed does not hide
// what a later one keeps.
//
// The big folder: a share of one folder of 100,000 files, whose names are
// short and plain, or 1,016 bytes of mixed scripts; the folder's row is
// clicked, and the event loop runs until the list holds every file in its
// order. The longest stall (the thread's own longest run), the thread's
// processor time and the resident memory from before the click to the
// list done.
//
// Resident memory is read after the store's collection, which gives the
// freed pools' pages and the C library's free pages back to the system. A
// share of 1,000 files is shown and closed first, unmeasured: the page's
// one-time costs (the window's backing store, fonts, the view's caches,
// some 10 MB whatever the share's size) are then paid before the first
// measured share. "after/before" compares resident memory after closing
// with before the list arrived.

#include "bench/BenchUtil.h"
#include "ShareBrowserFixture.h"
#include "../../peers/HostileShareLists.h"

#include "store/SlicedWork.h"
#include "store/StoreCollector.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTextBrowser>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>

namespace {

int const FILES_PER_FOLDER = 10;
int const ALBUMS_PER_ARTIST = 99;

// The list the decoder would leave: artists, each with its albums, each
// folder with its tracks (size, bitrate, mode, length).
FileInfoMap MakeList(int i_files)
{
    std::mt19937 l_random(12345);
    FileInfoMap l_list;
    int const l_folders = i_files / FILES_PER_FOLDER;
    int l_made = 0;
    for (int l_artist = 0; l_made < l_folders; ++l_artist) {
        std::string const l_artistPath = "Music\\Artist " + std::to_string(l_artist);
        for (int l_album = -1; l_album < ALBUMS_PER_ARTIST && l_made < l_folders; ++l_album, ++l_made) {
            std::string const l_path =
                l_album < 0 ? l_artistPath : l_artistPath + "\\Album " + std::to_string(l_album);
            std::set<FileInfo>& l_files = l_list[l_path];
            for (int l_track = 0; l_track < FILES_PER_FOLDER; ++l_track) {
                FileInfo l_file("Track " + std::to_string(l_track) + " - title " + std::to_string(l_made) + ".mp3",
                                2000000 + l_random() % 8000000);
                l_file.m_attributes.m_attributes = {{0, 128 + 64 * (l_random() % 4)}, {2, l_random() % 2},
                                                    {1, 120 + l_random() % 400}};
                l_files.insert(l_file);
            }
        }
    }
    return l_list;
}

// Runs the event loop until the condition holds; the longest wait between
// two turns of the loop, in milliseconds.
double RunUntil(std::function<bool()> const& i_done)
{
    return bench::StallProbe().RunUntil(i_done);
}

struct Figures
{
    double m_build = 0, m_buildStall = 0;
    double m_memoryPerFile = 0;
    double m_filter = 0, m_filterCpu = 0, m_filterStall = 0;
    double m_clear = 0, m_clearStall = 0;
    double m_close = 0, m_closeStall = 0;
    long m_before = 0, m_shown = 0, m_after = 0;
};

// A hostile list: its record (inflated), and whether it is to be taken.
struct Hostile
{
    char const* mp_name;
    std::function<QByteArray()> m_record;
    bool m_taken;
    quint64 m_entries; // folders and files, when taken
};

struct HostileFigures
{
    double m_seconds = 0, m_stall = 0, m_cpu = 0;
    long m_before = 0, m_peak = 0, m_shown = 0, m_after = 0;
    quint64 m_wire = 0, m_inflated = 0;
    QString m_outcome;
};

struct FolderFigures
{
    double m_openStall = 0, m_openOwn = 0, m_openCpu = 0, m_openSeconds = 0;
    double m_closeStall = 0, m_closeOwn = 0, m_closeCpu = 0, m_closeSeconds = 0;
    long m_before = 0, m_shown = 0, m_closed = 0;
    quint64 m_wire = 0, m_inflated = 0, m_folders = 0;
    bool m_taken = false;
};

struct Program : ShareBrowserFixture
{
    using ShareBrowserFixture::Count;
    using ShareBrowserFixture::Deliver;
    using ShareBrowserFixture::mp_page;
    using ShareBrowserFixture::mp_shares;

    Program()
    {
        StartPage();
        SetSwitch("expand_new_shares", true); // the shell's default
        mp_window->resize(1200, 800);
        mp_window->show();
    }
    ~Program() { StopPage(); }

    void Measure(int i_files, Figures& o_figures)
    {
        RunUntil([]() { return true; });
        d.RemoveDisconnectedItems();
        o_figures.m_before = bench::ResidentKiB();
        FileInfoMap l_list = MakeList(i_files);

        QElapsedTimer l_clock;
        l_clock.start();
        ShareForm* lp_view = mp_page->OpenShareBrowse("bob");
        Deliver("bob", std::move(l_list));
        o_figures.m_buildStall = RunUntil([lp_view]() { return lp_view->Tree()->IsBuilt(); });
        o_figures.m_build = l_clock.nsecsElapsed() / 1e9;
        d.RemoveDisconnectedItems();
        o_figures.m_shown = bench::ResidentKiB();
        o_figures.m_memoryPerFile = 1024.0 * double(o_figures.m_shown - o_figures.m_before) / i_files;
        bench::Require(Count("user_share_file") == std::size_t(i_files), "not every file was entered");

        // A folder chosen, then the filter: a word of one artist in ten
        // (folders shown by their own names, the others searched file by
        // file), and back to no filter.
        QTreeWidget* lp_tree = lp_view->FolderTree();
        lp_tree->setCurrentItem(lp_tree->topLevelItem(0)->child(5));
        RunUntil([]() { return true; });
        QLineEdit* lp_filter = lp_view->findChild<QLineEdit*>("filterEdit");
        bool l_applied = false;
        QObject::connect(lp_view->Tree(), &ShareTree::FilterApplied, [&l_applied]() { l_applied = true; });
        l_clock.restart();
        std::int64_t const l_cpu = bench::ThreadCpuNs();
        double const l_start = bench::MonotonicSeconds();
        lp_filter->setText("title 1999");
        o_figures.m_filterStall = RunUntil([&l_applied]() { return l_applied; });
        o_figures.m_filter = l_clock.nsecsElapsed() / 1e9;
        o_figures.m_filterCpu = (bench::ThreadCpuNs() - l_cpu) / 1e9;
        bench::Trace("filter change", l_start);
        l_applied = false;
        l_clock.restart();
        lp_filter->setText(QString());
        o_figures.m_clearStall = RunUntil([&l_applied]() { return l_applied; });
        o_figures.m_clear = l_clock.nsecsElapsed() / 1e9;

        l_clock.restart();
        mp_page->OnTabCloseRequested(mp_page->Tabs()->indexOf(lp_view));
        o_figures.m_closeStall = RunUntil([this]() { return !mp_shares->IsRemovingShares(); });
        o_figures.m_close = l_clock.nsecsElapsed() / 1e9;
        d.RemoveDisconnectedItems();
        RunUntil([]() { return true; });
        o_figures.m_after = bench::ResidentKiB();
        bench::Require(Count("user_share_file") + Count("user_share_folder") == 0,
                       "closing left items of the share");
    }

    // The list, compressed, answers the request of a new tab; the figures
    // run until the tab shows it or says it was refused, and then until it
    // is closed.
    void MeasureHostile(QByteArray const& i_record, HostileFigures& o_figures)
    {
        QByteArray l_message = HostileShareLists::U32(5);
        QByteArray l_compressed;
        bench::Require(ZlibCompress(i_record.constData(), quint64(i_record.size()), l_compressed), "no zlib stream");
        l_message += l_compressed;
        l_compressed.clear();
        o_figures.m_wire = quint64(l_message.size());
        o_figures.m_inflated = quint64(i_record.size());
        RunUntil([]() { return true; });
        d.RemoveDisconnectedItems();
        bench::ResetPeak();
        o_figures.m_before = bench::ResidentKiB();

        QElapsedTimer l_clock;
        l_clock.start();
        std::int64_t const l_cpu = bench::ThreadCpuNs();
        ShareForm* lp_view = mp_page->OpenShareBrowse("eve");
        bench::StallProbe l_probe;
        mp_messenger->DispatchMessage("eve", l_message);
        l_message.clear();
        o_figures.m_stall = l_probe.RunUntil([this, lp_view]() {
            return lp_view->Tree()->IsBuilt() ||
                   (mp_messenger->ShareListsBeingRead() == 0 &&
                    lp_view->MessageArea()->toPlainText().contains("refused"));
        });
        o_figures.m_seconds = l_clock.nsecsElapsed() / 1e9;
        o_figures.m_cpu = (bench::ThreadCpuNs() - l_cpu) / 1e9;
        d.RemoveDisconnectedItems();
        o_figures.m_peak = bench::ResidentKiB("VmHWM:");
        malloc_trim(0);
        o_figures.m_shown = bench::ResidentKiB();
        o_figures.m_outcome = lp_view->Tree()->IsBuilt()
                                  ? QString("taken, %1 folders, %2 files")
                                        .arg(Count("user_share_folder"))
                                        .arg(Count("user_share_file"))
                                  : lp_view->MessageArea()->toPlainText().section('\n', -1);

        mp_page->OnTabCloseRequested(mp_page->Tabs()->indexOf(lp_view));
        RunUntil([this]() { return !mp_shares->IsRemovingShares() && mp_page->PendingShareCount() == 0; });
        d.RemoveDisconnectedItems();
        RunUntil([]() { return true; });
        o_figures.m_after = bench::ResidentKiB();
    }
};

// The message of code 5 carrying the record, compressed as a peer sends it.
QByteArray ShareListMessage(QByteArray const& i_record)
{
    QByteArray l_message = HostileShareLists::U32(5);
    QByteArray l_compressed;
    bench::Require(ZlibCompress(i_record.constData(), quint64(i_record.size()), l_compressed), "no zlib stream");
    return l_message + l_compressed;
}

// Runs the event loop, probing it, until the condition holds: the longest
// stall, the longest the thread itself ran without a turn, and the
// thread's processor time (the probe's own turns included).
void ProbeUntil(std::function<bool()> const& i_done, double& o_stall, double& o_own, double& o_cpu)
{
    std::int64_t const l_cpu = bench::ThreadCpuNs();
    bench::StallProbe l_probe;
    o_stall = l_probe.RunUntil(i_done);
    o_own = l_probe.LongestCpuMs();
    o_cpu = double(bench::ThreadCpuNs() - l_cpu) / 1e9;
}

FolderFigures MeasureFolders(Program& io_program, QByteArray const& i_message, quint64 i_inflated)
{
    FolderFigures l_f;
    l_f.m_wire = quint64(i_message.size());
    l_f.m_inflated = i_inflated;
    RunUntil([]() { return true; });
    d.RemoveDisconnectedItems();
    RunUntil([]() { return true; });
    malloc_trim(0);
    l_f.m_before = bench::ResidentKiB();

    QElapsedTimer l_clock;
    l_clock.start();
    ShareForm* lp_view = io_program.mp_page->OpenShareBrowse("eve");
    QByteArray l_message = i_message;
    io_program.mp_messenger->DispatchMessage("eve", l_message);
    l_message.clear();
    ProbeUntil(
        [&io_program, lp_view]() {
            return lp_view->Tree()->IsBuilt() || (io_program.mp_messenger->ShareListsBeingRead() == 0 &&
                                                  lp_view->MessageArea()->toPlainText().contains("refused"));
        },
        l_f.m_openStall, l_f.m_openOwn, l_f.m_openCpu);
    l_f.m_openSeconds = l_clock.nsecsElapsed() / 1e9;
    l_f.m_taken = lp_view->Tree()->IsBuilt();
    l_f.m_folders = io_program.Count("user_share_folder");
    // For an accepted list, what the tab holds once the C library has given
    // back what it can: the memory the bound is about. A refused list is
    // left to give back what it read by itself.
    if (l_f.m_taken)
        malloc_trim(0);
    l_f.m_shown = bench::ResidentKiB();

    l_clock.restart();
    double const l_closeStart = bench::MonotonicSeconds();
    io_program.mp_page->OnTabCloseRequested(io_program.mp_page->Tabs()->indexOf(lp_view));
    ProbeUntil(
        [&io_program]() {
            return !io_program.mp_shares->IsRemovingShares() && io_program.mp_page->PendingShareCount() == 0 &&
                   io_program.Count("user_share_folder") == 0 &&
                   !StoreCollector::Obj()->IsRunning();
        },
        l_f.m_closeStall, l_f.m_closeOwn, l_f.m_closeCpu);
    l_f.m_closeSeconds = l_clock.nsecsElapsed() / 1e9;
    bench::Trace("close", l_closeStart);
    // What is given back after the close is given back by the program: the
    // benchmark only waits.
    QElapsedTimer l_wait;
    l_wait.start();
    RunUntil([&l_wait]() {
        QThread::msleep(10);
        return l_wait.elapsed() >= bench::Size(5000, 200);
    });
    l_f.m_closed = bench::ResidentKiB();
    return l_f;
}

void RunFolders(Program& io_program, int i_runs, QByteArray const& i_kind, double i_bytesPerFile)
{
    using namespace HostileShareLists;
    bool const l_quick = bench::Quick();
    QByteArray l_record;
    char const* lp_name = "";
    if (i_kind == "flat200k") {
        lp_name = "200,000 top-level folders";
        l_record = LongNames(l_quick ? 2000 : 200000, 12);
    } else if (i_kind == "flat2m") {
        lp_name = "2,000,000 top-level folders";
        l_record = LongNames(l_quick ? 20000 : 2000000, 12);
    } else if (i_kind == "chains") {
        lp_name = "50 chains of folders 2,048 deep";
        l_record = Chains(l_quick ? 2 : 50, l_quick ? 200 : 2048);
    } else if (i_kind == "wide") {
        lp_name = "one folder of 1,998,999 subfolders";
        int const l_subfolders = l_quick ? 19999 : 1998999;
        QByteArray l_entries = Folder("w");
        l_entries.reserve(l_subfolders * 18);
        for (int l_folder = 0; l_folder < l_subfolders; ++l_folder)
            l_entries += Folder("w\\" + QByteArray::number(l_folder).rightJustified(8, '0'));
        l_record = ListRecord(l_subfolders + 1, l_entries);
    } else if (i_kind == "refused") {
        lp_name = "folders of 1,000-byte names, 300 MiB inflated: refused";
        // Quick: refused for a name past 1,024 bytes instead.
        l_record = l_quick ? LongNames(20, 1100) : LongNames(300 * 1048576 / 1016, 1000);
    } else {
        bench::Fail("no such kind of list (flat200k, flat2m, chains, wide, refused)");
    }
    quint64 const l_inflated = quint64(l_record.size());
    QByteArray const l_message = ShareListMessage(l_record);
    l_record = QByteArray();
    std::printf("\n%s (%d runs; bytes per file for the bound: %.0f)\n", lp_name, i_runs, i_bytesPerFile);
    std::printf("  wire KiB | inflated MiB | folders | open s | stall ms (own) | cpu s | shown MB | bound MB | close s | "
                "stall ms (own) | cpu s | left 5 s after the close MB\n");
    for (int l_run = 0; l_run < i_runs; ++l_run) {
        FolderFigures const l_f = MeasureFolders(io_program, l_message, l_inflated);
        double const l_bound =
            l_f.m_taken ? (2.0 * double(l_f.m_inflated) + double(l_f.m_folders) * i_bytesPerFile) / 1e6 : 0;
        std::printf("  %8.0f | %12.1f | %7llu | %6.3f | %7.1f (%5.1f) | %5.2f | %8.1f | %8s | %7.3f | %7.1f (%5.1f) | "
                    "%5.2f | %8.1f\n",
                    double(l_f.m_wire) / 1024, double(l_f.m_inflated) / 1048576,
                    static_cast<unsigned long long>(l_f.m_folders), l_f.m_openSeconds, l_f.m_openStall, l_f.m_openOwn,
                    l_f.m_openCpu, double(l_f.m_shown - l_f.m_before) * 1.024 / 1000,
                    l_f.m_taken ? qPrintable(QString::number(l_bound, 'f', 1)) : "-", l_f.m_closeSeconds,
                    l_f.m_closeStall, l_f.m_closeOwn, l_f.m_closeCpu, double(l_f.m_closed - l_f.m_before) * 1.024 / 1000);
        std::fflush(stdout);
        bench::Require(l_f.m_taken == (i_kind != "refused"), "a list of folders went the wrong way");
    }
}

void RunHostile(Program& io_program, int i_runs, double i_bytesPerFile)
{
    using namespace HostileShareLists;
    bool const l_quick = bench::Quick();
    int const l_longNames = l_quick ? 20 : 1900;
    int const l_chain = l_quick ? 2100 : 10000;
    int const l_bombNames = l_quick ? 100000 : 28000000;
    int const l_files = l_quick ? 20000 : 1000000;
    int const l_boundNames = l_quick ? 200 : 20000;
    std::vector<Hostile> const l_lists = {
        {"1,900 folders, names of 131,000 bytes", [=]() { return LongNames(l_longNames, 131000); }, false, 0},
        {"a chain of folders 10,000 deep", [=]() { return DeepChain(l_chain); }, false, 0},
        {"28,000,000 attribute names", [=]() { return NameTableBomb(l_bombNames); }, false, 0},
        {"1,000,000 files", [=]() { return ManyFiles(l_files); }, true, quint64(l_files + l_files / 100)},
        {"20,000 folders, names of 1,024 bytes", [=]() { return LongNames(l_boundNames, 1024); }, true,
         quint64(l_boundNames)},
        {"a chain of folders 2,048 deep", []() { return DeepChain(2048); }, true, 2048},
    };
    std::printf("\nHostile lists answering the tab's request (%d runs each; bytes per file for the bound: %.0f)\n",
                i_runs, i_bytesPerFile);
    std::printf("  list | wire KiB | inflated MiB | to shown/refused s (cpu) | stall ms | peak MB | shown MB | bound MB "
                "| after/before | outcome\n");
    for (Hostile const& l_list : l_lists) {
        QByteArray const l_record = l_list.m_record();
        for (int l_run = 0; l_run < i_runs; ++l_run) {
            HostileFigures l_f;
            io_program.MeasureHostile(l_record, l_f);
            double const l_bound = l_list.m_taken ? (2.0 * double(l_f.m_inflated) +
                                                     double(l_list.m_entries) * i_bytesPerFile) / 1e6
                                                  : 0;
            std::printf("  %s | %8.0f | %12.1f | %12.3f (%.3f) | %8.1f | %7.1f | %8.1f | %8s | %12.3f | %s\n",
                        l_list.mp_name, double(l_f.m_wire) / 1024, double(l_f.m_inflated) / 1048576, l_f.m_seconds,
                        l_f.m_cpu, l_f.m_stall, double(l_f.m_peak - l_f.m_before) * 1.024 / 1000,
                        double(l_f.m_shown - l_f.m_before) * 1.024 / 1000,
                        l_list.m_taken ? qPrintable(QString::number(l_bound, 'f', 1)) : "-",
                        double(l_f.m_after) / double(l_f.m_before), qPrintable(l_f.m_outcome));
            std::fflush(stdout);
            bench::Require(l_f.m_outcome.startsWith("taken") == l_list.m_taken, "a hostile list went the wrong way");
        }
    }
}

// A name of 1,016 bytes of mixed scripts, different from the others'
// from its first words on.
std::string MixedName(std::mt19937& io_random, int i_index)
{
    static char const* const s_words[] = {"river", "река", "ποτάμι", "نهر", "नदी", "川の流れ", "강물", "נהר",
                                          "แม่น้ำ", "ríos", "Fluß", "河流"};
    std::string l_name = std::to_string(i_index % 97) + ' ';
    while (l_name.size() < 1000)
        l_name += std::string(s_words[io_random() % (sizeof s_words / sizeof *s_words)]) + ' ';
    l_name += std::to_string(i_index);
    while (l_name.size() < 1012)
        l_name += '_';
    return l_name.substr(0, 1012) + ".mp3";
}

struct BigFolderFigures
{
    double m_stall = 0, m_own = 0, m_cpu = 0, m_seconds = 0;
    long m_before = 0, m_listed = 0;
};

// A share of one folder of i_files files; its row clicked, to the list
// done.
BigFolderFigures MeasureBigFolder(Program& io_program, int i_files, bool i_mixed)
{
    static int s_user = 0;
    BigFolderFigures l_f;
    QString const l_user = QStringLiteral("wide%1").arg(s_user++);
    std::mt19937 l_random(777);
    FileInfoMap l_list;
    std::set<FileInfo>& l_folder = l_list["Big"];
    for (int l_k = 0; l_k < i_files; ++l_k) {
        std::string const l_name = i_mixed ? MixedName(l_random, l_k) : "Track " + std::to_string(l_k) + ".mp3";
        l_folder.insert(FileInfo(l_name, 1000000 + l_random() % 9000000));
    }
    ShareForm* lp_view = io_program.mp_page->OpenShareBrowse(l_user);
    io_program.Deliver(l_user, std::move(l_list));
    RunUntil([lp_view]() { return lp_view->Tree()->IsBuilt(); });
    RunUntil([]() { return true; });
    malloc_trim(0);
    l_f.m_before = bench::ResidentKiB();
    QTreeWidget* lp_list = lp_view->FileList();
    QElapsedTimer l_clock;
    l_clock.start();
    lp_view->FolderTree()->setCurrentItem(lp_view->FolderTree()->topLevelItem(0));
    ProbeUntil([lp_view, lp_list, i_files]() {
        return !lp_view->Tree()->IsListing() && lp_list->topLevelItemCount() == i_files;
    }, l_f.m_stall, l_f.m_own, l_f.m_cpu);
    l_f.m_seconds = l_clock.nsecsElapsed() / 1e9;
    l_f.m_listed = bench::ResidentKiB();
    for (int l_row = 1; l_row < i_files; ++l_row)
        bench::Require(!(lp_list->topLevelItem(l_row)->text(0) < lp_list->topLevelItem(l_row - 1)->text(0)),
                       "the list is not in name order");
    io_program.mp_page->OnTabCloseRequested(io_program.mp_page->Tabs()->indexOf(lp_view));
    RunUntil([&io_program]() {
        return !io_program.mp_shares->IsRemovingShares() && io_program.Count("user_share") == 0 &&
               !StoreCollector::Obj()->IsRunning();
    });
    return l_f;
}

void RunBigFolder(Program& io_program, int i_runs)
{
    int const l_files = bench::Size(100000, 2000);
    for (bool const l_mixed : {false, true}) {
        std::printf("\na folder of %d files, names %s, clicked (%d runs)\n", l_files,
                    l_mixed ? "of 1,016 bytes of mixed scripts" : "short and plain", i_runs);
        std::printf("  to listed s | stall ms (own) | cpu s | resident MB before -> listed\n");
        for (int l_run = 0; l_run < i_runs; ++l_run) {
            BigFolderFigures const l_f = MeasureBigFolder(io_program, l_files, l_mixed);
            std::printf("  %11.3f | %7.1f (%5.1f) | %5.2f | %.0f -> %.0f\n", l_f.m_seconds, l_f.m_stall, l_f.m_own,
                        l_f.m_cpu, double(l_f.m_before) / 1024, double(l_f.m_listed) / 1024);
            std::fflush(stdout);
        }
    }
}

struct QueueFigures
{
    // m_stall, m_own: until the last file is queued; m_removal*: then until
    // the share is removed (the store's collection at its end included).
    double m_cpu = 0, m_stall = 0, m_own = 0, m_time = 0, m_removalStall = 0, m_removalOwn = 0;
};

// A folder of i_files files queued for download, its tab closed after the
// first thousand; the folder of another user each time.
QueueFigures MeasureCloseWhileQueueing(Program& io_program, int i_files)
{
    static int s_user = 0;
    QueueFigures l_f;
    Program& l_program = io_program;
    for (bool const l_probe : {false, true}) {
        QString const l_user = QStringLiteral("folks%1").arg(s_user++);
        FileInfoMap l_list;
        l_list["Music"];
        std::set<FileInfo>& l_folder = l_list["Music\\Everything"];
        for (int l_k = 0; l_k < i_files; ++l_k)
            l_folder.insert(FileInfo("Track " + std::to_string(l_k) + ".mp3", 3000000));
        ShareForm* lp_view = l_program.mp_page->OpenShareBrowse(l_user);
        l_program.Deliver(l_user, std::move(l_list));
        RunUntil([lp_view]() { return lp_view->Tree()->IsBuilt(); });
        Item const l_owner = d["user"]->GetItem(Value(l_user));
        auto const l_queued = [l_owner]() { return l_owner.CountItems("download_entry"); };
        lp_view->DownloadFolder(lp_view->Tree()->RowFolder(lp_view->FolderTree()->topLevelItem(0)->child(0)), false);
        RunUntil([&l_queued]() { return l_queued() >= 1000; });
        bench::Require(l_queued() < std::size_t(i_files), "the folder was queued before the close");
        QElapsedTimer l_clock;
        l_clock.start();
        auto const l_done = [&l_program, &l_queued, i_files]() {
            return l_queued() == std::size_t(i_files) && !l_program.mp_shares->IsRemovingShares() &&
                   l_program.Count("user_share") == 0;
        };
        if (l_probe) {
            {
                bench::StallProbe l_stalls;
                l_program.mp_page->OnTabCloseRequested(l_program.mp_page->Tabs()->indexOf(lp_view));
                l_f.m_stall = l_stalls.RunUntil([&l_queued, i_files]() { return l_queued() == std::size_t(i_files); });
                l_f.m_own = l_stalls.LongestCpuMs();
            }
            bench::StallProbe l_stalls;
            l_f.m_removalStall = l_stalls.RunUntil(l_done);
            l_f.m_removalOwn = l_stalls.LongestCpuMs();
            l_f.m_time = l_clock.nsecsElapsed() / 1e9;
        } else {
            std::int64_t const l_start = bench::ThreadCpuNs();
            l_program.mp_page->OnTabCloseRequested(l_program.mp_page->Tabs()->indexOf(lp_view));
            while (!l_done())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            l_f.m_cpu = (bench::ThreadCpuNs() - l_start) / 1e9;
        }
    }
    return l_f;
}

} // namespace

int main(int argc, char** argv)
{
    bench::UseOffscreenPlatform();
    QApplication l_app(argc, argv);
    int const l_runs = bench::RunsArgument(argc, argv, bench::Size(4, 1));
    bool const l_hostileOnly = argc > 2 && QByteArray(argv[2]) == "hostile";
    bool const l_foldersOnly = argc > 3 && QByteArray(argv[2]) == "folders";
    bool const l_bigFolderOnly = argc > 2 && QByteArray(argv[2]) == "bigfolder";
    int const l_files = argc > 2 && !l_hostileOnly && !l_foldersOnly && !l_bigFolderOnly
                            ? std::max(FILES_PER_FOLDER, atoi(argv[2]))
                                                                       : bench::Size(200000, 2000);
    std::printf("A received share of %d files in %d folders; %d runs, the first the process's first share; warm "
                "cache (all in memory); slices of %lld ms\n",
                l_files, l_files / FILES_PER_FOLDER, l_runs, static_cast<long long>(SlicedWork::SliceMs()));
    Program l_program;
    {
        // A small share first: the page's one-time costs (the window's
        // backing store, fonts, the view's caches: some 10 MB) are then paid
        // before the first measured share, whatever its size.
        Figures l_warmUp;
        l_program.Measure(FILES_PER_FOLDER * 100, l_warmUp);
    }
    std::printf("  run | build s | stall ms | bytes/file | filter s (cpu) | stall ms | no filter s | stall ms | "
                "close s | stall ms | after/before\n");
    double l_bytesPerFile = 0;
    for (int l_run = 0; l_run < (l_hostileOnly || l_foldersOnly || l_bigFolderOnly ? 1 : l_runs); ++l_run) {
        Figures l_f;
        l_program.Measure(l_files, l_f);
        if (l_run == 0)
            l_bytesPerFile = l_f.m_memoryPerFile;
        std::printf("  %3d | %7.3f | %8.1f | %10s | %6.3f (%.3f) | %8.1f | %11.3f | %8.1f | %7.3f | %8.1f | %12.3f\n",
                    l_run, l_f.m_build, l_f.m_buildStall,
                    l_run == 0 ? qPrintable(QString::number(l_f.m_memoryPerFile, 'f', 0)) : "-", l_f.m_filter,
                    l_f.m_filterCpu, l_f.m_filterStall, l_f.m_clear, l_f.m_clearStall, l_f.m_close, l_f.m_closeStall,
                    double(l_f.m_after) / double(l_f.m_before));
    }
    if (l_foldersOnly) {
        RunFolders(l_program, l_runs, argv[3], l_bytesPerFile);
        return 0;
    }
    if (l_bigFolderOnly) {
        RunBigFolder(l_program, l_runs);
        return 0;
    }
    if (l_hostileOnly || bench::Quick())
        RunHostile(l_program, l_hostileOnly ? l_runs : 1, l_bytesPerFile);
    if (bench::Quick())
        for (char const* lp_kind : {"flat200k", "chains", "wide", "refused"})
            RunFolders(l_program, 1, lp_kind, l_bytesPerFile);
    if (bench::Quick())
        RunBigFolder(l_program, 1);
    if (!l_hostileOnly) {
        int const l_folderFiles = bench::Size(100001, 3001);
        std::printf("a folder of %d files queued for download, its tab closed after the first thousand: processor s / "
                    "longest stall ms (the thread's own) until the last file is queued / then until the share is "
                    "removed / close to the end s\n",
                    l_folderFiles);
        for (int l_run = 0; l_run < l_runs; ++l_run) {
            QueueFigures const l_f = MeasureCloseWhileQueueing(l_program, l_folderFiles);
            std::printf("  %3d | %6.2f s | %6.1f ms (%5.1f) | %6.1f ms (%5.1f) | %6.2f s\n", l_run, l_f.m_cpu, l_f.m_stall,
                        l_f.m_own, l_f.m_removalStall, l_f.m_removalOwn, l_f.m_time);
            std::fflush(stdout);
        }
    }
    return 0;
}
