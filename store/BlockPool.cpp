#include "store/BlockPool.h"

#include <cstdlib>
#include <new>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

bool BlockPool::s_deferReleases = false;

BlockPool::BlockPool(std::size_t i_block, bool i_contiguous) : m_block(i_block)
{
    if (!i_contiguous)
        return;
    void* lp_region = mmap(nullptr, REGION, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (lp_region == MAP_FAILED)
        return;
    mp_reserved = lp_region;
    // Chunks start on a chunk boundary, for huge pages where the kernel
    // gives them unasked, and so that a block finds its chunk's header.
    std::uintptr_t l_start = (reinterpret_cast<std::uintptr_t>(lp_region) + CHUNK - 1) & ~std::uintptr_t(CHUNK - 1);
    mp_region = reinterpret_cast<char*>(l_start);
    mp_regionEnd = static_cast<char*>(lp_region) + REGION;
}

BlockPool::~BlockPool()
{
    for (void* lp_chunk : m_allocated)
        std::free(lp_chunk);
    if (mp_reserved)
        munmap(mp_reserved, REGION);
}

void* BlockPool::AllocateElsewhere()
{
    // The current chunk is full: it joins the partial list at its first
    // free (Free), not before.
    Chunk* lp_next = mp_partial;
    if (lp_next) {
        Unlist(lp_next);
    } else if (mp_spare) {
        lp_next = mp_spare;
        mp_spare = nullptr;
    } else if (!m_emptied.empty()) {
        // Its pages are still there.
        lp_next = m_emptied.back();
        m_emptied.pop_back();
        Reset(lp_next);
    } else if (!m_released.empty()) {
        lp_next = m_released.back();
        m_released.pop_back();
        Reset(lp_next);
    } else {
        lp_next = NewChunk();
    }
    mp_current = lp_next;
    return Allocate();
}

void BlockPool::Settle(Chunk* ip_chunk)
{
    if (ip_chunk == mp_current)
        return;
    if (ip_chunk->m_used > 0) {
        ip_chunk->m_listed = true;
        ip_chunk->mp_previous = nullptr;
        ip_chunk->mp_next = mp_partial;
        if (mp_partial)
            mp_partial->mp_previous = ip_chunk;
        mp_partial = ip_chunk;
        return;
    }
    if (ip_chunk->m_listed)
        Unlist(ip_chunk);
    if (!mp_spare) {
        mp_spare = ip_chunk;
        return;
    }
    if (s_deferReleases)
        m_emptied.push_back(ip_chunk);
    else
        Release(ip_chunk);
}

std::size_t BlockPool::ReleaseEmptied(std::size_t i_max)
{
    std::size_t l_count = 0;
    for (; l_count < i_max && !m_emptied.empty(); ++l_count) {
        Release(m_emptied.back());
        m_emptied.pop_back();
    }
    return l_count;
}

void BlockPool::Trim()
{
    ReleaseEmptied(m_emptied.size());
    if (mp_spare) {
        Release(mp_spare);
        mp_spare = nullptr;
    }
    if (mp_current && mp_current->m_used == 0) {
        Release(mp_current);
        mp_current = nullptr;
    }
    // A few chunks only: each costs a walk of its free blocks (up to 87,000,
    // about a millisecond), and the chunks a large removal leaves partly in
    // use are few.
    int l_budget = 1;
    if (mp_current) {
        TrimTail(mp_current);
        --l_budget;
    }
    for (Chunk* lp_chunk = mp_partial; lp_chunk && l_budget > 0; lp_chunk = lp_chunk->mp_next, --l_budget)
        TrimTail(lp_chunk);
}

void BlockPool::TrimTail(Chunk* ip_chunk)
{
    char* const lp_first = reinterpret_cast<char*>(ip_chunk) + HEADER;
    std::size_t const l_handedOut = std::size_t(ip_chunk->mp_cursor - lp_first) / m_block;
    // Less than 64 KiB free is not worth the walk.
    if ((l_handedOut - ip_chunk->m_used) * m_block < (std::size_t(64) << 10))
        return;
    std::vector<bool> l_free(l_handedOut);
    for (FreeBlock* lp_block = ip_chunk->mp_free; lp_block; lp_block = lp_block->mp_next)
        l_free[std::size_t(reinterpret_cast<char*>(lp_block) - lp_first) / m_block] = true;
    std::size_t l_top = l_handedOut;
    while (l_top > 0 && l_free[l_top - 1])
        --l_top;
    static std::size_t const s_page = std::size_t(sysconf(_SC_PAGESIZE));
    std::uintptr_t const l_cursor = reinterpret_cast<std::uintptr_t>(lp_first + l_top * m_block);
    char* const lp_pages = reinterpret_cast<char*>((l_cursor + s_page - 1) & ~std::uintptr_t(s_page - 1));
    char* const lp_end = reinterpret_cast<char*>(ip_chunk) + CHUNK;
    if (lp_pages >= lp_end || l_top == l_handedOut)
        return;
    // The blocks above the last one in use go back to never handed out, and
    // their whole pages to the system; the free list keeps those below.
    FreeBlock* lp_list = nullptr;
    for (std::size_t l_at = l_top; l_at-- > 0;)
        if (l_free[l_at]) {
            FreeBlock* lp_block = reinterpret_cast<FreeBlock*>(lp_first + l_at * m_block);
            lp_block->mp_next = lp_list;
            lp_list = lp_block;
        }
    ip_chunk->mp_free = lp_list;
    ip_chunk->mp_cursor = lp_first + l_top * m_block;
    madvise(lp_pages, std::size_t(lp_end - lp_pages), MADV_DONTNEED);
}

void BlockPool::Release(Chunk* ip_chunk)
{
    // All of it goes back, the header's page too: with one page left in
    // place, the kernel's huge-page collapser may fill the chunk again
    // (a range with a single page present qualifies). Its pages come back
    // zeroed when the chunk is used again.
    madvise(ip_chunk, CHUNK, MADV_DONTNEED);
    m_released.push_back(ip_chunk);
}

BlockPool::Chunk* BlockPool::NewChunk()
{
    void* lp_memory = nullptr;
    if (mp_region && mp_regionEnd - mp_region >= std::ptrdiff_t(CHUNK)
        && mprotect(mp_region, CHUNK, PROT_READ | PROT_WRITE) == 0) {
        lp_memory = mp_region;
        mp_region += CHUNK;
    }
    // Room to list it as emptied and as released, taken now: it is listed
    // from Free(), which must not fail.
    m_released.reserve(++m_chunks);
    m_emptied.reserve(m_chunks);
    if (!lp_memory) {
        m_allocated.reserve(m_allocated.size() + 1);
        lp_memory = std::aligned_alloc(CHUNK, CHUNK);
        if (!lp_memory)
            throw std::bad_alloc();
        m_allocated.push_back(lp_memory);
    }
    Chunk* lp_chunk = static_cast<Chunk*>(lp_memory);
    Reset(lp_chunk);
    return lp_chunk;
}

void BlockPool::Reset(Chunk* ip_chunk) const
{
    char* const lp_first = reinterpret_cast<char*>(ip_chunk) + HEADER;
    ip_chunk->mp_free = nullptr;
    ip_chunk->mp_cursor = lp_first;
    ip_chunk->mp_end = lp_first + BlocksPerChunk() * m_block;
    ip_chunk->mp_previous = nullptr;
    ip_chunk->mp_next = nullptr;
    ip_chunk->m_used = 0;
    ip_chunk->m_listed = false;
}

void BlockPool::Unlist(Chunk* ip_chunk)
{
    if (ip_chunk->mp_previous)
        ip_chunk->mp_previous->mp_next = ip_chunk->mp_next;
    else
        mp_partial = ip_chunk->mp_next;
    if (ip_chunk->mp_next)
        ip_chunk->mp_next->mp_previous = ip_chunk->mp_previous;
    ip_chunk->mp_previous = nullptr;
    ip_chunk->mp_next = nullptr;
    ip_chunk->m_listed = false;
}
