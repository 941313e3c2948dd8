// The longest single step of the store's own structures as a share grows
// and goes: N named files (each name a key of a valued type) linked to one
// root, made one by one and then removed one by one in random order, each
// call timed alone. A step that walks a structure the size of the share (a
// key table rebuilt, a link vector or a type's list of items compacted)
// shows as a longest call that grows with N; a bounded one stays flat.
//
//   bench_store_steps [runs]     250,000 and 2,000,000 files
//
// Prints, per size and run: the longest file made, the longest removal,
// each in ms of this thread's processor time, and the whole of both in s.

#include "bench/BenchUtil.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

namespace {

struct Figures
{
    double m_longestMake = 0, m_longestRemove = 0, m_make = 0, m_remove = 0;
};

Figures Measure(int i_files, std::mt19937& io_random)
{
    Figures l_figures;
    Type* lp_file = d["steps_file"];
    Type* lp_name = d["steps_name"];
    Item const l_root = d["steps_root"]->GetItem(Value("share"));
    std::vector<Item> l_files;
    l_files.reserve(std::size_t(i_files));
    QElapsedTimer l_whole;
    l_whole.start();
    for (int l_k = 0; l_k < i_files; ++l_k) {
        std::int64_t const l_start = bench::ThreadCpuNs();
        Item const l_file = lp_file->NewItem();
        l_file += (*lp_name)["music/folder" + std::to_string(l_k / 20) + "/track" + std::to_string(l_k) + ".mp3"];
        l_root += l_file;
        l_figures.m_longestMake = std::max(l_figures.m_longestMake, (bench::ThreadCpuNs() - l_start) / 1e6);
        l_files.push_back(l_file);
    }
    l_figures.m_make = l_whole.nsecsElapsed() / 1e9;
    std::shuffle(l_files.begin(), l_files.end(), io_random);
    l_whole.restart();
    for (Item& l_file : l_files) {
        Item const l_name = l_file["steps_name"];
        std::int64_t const l_start = bench::ThreadCpuNs();
        l_file.Remove();
        l_name.Remove();
        l_figures.m_longestRemove = std::max(l_figures.m_longestRemove, (bench::ThreadCpuNs() - l_start) / 1e6);
        l_file = Item();
    }
    l_figures.m_remove = l_whole.nsecsElapsed() / 1e9;
    bench::Require(lp_file->GetItemCount() == 0 && lp_name->GetItemCount() == 0, "files were left");
    l_root.Remove();
    d.RemoveDisconnectedItems();
    return l_figures;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    int const l_runs = bench::RunsArgument(argc, argv, bench::Size(3, 1));
    Type* lp_root = d.NewType("steps_root", ROOT, false, true);
    Type* lp_file = d.NewType("steps_file", INTERMEDIATE, true, false);
    Type* lp_name = d.NewType("steps_name", LEAF, false, true);
    lp_root->RelateToType(lp_file, ONE, MANY, false);
    lp_file->RelateToType(lp_name, MANY, ONE, false);
    std::mt19937 l_random(7);
    std::printf("files made one by one under one root, then removed one by one in random order\n");
    std::printf("  files     | longest make ms | longest removal ms | make s | remove s\n");
    for (int l_files : {bench::Size(250000, 20000), bench::Size(2000000, 160000)})
        for (int l_run = 0; l_run < l_runs; ++l_run) {
            Figures const l_f = Measure(l_files, l_random);
            std::printf("  %9d | %15.2f | %18.2f | %6.2f | %8.2f\n", l_files, l_f.m_longestMake, l_f.m_longestRemove,
                        l_f.m_make, l_f.m_remove);
            std::fflush(stdout);
        }
    return 0;
}
