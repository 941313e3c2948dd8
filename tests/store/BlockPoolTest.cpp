// The pool behind item bodies and link vectors: no block handed out twice
// under churn, and chunks emptied by a large removal give their pages back.

#include "store/BlockPool.h"

#include <QtTest>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

std::uintptr_t ChunkOf(void* ip_block)
{
    return reinterpret_cast<std::uintptr_t>(ip_block) & ~std::uintptr_t(BlockPool::CHUNK - 1);
}

// Pages of the chunk that the system counts as resident.
std::size_t ResidentPages(std::uintptr_t i_chunk)
{
    std::size_t const l_page = std::size_t(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> l_map(BlockPool::CHUNK / l_page);
    if (mincore(reinterpret_cast<void*>(i_chunk), BlockPool::CHUNK, l_map.data()) != 0)
        return std::size_t(-1);
    std::size_t l_resident = 0;
    for (unsigned char l_flags : l_map)
        l_resident += l_flags & 1;
    return l_resident;
}

// i_count blocks of 64 bytes taken and written, and the chunks they lie in.
std::vector<void*> TakeWritten(BlockPool& io_pool, std::size_t i_count, std::set<std::uintptr_t>& o_chunks)
{
    std::vector<void*> l_blocks;
    for (std::size_t l_at = 0; l_at < i_count; ++l_at) {
        l_blocks.push_back(io_pool.Allocate());
        std::memset(l_blocks.back(), 1, 64);
        o_chunks.insert(ChunkOf(l_blocks.back()));
    }
    return l_blocks;
}

} // namespace

class BlockPoolTest : public QObject
{
    Q_OBJECT

private slots:
    void NoBlockIsHandedOutTwice_data()
    {
        QTest::addColumn<int>("block");
        QTest::addColumn<bool>("contiguous");
        QTest::newRow("link vector of 3") << 24 << false;
        QTest::newRow("body") << 64 << true;
        QTest::newRow("link vector of 384") << 3072 << false;
    }
    void NoBlockIsHandedOutTwice()
    {
        QFETCH(int, block);
        QFETCH(bool, contiguous);
        BlockPool l_pool(std::size_t(block), contiguous);
        // Over three chunks' worth, freed and taken again in random order,
        // so that blocks come from free lists, fresh space and other chunks.
        std::size_t const l_peak = 3 * l_pool.BlocksPerChunk();
        std::vector<std::pair<char*, std::uint32_t>> l_live;
        std::mt19937 l_random(7);
        std::uint32_t l_stamp = 0;
        for (int l_round = 0; l_round < 4; ++l_round) {
            while (l_live.size() < l_peak) {
                char* lp_block = static_cast<char*>(l_pool.Allocate());
                QVERIFY(reinterpret_cast<std::uintptr_t>(lp_block) % (block % 64 == 0 ? 64 : 8) == 0);
                std::memset(lp_block, int(l_stamp & 0xff), std::size_t(block));
                l_live.emplace_back(lp_block, l_stamp++);
            }
            std::shuffle(l_live.begin(), l_live.end(), l_random);
            // Counted, then compared once: a QCOMPARE a block cost most of
            // the test's time (both sides are made into text even when equal).
            std::vector<char*> l_blocks;
            int l_overwritten = 0;
            for (auto const& [lp_block, l_mark] : l_live) {
                l_overwritten += static_cast<unsigned char>(lp_block[block - 1]) != static_cast<unsigned char>(l_mark & 0xff);
                l_blocks.push_back(lp_block);
            }
            QCOMPARE(l_overwritten, 0);
            std::sort(l_blocks.begin(), l_blocks.end());
            QVERIFY2(std::adjacent_find(l_blocks.begin(), l_blocks.end()) == l_blocks.end(), "a block was handed out twice");
            std::size_t const l_keep = l_round % 2 ? l_peak / 10 : l_peak / 2;
            for (std::size_t l_at = l_keep; l_at < l_live.size(); ++l_at)
                l_pool.Free(l_live[l_at].first);
            l_live.resize(l_keep);
        }
    }

