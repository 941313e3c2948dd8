// Figures of a search results tab, through the page as the program drives
// it: answers stored as the peer messenger stores them and handed to the
// page's router; then a new answer, a sort, a filter change and closing the
// tab (with the collection that closing runs), and the memory the closed
// tab kept. Everything is in memory, so caches are warm; the page is shown
// (offscreen) and the events each step causes are processed inside its
// time. The large tab runs first, so that the first of its runs is the
// process's first tab.
//
//   bench_search [runs]      (default 5)

#include "bench/BenchUtil.h"
#include "bench/SearchPage.h"

#include "store/StoreCollector.h"
#include "ui/search/SearchForm.h"
#include "ui/search/SearchResultsForm.h"
#include "ui_SearchForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include <malloc.h>

namespace {

char const* const kWords[] = {"silver", "morning", "light", "river", "night", "golden", "shadow", "dream",
                              "fire",   "rain",    "heart", "city",  "ocean", "wild",   "blue",   "live"};

double ResidentMegabytes()
{
    return double(bench::ResidentKiB()) / 1024.0;
}

double Milliseconds(std::function<void()> const& i_step)
{
    QElapsedTimer l_timer;
    l_timer.start();
    i_step();
    QCoreApplication::processEvents();
    return double(l_timer.nsecsElapsed()) / 1e6;
}

// The page over the managers its tests make.
struct Page : bench::SearchPage
{
    // One user's answer of i_files files in folders of ten.
    void Answer(unsigned int i_token, QString const& i_user, int i_files, std::mt19937& io_random)
    {
        Item const l_results = d["search_results"]->NewItem();
        d["search_request"]->HasItem(Value(i_token)) += l_results;
        l_results += d["user"]->GetItem(Value(i_user));
        SetAttribute(l_results, "search_results_user_available", Value(io_random() % 3 ? "no" : "yes"));
        SetAttribute(l_results, "search_results_user_speed", Value(int(io_random() % 2000000)));
        SetAttribute(l_results, "search_results_uploads_in_queue", Value(int(io_random() % 50)));
        char const* const lp_artist = kWords[io_random() % 16];
        for (int l_file = 0; l_file < i_files; ++l_file) {
            Item const l_result = d["search_result"]->NewItem();
            l_results += l_result;
            QString const l_folder =
                QStringLiteral("Music\\%1 %2\\Album %3").arg(lp_artist, i_user).arg(l_file / 10);
            QString const l_name = QStringLiteral("%1 - %2 %3.mp3")
                                       .arg(l_file % 10 + 1, 2, 10, QLatin1Char('0'))
                                       .arg(kWords[io_random() % 16], kWords[io_random() % 16]);
            SetAttribute(l_result, "search_result_file_folder", Value(l_folder));
            SetAttribute(l_result, "search_result_file_name", Value(l_name));
            SetAttribute(l_result, "file_size", Value(int(2000000 + io_random() % 10000000)));
            SetAttribute(l_result, "bitrate", Value(int(128 + io_random() % 193)));
            SetAttribute(l_result, "length_seconds", Value(int(120 + io_random() % 400)));
        }
        mp_form->OnUserSearchResults(l_results);
    }
};

struct Figures
{
    std::vector<double> m_add, m_sort, m_filter, m_close;
    std::vector<double> m_megabytes, m_keptFirst, m_keptLater;
};

// Resident memory once freed heap is given back, as the store's
// collection gives it back after a large removal.
double TrimmedResidentMegabytes()
{
    malloc_trim(0);
    return ResidentMegabytes();
}

void RunOnce(int i_users, int i_filesPerUser, bool i_withAnswer, bool i_first, Figures& io_figures)
{
    Page l_page;
    std::mt19937 l_random(7);
    unsigned int const l_token = l_page.mp_server->FileSearch(QStringLiteral("song"), QString());
    SearchResultsForm* lp_tab = l_page.mp_form->CreateSearchForm(l_token, QStringLiteral("song"), SEARCH_EVERYONE);
    bench::TurnLoop();
    double const l_before = TrimmedResidentMegabytes();
    for (int l_user = 0; l_user < i_users; ++l_user)
        l_page.Answer(l_token, QStringLiteral("user%1").arg(l_user), i_filesPerUser, l_random);
    QCoreApplication::processEvents();
    io_figures.m_megabytes.push_back(ResidentMegabytes() - l_before);
    if (i_withAnswer)
        io_figures.m_add.push_back(
            Milliseconds([&]() { l_page.Answer(l_token, QStringLiteral("newcomer"), 1000, l_random); }));
    io_figures.m_sort.push_back(Milliseconds([&]() { lp_tab->Sort(); }));
    io_figures.m_filter.push_back(
        Milliseconds([&]() { lp_tab->filterEdit()->setText(QStringLiteral("river -live mfif:2")); }));
    io_figures.m_close.push_back(Milliseconds([&]() {
        l_page.mp_form->OnTabCloseRequested(0);
        // With the collection it asks for, which runs in slices.
        while (StoreCollector::Obj()->IsRunning())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }));
    // What the closed tab left behind: its deferred deletions delivered,
    // as the program's event loop delivers them.
    bench::TurnLoop();
    d.RemoveDisconnectedItems();
    (i_first ? io_figures.m_keptFirst : io_figures.m_keptLater).push_back(TrimmedResidentMegabytes() - l_before);
}

QString Range(std::vector<double> i_values, char const* ip_unit = "ms")
{
    if (i_values.empty())
        return QStringLiteral("-");
    std::sort(i_values.begin(), i_values.end());
    return QStringLiteral("%1-%2 %3 (median %4)")
        .arg(i_values.front(), 0, 'f', 1)
        .arg(i_values.back(), 0, 'f', 1)
        .arg(QLatin1String(ip_unit))
        .arg(i_values[i_values.size() / 2], 0, 'f', 1);
}

void Report(char const* ip_title, Figures const& i_figures)
{
    std::printf("%s\n", ip_title);
    std::printf("  add a 1,000-file answer: %s\n", qPrintable(Range(i_figures.m_add)));
    std::printf("  sort:                    %s\n", qPrintable(Range(i_figures.m_sort)));
    std::printf("  filter change:           %s\n", qPrintable(Range(i_figures.m_filter)));
    std::printf("  close with collection:   %s\n", qPrintable(Range(i_figures.m_close)));
    std::printf("  resident memory of the rows and their items: %s\n", qPrintable(Range(i_figures.m_megabytes, "MB")));
    std::printf("  resident memory kept once the tab is closed, against before its answers: first tab of the "
                "process %s, later tabs %s\n",
                qPrintable(Range(i_figures.m_keptFirst, "MB")), qPrintable(Range(i_figures.m_keptLater, "MB")));
}

} // namespace

int main(int argc, char** argv)
{
    bench::UseOffscreenPlatform();
    QApplication l_application(argc, argv);
    int const l_runs = bench::RunsArgument(argc, argv, bench::Size(5, 1));
    Figures l_small, l_large;
    // The large tab first, so that its first run is the process's first tab.
    for (int l_run = 0; l_run < l_runs; ++l_run) {
        RunOnce(bench::Size(2000, 40), 50, false, l_run == 0, l_large);
        RunOnce(bench::Size(500, 20), 40, true, false, l_small);
    }
    Report(bench::Quick() ? "800 file rows from 20 users:" : "20,000 file rows from 500 users:", l_small);
    Report(bench::Quick() ? "2,000 file rows from 40 users:" : "100,000 file rows from 2,000 users:", l_large);
    return 0;
}
