#include "store/BlockPool.h"

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

bool BlockPool::s_deferReleases = false;

BlockPool::BlockPool(std::size_t i_block, bool i_contiguous) : m_block(i_block)
{
    if (i_block < sizeof(FreeBlock))
        throw std::invalid_argument("a pool's blocks must hold a free block's link and mark");
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
    if (ip_chunk == mp_current) {
        // Emptied, it has every block again, those on pages given back too.
        if (ip_chunk->m_used == 0 && ip_chunk->m_holed)
            Reset(ip_chunk);
        return;
    }
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
        // Emptied, it has every block again, those on pages given back too.
        if (ip_chunk->m_holed)
            Reset(ip_chunk);
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

bool BlockPool::TrimPiece(std::size_t i_chunks)
{
    if (!m_trimming) {
        m_trimming = true;
        if (mp_spare) {
            Release(mp_spare);
            mp_spare = nullptr;
        }
        if (mp_current && mp_current->m_used == 0) {
            Release(mp_current);
            mp_current = nullptr;
        }
        m_toTrim.clear();
        if (mp_current)
            m_toTrim.push_back(mp_current);
        for (Chunk* lp_chunk = mp_partial; lp_chunk; lp_chunk = lp_chunk->mp_next)
            m_toTrim.push_back(lp_chunk);
        m_trimAt = 0;
        // The tails of a few chunks only: each costs a walk of its free
        // blocks (up to 87,000, about a millisecond), and the chunks a
        // large removal leaves partly in use are few. Chunks mostly free
        // are walked for their free pages anyway.
        m_tailBudget = 1;
    }
    std::size_t l_left = i_chunks - ReleaseEmptied(i_chunks);
    while (l_left > 0 && m_trimAt < m_toTrim.size()) {
        Chunk* const lp_chunk = m_toTrim[m_trimAt++];
        // Emptied since (then given back or kept whole), or handed out
        // afresh: a walk would find nothing worth it.
        if (lp_chunk->m_used == 0 || (lp_chunk != mp_current && !lp_chunk->m_listed))
            continue;
        bool const l_mostlyFree = IsMostlyFree(lp_chunk);
        if (l_mostlyFree || m_tailBudget > 0) {
            TrimFree(lp_chunk, l_mostlyFree);
            --l_left;
        }
        --m_tailBudget;
    }
    if (!m_emptied.empty() || m_trimAt < m_toTrim.size())
        return true;
    m_trimming = false;
    std::vector<Chunk*>().swap(m_toTrim);
    return false;
}

bool BlockPool::IsMostlyFree(Chunk const* ip_chunk) const
{
    std::size_t const l_handedOut = std::size_t(ip_chunk->mp_cursor - (reinterpret_cast<char const*>(ip_chunk) + HEADER)) / m_block;
    return 4 * std::size_t(ip_chunk->m_used) <= l_handedOut;
}

void BlockPool::TrimFree(Chunk* ip_chunk, bool i_holes)
{
    char* const lp_first = reinterpret_cast<char*>(ip_chunk) + HEADER;
    std::size_t const l_handedOut = std::size_t(ip_chunk->mp_cursor - lp_first) / m_block;
    // Less than 64 KiB free is not worth the walk.
    if ((l_handedOut - ip_chunk->m_used) * m_block < (std::size_t(64) << 10))
        return;
    std::vector<bool> l_free(l_handedOut);
    for (std::size_t l_at = 0; l_at < l_handedOut; ++l_at)
        l_free[l_at] = reinterpret_cast<FreeBlock const*>(lp_first + l_at * m_block)->m_mark == FREE_MARK;
    std::size_t l_top = l_handedOut;
    while (l_top > 0 && l_free[l_top - 1])
        --l_top;
    static std::size_t const s_page = std::size_t(sysconf(_SC_PAGESIZE));
    std::uintptr_t const l_cursor = reinterpret_cast<std::uintptr_t>(lp_first + l_top * m_block);
    char* const lp_tail = reinterpret_cast<char*>((l_cursor + s_page - 1) & ~std::uintptr_t(s_page - 1));
    char* const lp_end = reinterpret_cast<char*>(ip_chunk) + CHUNK;

    // Below the last block in use: the pages whose every block (those that
    // lie across their edges included) is free. Those blocks leave the free
    // list, since their bytes come back as zeros.
    std::vector<std::pair<char*, char*>> l_holes;
    if (i_holes) {
        char* lp_page = reinterpret_cast<char*>(
            (reinterpret_cast<std::uintptr_t>(lp_first) + s_page - 1) & ~std::uintptr_t(s_page - 1));
        for (; lp_page + s_page <= lp_first + l_top * m_block; lp_page += s_page) {
            std::size_t const l_firstBlock = std::size_t(lp_page - lp_first) / m_block;
            std::size_t const l_lastBlock = std::size_t(lp_page + s_page - 1 - lp_first) / m_block;
            bool l_allFree = true;
            for (std::size_t l_at = l_firstBlock; l_at <= l_lastBlock && l_allFree; ++l_at)
                l_allFree = l_free[l_at];
            if (!l_allFree)
                continue;
            if (!l_holes.empty() && l_holes.back().second == lp_page)
                l_holes.back().second += s_page;
            else
                l_holes.emplace_back(lp_page, lp_page + s_page);
        }
        for (auto const& l_hole : l_holes) {
            std::size_t const l_firstBlock = std::size_t(l_hole.first - lp_first) / m_block;
            std::size_t const l_lastBlock = std::size_t(l_hole.second - 1 - lp_first) / m_block;
            for (std::size_t l_at = l_firstBlock; l_at <= l_lastBlock; ++l_at)
                l_free[l_at] = false;
        }
    }
    if (l_holes.empty() && (lp_tail >= lp_end || l_top == l_handedOut))
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
    if (lp_tail < lp_end)
        madvise(lp_tail, std::size_t(lp_end - lp_tail), MADV_DONTNEED);
    for (auto const& l_hole : l_holes)
        madvise(l_hole.first, std::size_t(l_hole.second - l_hole.first), MADV_DONTNEED);
    ip_chunk->m_holed = ip_chunk->m_holed || !l_holes.empty();
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
    ip_chunk->m_holed = false;
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