    void EmptiedChunksGiveTheirPagesBack_data()
    {
        QTest::addColumn<bool>("contiguous");
        QTest::newRow("from a reserved region") << true;
        QTest::newRow("from the allocator") << false;
    }
    void EmptiedChunksGiveTheirPagesBack()
    {
        QFETCH(bool, contiguous);
        BlockPool l_pool(64, contiguous);
        std::size_t const l_count = 6 * l_pool.BlocksPerChunk();
        std::set<std::uintptr_t> l_chunks;
        std::vector<void*> l_blocks = TakeWritten(l_pool, l_count, l_chunks);
        QCOMPARE(l_chunks.size(), std::size_t(6));
        std::size_t const l_page = std::size_t(sysconf(_SC_PAGESIZE));
        std::size_t const l_full = BlockPool::CHUNK / l_page;
        for (std::uintptr_t l_chunk : l_chunks)
            QCOMPARE(ResidentPages(l_chunk), l_full);

        // Freed in an order unrelated to the chunks, as a collection does;
        // while releases are deferred (a step of the collection) the pages
        // go back when asked, two chunks at a time (a step of the
        // collection asks for a few).
        std::shuffle(l_blocks.begin(), l_blocks.end(), std::mt19937(3));
        BlockPool::DeferReleases(true);
        for (void* lp_block : l_blocks)
            l_pool.Free(lp_block);
        BlockPool::DeferReleases(false);
        auto const l_kept = [&]() {
            std::size_t l_count = 0;
            for (std::uintptr_t l_chunk : l_chunks)
                l_count += ResidentPages(l_chunk) > 1;
            return l_count;
        };
        QCOMPARE(l_kept(), std::size_t(6));
        QVERIFY(l_pool.HasEmptied());
        QCOMPARE(l_pool.ReleaseEmptied(2), std::size_t(2));
        QCOMPARE(l_kept(), std::size_t(4));
        while (l_pool.ReleaseEmptied(2) > 0) {
        }
        QVERIFY(!l_pool.HasEmptied());
        // The chunk blocks last came from, and one spare.
        QVERIFY2(l_kept() <= 2, qPrintable(QString("%1 emptied chunks kept their pages").arg(l_kept())));

        // Taken again, the same chunks serve: address space does not grow.
        // Freed again, releases not deferred, they give their pages back
        // at once.
        l_blocks.clear();
        for (std::size_t l_at = 0; l_at < l_count; ++l_at) {
            l_blocks.push_back(l_pool.Allocate());
            QVERIFY(l_chunks.count(ChunkOf(l_blocks.back())) == 1);
            std::memset(l_blocks.back(), 1, 64);
        }
        std::shuffle(l_blocks.begin(), l_blocks.end(), std::mt19937(4));
        for (void* lp_block : l_blocks)
            l_pool.Free(lp_block);
        QVERIFY(!l_pool.HasEmptied());
        QVERIFY2(l_kept() <= 2, qPrintable(QString("%1 emptied chunks kept their pages").arg(l_kept())));
    }

    // The chunk that was current when a large share arrived: the program's
    // older blocks at its start (some freed since), the share's after them.
    void TrimGivesBackTheFreeTailAndKeepsWhatLives()
    {
        BlockPool l_pool(64, true);
        std::size_t const l_perChunk = l_pool.BlocksPerChunk();
        std::vector<char*> l_old;
        for (int l_at = 0; l_at < 1000; ++l_at) {
            l_old.push_back(static_cast<char*>(l_pool.Allocate()));
            std::memset(l_old.back(), l_at % 251, 64);
        }
        std::vector<void*> l_share;
        for (std::size_t l_at = 0; l_at < 3 * l_perChunk; ++l_at) {
            l_share.push_back(l_pool.Allocate());
            std::memset(l_share.back(), 7, 64);
        }
        std::uintptr_t const l_chunk = ChunkOf(l_old.front());
        for (std::size_t l_at = 1; l_at < l_old.size(); l_at += 2) // holes among the old ones
            l_pool.Free(l_old[l_at]);
        std::shuffle(l_share.begin(), l_share.end(), std::mt19937(5));
        for (void* lp_block : l_share)
            l_pool.Free(lp_block);
        l_pool.Trim();

        std::size_t const l_page = std::size_t(sysconf(_SC_PAGESIZE));
        QVERIFY2(ResidentPages(l_chunk) * l_page <= 1000 * 64 + 2 * l_page,
                 qPrintable(QString("%1 pages stayed").arg(ResidentPages(l_chunk))));
        for (std::size_t l_at = 0; l_at < l_old.size(); l_at += 2)
            QCOMPARE(static_cast<unsigned char>(l_old[l_at][63]), static_cast<unsigned char>(l_at % 251));

        // The holes are taken again before anything past the old blocks.
        std::set<void*> l_taken;
        for (std::size_t l_at = 1; l_at < l_old.size(); l_at += 2)
            l_taken.insert(l_pool.Allocate());
        for (std::size_t l_at = 1; l_at < l_old.size(); l_at += 2)
            QVERIFY(l_taken.count(l_old[l_at]) == 1);
        for (std::size_t l_at = 0; l_at < 2 * l_perChunk; ++l_at) {
            char* lp_block = static_cast<char*>(l_pool.Allocate());
            QVERIFY(l_taken.insert(lp_block).second);
            std::memset(lp_block, 9, 64);
        }
        for (std::size_t l_at = 0; l_at < l_old.size(); l_at += 2)
            QCOMPARE(static_cast<unsigned char>(l_old[l_at][63]), static_cast<unsigned char>(l_at % 251));
    }

