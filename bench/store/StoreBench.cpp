// Builds a share-sized store (1,000,000 files, each in one of 50,000 folders
// and linked to 5 of 50,000 tokens) and prints build time, memory per file,
// subset query time and one full collection.

#include "bench/BenchUtil.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

namespace {

long ResidentKiB()
{
    std::ifstream l_status("/proc/self/status");
    std::string l_line;
    while (std::getline(l_status, l_line))
        if (l_line.rfind("VmRSS:", 0) == 0)
            return std::stol(l_line.substr(6));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    int const l_files = argc > 1 ? std::atoi(argv[1]) : 1000000;
    int const l_folders = bench::SHARE_FOLDERS, l_tokens = bench::SHARE_TOKENS;

    bench::DeclareShareTypes();
    std::vector<Item> l_folderItems, l_tokenItems;
    bench::MakeFoldersAndTokens(l_folderItems, l_tokenItems);

    std::mt19937 l_random(42);
    long l_before = ResidentKiB();
    QElapsedTimer l_timer;
    l_timer.start();
    bench::AddShareFiles(l_files, l_random, l_folderItems, l_tokenItems);
    double l_buildSeconds = l_timer.nsecsElapsed() / 1e9;
    long l_after = ResidentKiB();

    // 3-token queries; with uniform tokens the rarest has about 100 files.
    std::vector<double> l_micros;
    std::size_t l_hits = 0;
    for (int l_q = 0; l_q < 1001; ++l_q) {
        ItemSet l_set;
        Item l_first = l_tokenItems[l_random() % l_tokens];
        l_set.insert(l_first);
        // Pick two tokens that share a file with the first, so the query has answers.
        ItemSet l_files = l_first.GetItems("file");
        if (!l_files.empty()) {
            Item l_some = *l_files.begin();
            ItemSet l_its = l_some.GetItems("token");
            for (Item const& l_token : l_its)
                if (l_set.size() < 3)
                    l_set.insert(l_token);
        }
        QElapsedTimer l_query;
        l_query.start();
        ItemSet l_subset = d.GetItemSubset(l_set, "file");
        l_micros.push_back(l_query.nsecsElapsed() / 1e3);
        l_hits += l_subset.size();
    }
    std::sort(l_micros.begin(), l_micros.end());

    l_timer.restart();
    d.RemoveDisconnectedItems();
    double l_collectSeconds = l_timer.nsecsElapsed() / 1e9;

    std::printf("files: %d (folders %d, tokens %d, links %d)\n", l_files, l_folders, l_tokens, l_files * 6);
    std::printf("build: %.2f s\n", l_buildSeconds);
    std::printf("memory: %.0f bytes per file item including its links\n", (l_after - l_before) * 1024.0 / l_files);
    std::printf("subset query (3 tokens): median %.1f us (hits %zu)\n", l_micros[l_micros.size() / 2], l_hits);
    std::printf("collection: %.2f s (%zu items kept)\n", l_collectSeconds, d.ItemCount());
    std::fflush(stdout);
    std::_Exit(0); // tearing down a million items is not what is measured
}
