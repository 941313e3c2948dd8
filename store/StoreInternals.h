#ifndef QUILLMAR_STORE_STOREINTERNALS_H
#define QUILLMAR_STORE_STOREINTERNALS_H

// What the store's own files share and nobody else sees: the item body, its
// link vector and key bytes, the pools they come from, the helpers over
// sorted link vectors, and StoreOps, the operations on bodies used by Item,
// Type and Data. Included only by the store's implementation files
// (Item.cpp, Type.cpp, Links.cpp, PathPatterns.cpp, Collection.cpp, Data.cpp,
// ItemBodies.cpp, StoreCollector.cpp, and DataGather.cpp, whose file
// gathering reads bodies without taking handles); callers use store/Data.h.

#include "store/BlockPool.h"
#include "store/Data.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <sys/mman.h>

// ------------------------------------------------------------------ bodies
//
// An item body is shared by its handles and by the store. Links live in one
// vector per body, sorted by the linked body's sort key (type index in the top
// 16 bits, creation serial below), so a type's links form one contiguous run
// and a lookup is a binary search. Breaking a link only tags the entry (low
// pointer bit) and takes a reference on the other body, so removing one file
// from a token that thousands of files share costs a search, not a memmove;
// the vector is compacted once more than half of it is tags.
//
// A body is one 64-byte cache line: linking a file to a token that is not in
// cache then costs one miss on the token instead of two. Bodies and link
// vectors come from pools of large chunks instead of one malloc each: a share
// of a million files makes a million bodies and as many vectors, and linking
// touches them in random order, so packing them densely (in huge pages
// where the kernel gives them unasked) saves both the allocator's per-block
// overhead and most TLB misses. Huge pages are not asked for: where the
// kernel gives them only when asked, it compacts memory for them at the
// first touch of a chunk, on the GUI thread, which held it for 30-100 ms at
// a time while a million files were shared (the store's own figures did not
// move beyond their noise without them). A chunk whose blocks are all free
// gives its pages back to the system (store/BlockPool.h). Sanitizer and
// fuzzing builds (QUILLMAR_PLAIN_ALLOCATOR, set by the build) use the
// ordinary allocator, so that misuse and leaks of bodies are still seen.

#if defined(QUILLMAR_PLAIN_ALLOCATOR) || defined(__SANITIZE_ADDRESS__)
#define QUILLMAR_BODY_POOL 0
#else
#define QUILLMAR_BODY_POOL 1
#endif


// Link vectors hold 3 << k entries: most items have a handful of links, and
// a file's usual six need a single growth.
constexpr std::uint32_t FIRST_CAPACITY = 3;
constexpr int POOLED_CLASSES = 8; // up to 384 entries; longer runs use malloc
// Runs of at least this many entries (768 KiB) are mapped from the system
// on their own and grow by remapping, which moves no byte: once it has
// freed a mapped block, the C library serves blocks of up to 32 MiB from
// its heap and grows them by copying (the token of 1,600,000 of 2,000,000
// shared files took 10 to 20 ms to grow, with the page faults of the copy).
constexpr std::uint32_t MAPPED_FROM = FIRST_CAPACITY << 15;

// After a removal of many items, gives back the free tails of the pools'
// chunks, a pool a call (io_step counts them, from 0), then asks the C
// library for the free pages its heap keeps between the blocks still in
// use: a closed share of 200,000 files leaves tens of megabytes of them,
// which the library returns by itself only from the heap's top
// (ItemBodies.cpp). The library's walk runs here (i_here), or on a thread of
// its own while IsReturningFreedMemory(). False once there is nothing more
// to do.
bool ReturnFreedMemory(bool i_here, std::size_t& io_step);
bool IsReturningFreedMemory();
// Gives back the pages of at most i_max chunks of the pools that removals
// emptied (ItemBodies.cpp, BlockPool::ReleaseEmptied); false once none is
// left.
bool ReturnEmptiedChunks(std::size_t i_max);

#if QUILLMAR_BODY_POOL
// The pool of link vectors of one capacity class (ItemBodies.cpp).
BlockPool& LinkPool(int i_class);
// The pool of key blocks (a length and the bytes) of one size class, in
// steps of 16 bytes up to 256 (ItemBodies.cpp).
constexpr std::size_t KEY_STEP = 16;
constexpr int KEY_CLASSES = 16;
BlockPool& KeyPool(int i_class);
#endif

inline int CapacityClass(std::uint32_t i_capacity)
{
    int l_class = 0;
    while ((FIRST_CAPACITY << l_class) < i_capacity)
        ++l_class;
    return l_class;
}