    // What outlives a large removal (a block in every few hundred, as the
    // users who answered a search lie among their answers) no longer keeps
    // the pages around it, whatever the block size; it keeps its bytes, no
    // block is handed out twice, and an emptied chunk serves whole again.
    void PagesAroundTheFewSurvivorsGoBack_data()
    {
        QTest::addColumn<int>("block");
        QTest::addColumn<bool>("contiguous");
        QTest::newRow("body") << 64 << true;
        QTest::newRow("link vector of 3, across page edges") << 24 << false;
        QTest::newRow("link vector of 192") << 1536 << false;
    }
    void PagesAroundTheFewSurvivorsGoBack()
    {
        QFETCH(int, block);
        QFETCH(bool, contiguous);
        BlockPool l_pool(std::size_t(block), contiguous);
        std::size_t const l_count = 3 * l_pool.BlocksPerChunk();
        std::size_t const l_every = std::max<std::size_t>(2, 20000 / std::size_t(block));
        std::vector<char*> l_blocks, l_kept;
        std::set<std::uintptr_t> l_chunks;
        for (std::size_t l_at = 0; l_at < l_count; ++l_at) {
            l_blocks.push_back(static_cast<char*>(l_pool.Allocate()));
            std::memset(l_blocks.back(), int(l_at % 251), std::size_t(block));
            l_chunks.insert(ChunkOf(l_blocks.back()));
        }
        std::vector<char*> l_freed;
        for (std::size_t l_at = 0; l_at < l_count; ++l_at)
            (l_at % l_every == l_every / 2 ? l_kept : l_freed).push_back(l_blocks[l_at]);
        std::shuffle(l_freed.begin(), l_freed.end(), std::mt19937(11));
        for (char* lp_block : l_freed)
            l_pool.Free(lp_block);
        l_pool.Trim();

        std::size_t const l_page = std::size_t(sysconf(_SC_PAGESIZE));
        std::size_t l_resident = 0;
        for (std::uintptr_t l_chunk : l_chunks)
            l_resident += ResidentPages(l_chunk);
        // A survivor keeps its page (two where it lies across an edge),
        // and each chunk its header's.
        QVERIFY2(l_resident <= 2 * l_kept.size() + 3 * l_chunks.size(),
                 qPrintable(QString("%1 pages stayed for %2 blocks").arg(l_resident).arg(l_kept.size())));
        QVERIFY(2 * l_resident < l_chunks.size() * (BlockPool::CHUNK / l_page));
        auto const l_intact = [&]() {
            for (char* lp_block : l_kept) {
                std::size_t const l_at = std::size_t(std::find(l_blocks.begin(), l_blocks.end(), lp_block) - l_blocks.begin());
                for (int l_byte : {0, block - 1})
                    if (static_cast<unsigned char>(lp_block[l_byte]) != l_at % 251)
                        return false;
            }
            return true;
        };
        QVERIFY(l_intact());

        // Taken again: never a survivor, never twice.
        std::set<char*> l_taken(l_kept.begin(), l_kept.end());
        for (std::size_t l_at = 0; l_at < l_count; ++l_at) {
            char* lp_block = static_cast<char*>(l_pool.Allocate());
            QVERIFY2(l_taken.insert(lp_block).second, "a block was handed out twice");
            std::memset(lp_block, 0xEE, std::size_t(block));
        }
        QVERIFY(l_intact());
        // All gone, every block of the chunks serves again before a new one.
        for (char* lp_block : l_taken)
            l_pool.Free(lp_block);
        std::set<std::uintptr_t> l_used;
        for (std::size_t l_at = 0; l_at < l_count; ++l_at)
            l_used.insert(ChunkOf(l_pool.Allocate()));
        QVERIFY(l_used.size() <= l_chunks.size() + 1);
    }

    // A trim in pieces walks at most the chunks asked for at a time, and
    // once through has walked every chunk that was mostly free at its start.
    void TrimGoesInPiecesOfChunks()
    {
        BlockPool l_pool(64, true);
        std::size_t const l_count = 8 * l_pool.BlocksPerChunk();
        std::set<std::uintptr_t> l_chunks;
        std::vector<void*> l_blocks = TakeWritten(l_pool, l_count, l_chunks);
        // A survivor in every thousand blocks keeps each chunk partly in use.
        for (std::size_t l_at = 0; l_at < l_count; ++l_at)
            if (l_at % 1000 != 0)
                l_pool.Free(l_blocks[l_at]);
        std::size_t const l_full = BlockPool::CHUNK / std::size_t(sysconf(_SC_PAGESIZE));
        auto const l_walked = [&]() {
            std::size_t l_count = 0;
            for (std::uintptr_t l_chunk : l_chunks)
                l_count += ResidentPages(l_chunk) < l_full / 2;
            return l_count;
        };
        QCOMPARE(l_walked(), std::size_t(0));
        std::size_t l_pieces = 0;
        for (bool l_more = true; l_more; ++l_pieces) {
            std::size_t const l_before = l_walked();
            l_more = l_pool.TrimPiece(2);
            QVERIFY2(l_walked() - l_before <= 2, qPrintable(QString("%1 chunks in a piece").arg(l_walked() - l_before)));
        }
        QCOMPARE(l_walked(), l_chunks.size());
        QCOMPARE(l_pieces, std::size_t(4));
    }
};

QTEST_GUILESS_MAIN(BlockPoolTest)
#include "BlockPoolTest.moc"
