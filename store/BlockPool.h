#ifndef QUILLMAR_STORE_BLOCKPOOL_H
#define QUILLMAR_STORE_BLOCKPOOL_H

// Fixed-size blocks carved from 2 MiB chunks, for item bodies and link
// vectors (see StoreInternals.h for why they are pooled). Private to the
// store.
//
// Each chunk keeps its own free blocks and a count of the blocks in use, in
// a header at its start, so that a chunk whose blocks are all free is known
// at once: its pages go back to the system (the chunk itself stays, to be
// used again), or closing a share of 200,000 files would leave the process
// some 90 MB larger for good. While releases are deferred (a step of the
// store's collection) they go back only when ReleaseEmptied() is called, a
// few chunks at a time: a collection's end emptied 150 chunks at once, and
// giving back their pages then held the window for 36 ms. One empty
// chunk per pool keeps its pages until Trim(), so that a block freed and
// taken again at a chunk's edge does not cost a system call each time. New blocks come from chunks that are partly in use
// before an empty one is touched, which keeps the blocks that live together
// in few chunks.
//
// Not thread-safe: the store is used from one thread.

#include <cstddef>
#include <cstdint>
#include <vector>

class BlockPool
{
public:
    static constexpr std::size_t CHUNK = std::size_t(2) << 20;

    // A contiguous pool takes its chunks one after the other from one
    // reserved stretch of address space, as long as the system grants it,
    // so that its blocks stay dense (AddressBits in Data.cpp relies on it):
    // a chunk whose pages went back is used again, never unmapped.
    explicit BlockPool(std::size_t i_block, bool i_contiguous = false);
    BlockPool(BlockPool const&) = delete;
    BlockPool& operator=(BlockPool const&) = delete;
    // The store's pools live as long as the process; a pool that goes
    // before (in tests) takes its chunks with it.
    ~BlockPool();

    void* Allocate()
    {
        if (Chunk* lp_chunk = mp_current) {
            if (FreeBlock* lp_block = lp_chunk->mp_free) {
                lp_chunk->mp_free = lp_block->mp_next;
                lp_block->m_mark = 0; // a link vector leaves its spare slots as they were
                ++lp_chunk->m_used;
                return lp_block;
            }
            if (lp_chunk->mp_cursor != lp_chunk->mp_end) {
                FreeBlock* lp_block = reinterpret_cast<FreeBlock*>(lp_chunk->mp_cursor);
                lp_chunk->mp_cursor += m_block;
                lp_block->m_mark = 0;
                ++lp_chunk->m_used;
                return lp_block;
            }
        }
        return AllocateElsewhere();
    }

    void Free(void* ip_block)
    {
        Chunk* lp_chunk = ChunkOf(ip_block);
        FreeBlock* lp_block = static_cast<FreeBlock*>(ip_block);
        lp_block->mp_next = lp_chunk->mp_free;
        lp_block->m_mark = FREE_MARK;
        lp_chunk->mp_free = lp_block;
        if (--lp_chunk->m_used == 0 || (lp_chunk != mp_current && !lp_chunk->m_listed))
            Settle(lp_chunk);
    }

    // Gives back the pages of the chunks that are empty but were kept for
    // the next blocks (after a large removal, nine pools would otherwise
    // keep up to 4 MB each), the free tail of a few chunks still partly in
    // use (the chunk that was current when a large share arrived holds the
    // program's older blocks at its start and the share's, now free, after
    // them), and the pages of every chunk at most a quarter in use that
    // hold no block in use: the few items that outlive a large removal
    // (the users who answered a search, made amid their answers) would
    // otherwise keep every chunk they lie in, 20 MB and more after a search
    // tab of 100,000 files. The blocks on such pages are not handed out
    // again until their chunk is empty.
    void Trim()
    {
        while (TrimPiece(std::size_t(-1))) {
        }
    }
    // The same in pieces: each gives back or walks at most i_chunks chunks
    // (a walk is up to a millisecond, a chunk given back a quarter of
    // one), so that a caller turning the event loop between them is never
    // held long. After a large unshare met a collection, hundreds of
    // chunks were left mostly free, and a trim in one go held the window
    // for over 100 ms. The chunks to walk are those partly in use when the
    // trim began; false once it is through.
    bool TrimPiece(std::size_t i_chunks);
    // Gives back the pages of at most i_max emptied chunks (each a system
    // call, a quarter of a millisecond for 2 MiB); the number given back.
    std::size_t ReleaseEmptied(std::size_t i_max);
    bool HasEmptied() const { return !m_emptied.empty(); }
    // Whether the pages of chunks emptied from now on wait for
    // ReleaseEmptied(), in every pool.
    static void DeferReleases(bool i_defer) { s_deferReleases = i_defer; }

