// Figures of the Browse page with a received share of 200,000 files in
// 20,000 folders, through the entry points the program uses: the share list
// handed over as the peer messenger hands it (PeerMessenger::UserShare), the
// filter box's text, and closing the tab. The page is shown (offscreen) in a
// main window and the event loop runs throughout, so the slices, painting
// and the view's layout are all counted; the longest time the event loop
// waited between two of its turns is the stall the user would feel.
// Everything is in memory: caches are warm.
//
//   bench_share_browser [runs] [files]     (default 4 runs of 200,000 files)
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

#include "store/SlicedWork.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
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

struct Program : ShareBrowserFixture
{
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
        bench::Require(Count("user_share_file") + Count("user_share_folder") + Count("user_share_folder_node") == 0,
                       "closing left items of the share");
    }
};

} // namespace

int main(int argc, char** argv)
{
    bench::UseOffscreenPlatform();
    QApplication l_app(argc, argv);
    int const l_runs = bench::RunsArgument(argc, argv, bench::Size(4, 1));
    int const l_files = argc > 2 ? std::max(FILES_PER_FOLDER, atoi(argv[2])) : bench::Size(200000, 2000);
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
    for (int l_run = 0; l_run < l_runs; ++l_run) {
        Figures l_f;
        l_program.Measure(l_files, l_f);
        std::printf("  %3d | %7.3f | %8.1f | %10s | %6.3f (%.3f) | %8.1f | %11.3f | %8.1f | %7.3f | %8.1f | %12.3f\n",
                    l_run, l_f.m_build, l_f.m_buildStall,
                    l_run == 0 ? qPrintable(QString::number(l_f.m_memoryPerFile, 'f', 0)) : "-", l_f.m_filter,
                    l_f.m_filterCpu, l_f.m_filterStall, l_f.m_clear, l_f.m_clearStall, l_f.m_close, l_f.m_closeStall,
                    double(l_f.m_after) / double(l_f.m_before));
    }
    return 0;
}
