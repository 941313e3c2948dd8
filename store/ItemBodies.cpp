// The pools that item bodies and link vectors come from (see
// StoreInternals.h for why they are pooled).
#include "store/StoreInternals.h"

#include "store/FreePages.h"

#include <atomic>
#include <system_error>
#include <thread>

#include <malloc.h>

#if QUILLMAR_BODY_POOL
BlockPool& LinkPool(int i_class)
{
    // Outlive every static Item.
    static BlockPool* sp_pools[POOLED_CLASSES] = {};
    if (!sp_pools[i_class])
        sp_pools[i_class] = new BlockPool((std::size_t(FIRST_CAPACITY) << i_class) * sizeof(void*));
    return *sp_pools[i_class];
}

BlockPool& KeyPool(int i_class)
{
    static BlockPool* sp_pools[KEY_CLASSES] = {};
    if (!sp_pools[i_class])
        sp_pools[i_class] = new BlockPool(KEY_STEP * std::size_t(i_class + 1));
    return *sp_pools[i_class];
}
#endif

namespace {

std::size_t s_bodiesFreedSinceTrim = 0;

#if QUILLMAR_BODY_POOL
BlockPool& BodyPool()
{
    static BlockPool* sp_pool = new BlockPool(64, true); // outlives every static Item
    return *sp_pool;
}
#endif

} // namespace

void* ItemBody::operator new(std::size_t i_size)
{
#if QUILLMAR_BODY_POOL
    if (i_size == sizeof(ItemBody))
        return BodyPool().Allocate();
#endif
    return ::operator new(i_size);
}

void ItemBody::operator delete(void* ip_body) noexcept
{
    ++s_bodiesFreedSinceTrim;
#if QUILLMAR_BODY_POOL
    BodyPool().Free(ip_body);
#else
    ::operator delete(ip_body);
#endif
}

namespace {
// Lists of tags' references that compactions handed over, taken from the
// back; moved in whole, so that a compaction copies none of them again.
struct DeferredTags
{
    std::vector<std::vector<ItemBody*>> m_lists;
    std::size_t m_count = 0;
};
DeferredTags& Deferred()
{
    // Outlives the static store, whose reset at exit lets go of them.
    static DeferredTags* sp_tags = new DeferredTags;
    return *sp_tags;
}
} // namespace

void DeferTagReleases(std::vector<ItemBody*>&& io_bodies)
{
    Deferred().m_count += io_bodies.size();
    Deferred().m_lists.push_back(std::move(io_bodies));
}

std::size_t ReleaseDeferredTags(std::size_t i_max)
{
    std::vector<std::vector<ItemBody*>>& l_lists = Deferred().m_lists;
    std::size_t& l_left = Deferred().m_count;
    std::size_t l_count = 0;
    while (l_count < i_max && !l_lists.empty()) {
        std::vector<ItemBody*>& l_bodies = l_lists.back();
        while (l_count < i_max && !l_bodies.empty()) {
            if (l_bodies.size() > PREFETCH_AHEAD)
                __builtin_prefetch(l_bodies[l_bodies.size() - 1 - PREFETCH_AHEAD], 1);
            ItemBody* const lp_body = l_bodies.back();
            l_bodies.pop_back();
            --l_left;
            ++l_count;
            Release(lp_body);
        }
        if (l_bodies.empty())
            l_lists.pop_back();
    }
    return l_count;
}

std::size_t DeferredTagCount()
{
    return Deferred().m_count;
}

bool ReturnEmptiedChunks(std::size_t i_max)
{
#if QUILLMAR_BODY_POOL
    std::size_t l_left = i_max;
    bool l_more = false;
    auto const l_release = [&](BlockPool& io_pool) {
        l_left -= io_pool.ReleaseEmptied(l_left);
        l_more = l_more || io_pool.HasEmptied();
    };
    l_release(BodyPool());
    for (int l_class = 0; l_class < POOLED_CLASSES; ++l_class)
        l_release(LinkPool(l_class));
    for (int l_class = 0; l_class < KEY_CLASSES; ++l_class)
        l_release(KeyPool(l_class));
    return l_more;
#else
    (void)i_max;
    return false;
#endif
}

namespace {
std::atomic<bool> s_trimming{false};
// Free memory in the C library's heaps up to which a collection in slices
// has them walked.
constexpr std::size_t WALKED_FREE_BYTES = std::size_t(128) << 20;
// Chunks a piece of a pool's trim walks or gives back.
constexpr std::size_t TRIMMED_CHUNKS = 2;
} // namespace

bool IsReturningFreedMemory()
{
    return s_trimming;
}

bool ReturnFreedMemory(bool i_here, std::size_t& io_step)
{
    // Fewer bodies leave too few holes to be worth a walk of the heap, which
    // takes a millisecond or two once a large share has come and gone.
    if (io_step == 0 && s_bodiesFreedSinceTrim < 10000)
        return false;
#if QUILLMAR_BODY_POOL
    // A pool at a time, a piece of its trim a call: each piece walks or
    // gives back at most TRIMMED_CHUNKS chunks.
    std::size_t const l_pool = io_step;
    BlockPool* const lp_pool = l_pool == 0                                         ? &BodyPool()
                               : l_pool <= std::size_t(POOLED_CLASSES)              ? &LinkPool(int(l_pool - 1))
                               : l_pool <= std::size_t(POOLED_CLASSES + KEY_CLASSES) ? &KeyPool(int(l_pool - 1 - POOLED_CLASSES))
                                                                                     : nullptr;
    if (lp_pool) {
        if (!lp_pool->TrimPiece(TRIMMED_CHUNKS))
            ++io_step;
        return true;
    }
#endif
    ++io_step;
    s_bodiesFreedSinceTrim = 0;
#ifdef __GLIBC__
    if (i_here) {
        malloc_trim(0);
        return false;
    }
    // Else on a thread of its own: the walk also goes through the heaps of
    // the other threads (the scan thread's held a million names, freed
    // after a share: a quarter of a second), each locked only while it is
    // walked. One walk at a time. But the window's heap is locked as long
    // as its walk gives pages back, and every allocation of the window
    // that its own cache cannot serve waits meanwhile: after unsharing two
    // million files (a gigabyte free, most of it the index's own blocks
    // outside the store), 0.2 s. So the walk is left out while the heaps
    // hold more free memory than it gives back in a few tens of
    // milliseconds; that memory is used again by what comes next, and a
    // collection here and now (the save at the end) gives it back. (Counting
    // the free memory walks the other threads' heaps too, a fifth of a
    // second after a share of a million files: it is done on that thread.)
    // Nor while a large free in slices runs (FreePages.h): the holes it
    // leaves make the walk long, and it gives its pages back itself.
    if (HeapWalksHeld())
        return false;
    if (!s_trimming.exchange(true)) {
        try {
            CountHeapWalk();
            std::thread([]() {
#if __GLIBC_PREREQ(2, 33)
                if (mallinfo2().fordblks <= WALKED_FREE_BYTES)
                    malloc_trim(0);
#else
                malloc_trim(0);
#endif
                s_trimming = false;
            }).detach();
        } catch (std::system_error const&) {
            s_trimming = false;
        }
    }
#else
    (void)i_here;
#endif
    return false;
}
