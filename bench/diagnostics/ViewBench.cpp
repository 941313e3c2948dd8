// The Diagnostics page's tab in view while lines of hostile shapes come
// through the log: 2,000 lines of about 1,024 characters (the most a line
// keeps of a peer's text) of one shape each, logged at once as a flood
// would, with "show_diagnostics" on. From the turn after the lines were
// logged until the tab has shown them all: the window's thread's longest stall (in brackets its
// longest piece of work, which the machine's load does not lengthen) and
// its processor time, over the runs given (default 3).
#include "LoopWatch.h"
#include "bench/BenchUtil.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/windows/DiagnosticsForm.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

namespace {

int const LINES = bench::Size(2000, 200);
QString const CATEGORY = QStringLiteral("Peer");

QString Shape(int i_shape)
{
    QString l_text;
    for (int l_k = 0; l_k < 1000; ++l_k) {
        switch (i_shape) {
        case 0: // plain letters
            l_text += QChar('a' + l_k % 26);
            break;
        case 1: // two scripts and directions, alternating
            l_text += (l_k % 2) ? QChar(0x05D0 + l_k % 20) : QChar('a' + l_k % 26);
            break;
        case 2: // eight marks on every letter
            l_text += (l_k % 9 == 0) ? QChar('a') : QChar(0x0301 + l_k % 8);
            break;
        default: // ideographs
            l_text += QChar(0x4E00 + (l_k * 37) % 20000);
        }
    }
    return l_text;
}

char const* const SHAPES[] = {"plain", "mixed scripts", "marks", "ideographs"};

} // namespace

int main(int argc, char** argv)
{
    bench::UseOffscreenPlatform();
    QApplication l_application(argc, argv);
    int const l_runs = bench::RunsArgument(argc, argv, bench::Size(3, 1));
    QTemporaryDir l_home;
    qputenv("HOME", l_home.path().toUtf8());
    DeclareSettingsTypes();
    SetSwitch("show_diagnostics", true);
    std::printf("%d lines of 1,000 characters a shape into the Diagnostics tab in view; %d runs\n", LINES, l_runs);
    std::printf("  shape          | longest stall ms (its own work ms) | processor s\n");
    for (int l_shape = 0; l_shape < 4; ++l_shape) {
        std::vector<double> l_stalls, l_works, l_cpus;
        QString const l_text = Shape(l_shape);
        for (int l_run = 0; l_run < l_runs; ++l_run) {
            DiagnosticsForm l_form;
            l_form.resize(1000, 700);
            l_form.show();
            Log(CATEGORY, 1, QStringLiteral("the flood follows"));
            QDeadlineTimer const l_ready(bench::LimitMs(WAIT_MS));
            while (l_form.PendingLines(CATEGORY) > 0 || !l_form.Categories().contains(CATEGORY)) {
                bench::Require(!l_ready.hasExpired(), "the tab did not come");
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            }
            LoopWatch l_watch;
            std::int64_t const l_cpuStart = bench::ThreadCpuNs();
            for (int l_line = 0; l_line < LINES; ++l_line)
                Log(CATEGORY, 1, l_text);
            // What is measured is the showing: the flood's own turn is the
            // sender's (a peer's messages are read in slices of their own).
            l_watch.Restart();
            QDeadlineTimer const l_shown(bench::LimitMs(10 * WAIT_MS));
            while (QueuedLogLines() > 0 || l_form.PendingLines(CATEGORY) > 0) {
                bench::RequireEnded(!l_shown.hasExpired(), "showing the lines", bench::LimitMs(10 * WAIT_MS));
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            }
            l_watch.Turn();
            l_cpus.push_back((bench::ThreadCpuNs() - l_cpuStart) / 1e9);
            l_stalls.push_back(l_watch.LongestMs());
            l_works.push_back(l_watch.LongestWorkMs());
        }
        std::printf("  %-14s | %s (%s) | %s\n", SHAPES[l_shape], qPrintable(bench::Range(l_stalls, "%.1f")),
                    qPrintable(bench::Range(l_works, "%.1f")), qPrintable(bench::Range(l_cpus, "%.2f")));
        std::fflush(stdout);
    }
    return 0;
}
