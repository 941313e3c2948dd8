// Figures of the transfers page with 5,000 downloads of one user, through
// the entry points the program uses: the transfer queue manager's load
// (TransfersLoaded builds the rows), its progress signal, and the
// "clear_complete_downloads" action, then "clear_complete_and_aborted_uploads"
// of as many uploads that ended; as many finished downloads again, every
// row selected, removed by the Delete key, then once more by the downloads
// menu's "Remove downloads"; and the build of a queue whose downloads all
// finished before the restart, whose rows show full bars. The page is
// shown (offscreen) and the event loop runs between steps, so painting and
// the page's deferred group refresh are counted. The baseline is the same
// load without a page.
//
//   bench_transfers_page [runs] [folders] [downloads]
//
// Downloads: 5,000 unless given (the removals were measured at 5,000,
// 20,000 and 40,000).
//
// Resident memory grows only while the heap grows, so it is read on the
// first run of a process (after a small warm-up page has taken the fonts,
// icons and backing store); run the program once per figure for ranges.

#include "bench/BenchUtil.h"
#include "TransfersPageFixture.h"
#include "ui/transfers/DownloadMenuOptions.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMenu>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

int ENTRIES = bench::Size(5000, 200);
int const ACTIVE = 20;    // transfers reporting at once
int const REPORTS = bench::Size(1000, 40); // five seconds' worth at 200 a second
int const PER_PASS = 20;  // reports between two passes of the event loop

// The page as the tests set it up, shown, or only its managers.
struct Program : PageFixture
{
    using PageFixture::Downloads;
    using PageFixture::mp_page;
    using PageFixture::mp_transfers;
    using PageFixture::Upload;

    explicit Program(bool i_page)
    {
        if (!i_page) {
            StartManagers();
            return;
        }
        StartPage();
        mp_tabs->resize(1000, 600);
        mp_tabs->show();
        mp_page->DataLoaded();
    }

    ~Program() { StopPage(); }
};

// The saved queue as the data file leaves it: entries with their saved
// links, in order, spread over i_folders remote folders of one user.
std::vector<Item> LoadedQueue(int i_folders, int i_entries = ENTRIES, char const* ip_status = "queued")
{
    std::vector<Item> l_entries;
    Item const l_user = d["user"]->GetItem(Value("uploader"));
    Item const l_queued = d["download_entry_status"]->GetItem(Value(ip_status));
    for (int l_k = 0; l_k < i_entries; ++l_k) {
        Item const l_entry = d["download_entry"]->NewItem();
        l_entry += l_user;
        l_entry += d["file_name"]->GetItem(Value(QString("track %1.mp3").arg(l_k)));
        l_entry += d["remote_folder"]->GetItem(Value(QString("music\\album %1").arg(l_k % i_folders)));
        l_entry += d["file_size"]->GetItem(Value(5000000 + l_k));
        l_entry += d["download_order"]->GetItem(Value(l_k + 1));
        l_entry += l_queued;
        l_entries.push_back(l_entry);
    }
    return l_entries;
}

struct Figures
{
    double m_baseline;
    double m_build, m_buildStall;
    long m_memory;
    double m_progressShare;
    double m_clear, m_clearStall, m_clearWork;
    double m_clearUploads, m_clearUploadsStall, m_clearUploadsWork;
    double m_delete, m_deleteStall, m_deleteWork;
    double m_menu, m_menuStall, m_menuWork;
    double m_buildComplete;
};

