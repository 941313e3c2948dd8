// Figures of the local names downloads are given when they are added, and
// of the offers that follow, through the slot the peer messenger's offer
// signal calls:
//   1. N downloads of one file name ("folder.jpg") in N album folders, each
//      added and offered in turn: every one looks at the downloads given
//      that name;
//   2. K remote names of one folder that all make the local name
//      "a___b.mp3" (control characters in the middle), each added and
//      offered in turn: each takes the next number.
// For each, the longest addition with its offer and all of them together
// (processor time of the window's thread) and the resident memory they
// added. No peer connects. Usage: bench_local_names

#include "bench/BenchUtil.h"
#include "server/Server.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

// Adds and offers i_count downloads named by i_name(k) in folders
// i_folder(k), and prints the figures.
void OfferAll(TransferQueueManager& io_manager, char const* ip_what, int i_count,
              std::function<std::string(int)> const& i_folder, std::function<std::string(int)> const& i_name)
{
    long const l_before = bench::ResidentKiB();
    double l_longestMs = 0;
    std::int64_t const l_start = bench::ThreadCpuNs();
    static quint32 s_token = 0;
    for (int l_k = 0; l_k < i_count; ++l_k) {
        std::string const l_folder = i_folder(l_k);
        std::string const l_name = i_name(l_k);
        std::int64_t const l_step = bench::ThreadCpuNs();
        io_manager.AddDownload("bob", l_name, l_folder, 1000, false, 0);
        io_manager.OnFileTransferRequest("bob", 1, ++s_token, l_folder + "\\" + l_name, 1000);
        l_longestMs = std::max(l_longestMs, (bench::ThreadCpuNs() - l_step) / 1e6);
    }
    std::printf("%s, %d added and offered: longest %.2f ms, all %.2f s of processor time, %+ld MiB\n", ip_what, i_count,
                l_longestMs, (bench::ThreadCpuNs() - l_start) / 1e9, (bench::ResidentKiB() - l_before) / 1024);
}

} // namespace

int main(int i_argc, char** ip_argv)
{
    QCoreApplication l_application(i_argc, ip_argv);
    QTemporaryDir l_dir;
    DeclareSettingsTypes();
    Server l_server;
    l_server.CreateData();
    TransferQueueManager l_manager;
    l_manager.NoData();
    SetSetting("download_folder", l_dir.filePath("Downloads"));

    for (int l_count : {bench::Size(2000, 200), bench::Size(8000, 400)}) {
        static int s_run = 0;
        std::string const l_prefix = "Music" + std::to_string(++s_run) + "\\Album ";
        OfferAll(l_manager, "one file name in album folders", l_count,
                 [&](int i_k) { return l_prefix + std::to_string(i_k); }, [](int) { return std::string("folder.jpg"); });
    }
    for (int l_count : {bench::Size(200, 20), bench::Size(800, 40)}) {
        static int s_run = 0;
        std::string const l_folder = "Names" + std::to_string(++s_run);
        OfferAll(l_manager, "remote names that make one local name", l_count,
                 [&](int) { return l_folder; },
                 [](int i_k) {
                     // Three control characters: 32,768 names that all make "a___b.mp3".
                     std::string l_name = "a";
                     for (int l_digit = 0; l_digit < 3; ++l_digit, i_k /= 32)
                         l_name += char(i_k % 32 == 31 ? 0x7f : 1 + i_k % 32);
                     return l_name + "b.mp3";
                 });
    }
    return 0;
}
