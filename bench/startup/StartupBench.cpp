// A start of the window on a saved share: a tree of real files
// (bench/MusicTree.h) shared through the shared-folders manager and saved
// as the window saves it, then, in fresh processes each, the window made,
// shown and started as the program starts it (MainWindow::Init, which
// loads the data file), with the event loop then turned for three seconds
// more (the start-up scan of the share begins). Each process prints the
// longest stall of the event loop from the window's showing on (with the
// processor time the thread ran in it), the time from the window's making
// until Init returned, the thread's processor time in that, and the files
// loaded.
//
//   bench_startup [runs] [files...] [--work folder]
//       runs: processes per size (default 3); files: the sizes (default
//       1000000 2000000); the trees and their data files are kept in the
//       work folder for the next run (default: a temporary folder).
//
// The window's update check asks the network: run it without one
// ("unshare -n"), as the tests run. Quick mode: one process of 2,000 files.

#include "LoopWatch.h"
#include "bench/BenchUtil.h"
#include "bench/MusicTree.h"
#include "tests/app/SeededDataFile.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

// Shares the tree and saves what a window that shared it would save, in
// the home folder the parent gave.
int Prepare(QString const& i_root)
{
    std::size_t l_files = 0;
    SeedDataFile([&]() {
        int const l_limitMs = bench::LimitMs(1800000);
        bench::RequireEnded(
            RunShareJob(*sharedFoldersManager, [&]() { sharedFoldersManager->AddSharedFolder(i_root); }, l_limitMs),
            "sharing", l_limitMs);
        sharedFoldersManager->GetFileScanner().Quit();
        l_files = d["shared_file"]->GetItemCount();
        // A user who logged in before.
        SetSetting("username", QStringLiteral("bench"));
        SetSetting("password", QStringLiteral("bench"));
        SetSetting("listening_port", qint64(0));
        SetSetting("data_version", QStringLiteral("1"));
    });
    std::printf("%zu\n", l_files);
    std::fflush(stdout);
    std::_Exit(0);
}

int Start()
{
    // A server that takes the login and never answers it (one that refused
    // it would stop the start with a message box).
    QTcpServer l_server;
    bench::Require(l_server.listen(QHostAddress::LocalHost), "no port to listen on");
    QElapsedTimer l_total;
    l_total.start();
    std::int64_t const l_cpu = bench::ThreadCpuNs();
    MainWindow* const lp_window = new MainWindow;
    lp_window->SetServerAddress(QStringLiteral("127.0.0.1:%1").arg(l_server.serverPort()));
    lp_window->setVisible(true);
    LoopWatch l_watch;
    lp_window->Init();
    double const l_totalMs = l_total.nsecsElapsed() / 1e6;
    double const l_cpuMs = (bench::ThreadCpuNs() - l_cpu) / 1e6;
    std::size_t const l_files = d["shared_file"]->GetItemCount();
    for (QElapsedTimer l_after; !l_after.isValid() || l_after.elapsed() < bench::Size(3000, 300);) {
        if (!l_after.isValid())
            l_after.start();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    l_watch.Turn();
    // For "perf script --time": when the longest stall was.
    if (std::getenv("QUILLMAR_BENCH_TRACE"))
        std::fprintf(stderr, "longest stall: %.6f,%.6f\n", (l_watch.LongestEndNs() - l_watch.LongestMs() * 1e6) / 1e9,
                     l_watch.LongestEndNs() / 1e9);
    std::printf("%.2f %.2f %.2f %.2f %zu\n", l_watch.LongestMs(), l_watch.LongestCpuMs(), l_totalMs, l_cpuMs, l_files);
    std::fflush(stdout);
    std::_Exit(0); // tearing down the store is not what is measured
}

} // namespace

int main(int argc, char** argv)
{
    bench::UseOffscreenPlatform();
    QApplication l_application(argc, argv);
    QStringList l_arguments = l_application.arguments().mid(1);
    if (l_arguments.value(0) == "--prepare")
        return Prepare(l_arguments.value(1));
    if (l_arguments.value(0) == "--start")
        return Start();

    QString l_work;
    int const l_workAt = l_arguments.indexOf("--work");
    if (l_workAt >= 0) {
        l_work = l_arguments.value(l_workAt + 1);
        l_arguments.erase(l_arguments.begin() + l_workAt,
                          l_arguments.begin() + std::min(l_workAt + 2, int(l_arguments.size())));
    }
    std::unique_ptr<QTemporaryDir> lp_temporary;
    if (l_work.isEmpty()) {
        lp_temporary = std::make_unique<QTemporaryDir>();
        l_work = lp_temporary->path();
    }
    int const l_runs = l_arguments.isEmpty() ? bench::Size(3, 1) : std::max(1, l_arguments.takeFirst().toInt());
    std::vector<int> l_sizes;
    for (QString const& l_size : l_arguments)
        l_sizes.push_back(l_size.toInt());
    if (l_sizes.empty())
        l_sizes = bench::Quick() ? std::vector<int>{2000} : std::vector<int>{1000000, 2000000};

    for (int l_size : l_sizes) {
        QString const l_root = QStringLiteral("%1/Tree%2").arg(l_work).arg(l_size);
        if (!QFile::exists(l_root + ".complete")) {
            if (bench::MakeMusicTree(l_root, (l_size + bench::FILES_PER_ARTIST - 1) / bench::FILES_PER_ARTIST) < 0) {
                QDir(l_root).removeRecursively();
                bench::Fail("a file of the tree cannot be made");
            }
            QFile(l_root + ".complete").open(QIODevice::WriteOnly);
        }
        // The saved share, made once and copied into each start's home
        // (a start may save over it).
        QString const l_saved = QStringLiteral("%1/Home%2").arg(l_work).arg(l_size);
        if (DataSaver::ListDataFiles(l_saved + "/.Quillmar").empty()) {
            QDir().mkpath(l_saved);
            bench::RunChild({"--prepare", l_root}, l_saved);
        }
        QString const l_file = DataSaver::ListDataFiles(l_saved + "/.Quillmar").front().second;
        std::vector<double> l_values[4];
        QString l_files;
        for (int l_run = 0; l_run < l_runs; ++l_run) {
            QTemporaryDir l_home;
            bench::Require(QFile::copy(l_file, l_home.path() + "/" + QFileInfo(l_file).fileName()),
                           "the data file cannot be copied");
            QStringList const l_fields = bench::RunChild({"--start"}, l_home.path());
            bench::Require(l_fields.size() == 5, "a start printed no figures");
            l_files = l_fields[4];
            for (int l_value = 0; l_value < 4; ++l_value)
                l_values[l_value].push_back(l_fields[l_value].toDouble());
        }
        std::printf("start on a saved share of %s files (%d fresh processes): longest stall while shown %s ms (the "
                    "thread ran %s ms of it), to the end of the start %s ms, its processor time %s ms\n",
                    qPrintable(l_files), l_runs, qPrintable(bench::Range(l_values[0], "%.1f")),
                    qPrintable(bench::Range(l_values[1], "%.1f")), qPrintable(bench::Range(l_values[2], "%.0f")),
                    qPrintable(bench::Range(l_values[3], "%.0f")));
        std::fflush(stdout);
    }
    return 0;
}