// A vector of link entries in 16 bytes (a std::vector takes 24), with its
// blocks from the pools above. Only what the store needs.
class LinkVector
{
public:
    LinkVector() = default;
    LinkVector(LinkVector const&) = delete;
    LinkVector& operator=(LinkVector const&) = delete;
    ~LinkVector() { Release(mp_data, m_capacity); }

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    std::size_t capacity() const { return m_capacity; }
    ItemBody** data() { return mp_data; }
    ItemBody* const* data() const { return mp_data; }
    ItemBody** begin() { return mp_data; }
    ItemBody** end() { return mp_data + m_size; }
    ItemBody* const* begin() const { return mp_data; }
    ItemBody* const* end() const { return mp_data + m_size; }
    ItemBody*& operator[](std::size_t i_index) { return mp_data[i_index]; }
    ItemBody* operator[](std::size_t i_index) const { return mp_data[i_index]; }
    ItemBody* back() const { return mp_data[m_size - 1]; }

    void push_back(ItemBody* ip_entry)
    {
        if (m_size == m_capacity)
            Grow(m_size + 1);
        mp_data[m_size++] = ip_entry;
    }
    ItemBody** insert(ItemBody** ip_at, ItemBody* ip_entry)
    {
        std::size_t l_index = std::size_t(ip_at - mp_data);
        if (m_size == m_capacity)
            Grow(m_size + 1);
        std::copy_backward(mp_data + l_index, mp_data + m_size, mp_data + m_size + 1);
        mp_data[l_index] = ip_entry;
        ++m_size;
        return mp_data + l_index;
    }
    void pop_back() { --m_size; }
    void resize(std::size_t i_smaller) { m_size = std::uint32_t(std::min<std::size_t>(i_smaller, m_size)); }
    void clear() { m_size = 0; }
    void shrink_to_fit()
    {
        if (m_size == 0) {
            Release(mp_data, m_capacity);
            mp_data = nullptr;
            m_capacity = 0;
        } else if (std::uint32_t(FIRST_CAPACITY << CapacityClass(m_size)) < m_capacity) {
            Move(FIRST_CAPACITY << CapacityClass(m_size));
        }
    }

private:
    void Grow(std::size_t i_needed)
    {
        if (i_needed > std::numeric_limits<std::uint32_t>::max() / 2)
            throw std::length_error("too many links on one item");
        Move(FIRST_CAPACITY << CapacityClass(std::uint32_t(i_needed)));
    }
    void Move(std::uint32_t i_capacity)
    {
        if (mp_data && IsMapped(m_capacity) && IsMapped(i_capacity)) {
            void* lp_block = mremap(mp_data, Bytes(m_capacity), Bytes(i_capacity), MREMAP_MAYMOVE);
            if (lp_block == MAP_FAILED)
                throw std::bad_alloc();
            mp_data = static_cast<ItemBody**>(lp_block);
            m_capacity = i_capacity;
            return;
        }
        if (mp_data && !IsPooled(m_capacity) && !IsPooled(i_capacity) && !IsMapped(m_capacity) &&
            !IsMapped(i_capacity)) {
            void* lp_block = std::realloc(mp_data, Bytes(i_capacity));
            if (!lp_block)
                throw std::bad_alloc();
            mp_data = static_cast<ItemBody**>(lp_block);
            m_capacity = i_capacity;
            return;
        }
        ItemBody** lp_new = Acquire(i_capacity);
        std::copy(mp_data, mp_data + m_size, lp_new);
        Release(mp_data, m_capacity);
        mp_data = lp_new;
        m_capacity = i_capacity;
    }
    static std::size_t Bytes(std::uint32_t i_capacity) { return std::size_t(i_capacity) * sizeof(ItemBody*); }
    static bool IsMapped(std::uint32_t i_capacity)
    {
#if QUILLMAR_BODY_POOL
        return i_capacity >= MAPPED_FROM;
#else
        (void)i_capacity;
        return false;
#endif
    }
    static bool IsPooled(std::uint32_t i_capacity)
    {
#if QUILLMAR_BODY_POOL
        return CapacityClass(i_capacity) < POOLED_CLASSES;
#else
        (void)i_capacity;
        return false;
#endif
    }
    static ItemBody** Acquire(std::uint32_t i_capacity)
    {
#if QUILLMAR_BODY_POOL
        int l_class = CapacityClass(i_capacity);
        if (l_class < POOLED_CLASSES)
            return static_cast<ItemBody**>(LinkPool(l_class).Allocate());
        if (IsMapped(i_capacity)) {
            void* lp_mapped = mmap(nullptr, Bytes(i_capacity), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (lp_mapped == MAP_FAILED)
                throw std::bad_alloc();
            return static_cast<ItemBody**>(lp_mapped);
        }
#endif
        void* lp_block = std::malloc(Bytes(i_capacity));
        if (!lp_block)
            throw std::bad_alloc();
        return static_cast<ItemBody**>(lp_block);
    }
    static void Release(ItemBody** ip_block, std::uint32_t i_capacity)
    {
        if (!ip_block)
            return;
#if QUILLMAR_BODY_POOL
        int l_class = CapacityClass(i_capacity);
        if (l_class < POOLED_CLASSES) {
            LinkPool(l_class).Free(ip_block);
            return;
        }
        if (IsMapped(i_capacity)) {
            munmap(ip_block, Bytes(i_capacity));
            return;
        }
#endif
        (void)i_capacity;
        std::free(ip_block);
    }

    ItemBody** mp_data = nullptr;
    std::uint32_t m_size = 0;
    std::uint32_t m_capacity = 0;
};

// A valued item's key bytes: a length and the bytes in one block, or null for
// an empty key (all items of null types). Short keys (nearly all: names,
// words, numbers) come from pools of their size class, not from malloc: a
// million names freed by malloc lay in its free lists until something made
// it sort them, for a quarter to half a second at once on the GUI thread
// (and as long again in malloc_trim), while a pool's chunk gives its pages
// back as its last block goes.
class StoredBytes
{
public:
    StoredBytes() = default;
    StoredBytes(StoredBytes const&) = delete;
    StoredBytes& operator=(StoredBytes const&) = delete;
    ~StoredBytes() { Free(); }