    std::size_t BlocksPerChunk() const { return (CHUNK - HEADER) / m_block; }

private:
    // A free block says so in its second word, so that a trim finds the
    // free blocks by reading the chunk in order rather than by following
    // the free list, a cache miss a block (16 ms for the chunks a closed
    // search tab of 100,000 files left). No block in use holds the mark
    // there: a link vector's entries are user-space addresses, which never
    // have the top bit set, and a body's key would need a type index above
    // 65,000.
    struct FreeBlock
    {
        FreeBlock* mp_next;
        std::uint64_t m_mark;
    };
    static constexpr std::uint64_t FREE_MARK = 0xFEEDFACE0F7EEB10ull;
    struct Chunk
    {
        FreeBlock* mp_free;
        char* mp_cursor; // blocks from here to mp_end were never handed out
        char* mp_end;
        Chunk* mp_previous; // in the list of chunks partly in use
        Chunk* mp_next;
        std::uint32_t m_used;
        bool m_listed; // in the list of chunks partly in use
        bool m_holed;  // pages given back below its cursor (TrimFree)
    };
    // Blocks start a cache line into the chunk, so that 64-byte blocks keep
    // to cache lines.
    static constexpr std::size_t HEADER = 64;
    static_assert(sizeof(Chunk) <= HEADER, "the chunk header must fit before the first block");
    static constexpr std::size_t REGION = std::size_t(64) << 30; // a billion bodies

    static Chunk* ChunkOf(void* ip_block)
    {
        return reinterpret_cast<Chunk*>(reinterpret_cast<std::uintptr_t>(ip_block) & ~std::uintptr_t(CHUNK - 1));
    }

    void* AllocateElsewhere();
    void Settle(Chunk* ip_chunk);
    Chunk* NewChunk();
    void Reset(Chunk* ip_chunk) const;
    bool IsMostlyFree(Chunk const* ip_chunk) const;
    void Unlist(Chunk* ip_chunk);
    void Release(Chunk* ip_chunk);
    // Gives back the chunk's free tail, and with i_holes its other whole
    // pages that hold no block in use.
    void TrimFree(Chunk* ip_chunk, bool i_holes);

    static bool s_deferReleases;
    std::size_t const m_block;
    Chunk* mp_current = nullptr;
    Chunk* mp_partial = nullptr; // chunks partly in use, but the current one
    Chunk* mp_spare = nullptr;   // an empty chunk that kept its pages
    std::vector<Chunk*> m_emptied;  // empty chunks whose pages are to go back
    std::vector<Chunk*> m_released; // empty chunks whose pages went back
    void* mp_reserved = nullptr; // the region as mapped
    char* mp_region = nullptr;    // its part not yet taken
    char* mp_regionEnd = nullptr;
    std::vector<void*> m_allocated; // chunks from the allocator
    std::size_t m_chunks = 0;
    // The trim under way: the chunks to walk, and how many chunks still in
    // good use (not mostly free) may have their tails walked.
    bool m_trimming = false;
    std::vector<Chunk*> m_toTrim;
    std::size_t m_trimAt = 0;
    int m_tailBudget = 0;
};

#endif // QUILLMAR_STORE_BLOCKPOOL_H