void MeasurePage(int i_folders, Figures& io_figures)
{
    Program l_program(true);
    std::vector<Item> const l_entries = LoadedQueue(i_folders);
    bench::Drain();
    long const l_before = bench::ResidentKiB();
    QElapsedTimer l_clock;
    l_clock.start();
    {
        bench::StallProbe l_probe;
        l_program.mp_transfers->DataLoaded();
        // The rows are made in slices.
        io_figures.m_buildStall =
            l_probe.RunUntil([]() { return d["download_list_node"]->GetItemCount() == std::size_t(ENTRIES); });
        bench::Drain();
    }
    io_figures.m_build = l_clock.nsecsElapsed() / 1e9;
    io_figures.m_memory = bench::ResidentKiB() - l_before;
    bench::Require(d["download_list_node"]->GetItemCount() == std::size_t(ENTRIES), "not every row was built");

    // Reports of the running transfers, their cells as the engine keeps them.
    std::vector<qint64*> l_positions;
    for (int l_k = 0; l_k < ACTIVE; ++l_k) {
        Item const& l_entry = l_entries[l_k * (ENTRIES / ACTIVE)];
        l_program.mp_transfers->SetDownloadEntryStatus(l_entry, "downloading");
        l_positions.push_back(new qint64(0));
        l_entry += d["write_position"]->GetItem(Value(l_positions.back()));
        l_entry += d["bytes_per_second"]->GetItem(Value(new int(100000)));
    }
    bench::Drain();
    std::int64_t const l_start = bench::ThreadCpuNs();
    for (int l_report = 0; l_report < REPORTS; ++l_report) {
        int const l_k = l_report % ACTIVE;
        *l_positions[l_k] += 10000;
        emit l_program.mp_transfers->DownloadProgressed(l_entries[l_k * (ENTRIES / ACTIVE)]);
        if (l_report % PER_PASS == PER_PASS - 1)
            bench::Drain();
    }
    io_figures.m_progressShare = (bench::ThreadCpuNs() - l_start) / 1e9 / (double(REPORTS) / 200.0);

    for (Item const& l_entry : l_entries)
        l_program.mp_transfers->SetDownloadEntryStatus(l_entry, "complete");
    bench::Drain();
    // A removal, run until its entries and rows are gone (they go in
    // slices): its longest stall, the thread's longest work, the time.
    auto const l_remove = [&](char const* ip_what, std::function<void()> const& i_command, char const* ip_entries,
                              double& o_stall, double& o_work, double& o_seconds) {
        char const* const lp_rows = QByteArray(ip_entries).startsWith("download") ? "download_list_node"
                                                                                 : "upload_list_node";
        auto const l_left = [ip_entries, lp_rows]() {
            return d[ip_entries]->GetItemCount() + d[lp_rows]->GetItemCount();
        };
        l_clock.restart();
        {
            bench::StallProbe l_probe;
            i_command();
            o_stall = l_probe.RunUntil([&]() { return l_left() == 0; });
            o_work = l_probe.LongestCpuMs();
            bench::Drain();
        }
        o_seconds = l_clock.nsecsElapsed() / 1e9;
        if (l_left() != 0)
            std::printf("  (%s left entries or rows)\n", ip_what);
    };
    auto const l_clear = [&](char const* ip_action, char const* ip_entries, double& o_stall, double& o_work,
                             double& o_seconds) {
        l_remove(ip_action, [&]() { l_program.mp_page->OnActionBarTriggered(nullptr, ip_action); }, ip_entries,
                 o_stall, o_work, o_seconds);
    };
    l_clear("clear_complete_downloads", "download_entry", io_figures.m_clearStall, io_figures.m_clearWork,
            io_figures.m_clear);

    // As many uploads that ended, to as many users as there are folders,
    // cleared by "Clear Complete and Aborted".
    for (int l_k = 0; l_k < ENTRIES; ++l_k)
        Program::Upload(qPrintable(QString("downloader%1").arg(l_k % i_folders)),
                        qPrintable(QString("/srv/album %1").arg(l_k % i_folders)),
                        qPrintable(QString("track %1.mp3").arg(l_k)), 5000000 + l_k,
                        l_k % 2 ? "complete" : "aborted");
    bench::Drain();
    l_clear("clear_complete_and_aborted_uploads", "upload_entry", io_figures.m_clearUploadsStall,
            io_figures.m_clearUploadsWork, io_figures.m_clearUploads);

    // As many finished downloads again, each time with every row selected
    // (as Ctrl+A selects them), removed by the Delete key, then by the
    // downloads menu's "Remove downloads" (its menu made as a right click
    // makes it, its entry chosen).
    auto const l_allSelected = [&]() {
        LoadedQueue(i_folders, ENTRIES, "complete");
        bench::Drain();
        l_program.Downloads()->selectAll();
        bench::Drain();
        bench::Require(d["download_list_node"]->GetItemCount() == std::size_t(ENTRIES), "not every row was made");
    };
    l_allSelected();
    l_remove("the Delete key",
             [&]() {
                 QKeyEvent l_key(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
                 QApplication::sendEvent(l_program.Downloads(), &l_key);
             },
             "download_entry", io_figures.m_deleteStall, io_figures.m_deleteWork, io_figures.m_delete);
    l_allSelected();
    l_remove("Remove downloads",
             [&]() {
                 QStringList l_users;
                 QMenu l_menu;
                 DownloadMenuOptions l_options(&l_menu, l_program.mp_page->GetDownloadMenuEntries(l_users));
                 for (QAction* lp_action : l_menu.actions())
                     if (lp_action->text() == "Remove downloads")
                         lp_action->trigger();
             },
             "download_entry", io_figures.m_menuStall, io_figures.m_menuWork, io_figures.m_menu);
}

Figures Measure(int i_folders)
{
    Figures l_figures{};
    MeasurePage(i_folders, l_figures);
    {
        Program l_program(true);
        LoadedQueue(i_folders, ENTRIES, "complete");
        bench::Drain();
        QElapsedTimer l_clock;
        l_clock.start();
        l_program.mp_transfers->DataLoaded();
        // The rows are made in slices.
        while (d["download_list_node"]->GetItemCount() != std::size_t(ENTRIES))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        l_figures.m_buildComplete = l_clock.nsecsElapsed() / 1e9;
    }
    Program l_plain(false);
    LoadedQueue(i_folders);
    QElapsedTimer l_clock;
    l_clock.start();
    l_plain.mp_transfers->DataLoaded();
    // The queue is taken in slices.
    while (l_plain.mp_transfers->IsLoadingQueue())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    bench::Drain();
    l_figures.m_baseline = l_clock.nsecsElapsed() / 1e9;
    return l_figures;
}

} // namespace