    void Set(std::string_view i_bytes)
    {
        Free();
        if (i_bytes.empty())
            return;
        if (i_bytes.size() > std::numeric_limits<std::uint32_t>::max() - sizeof(std::uint32_t))
            throw std::length_error("item value too long");
        mp_block = Allocate(sizeof(std::uint32_t) + i_bytes.size());
        std::uint32_t l_size = std::uint32_t(i_bytes.size());
        std::memcpy(mp_block, &l_size, sizeof l_size);
        std::memcpy(mp_block + sizeof l_size, i_bytes.data(), i_bytes.size());
    }
    std::string_view View() const
    {
        if (!mp_block)
            return {};
        std::uint32_t l_size;
        std::memcpy(&l_size, mp_block, sizeof l_size);
        return {mp_block + sizeof l_size, l_size};
    }

private:
    static char* Allocate(std::size_t i_bytes)
    {
#if QUILLMAR_BODY_POOL
        if (i_bytes <= KEY_STEP * KEY_CLASSES)
            return static_cast<char*>(KeyPool(int((i_bytes - 1) / KEY_STEP)).Allocate());
#endif
        char* const lp_block = static_cast<char*>(std::malloc(i_bytes));
        if (!lp_block)
            throw std::bad_alloc();
        return lp_block;
    }
    void Free()
    {
        if (!mp_block)
            return;
#if QUILLMAR_BODY_POOL
        std::uint32_t l_size;
        std::memcpy(&l_size, mp_block, sizeof l_size);
        std::size_t const l_bytes = sizeof l_size + l_size;
        if (l_bytes <= KEY_STEP * KEY_CLASSES) {
            KeyPool(int((l_bytes - 1) / KEY_STEP)).Free(mp_block);
            mp_block = nullptr;
            return;
        }
#endif
        std::free(mp_block);
        mp_block = nullptr;
    }

    char* mp_block = nullptr;
};

struct ItemBody
{
    Type* mp_type = nullptr;
    std::uint64_t m_key = 0;
    LinkVector m_links;
    // Key of the last entry of m_links: appending a new item's link (the
    // common case) then needs no visit to the last linked body.
    std::uint64_t m_lastLinkKey = 0;
    StoredBytes m_value;
    std::uint32_t m_refs = 1; // the store's own reference while the item lives
    std::uint32_t m_deadLinks = 0;
    bool m_removed = false;
    bool m_removing = false;
    // The collection's mark of the item (CollectionMark) and whether the
    // item waits in the store's lists of items to look at (NOTED,
    // NOTED_OWNED); see Collection.cpp.
    std::uint8_t m_collection = 0;
    // In the batch a collection is removing without events (see
    // StoreOps::RemoveSilently), and how many of its links the items of that
    // batch dropped before it: when they are all of its links, its own
    // removal needs to look at none of the bodies they lead to.
    bool m_doomed = false;
    std::uint32_t m_doomedPartners = 0;

