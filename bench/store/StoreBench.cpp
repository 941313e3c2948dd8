// Builds a share-sized store (1,000,000 files, each in one of 50,000 folders
// and linked to 5 of 50,000 tokens) and prints build time, memory per file,
// subset query time and the collections: the first (every item is new), one
// with nothing changed since, and ones removing the files.

#include "bench/BenchUtil.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

namespace {

// Writes a buffer far larger than the last-level cache, so that nothing
// measured afterwards is found in cache.
void FlushCache()
{
    static std::vector<char> s_buffer(bench::Size(std::size_t(256), std::size_t(8)) << 20);
    for (std::size_t l_at = 0; l_at < s_buffer.size(); l_at += 64)
        s_buffer[l_at] = char(s_buffer[l_at] + 1);
}

// Hears every removal of a file, as a window listing them would.
class RemovalCounter : public DataHandler
{
public:
    std::size_t m_removed = 0;
    void OnRemoved(Item) { ++m_removed; }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    int const l_files = argc > 1 ? std::atoi(argv[1]) : bench::Size(1000000, 20000);
    int const l_folders = bench::SHARE_FOLDERS, l_tokens = bench::SHARE_TOKENS;

    bench::DeclareShareTypes();
    std::vector<Item> l_folderItems, l_tokenItems;
    bench::MakeFoldersAndTokens(l_folderItems, l_tokenItems);

    std::mt19937 l_random(42);
    long const l_residentBefore = bench::ResidentKiB();
    QElapsedTimer l_timer;
    l_timer.start();
    bench::AddShareFiles(l_files, l_random, l_folderItems, l_tokenItems);
    double l_buildSeconds = l_timer.nsecsElapsed() / 1e9;
    long const l_residentAfter = bench::ResidentKiB();

    // 3-token queries; with uniform tokens the rarest has about 100 files.
    // All are chosen first (which walks their links), then the cache is
    // flushed, so that the timed calls find the links where a search from
    // the network finds them: in memory, not in cache.
    std::vector<ItemSet> l_queries;
    for (int l_q = 0, l_count = bench::Size(1001, 51); l_q < l_count; ++l_q) {
        ItemSet l_set;
        Item l_first = l_tokenItems[l_random() % l_tokens];
        l_set.insert(l_first);
        // Two tokens that share a file with the first, so the query has answers.
        ItemSet l_files = l_first.GetItems("file");
        if (!l_files.empty()) {
            for (Item const& l_token : l_files.begin()->GetItems("token"))
                if (l_set.size() < 3)
                    l_set.insert(l_token);
        }
        l_queries.push_back(l_set);
    }
    FlushCache();
    std::vector<double> l_micros;
    std::size_t l_hits = 0;
    for (ItemSet const& l_set : l_queries) {
        QElapsedTimer l_query;
        l_query.start();
        ItemSet l_subset = d.GetItemSubset(l_set, "file");
        l_micros.push_back(l_query.nsecsElapsed() / 1e3);
        l_hits += l_subset.size();
    }
    std::sort(l_micros.begin(), l_micros.end());

    // Collections: the first, which looks at every item (all are new) and
    // finds them reached; one with nothing changed since; and one after the
    // files lost their folders, which removes the 1,000,000 files and the
    // 50,000 tokens only they reached, with the usual events.
    l_timer.restart();
    d.RemoveDisconnectedItems();
    double const l_markSeconds = l_timer.nsecsElapsed() / 1e9;
    l_timer.restart();
    d.RemoveDisconnectedItems();
    double const l_unchangedSeconds = l_timer.nsecsElapsed() / 1e9;
    for (Item const& l_folder : l_folderItems)
        l_folder.Disconnect("file");
    std::size_t const l_before = d.ItemCount();
    l_timer.restart();
    d.RemoveDisconnectedItems();
    double const l_collectSeconds = l_timer.nsecsElapsed() / 1e9;

    // The same again with a handler on the files' removal: each removal is
    // heard, so each goes on its own, its links dropped one by one.
    std::vector<Item> l_folderItems2, l_tokenItems2;
    bench::MakeFoldersAndTokens(l_folderItems2, l_tokenItems2);
    bench::AddShareFiles(l_files, l_random, l_folderItems2, l_tokenItems2);
    RemovalCounter l_counter;
    d["file"]->AddRemovedItemEventHandler(new EventHandler<RemovalCounter, Item>(&l_counter, &RemovalCounter::OnRemoved));
    for (Item const& l_folder : l_folderItems2)
        l_folder.Disconnect("file");
    std::size_t const l_beforeHeard = d.ItemCount();
    bench::Require(d["file"]->GetItemCount() == std::size_t(l_files),
                   "the collection left files of folders that let go of them");
    l_timer.restart();
    d.RemoveDisconnectedItems();
    double const l_heardSeconds = l_timer.nsecsElapsed() / 1e9;
    bench::Require(l_counter.m_removed == std::size_t(l_files), "not every removal of a file was heard");

    std::printf("files: %d (folders %d, tokens %d, links %d)\n", l_files, l_folders, l_tokens, l_files * 6);
    std::printf("build: %.2f s\n", l_buildSeconds);
    std::printf("memory: %.0f bytes per file item including its links (resident memory)\n",
                (l_residentAfter - l_residentBefore) * 1024.0 / l_files);
    std::printf("subset query (3 tokens, cache flushed): median %.1f us, 90th percentile %.1f us (hits %zu)\n",
                l_micros[l_micros.size() / 2], l_micros[l_micros.size() * 9 / 10], l_hits);
    std::printf("first collection, every item new and reached: %.2f s\n", l_markSeconds);
    std::printf("collection with nothing changed: %.4f s\n", l_unchangedSeconds);
    std::printf("collection removing %zu unreachable items: %.2f s (%zu items kept)\n", l_before - d.ItemCount(),
                l_collectSeconds, d.ItemCount());
    std::printf("the same with a handler on the files' removal: %zu items in %.2f s (%zu removals heard)\n",
                l_beforeHeard - d.ItemCount(), l_heardSeconds, l_counter.m_removed);
    std::fflush(stdout);
    std::_Exit(0); // tearing down the store is not what is measured
}