int main(int argc, char** argv)
{
    bench::UseOffscreenPlatform();
    QApplication l_app(argc, argv);
    int const l_runs = bench::RunsArgument(argc, argv, bench::Size(3, 1));
    QList<int> l_layouts = {50, 1};
    if (argc > 2)
        l_layouts = {std::max(1, atoi(argv[2]))};
    if (argc > 3)
        ENTRIES = std::max(ACTIVE, atoi(argv[3]));
    std::printf("%d downloads of one user; %d runs; warm cache (all in memory)\n", ENTRIES, l_runs);
    {
        // The first page of a process allocates what every later one reuses.
        Program l_warmUp(true);
        LoadedQueue(2, 10);
        l_warmUp.mp_transfers->DataLoaded();
        bench::Drain();
    }
    bool l_first = true;
    for (int l_folders : l_layouts) {
        std::printf("\n%d folder(s) of %d files\n", l_folders, ENTRIES / l_folders);
        std::printf("  load without page s | build page s (longest stall ms) | page memory KiB | "
                    "200 reports/s, core %% | clear s (longest stall ms, its work ms) | build complete s | "
                    "clear uploads s (longest stall ms, its work ms) | all selected, Delete key s (longest "
                    "stall ms, its work ms) | all selected, Remove downloads s (longest stall ms, its work ms)\n");
        for (int l_run = 0; l_run < l_runs; ++l_run) {
            Figures const l_f = Measure(l_folders);
            std::printf("  %19.3f | %19.3f (%6.1f) | %15s | %21.1f | %9.3f (%6.1f, %6.1f) | %16.3f | "
                        "%17.3f (%6.1f, %6.1f) | %9.3f (%6.1f, %6.1f) | %9.3f (%6.1f, %6.1f)\n",
                        l_f.m_baseline, l_f.m_build, l_f.m_buildStall,
                        l_first ? qPrintable(QString::number(l_f.m_memory)) : "-", 100.0 * l_f.m_progressShare,
                        l_f.m_clear, l_f.m_clearStall, l_f.m_clearWork, l_f.m_buildComplete, l_f.m_clearUploads,
                        l_f.m_clearUploadsStall, l_f.m_clearUploadsWork, l_f.m_delete, l_f.m_deleteStall,
                        l_f.m_deleteWork, l_f.m_menu, l_f.m_menuStall, l_f.m_menuWork);
            l_first = false;
        }
    }
    return 0;
}