    static void* operator new(std::size_t i_size);
    static void operator delete(void* ip_body) noexcept;
};
static_assert(sizeof(ItemBody) <= 64, "an item body no longer fits one cache line");

constexpr std::uint64_t SERIAL_MASK = (std::uint64_t(1) << 48) - 1;

inline ItemBody* Ptr(ItemBody* ip_entry)
{
    return reinterpret_cast<ItemBody*>(reinterpret_cast<std::uintptr_t>(ip_entry) & ~std::uintptr_t(1));
}
inline bool IsDead(ItemBody* ip_entry)
{
    return (reinterpret_cast<std::uintptr_t>(ip_entry) & 1) != 0;
}
inline ItemBody* Tagged(ItemBody* ip_body)
{
    return reinterpret_cast<ItemBody*>(reinterpret_cast<std::uintptr_t>(ip_body) | 1);
}
inline void Retain(ItemBody* ip_body)
{
    ++ip_body->m_refs;
}
inline void Release(ItemBody* ip_body)
{
    if (--ip_body->m_refs == 0) {
        assert(ip_body->m_links.empty());
        delete ip_body;
    }
}
inline bool IsLive(ItemBody const* ip_body)
{
    return ip_body && !ip_body->m_removed;
}
// Whether an entry leads nowhere a reader may go: a tag, or the link of an
// item removed while it held many links, which the store drops in steps
// after the removal (StoreOps::Remove) and no reader sees meanwhile. Reads
// the linked body, so the readers that do not read it anyway ask only while
// the entry's type has such an item (Type::m_unlinking).
inline bool IsGone(ItemBody* ip_entry)
{
    return IsDead(ip_entry) || ip_entry->m_removed;
}
// The same, where i_unlinking says whether such an item may be among the
// entries read (else the linked body is not read).
inline bool IsGone(ItemBody* ip_entry, bool i_unlinking)
{
    return IsDead(ip_entry) || (i_unlinking && ip_entry->m_removed);
}

// The collection's mark on a body (the low bits of m_collection), given
// while a collection runs and taken off when it ends (Collection.cpp), and
// the bits saying in which of the store's lists of items to look at the
// item waits.
enum CollectionBits : std::uint8_t {
    MARK_NONE = 0,
    MARK_REACHED = 1,   // a root reaches it
    MARK_SEARCHING = 2, // in the search under way
    MARK_UNREACHED = 3, // no root reaches it: it goes
    MARK_MASK = 3,
    NOTED = 4,        // in Data::m_toCheck
    NOTED_OWNED = 8,  // in Data::m_ownedToCheck
    LEAF_QUEUED = 16  // in the collection's list of leaves to look at
};
inline std::uint8_t MarkOf(ItemBody const* ip_body)
{
    return ip_body->m_collection & MARK_MASK;
}
inline void SetMark(ItemBody* ip_body, std::uint8_t i_mark)
{
    ip_body->m_collection = std::uint8_t((ip_body->m_collection & ~MARK_MASK) | i_mark);
}

// Index of the first entry whose key is not below i_key.
template <class Entries>
inline std::size_t LowerBound(Entries const& i_vector, std::uint64_t i_key)
{
    auto l_it = std::lower_bound(i_vector.begin(), i_vector.end(), i_key,
                                 [](ItemBody* ip_entry, std::uint64_t i_k) { return Ptr(ip_entry)->m_key < i_k; });
    return std::size_t(l_it - i_vector.begin());
}

inline std::pair<std::size_t, std::size_t> GroupRange(LinkVector const& i_links, std::uint16_t i_typeIndex)
{
    std::uint64_t l_low = std::uint64_t(i_typeIndex) << 48;
    std::uint64_t l_high = (std::uint64_t(i_typeIndex) + 1) << 48;
    return {LowerBound(i_links, l_low), LowerBound(i_links, l_high)};
}

// The most entries that one link made, one count or one look-up of an
// item's links of a type moved or passed over beyond the binary searches
// that found its place (Data::MostEntriesPassedAtOnce).
inline std::size_t& MostPassedAtOnce()
{
    static std::size_t s_most = 0;
    return s_most;
}
inline void NotePassed(std::size_t i_entries)
{
    if (i_entries > MostPassedAtOnce())
        MostPassedAtOnce() = i_entries;
}

// Adds (or revives) an entry in a sorted tagged vector. An entry that goes
// between others takes the place of a tag beside its place when there is
// one, instead of moving every entry after it: a room's count, replaced at
// each join, otherwise left a tag each time in the room's links, which the
// next replacement had to pass over (and each member's link moved them
// all), until the tags outnumbered the members.
template <class Entries>
void SortedInsert(Entries& io_vector, std::uint32_t& io_dead, ItemBody* ip_body,
                  std::uint64_t* iop_lastKey = nullptr)
{
    std::uint64_t l_last = io_vector.empty() ? 0 : (iop_lastKey ? *iop_lastKey : Ptr(io_vector.back())->m_key);
    if (io_vector.empty() || l_last < ip_body->m_key) {
        io_vector.push_back(ip_body);
        if (iop_lastKey)
            *iop_lastKey = ip_body->m_key;
        return;
    }
    std::size_t l_index = LowerBound(io_vector, ip_body->m_key);
    if (l_index < io_vector.size() && Ptr(io_vector[l_index]) == ip_body) {
        if (IsDead(io_vector[l_index])) {
            io_vector[l_index] = ip_body;
            --io_dead;
            Release(ip_body);
        }
        return;
    }
    // Either tag lies between the entries the new one goes between, so
    // the order holds; the tag's reference goes with it. One of the new
    // entry's type goes first: a One link replaced leaves a tag beside
    // the new one's place, and the run of the type would otherwise keep a
    // tag for every replacement that took a tag of the next run.
    std::size_t l_tag = io_vector.size();
    for (std::size_t l_at : {l_index, l_index - 1})
        if (l_at < io_vector.size() && IsDead(io_vector[l_at]) &&
            (l_tag == io_vector.size() || (Ptr(io_vector[l_at])->m_key >> 48) == (ip_body->m_key >> 48)))
            l_tag = l_at;
    if (l_tag < io_vector.size()) {
        ItemBody* const lp_tagged = Ptr(io_vector[l_tag]);
        io_vector[l_tag] = ip_body;
        --io_dead;
        if (iop_lastKey && l_tag + 1 == io_vector.size())
            *iop_lastKey = ip_body->m_key;
        Release(lp_tagged);
        return;
    }
    NotePassed(io_vector.size() - l_index);
    io_vector.insert(io_vector.begin() + std::ptrdiff_t(l_index), ip_body);
}

// The references of the tags that a compaction drops, let go of later in
// bounded pieces (ItemBodies.cpp): each is a body read at random, most of
// them freed with it, and a token of two million files compacted with a
// million tags held the window for over 100 ms. The collection lets go of
// them a few thousand a step, and of all of them before it gives memory
// back. They are the bodies of removed items (or references on items that
// live on), so nothing but memory waits.
void DeferTagReleases(std::vector<ItemBody*>&& io_bodies);
// Lets go of at most i_max of them; how many it let go of.
std::size_t ReleaseDeferredTags(std::size_t i_max);
std::size_t DeferredTagCount();
// Tags a compaction lets go of at once; more wait.
constexpr std::size_t RELEASED_AT_ONCE = 1024;

// The most entries one compaction read (Data::MostEntriesCompactedAtOnce).
inline std::size_t& MostCompactedAtOnce()
{
    static std::size_t s_most = 0;
    return s_most;
}

template <class Entries>
void Compact(Entries& io_vector, std::uint32_t& io_dead, std::uint64_t* iop_lastKey = nullptr)
{
    MostCompactedAtOnce() = std::max(MostCompactedAtOnce(), std::size_t(io_vector.size()));
    std::size_t l_kept = 0;
    std::vector<ItemBody*> l_released;
    l_released.reserve(io_dead);
    for (ItemBody* lp_entry : io_vector) {
        if (IsDead(lp_entry))
            l_released.push_back(Ptr(lp_entry));
        else
            io_vector[l_kept++] = lp_entry;
    }
    io_vector.resize(l_kept);
    if (io_vector.capacity() > 16 && io_vector.capacity() > 2 * l_kept)
        io_vector.shrink_to_fit();
    io_dead = 0;
    if (iop_lastKey)
        *iop_lastKey = io_vector.empty() ? 0 : Ptr(io_vector.back())->m_key;
    if (l_released.size() > RELEASED_AT_ONCE) {
        DeferTagReleases(std::move(l_released));
        return;
    }
    for (ItemBody* lp_body : l_released)
        Release(lp_body);
}

// Entries a vector of tags and live entries is compacted by at once; a
// longer one drops the tags of a window of that many at each call (a pass
// over two million links held the window for 44 to 78 ms). What lies after
// the window moves down in one copy of memory, a few milliseconds at the
// largest vectors against a pass that reads every entry.
constexpr std::size_t COMPACTED_AT_ONCE = 32768;

// Compacts a short vector whole, a long one a window at a time, each from
// where the last ended; called again while it is still half tags.
template <class Entries>
void CompactSome(Entries& io_vector, std::uint32_t& io_dead, std::uint64_t* iop_lastKey = nullptr)
{
    std::size_t const l_size = io_vector.size();
    if (l_size <= COMPACTED_AT_ONCE) {
        Compact(io_vector, io_dead, iop_lastKey);
        return;
    }
    // Where the next window starts: any place will do, as long as windows
    // go round the vector rather than over the same stretch again.
    static std::size_t s_next = 0;
    std::size_t const l_begin = s_next % (l_size - COMPACTED_AT_ONCE + 1);
    std::size_t const l_end = l_begin + COMPACTED_AT_ONCE;
    s_next = l_end;
    MostCompactedAtOnce() = std::max(MostCompactedAtOnce(), COMPACTED_AT_ONCE);
    ItemBody** const lp_data = io_vector.data();
    std::vector<ItemBody*> l_released;
    std::size_t l_kept = l_begin;
    for (std::size_t l_at = l_begin; l_at < l_end; ++l_at) {
        if (IsDead(lp_data[l_at]))
            l_released.push_back(Ptr(lp_data[l_at]));
        else
            lp_data[l_kept++] = lp_data[l_at];
    }
    std::move(lp_data + l_end, lp_data + l_size, lp_data + l_kept);
    io_vector.resize(l_size - l_released.size());
    // Memory is given back as by a whole compaction (one more copy of what
    // is kept, once each time the vector has halved).
    if (io_vector.capacity() > 2 * io_vector.size())
        io_vector.shrink_to_fit();
    io_dead -= std::uint32_t(l_released.size());
    if (iop_lastKey && l_end == l_size)
        *iop_lastKey = io_vector.empty() ? 0 : Ptr(io_vector.back())->m_key;
    if (l_released.size() > RELEASED_AT_ONCE) {
        DeferTagReleases(std::move(l_released));
        return;
    }
    for (ItemBody* lp_body : l_released)
        Release(lp_body);
}

// Where a vector holds the live entry of a body, or its size. A binary
// search reads one linked body per step, each likely a cache miss; a short
// vector is scanned for the pointer instead, which reads only the vector
// (removing a million files from tokens of a hundred files each took twice
// as long by searching). i_hint: where the entry may be, looked at before
// searching. So is the last entry: removing the newest item of a long
// vector (the share jobs remove files newest first, each the last of the
// links of its tokens) then reads no linked body at all.
template <class Entries>
std::size_t FindLive(Entries const& i_vector, ItemBody const* ip_body, std::size_t i_hint = std::size_t(-1))
{
    if (i_hint < i_vector.size() && i_vector[i_hint] == ip_body)
        return i_hint;
    constexpr std::size_t SCAN_UP_TO = 256;
    if (i_vector.size() <= SCAN_UP_TO)
        return std::size_t(std::find(i_vector.begin(), i_vector.end(), ip_body) - i_vector.begin());
    if (i_vector[i_vector.size() - 1] == ip_body)
        return i_vector.size() - 1;
    std::size_t const l_index = LowerBound(i_vector, ip_body->m_key);
    return l_index < i_vector.size() && i_vector[l_index] == ip_body ? l_index : i_vector.size();
}

// Tags an entry as gone; true when it was live. i_hint: as for FindLive.
template <class Entries>
bool SortedErase(Entries& io_vector, std::uint32_t& io_dead, ItemBody* ip_body,
                 std::uint64_t* iop_lastKey = nullptr, std::size_t i_hint = std::size_t(-1))
{
    std::size_t const l_index = FindLive(io_vector, ip_body, i_hint);
    if (l_index == io_vector.size())
        return false;
    if (l_index + 1 == io_vector.size()) {
        io_vector.pop_back();
        // Items removed newest first (a share taken down from its end) only
        // ever take the last entry: without this the vector would keep the
        // size it had at its largest.
        if (io_vector.capacity() > 16 && io_vector.capacity() > 4 * io_vector.size())
            io_vector.shrink_to_fit();
        if (iop_lastKey)
            *iop_lastKey = io_vector.empty() ? 0 : Ptr(io_vector.back())->m_key;
        return true;
    }
    io_vector[l_index] = Tagged(ip_body);
    Retain(ip_body);
    ++io_dead;
    if (std::size_t(io_dead) * 2 > io_vector.size())
        CompactSome(io_vector, io_dead, iop_lastKey);
    return true;
}

inline bool HasLiveEntry(LinkVector const& i_vector, ItemBody const* ip_body)
{
    return FindLive(i_vector, ip_body) < i_vector.size();
}

inline bool IsLinked(ItemBody const* ip_a, ItemBody const* ip_b)
{
    // No vector holds a key above its last one. A new item's key is above
    // every older item's, so linking it needs no search and no visit to the
    // bodies it is already linked to.
    if (ip_a->m_links.empty() || ip_b->m_links.empty() || ip_b->m_key > ip_a->m_lastLinkKey ||
        ip_a->m_key > ip_b->m_lastLinkKey)
        return false;
    if (ip_a->m_links.size() <= ip_b->m_links.size())
        return HasLiveEntry(ip_a->m_links, ip_b);
    return HasLiveEntry(ip_b->m_links, ip_a);
}

// Live links an item may have for its removal to drop them all at once; one
// with more is removed at once and its links go in the steps that follow,
// that many a step (StoreOps::Remove): a root of 100,000 folders held the
// window 30 ms, a search of 250,000 answers 15 to 70 ms. A quarter of the
// collection's step work (Collection.cpp).
std::size_t LinksDroppedAtOnce();
// Counts the links one step dropped (Data::MostLinksDroppedInAStep).
void NoteLinksDropped(std::size_t i_links);

// How far ahead loops over many bodies fetch the next ones.
constexpr std::size_t PREFETCH_AHEAD = 16;

// The store's operations on bodies, shared by Item, Type and Data.
// What a path check sees: the store as it is, or, for the steps below a
// broken link, the store as it was before the change: the broken link still
// there, and the items being removed still holding the links they had when
// their removal began (a removal drops them one by one, in link order).
struct PriorState
{
    ItemBody* mp_a;
    ItemBody* mp_b;
};

struct StoreOps
{
    static void Connect(ItemBody* ip_a, ItemBody* ip_b);
    static void Disconnect(ItemBody* ip_a, ItemBody* ip_b);
    // i_slot: where the item may be in its type's item list.
    static void Remove(ItemBody* ip_body, std::size_t i_slot = std::size_t(-1));
    // Drops at most i_max links of the items removed with their links left
    // to later steps, newest link first, with their events; how many.
    static std::size_t DropRemovedLinks(Data* ip_data, std::size_t i_max);
    // Whether removing an item of the type fires nothing at all.
    static bool RemovesSilently(Data const* ip_data, Type const* ip_type);
    // Removes i_items from i_begin on, up to the first live item whose removal
    // would fire something, as Remove would one by one; returns where it
    // stopped. For the collection: only items it marked unreached go. i_slots: each item's index in its type's item list when the
    // list was made (checked before it is used).
    static std::size_t RemoveSilently(Data* ip_data, std::vector<Item> const& i_items,
                                      std::vector<std::size_t> const& i_slots, std::size_t i_begin);
    // Whether an item meets the standing conditions of a pattern node's
    // children (and, recursively, theirs); ip_prior null: as things are.
    static bool Holds(PathNode const* ip_node, ItemBody* ip_item, PriorState const* ip_prior);
    static bool WasLinked(ItemBody* ip_a, ItemBody* ip_b, PriorState const* ip_prior);
    static void WereLinked(ItemBody* ip_item, Type const* ip_type, PriorState const* ip_prior,
                           std::vector<ItemBody*>& o_bodies);
    // What the collection must know of a link made or broken: a broken link
    // may leave either end unreached, so both are noted for the next
    // collection; a link made to an item the collection under way found
    // unreached may reach it again (Collection.cpp).
    static void NoteLinked(ItemBody* ip_a, ItemBody* ip_b);
    static void NoteUnlinked(ItemBody* ip_a, ItemBody* ip_b);
    // An owned item that lost a link may have lost its last owner.
    static void NoteOwned(Data* ip_data, ItemBody* ip_body);
    static ItemBody* FirstLive(ItemBody const* ip_body, Type const* ip_type)
    {
        // One search, for the run's start; its end shows by the type bits
        // of the entries that follow. (The store's most frequent call: a
        // second search read as many linked bodies again.)
        LinkVector const& l_links = ip_body->m_links;
        std::size_t const l_size = l_links.size();
        bool const l_unlinking = ip_type->m_unlinking > 0;
        std::size_t const l_start = LowerBound(l_links, std::uint64_t(ip_type->m_index) << 48);
        for (std::size_t l_index = l_start; l_index < l_size; ++l_index) {
            ItemBody* const lp_entry = l_links[l_index];
            if ((Ptr(lp_entry)->m_key >> 48) != ip_type->m_index) {
                NotePassed(l_index - l_start);
                return nullptr;
            }
            if (!IsGone(lp_entry, l_unlinking)) {
                NotePassed(l_index - l_start);
                return lp_entry;
            }
        }
        NotePassed(l_size - l_start);
        return nullptr;
    }
    static void LiveOfType(ItemBody const* ip_body, Type const* ip_type, std::vector<ItemBody*>& o_bodies)
    {
        auto l_range = GroupRange(ip_body->m_links, ip_type->m_index);
        // Written without a branch, as a search's scan is (see AddressBits).
        std::size_t l_count = o_bodies.size();
        o_bodies.resize(l_count + (l_range.second - l_range.first));
        ItemBody** const lp_out = o_bodies.data();
        if (ip_type->m_unlinking > 0) {
            for (std::size_t l_index = l_range.first; l_index < l_range.second; ++l_index) {
                ItemBody* const lp_entry = ip_body->m_links[l_index];
                lp_out[l_count] = lp_entry;
                l_count += !IsGone(lp_entry);
            }
        } else {
            for (std::size_t l_index = l_range.first; l_index < l_range.second; ++l_index) {
                ItemBody* const lp_entry = ip_body->m_links[l_index];
                lp_out[l_count] = lp_entry;
                l_count += !IsDead(lp_entry);
            }
        }
        // What was passed over: the run's tags.
        NotePassed(o_bodies.size() - l_count);
        o_bodies.resize(l_count);
    }
    // The run's tags are the vector's tags less those around the run, so
    // where the run is most of the vector (a room's members, a token's
    // files) what lies around it is read instead: a room's count, set at
    // every join and leave, read every member each time. Items removed
    // with their links left to later steps show only by reading them.
    static std::size_t LiveCount(ItemBody const* ip_body, Type const* ip_type,
                                 std::size_t i_limit = std::numeric_limits<std::size_t>::max())
    {
        LinkVector const& l_links = ip_body->m_links;
        auto l_range = GroupRange(l_links, ip_type->m_index);
        std::size_t const l_run = l_range.second - l_range.first;
        std::size_t const l_around = l_links.size() - l_run;
        if (ip_type->m_unlinking == 0 && l_around < l_run) {
            std::size_t l_tagsAround = 0;
            if (ip_body->m_deadLinks != 0) {
                for (std::size_t l_index = 0; l_index < l_range.first; ++l_index)
                    l_tagsAround += IsDead(l_links[l_index]);
                for (std::size_t l_index = l_range.second; l_index < l_links.size(); ++l_index)
                    l_tagsAround += IsDead(l_links[l_index]);
                NotePassed(l_around);
            }
            return std::min(l_run - (ip_body->m_deadLinks - l_tagsAround), i_limit);
        }
        std::size_t l_count = 0;
        bool const l_unlinking = ip_type->m_unlinking > 0;
        std::size_t l_index = l_range.first;
        for (; l_index < l_range.second && l_count < i_limit; ++l_index) {
            ItemBody* const lp_entry = l_links[l_index];
            l_count += IsGone(lp_entry, l_unlinking) ? 0 : 1;
        }
        NotePassed(l_index - l_range.first);
        return l_count;
    }
    // A type's index (the top bits of its items' keys) and its item list, in
    // creation order with tombstones, for a reader that goes through a type
    // in steps: it takes up again from a key, since entries move when the
    // list is compacted and keys do not.
    static std::uint16_t IndexOf(Type const* ip_type) { return ip_type->m_index; }
    static std::vector<ItemBody*> const& ItemsOf(Type const* ip_type) { return ip_type->m_items; }
    static std::size_t GroupSize(ItemBody const* ip_body, Type const* ip_type)
    {
        auto l_range = GroupRange(ip_body->m_links, ip_type->m_index);
        return l_range.second - l_range.first;
    }
    // Handles to at most i_count live entries of [i_begin, i_end) of a sorted
    // vector, from the first whose key is at least i_key on.
    // i_unlinking: whether the entries' type has items whose links are
    // dropped in steps (Type::m_unlinking), which are passed over.
    template <class Entries>
    static std::vector<Item> LiveFrom(Entries const& i_entries, std::size_t i_begin, std::size_t i_end,
                                      std::uint64_t i_key, std::size_t i_count, bool i_unlinking = false)
    {
        auto const lp_end = i_entries.begin() + std::ptrdiff_t(i_end);
        auto lp_at = std::lower_bound(i_entries.begin() + std::ptrdiff_t(i_begin), lp_end, i_key,
                                      [](ItemBody* ip_entry, std::uint64_t i_k) { return Ptr(ip_entry)->m_key < i_k; });
        std::vector<Item> l_items;
        l_items.reserve(std::min(i_count, std::size_t(lp_end - lp_at)));
        for (; lp_at != lp_end && l_items.size() < i_count; ++lp_at) {
            if (std::size_t(lp_end - lp_at) > PREFETCH_AHEAD)
                __builtin_prefetch(Ptr(lp_at[PREFETCH_AHEAD]), 1);
            if (!IsGone(*lp_at, i_unlinking))
                l_items.emplace_back(*lp_at);
        }
        return l_items;
    }
    static ItemSet SetOf(std::vector<ItemBody*> const& i_bodies)
    {
        std::vector<Item> l_items;
        std::size_t const l_size = i_bodies.size();
        l_items.reserve(l_size);
        for (std::size_t l_index = 0; l_index < l_size; ++l_index) {
            // A search's answer can be thousands of bodies not in cache.
            if (l_index + PREFETCH_AHEAD < l_size)
                __builtin_prefetch(i_bodies[l_index + PREFETCH_AHEAD], 1);
            l_items.emplace_back(i_bodies[l_index]);
        }
        return ItemSet::FromSorted(std::move(l_items));
    }
};

inline void StoreOps::NoteOwned(Data* ip_data, ItemBody* ip_body)
{
    if (ip_body->mp_type->m_owned && !ip_body->m_removing && !(ip_body->m_collection & NOTED_OWNED)) {
        ip_body->m_collection |= NOTED_OWNED;
        ip_data->m_ownedToCheck.emplace_back(ip_body);
    }
}

inline void StoreOps::NoteUnlinked(ItemBody* ip_a, ItemBody* ip_b)
{
    Data* const lp_data = ip_a->mp_type->mp_data;
    ++lp_data->m_linkChanges;
    NoteOwned(lp_data, ip_a);
    NoteOwned(lp_data, ip_b);
    // An item no root reaches never led a root to anything: a link to it
    // held nothing up (the collection removing it breaks a great many).
    if (MarkOf(ip_a) == MARK_UNREACHED || MarkOf(ip_b) == MARK_UNREACHED)
        return;
    for (ItemBody* lp_end : {ip_a, ip_b})
        // A root's item is always reached.
        if (lp_end->mp_type->m_primacy != ROOT && !lp_end->m_removing && !(lp_end->m_collection & NOTED)) {
            lp_end->m_collection |= NOTED;
            lp_data->m_toCheck.emplace_back(lp_end);
        }
}

inline void StoreOps::NoteLinked(ItemBody* ip_a, ItemBody* ip_b)
{
    Data* const lp_data = ip_a->mp_type->mp_data;
    ++lp_data->m_linkChanges;
    std::uint8_t const l_a = MarkOf(ip_a), l_b = MarkOf(ip_b);
    if (l_a < MARK_SEARCHING && l_b < MARK_SEARCHING)
        return;
    // A leaf the search met does not lead it on; the leaf being looked at
    // reads its links again.
    for (ItemBody* lp_end : {ip_a, ip_b})
        if (MarkOf(lp_end) == MARK_SEARCHING) {
            if (lp_end->mp_type->m_primacy != LEAF)
                lp_data->m_linkedToSearch.emplace_back(lp_end == ip_a ? ip_b : ip_a);
            else
                lp_data->m_leafLinked = true;
        }
    if (l_a == MARK_UNREACHED && l_b != MARK_UNREACHED)
        lp_data->m_revived.emplace_back(ip_a);
    if (l_b == MARK_UNREACHED && l_a != MARK_UNREACHED)
        lp_data->m_revived.emplace_back(ip_b);
}

#endif
