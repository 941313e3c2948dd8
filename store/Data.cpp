#include "store/Data.h"

#include "store/BodyTable.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

#include <sys/mman.h>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string_view>

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
// touches them in random order, so packing them densely (and in huge pages
// where the kernel allows) saves both the allocator's per-block overhead and
// most TLB misses. Freed blocks are kept for reuse, not returned to the
// system. The store is used from the GUI thread only, so the pools have no
// lock. Sanitizer builds use the ordinary allocator so that misuse is still
// caught.

#if defined(__SANITIZE_ADDRESS__)
#define QUILLMAR_BODY_POOL 0
#else
#define QUILLMAR_BODY_POOL 1
#endif

namespace {

#if QUILLMAR_BODY_POOL
class BlockPool
{
public:
    // A contiguous pool takes its chunks one after the other from one
    // reserved stretch of address space (see AddressBits), as long as the
    // system grants it.
    explicit BlockPool(std::size_t i_block, bool i_contiguous = false) : m_block(i_block)
    {
        if (!i_contiguous)
            return;
        void* lp_region = mmap(nullptr, REGION, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (lp_region == MAP_FAILED)
            return;
        // Chunks start on a chunk boundary, for huge pages.
        std::uintptr_t l_start = (reinterpret_cast<std::uintptr_t>(lp_region) + CHUNK - 1) & ~std::uintptr_t(CHUNK - 1);
        mp_region = reinterpret_cast<char*>(l_start);
        mp_regionEnd = static_cast<char*>(lp_region) + REGION;
    }

    void* Allocate()
    {
        if (mp_free) {
            FreeBlock* lp_block = mp_free;
            mp_free = lp_block->mp_next;
            return lp_block;
        }
        if (mp_cursor == mp_end)
            NewChunk();
        void* lp_block = mp_cursor;
        mp_cursor += m_block;
        return lp_block;
    }

    void Free(void* ip_block)
    {
        FreeBlock* lp_block = static_cast<FreeBlock*>(ip_block);
        lp_block->mp_next = mp_free;
        mp_free = lp_block;
    }

private:
    struct FreeBlock
    {
        FreeBlock* mp_next;
    };
    static constexpr std::size_t CHUNK = std::size_t(2) << 20;
    static constexpr std::size_t REGION = std::size_t(64) << 30; // a billion bodies

    void* TakeFromRegion()
    {
        if (mp_regionEnd - mp_region < std::ptrdiff_t(CHUNK) || mprotect(mp_region, CHUNK, PROT_READ | PROT_WRITE) != 0)
            return nullptr;
        void* lp_chunk = mp_region;
        mp_region += CHUNK;
        return lp_chunk;
    }

    void NewChunk()
    {
        void* lp_chunk = mp_region ? TakeFromRegion() : nullptr;
        if (!lp_chunk)
            lp_chunk = std::aligned_alloc(CHUNK, CHUNK);
        if (!lp_chunk)
            throw std::bad_alloc();
        madvise(lp_chunk, CHUNK, MADV_HUGEPAGE);
        mp_cursor = static_cast<char*>(lp_chunk);
        mp_end = mp_cursor + (CHUNK / m_block) * m_block;
    }

    std::size_t const m_block;
    FreeBlock* mp_free = nullptr;
    char* mp_cursor = nullptr;
    char* mp_end = nullptr;
    char* mp_region = nullptr;
    char* mp_regionEnd = nullptr;
};
#endif

// Link vectors hold 3 << k entries: most items have a handful of links, and
// a file's usual six need a single growth.
constexpr std::uint32_t FIRST_CAPACITY = 3;
constexpr int POOLED_CLASSES = 8; // up to 384 entries; longer runs use malloc

#if QUILLMAR_BODY_POOL
BlockPool& LinkPool(int i_class)
{
    // Outlive every static Item.
    static BlockPool* sp_pools[POOLED_CLASSES] = {};
    if (!sp_pools[i_class])
        sp_pools[i_class] = new BlockPool((std::size_t(FIRST_CAPACITY) << i_class) * sizeof(void*));
    return *sp_pools[i_class];
}
#endif

int CapacityClass(std::uint32_t i_capacity)
{
    int l_class = 0;
    while ((FIRST_CAPACITY << l_class) < i_capacity)
        ++l_class;
    return l_class;
}

} // namespace

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
        ItemBody** lp_new = Acquire(i_capacity);
        std::copy(mp_data, mp_data + m_size, lp_new);
        Release(mp_data, m_capacity);
        mp_data = lp_new;
        m_capacity = i_capacity;
    }
    static ItemBody** Acquire(std::uint32_t i_capacity)
    {
#if QUILLMAR_BODY_POOL
        int l_class = CapacityClass(i_capacity);
        if (l_class < POOLED_CLASSES)
            return static_cast<ItemBody**>(LinkPool(l_class).Allocate());
#endif
        void* lp_block = std::malloc(std::size_t(i_capacity) * sizeof(ItemBody*));
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
#endif
        (void)i_capacity;
        std::free(ip_block);
    }

    ItemBody** mp_data = nullptr;
    std::uint32_t m_size = 0;
    std::uint32_t m_capacity = 0;
};

// A valued item's key bytes: a length and the bytes in one block, or null for
// an empty key (all items of null types).
class StoredBytes
{
public:
    StoredBytes() = default;
    StoredBytes(StoredBytes const&) = delete;
    StoredBytes& operator=(StoredBytes const&) = delete;
    ~StoredBytes() { std::free(mp_block); }

    void Set(std::string_view i_bytes)
    {
        std::free(mp_block);
        mp_block = nullptr;
        if (i_bytes.empty())
            return;
        if (i_bytes.size() > std::numeric_limits<std::uint32_t>::max())
            throw std::length_error("item value too long");
        mp_block = static_cast<char*>(std::malloc(sizeof(std::uint32_t) + i_bytes.size()));
        if (!mp_block)
            throw std::bad_alloc();
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
    bool m_marked = false;
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

namespace {

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
#if QUILLMAR_BODY_POOL
    BodyPool().Free(ip_body);
#else
    ::operator delete(ip_body);
#endif
}

namespace {

constexpr std::uint64_t SERIAL_MASK = (std::uint64_t(1) << 48) - 1;

// Set on the GUI thread; read by stream reads on worker threads too.
std::atomic<CodePageDecoder> g_codePageDecoder{nullptr};

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

// Adds (or revives) an entry in a sorted tagged vector.
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
    io_vector.insert(io_vector.begin() + std::ptrdiff_t(l_index), ip_body);
}

template <class Entries>
void Compact(Entries& io_vector, std::uint32_t& io_dead, std::uint64_t* iop_lastKey = nullptr)
{
    std::size_t l_kept = 0;
    std::vector<ItemBody*> l_released;
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
    for (ItemBody* lp_body : l_released)
        Release(lp_body);
}

// Where a vector holds the live entry of a body, or its size. A binary
// search reads one linked body per step, each likely a cache miss; a short
// vector is scanned for the pointer instead, which reads only the vector
// (removing a million files from tokens of a hundred files each took twice
// as long by searching). i_hint: where the entry may be, looked at before
// searching.
template <class Entries>
std::size_t FindLive(Entries const& i_vector, ItemBody const* ip_body, std::size_t i_hint = std::size_t(-1))
{
    if (i_hint < i_vector.size() && i_vector[i_hint] == ip_body)
        return i_hint;
    constexpr std::size_t SCAN_UP_TO = 256;
    if (i_vector.size() <= SCAN_UP_TO)
        return std::size_t(std::find(i_vector.begin(), i_vector.end(), ip_body) - i_vector.begin());
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
        if (iop_lastKey)
            *iop_lastKey = io_vector.empty() ? 0 : Ptr(io_vector.back())->m_key;
        return true;
    }
    io_vector[l_index] = Tagged(ip_body);
    Retain(ip_body);
    ++io_dead;
    if (std::size_t(io_dead) * 2 > io_vector.size())
        Compact(io_vector, io_dead, iop_lastKey);
    return true;
}

bool HasLiveEntry(LinkVector const& i_vector, ItemBody const* ip_body)
{
    return FindLive(i_vector, ip_body) < i_vector.size();
}

bool IsLinked(ItemBody const* ip_a, ItemBody const* ip_b)
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

// A whole decimal number, or false (so "12abc" reads as no number).
template <class Number>
bool ParseDecimal(std::string_view i_text, Number& o_value)
{
    char const* lp_begin = i_text.data();
    char const* lp_end = lp_begin + i_text.size();
    if (lp_begin != lp_end && *lp_begin == '+')
        ++lp_begin;
    auto l_result = std::from_chars(lp_begin, lp_end, o_value);
    return l_result.ec == std::errc() && l_result.ptr == lp_end && lp_begin != lp_end;
}

bool IsValidUtf8(std::string_view i_bytes)
{
    std::size_t l_index = 0;
    std::size_t const l_size = i_bytes.size();
    while (l_index < l_size) {
        unsigned char l_c = static_cast<unsigned char>(i_bytes[l_index]);
        if (l_c < 0x80) {
            ++l_index;
            continue;
        }
        int l_extra;
        std::uint32_t l_code;
        if ((l_c & 0xE0) == 0xC0) {
            l_extra = 1;
            l_code = l_c & 0x1F;
        } else if ((l_c & 0xF0) == 0xE0) {
            l_extra = 2;
            l_code = l_c & 0x0F;
        } else if ((l_c & 0xF8) == 0xF0) {
            l_extra = 3;
            l_code = l_c & 0x07;
        } else {
            return false;
        }
        if (l_index + std::size_t(l_extra) >= l_size)
            return false;
        for (int l_k = 1; l_k <= l_extra; ++l_k) {
            unsigned char l_next = static_cast<unsigned char>(i_bytes[l_index + std::size_t(l_k)]);
            if ((l_next & 0xC0) != 0x80)
                return false;
            l_code = (l_code << 6) | (l_next & 0x3F);
        }
        static const std::uint32_t s_minimum[4] = {0, 0x80, 0x800, 0x10000};
        if (l_code < s_minimum[l_extra] || l_code > 0x10FFFF || (l_code >= 0xD800 && l_code <= 0xDFFF))
            return false;
        l_index += std::size_t(l_extra) + 1;
    }
    return true;
}

Type* TypeByName(char const* ip_type)
{
    return d.GetType(ip_type);
}

} // namespace

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
    // Whether removing an item of the type fires nothing at all.
    static bool RemovesSilently(Data const* ip_data, Type const* ip_type);
    // Removes i_items from i_begin on, up to the first live item whose removal
    // would fire something, as Remove would one by one; returns where it
    // stopped. i_slots: each item's index in its type's item list when the
    // list was made (checked before it is used).
    static std::size_t RemoveSilently(Data* ip_data, std::vector<Item> const& i_items,
                                      std::vector<std::size_t> const& i_slots, std::size_t i_begin);
    // Whether an item meets the standing conditions of a pattern node's
    // children (and, recursively, theirs); ip_prior null: as things are.
    static bool Holds(PathNode const* ip_node, ItemBody* ip_item, PriorState const* ip_prior);
    static bool WasLinked(ItemBody* ip_a, ItemBody* ip_b, PriorState const* ip_prior);
    static void WereLinked(ItemBody* ip_item, Type const* ip_type, PriorState const* ip_prior,
                           std::vector<ItemBody*>& o_bodies);
    static ItemBody* FirstLive(ItemBody const* ip_body, Type const* ip_type)
    {
        auto l_range = GroupRange(ip_body->m_links, ip_type->m_index);
        for (std::size_t l_index = l_range.first; l_index < l_range.second; ++l_index)
            if (!IsDead(ip_body->m_links[l_index]))
                return ip_body->m_links[l_index];
        return nullptr;
    }
    static void LiveOfType(ItemBody const* ip_body, Type const* ip_type, std::vector<ItemBody*>& o_bodies)
    {
        auto l_range = GroupRange(ip_body->m_links, ip_type->m_index);
        // Written without a branch, as a search's scan is (see AddressBits).
        std::size_t l_count = o_bodies.size();
        o_bodies.resize(l_count + (l_range.second - l_range.first));
        ItemBody** const lp_out = o_bodies.data();
        for (std::size_t l_index = l_range.first; l_index < l_range.second; ++l_index) {
            ItemBody* const lp_entry = ip_body->m_links[l_index];
            lp_out[l_count] = lp_entry;
            l_count += !IsDead(lp_entry);
        }
        o_bodies.resize(l_count);
    }
    static std::size_t LiveCount(ItemBody const* ip_body, Type const* ip_type)
    {
        auto l_range = GroupRange(ip_body->m_links, ip_type->m_index);
        std::size_t l_count = 0;
        for (std::size_t l_index = l_range.first; l_index < l_range.second; ++l_index)
            l_count += IsDead(ip_body->m_links[l_index]) ? 0 : 1;
        return l_count;
    }
    static std::size_t GroupSize(ItemBody const* ip_body, Type const* ip_type)
    {
        auto l_range = GroupRange(ip_body->m_links, ip_type->m_index);
        return l_range.second - l_range.first;
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

// ------------------------------------------------------------------- Value

Value::Value(QString const& i_text) : m_bytes(i_text.toUtf8().toStdString()) {}

QString Value::AsQString() const
{
    return DecodeStoredText(m_bytes);
}

void SetCodePageDecoder(CodePageDecoder i_decoder)
{
    g_codePageDecoder.store(i_decoder);
}

QString DecodeStoredText(std::string_view i_bytes)
{
    bool l_ascii = true;
    for (char l_c : i_bytes)
        if (static_cast<unsigned char>(l_c) >= 0x80) {
            l_ascii = false;
            break;
        }
    if (l_ascii)
        return QString::fromLatin1(i_bytes.data(), int(i_bytes.size()));
    if (IsValidUtf8(i_bytes))
        return QString::fromUtf8(i_bytes.data(), int(i_bytes.size()));
    if (CodePageDecoder l_decoder = g_codePageDecoder.load())
        return l_decoder(i_bytes);
    return QString::fromLatin1(i_bytes.data(), int(i_bytes.size()));
}

// -------------------------------------------------------------------- Item

Item::Item(ItemBody* ip_body) : mp_body(ip_body)
{
    if (mp_body)
        Retain(mp_body);
}

Item::Item(char const* ip_type, Value const& i_key) : Item(TypeByName(ip_type)->GetItem(i_key)) {}

Item::Item(Item const& i_other) : mp_body(i_other.mp_body)
{
    if (mp_body)
        Retain(mp_body);
}

Item& Item::operator=(Item const& i_other)
{
    if (i_other.mp_body)
        Retain(i_other.mp_body);
    if (mp_body)
        Release(mp_body);
    mp_body = i_other.mp_body;
    return *this;
}

Item& Item::operator=(Item&& i_other) noexcept
{
    if (this != &i_other) {
        if (mp_body)
            Release(mp_body);
        mp_body = i_other.mp_body;
        i_other.mp_body = nullptr;
    }
    return *this;
}

Item::~Item()
{
    if (mp_body)
        Release(mp_body);
}

void Item::PrefetchLinks() const
{
    if (mp_body)
        __builtin_prefetch(mp_body->m_links.data() + mp_body->m_links.size(), 1);
}

bool Item::IsNull() const
{
    return !IsLive(mp_body);
}

Type* Item::GetType() const
{
    return IsNull() ? nullptr : mp_body->mp_type;
}

std::string const& Item::GetTypeName() const
{
    static const std::string s_empty;
    return IsNull() ? s_empty : mp_body->mp_type->GetName();
}

Value Item::GetValue() const
{
    return IsNull() ? Value() : Value(std::string(mp_body->m_value.View()));
}

Item Item::operator[](char const* ip_type) const
{
    if (IsNull())
        return Item();
    return Item(StoreOps::FirstLive(mp_body, TypeByName(ip_type)));
}

ItemSet Item::GetItems(char const* ip_type) const
{
    ItemSet l_set;
    GetItems(ip_type, l_set);
    return l_set;
}

void Item::GetItems(char const* ip_type, ItemSet& io_set) const
{
    if (IsNull())
        return;
    std::vector<ItemBody*> l_bodies;
    StoreOps::LiveOfType(mp_body, TypeByName(ip_type), l_bodies);
    io_set.Add(StoreOps::SetOf(l_bodies));
}

std::size_t Item::CountItems(char const* ip_type) const
{
    return IsNull() ? 0 : StoreOps::LiveCount(mp_body, TypeByName(ip_type));
}

bool Item::IsConnected(char const* ip_type) const
{
    return !IsNull() && StoreOps::FirstLive(mp_body, TypeByName(ip_type)) != nullptr;
}

bool Item::IsConnected(Item const& i_other) const
{
    return !IsNull() && !i_other.IsNull() && IsLinked(mp_body, i_other.mp_body);
}

bool Item::IsDisconnectedFromAll() const
{
    if (IsNull())
        return true;
    return mp_body->m_links.size() == mp_body->m_deadLinks;
}

Item Item::NewItem(char const* ip_type) const
{
    if (IsNull())
        return Item();
    Type* lp_type = TypeByName(ip_type);
    if (!lp_type->IsNull())
        throw NullTypeException("Item::NewItem needs a null type: " + lp_type->GetName());
    Type::Relation const* lp_relation = mp_body->mp_type->FindRelation(lp_type);
    if (!lp_relation)
        throw NotRelatedException(mp_body->mp_type->GetName() + " is not related to " + lp_type->GetName());
    Type::Relation const* lp_back = lp_type->FindRelation(mp_body->mp_type);
    if (lp_relation->m_holds == ONE && lp_back && lp_back->m_holds == MANY) {
        Item l_flag = lp_type->GetGlobalNullItem();
        Connect(l_flag);
        return l_flag;
    }
    if (lp_relation->m_holds == ONE) {
        Item l_existing = (*this)[ip_type];
        if (!l_existing.IsNull())
            return l_existing;
    }
    Item l_new = lp_type->NewItem();
    Connect(l_new);
    return l_new;
}

Item Item::Connect(Item const& i_other) const
{
    if (IsNull() || i_other.IsNull())
        return i_other;
    StoreOps::Connect(mp_body, i_other.mp_body);
    return i_other;
}

void Item::operator+=(ItemSet const& i_set) const
{
    for (Item const& l_item : i_set)
        Connect(l_item);
}

void Item::Disconnect(Item const& i_other) const
{
    if (IsNull() || i_other.IsNull())
        return;
    StoreOps::Disconnect(mp_body, i_other.mp_body);
}

void Item::Disconnect(char const* ip_type) const
{
    if (IsNull())
        return;
    std::vector<ItemBody*> l_bodies;
    StoreOps::LiveOfType(mp_body, TypeByName(ip_type), l_bodies);
    ItemSet l_held = StoreOps::SetOf(l_bodies); // keeps them alive through the events
    for (Item const& l_other : l_held)
        Disconnect(l_other);
}

void Item::Remove() const
{
    if (IsNull())
        return;
    StoreOps::Remove(mp_body);
}

QString Item::AsString() const
{
    return IsNull() ? QString() : DecodeStoredText(mp_body->m_value.View());
}

std::string Item::AsStdString() const
{
    return IsNull() ? std::string() : std::string(mp_body->m_value.View());
}

int Item::AsInt() const
{
    long long l_value = 0;
    if (IsNull() || !ParseDecimal(mp_body->m_value.View(), l_value))
        return 0;
    if (l_value < std::numeric_limits<int>::min() || l_value > std::numeric_limits<int>::max())
        return 0;
    return int(l_value);
}

qint64 Item::AsInt64() const
{
    long long l_value = 0;
    if (IsNull() || !ParseDecimal(mp_body->m_value.View(), l_value))
        return 0;
    return l_value;
}

quint64 Item::AsUInt64() const
{
    unsigned long long l_value = 0;
    if (IsNull() || !ParseDecimal(mp_body->m_value.View(), l_value))
        return 0;
    return l_value;
}

std::uint64_t Item::Serial() const
{
    return mp_body ? (mp_body->m_key & SERIAL_MASK) : 0;
}

bool Item::operator==(Item const& i_other) const
{
    bool l_null = IsNull();
    bool l_otherNull = i_other.IsNull();
    if (l_null || l_otherNull)
        return l_null == l_otherNull;
    return mp_body == i_other.mp_body;
}

// ----------------------------------------------------------------- ItemSet

namespace {
inline bool SerialLess(Item const& i_a, Item const& i_b)
{
    return i_a.Serial() < i_b.Serial();
}
} // namespace

ItemSet::ItemSet(Item const& i_item)
{
    insert(i_item);
}

ItemSet ItemSet::FromSorted(std::vector<Item>&& i_items)
{
    ItemSet l_set;
    l_set.m_items = std::move(i_items);
    return l_set;
}

bool ItemSet::insert(Item const& i_item)
{
    if (i_item.IsNull())
        return false;
    if (m_items.empty() || SerialLess(m_items.back(), i_item)) {
        m_items.push_back(i_item);
        return true;
    }
    auto l_it = std::lower_bound(m_items.begin(), m_items.end(), i_item, SerialLess);
    if (l_it != m_items.end() && l_it->Serial() == i_item.Serial())
        return false;
    m_items.insert(l_it, i_item);
    return true;
}

void ItemSet::erase(Item const& i_item)
{
    auto l_it = std::lower_bound(m_items.begin(), m_items.end(), i_item, SerialLess);
    if (l_it != m_items.end() && l_it->Serial() == i_item.Serial())
        m_items.erase(l_it);
}

bool ItemSet::contains(Item const& i_item) const
{
    auto l_it = std::lower_bound(m_items.begin(), m_items.end(), i_item, SerialLess);
    return l_it != m_items.end() && l_it->Serial() == i_item.Serial() && !i_item.IsNull();
}

void ItemSet::Add(ItemSet const& i_other)
{
    if (m_items.empty()) {
        m_items = i_other.m_items;
        return;
    }
    std::vector<Item> l_merged;
    l_merged.reserve(m_items.size() + i_other.m_items.size());
    std::set_union(m_items.begin(), m_items.end(), i_other.m_items.begin(), i_other.m_items.end(),
                   std::back_inserter(l_merged), SerialLess);
    m_items.swap(l_merged);
}

ItemSet::operator Item() const
{
    for (Item const& l_item : m_items)
        if (!l_item.IsNull())
            return l_item;
    return Item();
}

void ItemSet::Remove() const
{
    std::vector<Item> l_items(m_items);
    for (Item const& l_item : l_items)
        l_item.Remove();
}

ItemSet ItemSet::GetItems(char const* ip_type) const
{
    Type* lp_type = TypeByName(ip_type);
    std::vector<ItemBody*> l_bodies;
    for (Item const& l_item : m_items)
        if (!l_item.IsNull())
            StoreOps::LiveOfType(l_item.Body(), lp_type, l_bodies);
    std::sort(l_bodies.begin(), l_bodies.end(),
              [](ItemBody* ip_a, ItemBody* ip_b) { return ip_a->m_key < ip_b->m_key; });
    l_bodies.erase(std::unique(l_bodies.begin(), l_bodies.end()), l_bodies.end());
    return StoreOps::SetOf(l_bodies);
}

namespace {
template <class Predicate>
ItemSet Filtered(std::vector<Item> const& i_items, Predicate i_keep)
{
    std::vector<Item> l_kept;
    for (Item const& l_item : i_items)
        if (!l_item.IsNull() && i_keep(l_item))
            l_kept.push_back(l_item);
    return ItemSet::FromSorted(std::move(l_kept));
}
} // namespace

ItemSet ItemSet::Connected(char const* ip_type) const
{
    TypeByName(ip_type);
    return Filtered(m_items, [ip_type](Item const& i_item) { return i_item.IsConnected(ip_type); });
}

ItemSet ItemSet::NotConnected(char const* ip_type) const
{
    TypeByName(ip_type);
    return Filtered(m_items, [ip_type](Item const& i_item) { return !i_item.IsConnected(ip_type); });
}

ItemSet ItemSet::Connected(char const* ip_type, Value const& i_key) const
{
    Item l_other = TypeByName(ip_type)->HasItem(i_key);
    return Connected(l_other);
}

ItemSet ItemSet::NotConnected(char const* ip_type, Value const& i_key) const
{
    Item l_other = TypeByName(ip_type)->HasItem(i_key);
    return NotConnected(l_other);
}

ItemSet ItemSet::Connected(Item const& i_other) const
{
    if (i_other.IsNull())
        return ItemSet();
    return Filtered(m_items, [&i_other](Item const& i_item) { return i_item.IsConnected(i_other); });
}

ItemSet ItemSet::NotConnected(Item const& i_other) const
{
    if (i_other.IsNull())
        return Filtered(m_items, [](Item const&) { return true; });
    return Filtered(m_items, [&i_other](Item const& i_item) { return !i_item.IsConnected(i_other); });
}

ItemSet ItemSet::Connected(ItemSet const& i_other) const
{
    return Filtered(m_items, [&i_other](Item const& i_item) {
        for (Item const& l_other : i_other)
            if (i_item.IsConnected(l_other))
                return true;
        return false;
    });
}

ItemSet ItemSet::Common(ItemSet const& i_other) const
{
    std::vector<Item> l_common;
    std::set_intersection(m_items.begin(), m_items.end(), i_other.m_items.begin(), i_other.m_items.end(),
                          std::back_inserter(l_common), SerialLess);
    return Filtered(l_common, [](Item const&) { return true; });
}

void ItemSet::Disconnect(char const* ip_type) const
{
    std::vector<Item> l_items(m_items);
    for (Item const& l_item : l_items)
        l_item.Disconnect(ip_type);
}

namespace {

// Items in the order of their keys, stable among equal keys.
template <class Key, class Less>
ItemList SortKeyed(std::vector<std::pair<Key, Item>>& io_keyed, bool i_ascending, Less i_less)
{
    std::stable_sort(io_keyed.begin(), io_keyed.end(), [i_ascending, &i_less](auto const& i_a, auto const& i_b) {
        return i_ascending ? i_less(i_a.first, i_b.first) : i_less(i_b.first, i_a.first);
    });
    ItemList l_list;
    l_list.reserve(io_keyed.size());
    for (auto& l_pair : io_keyed)
        l_list.push_back(l_pair.second);
    return l_list;
}

ItemList SortByText(std::vector<std::pair<QString, Item>>& io_keyed, bool i_ascending, bool i_caseSensitive)
{
    if (!i_caseSensitive)
        for (auto& l_pair : io_keyed)
            l_pair.first = l_pair.first.toLower();
    return SortKeyed(io_keyed, i_ascending,
                     [](QString const& i_a, QString const& i_b) { return QString::compare(i_a, i_b) < 0; });
}

} // namespace

ItemList ItemSet::SortNumericBy(char const* ip_attribute, bool i_ascending) const
{
    TypeByName(ip_attribute);
    std::vector<std::pair<qint64, Item>> l_keyed;
    for (Item const& l_item : m_items) {
        Item l_attribute = l_item[ip_attribute];
        if (!l_attribute.IsNull())
            l_keyed.emplace_back(l_attribute.AsInt64(), l_item);
    }
    return SortKeyed(l_keyed, i_ascending, std::less<qint64>());
}

ItemList ItemSet::SortAlphabetic(bool i_ascending, bool i_caseSensitive) const
{
    std::vector<std::pair<QString, Item>> l_keyed;
    for (Item const& l_item : m_items)
        if (!l_item.IsNull())
            l_keyed.emplace_back(l_item.AsString(), l_item);
    return SortByText(l_keyed, i_ascending, i_caseSensitive);
}

ItemList ItemSet::SortAlphabeticBy(char const* ip_attribute, bool i_ascending, bool i_caseSensitive) const
{
    TypeByName(ip_attribute);
    std::vector<std::pair<QString, Item>> l_keyed;
    for (Item const& l_item : m_items) {
        Item l_attribute = l_item[ip_attribute];
        if (!l_attribute.IsNull())
            l_keyed.emplace_back(l_attribute.AsString(), l_item);
    }
    return SortByText(l_keyed, i_ascending, i_caseSensitive);
}

ItemSet i(char const* ip_type, Value const& i_key)
{
    if (!d.HasType(ip_type))
        return ItemSet();
    return ItemSet(d.GetType(ip_type)->HasItem(i_key));
}

// -------------------------------------------------------------- ValueIndex

namespace {

ItemBody* const TOMBSTONE = reinterpret_cast<ItemBody*>(std::uintptr_t(1));

inline std::size_t HashKey(std::string_view i_key)
{
    return std::hash<std::string_view>()(i_key);
}

} // namespace

ItemBody* ValueIndex::Find(std::string_view i_key) const
{
    if (m_slots.empty())
        return nullptr;
    std::size_t const l_hash = HashKey(i_key);
    std::size_t const l_mask = m_slots.size() - 1;
    for (std::size_t l_at = l_hash & l_mask;; l_at = (l_at + 1) & l_mask) {
        Slot const& l_slot = m_slots[l_at];
        if (!l_slot.mp_body)
            return nullptr;
        if (l_slot.m_hash == l_hash && l_slot.mp_body != TOMBSTONE && l_slot.mp_body->m_value.View() == i_key)
            return l_slot.mp_body;
    }
}

void ValueIndex::Insert(ItemBody* ip_body)
{
    // At most 70 % full, tombstones counted, so that probes stay short (the
    // stored hash makes each step cheap) and always end on an empty slot.
    if (10 * (m_used + 1) > 7 * m_slots.size())
        Grow();
    std::string_view const l_key = ip_body->m_value.View();
    std::size_t const l_hash = HashKey(l_key);
    std::size_t const l_mask = m_slots.size() - 1;
    Slot* lp_free = nullptr;
    std::size_t l_at = l_hash & l_mask;
    for (;; l_at = (l_at + 1) & l_mask) {
        Slot& l_slot = m_slots[l_at];
        if (!l_slot.mp_body)
            break;
        if (l_slot.mp_body == TOMBSTONE) {
            if (!lp_free)
                lp_free = &l_slot;
        } else if (l_slot.m_hash == l_hash && l_slot.mp_body->m_value.View() == l_key) {
            return;
        }
    }
    if (!lp_free) {
        lp_free = &m_slots[l_at];
        ++m_used;
    }
    *lp_free = Slot{l_hash, ip_body};
}

void ValueIndex::Erase(ItemBody* ip_body)
{
    if (m_slots.empty())
        return;
    std::size_t const l_hash = HashKey(ip_body->m_value.View());
    std::size_t const l_mask = m_slots.size() - 1;
    for (std::size_t l_at = l_hash & l_mask; m_slots[l_at].mp_body; l_at = (l_at + 1) & l_mask)
        if (m_slots[l_at].mp_body == ip_body) {
            m_slots[l_at].mp_body = TOMBSTONE; // keeps later entries of the run reachable
            return;
        }
}

void ValueIndex::Clear()
{
    std::vector<Slot>().swap(m_slots);
    m_used = 0;
}

void ValueIndex::Reserve(std::size_t i_keys)
{
    if (10 * (i_keys + 1) > 7 * m_slots.size())
        Grow(i_keys);
}

void ValueIndex::Grow(std::size_t i_keys)
{
    std::size_t l_live = 0;
    for (Slot const& l_slot : m_slots)
        l_live += l_slot.mp_body && l_slot.mp_body != TOMBSTONE;
    // At most half full again; a table of mostly tombstones is rebuilt at
    // its size.
    std::size_t l_size = 16;
    while (l_size < 2 * (std::max(l_live, i_keys) + 1))
        l_size *= 2;
    std::vector<Slot> l_old(l_size, Slot{0, nullptr});
    l_old.swap(m_slots);
    m_used = l_live;
    std::size_t const l_mask = m_slots.size() - 1;
    for (Slot const& l_slot : l_old) {
        if (!l_slot.mp_body || l_slot.mp_body == TOMBSTONE)
            continue;
        std::size_t l_at = l_slot.m_hash & l_mask;
        while (m_slots[l_at].mp_body)
            l_at = (l_at + 1) & l_mask;
        m_slots[l_at] = l_slot;
    }
}

// -------------------------------------------------------------------- Type

Type::Type(Data* ip_data, std::string i_name, Primacy i_primacy, bool i_isNull, bool i_autoCreate,
           std::uint16_t i_index)
    : mp_data(ip_data), m_name(std::move(i_name)), m_primacy(i_primacy), m_isNull(i_isNull),
      m_autoCreate(i_autoCreate), m_index(i_index)
{
}

Type::~Type() = default;

void Type::RelateToType(Type* ip_other, OneOrMany i_a, OneOrMany i_b, bool i_owning)
{
    if (!ip_other)
        throw TypeNotFoundException("RelateToType: no such type");
    if (FindRelation(ip_other))
        throw AlreadyRelatedException(m_name + " is already related to " + ip_other->m_name);
    if (ip_other == this) {
        m_relations.push_back({this, i_b, i_owning, i_owning});
        return;
    }
    m_relations.push_back({ip_other, i_b, i_owning, false});
    ip_other->m_relations.push_back({this, i_a, false, i_owning});
}

bool Type::IsRelatedTo(Type const* ip_other) const
{
    return FindRelation(ip_other) != nullptr;
}

Type::Relation const* Type::FindRelation(Type const* ip_other) const
{
    for (Relation const& l_relation : m_relations)
        if (l_relation.mp_other == ip_other)
            return &l_relation;
    return nullptr;
}

Item Type::CreateBody(std::string i_value)
{
    ItemBody* lp_body = new ItemBody;
    try {
        lp_body->m_value.Set(i_value);
    } catch (...) {
        delete lp_body;
        throw;
    }
    lp_body->mp_type = this;
    lp_body->m_key = (std::uint64_t(m_index) << 48) | (mp_data->m_nextSerial++ & SERIAL_MASK);
    m_items.push_back(lp_body);
    if (!m_isNull)
        m_byValue.Insert(lp_body);
    ++mp_data->m_liveItems;
    // The handle is what the caller gets: a handler that removes the new
    // item leaves it reading as null instead of handing back a freed body.
    Item l_item(lp_body);
    m_newItemEvent.Fire(l_item);
    mp_data->m_newItemEvent.Fire(l_item);
    return l_item;
}

Item Type::FindOrCreate(Value const& i_key, bool i_create, char const* ip_caller)
{
    if (m_isNull)
        throw NullTypeException(std::string(ip_caller) + " on the null type " + m_name);
    if (ItemBody* lp_found = m_byValue.Find(i_key.Bytes()))
        return Item(lp_found);
    if (!i_create)
        return Item();
    return CreateBody(i_key.Bytes());
}

Item Type::GetItem(Value const& i_key)
{
    return FindOrCreate(i_key, m_autoCreate, "GetItem");
}

Item Type::HasItem(Value const& i_key) const
{
    if (m_isNull)
        return Item();
    return Item(m_byValue.Find(i_key.Bytes()));
}

Item Type::NewItem()
{
    if (!m_isNull)
        throw NullTypeException("NewItem() on the valued type " + m_name);
    return CreateBody(std::string());
}

Item Type::NewItem(Value const& i_key)
{
    return FindOrCreate(i_key, true, "NewItem(Value)");
}

ItemSet Type::GetItems() const
{
    std::vector<Item> l_items;
    l_items.reserve(m_items.size() - m_deadItems);
    for (ItemBody* lp_entry : m_items)
        if (!IsDead(lp_entry))
            l_items.emplace_back(lp_entry);
    return ItemSet::FromSorted(std::move(l_items));
}

std::size_t Type::GetItemCount() const
{
    return m_items.size() - m_deadItems;
}

void Type::Reserve(std::size_t i_items)
{
    if (!m_isNull)
        m_byValue.Reserve(i_items);
}

Item Type::GetGlobalNullItem()
{
    if (!m_isNull)
        throw NullTypeException("GetGlobalNullItem on the valued type " + m_name);
    if (IsLive(mp_globalNullItem))
        return Item(mp_globalNullItem);
    mp_globalNullItem = nullptr;
    Item l_item = NewItem();
    // Kept only while it lives: a new-item handler may have removed it, and
    // the pointer holds no reference.
    if (!l_item.IsNull())
        mp_globalNullItem = l_item.Body();
    return l_item;
}

Item Type::FindGlobalNullItem() const
{
    return IsLive(mp_globalNullItem) ? Item(mp_globalNullItem) : Item();
}

void Type::RemoveAllItems()
{
    GetItems().Remove();
}

// -------------------------------------------------------- connect / remove

void StoreOps::Connect(ItemBody* ip_a, ItemBody* ip_b)
{
    if (ip_a->m_removing || ip_b->m_removing)
        return;
    // Most links are appended to the end of a long vector elsewhere in
    // memory; start fetching both ends while the checks below run.
    __builtin_prefetch(ip_a->m_links.data() + ip_a->m_links.size(), 1);
    __builtin_prefetch(ip_b->m_links.data() + ip_b->m_links.size(), 1);
    Type* lp_typeA = ip_a->mp_type;
    Type* lp_typeB = ip_b->mp_type;
    Type::Relation const* lp_relation = lp_typeA->FindRelation(lp_typeB);
    if (!lp_relation)
        throw NotRelatedException(lp_typeA->GetName() + " is not related to " + lp_typeB->GetName());
    if (ip_a == ip_b || IsLinked(ip_a, ip_b))
        return;

    OneOrMany l_aHolds = lp_relation->m_holds;
    OneOrMany l_bHolds = lp_typeB->FindRelation(lp_typeA)->m_holds;
    if (l_aHolds == ONE || l_bHolds == ONE) {
        Item l_holdA(ip_a), l_holdB(ip_b);
        bool l_replaced = false;
        if (l_aHolds == ONE) {
            if (ItemBody* lp_old = FirstLive(ip_a, lp_typeB)) {
                Disconnect(ip_a, lp_old);
                l_replaced = true;
            }
        }
        if (l_bHolds == ONE) {
            if (ItemBody* lp_old = FirstLive(ip_b, lp_typeA)) {
                Disconnect(ip_b, lp_old);
                l_replaced = true;
            }
        }
        // The disconnect events may have removed either end, or linked them.
        if (l_replaced &&
            (!IsLive(ip_a) || !IsLive(ip_b) || ip_a->m_removing || ip_b->m_removing || IsLinked(ip_a, ip_b)))
            return;
    }
    SortedInsert(ip_a->m_links, ip_a->m_deadLinks, ip_b, &ip_a->m_lastLinkKey);
    SortedInsert(ip_b->m_links, ip_b->m_deadLinks, ip_a, &ip_b->m_lastLinkKey);
    lp_typeA->mp_data->FireConnection(ip_a, ip_b, true);
}

void StoreOps::Disconnect(ItemBody* ip_a, ItemBody* ip_b)
{
    if (!IsLinked(ip_a, ip_b))
        return;
    Item l_holdA(ip_a), l_holdB(ip_b);
    SortedErase(ip_a->m_links, ip_a->m_deadLinks, ip_b, &ip_a->m_lastLinkKey);
    SortedErase(ip_b->m_links, ip_b->m_deadLinks, ip_a, &ip_b->m_lastLinkKey);
    ip_a->mp_type->mp_data->FireConnection(ip_a, ip_b, false);
}

void StoreOps::Remove(ItemBody* ip_body, std::size_t i_slot)
{
    if (!IsLive(ip_body) || ip_body->m_removing)
        return;
    Item l_hold(ip_body);
    Type* lp_type = ip_body->mp_type;
    Data* lp_data = lp_type->mp_data;

    // Marked first, so that a handler removing the same item again, or
    // linking something to it, does nothing.
    ip_body->m_removing = true;
    lp_type->m_removedItemEvent.Fire(l_hold);
    lp_data->m_removedItemEvent.Fire(l_hold);
    if (!IsLive(ip_body))
        return; // the store was reset by a handler

    // Path checks below a broken step judge this item by the links it has
    // now, before the first is dropped (see PriorState). Only items that a
    // pattern can meet need them kept.
    struct RemovalGuard
    {
        Data* mp_data = nullptr;
        ~RemovalGuard()
        {
            if (mp_data)
                mp_data->m_removals.pop_back();
        }
    } l_removal;
    if (lp_data->IsInPattern(lp_type)) {
        std::vector<ItemBody*> l_links;
        for (ItemBody* lp_entry : ip_body->m_links)
            if (!IsDead(lp_entry))
                l_links.push_back(lp_entry);
        lp_data->m_removals.push_back({ip_body, std::vector<Item>(l_links.begin(), l_links.end())});
        l_removal.mp_data = lp_data;
    }

    // Each disconnect leaves a tag where its link was, so the scan goes on
    // from there instead of walking the growing run of tags again (which
    // made removing an item with a few hundred thousand links take seconds).
    // Nothing can be linked to the item while it is being removed, so only a
    // shrinking vector (compaction, or the last entry dropped) moves entries;
    // the scan then starts over.
    std::size_t l_from = 0;
    for (;;) {
        LinkVector const& l_links = ip_body->m_links;
        std::size_t const l_size = l_links.size();
        std::size_t l_at = std::min(l_from, l_size);
        while (l_at < l_size && IsDead(l_links[l_at]))
            ++l_at;
        if (l_at == l_size) {
            if (l_from == 0)
                break;
            l_from = 0;
            continue;
        }
        Disconnect(ip_body, l_links[l_at]);
        l_from = ip_body->m_links.size() == l_size ? l_at + 1 : 0;
    }

    if (!lp_type->m_isNull)
        lp_type->m_byValue.Erase(ip_body);
    SortedErase(lp_type->m_items, lp_type->m_deadItems, ip_body, nullptr, i_slot);
    if (lp_type->mp_globalNullItem == ip_body)
        lp_type->mp_globalNullItem = nullptr;
    ip_body->m_removed = true;
    std::uint32_t l_deadLinks = ip_body->m_deadLinks;
    Compact(ip_body->m_links, l_deadLinks, &ip_body->m_lastLinkKey);
    ip_body->m_deadLinks = 0;
    --lp_data->m_liveItems;
    Release(ip_body); // the store's own reference; l_hold keeps it until we return
}

bool StoreOps::RemovesSilently(Data const* ip_data, Type const* ip_type)
{
    if (!ip_data->m_removedItemEvent.IsEmpty() || !ip_data->m_disconnectEvent.IsEmpty() ||
        !ip_type->m_removedItemEvent.IsEmpty() || !ip_type->m_disconnectEvent.IsEmpty())
        return false;
    // A link can only join related types; its disconnect fires on the other
    // type's event too, and walks the patterns when both types are in one.
    bool const l_inPattern = ip_data->IsInPattern(ip_type);
    for (Type::Relation const& l_relation : ip_type->m_relations)
        if (!l_relation.mp_other->m_disconnectEvent.IsEmpty() ||
            (l_inPattern && ip_data->IsInPattern(l_relation.mp_other)))
            return false;
    return true;
}

// Nobody hears these removals, so nobody sees the store between them, and
// only the state after the batch must be what removing the items one by
// one leaves. That allows what a removal one by one cannot do: a link
// between two items of the batch is dropped with their link vectors,
// without finding each end in the other's vector (five searches in a
// token's vector of a hundred files, for every file of a share), and the
// bodies are fetched ahead.
std::size_t StoreOps::RemoveSilently(Data* ip_data, std::vector<Item> const& i_items,
                                     std::vector<std::size_t> const& i_slots, std::size_t i_begin)
{
    std::size_t const l_count = i_items.size();
    std::vector<signed char> l_silent(ip_data->m_types.size(), -1);
    std::vector<std::pair<ItemBody*, std::size_t>> l_batch;
    std::size_t l_end = i_begin;
    for (; l_end < l_count; ++l_end) {
        if (l_end + PREFETCH_AHEAD < l_count)
            __builtin_prefetch(i_items[l_end + PREFETCH_AHEAD].Body(), 1);
        ItemBody* const lp_body = i_items[l_end].Body();
        if (!IsLive(lp_body) || lp_body->m_removing)
            continue; // Remove would do nothing
        signed char& l_known = l_silent[lp_body->mp_type->m_index];
        if (l_known < 0)
            l_known = RemovesSilently(ip_data, lp_body->mp_type) ? 1 : 0;
        if (!l_known)
            break;
        lp_body->m_doomed = true;
        lp_body->m_doomedPartners = 0;
        l_batch.emplace_back(lp_body, i_slots[l_end]);
    }

    std::vector<Type*> l_types; // whose item lists gained tombstones
    std::size_t const l_size = l_batch.size();
    for (std::size_t l_at = 0; l_at < l_size; ++l_at) {
        if (l_at + PREFETCH_AHEAD < l_size)
            __builtin_prefetch(l_batch[l_at + PREFETCH_AHEAD].first, 1);
        if (l_at + PREFETCH_AHEAD / 2 < l_size)
            __builtin_prefetch(l_batch[l_at + PREFETCH_AHEAD / 2].first->m_links.data());
        ItemBody* const lp_body = l_batch[l_at].first;
        lp_body->m_removing = true;
        LinkVector& l_links = lp_body->m_links;
        std::size_t l_live = 0;
        for (ItemBody* lp_entry : l_links)
            l_live += !IsDead(lp_entry);
        // Every link left leads to an item of the batch removed already.
        bool const l_onlyGone = l_live == lp_body->m_doomedPartners;
        for (ItemBody* lp_entry : l_links) {
            if (IsDead(lp_entry)) {
                Release(Ptr(lp_entry)); // the tag's reference, as compaction drops it
                continue;
            }
            if (l_onlyGone)
                continue;
            if (lp_entry->m_doomed) {
                if (!lp_entry->m_removed)
                    ++lp_entry->m_doomedPartners;
                continue;
            }
            SortedErase(lp_entry->m_links, lp_entry->m_deadLinks, lp_body, &lp_entry->m_lastLinkKey);
        }
        l_links.clear();
        if (l_links.capacity() > 16)
            l_links.shrink_to_fit();
        lp_body->m_deadLinks = 0;
        lp_body->m_lastLinkKey = 0;

        Type* const lp_type = lp_body->mp_type;
        if (!lp_type->m_isNull)
            lp_type->m_byValue.Erase(lp_body);
        // Tombstones only: the list is compacted once, below.
        std::vector<ItemBody*>& l_items = lp_type->m_items;
        std::size_t const l_slot = FindLive(l_items, lp_body, l_batch[l_at].second);
        if (l_slot < l_items.size()) {
            l_items[l_slot] = Tagged(lp_body);
            Retain(lp_body);
            ++lp_type->m_deadItems;
            if (l_types.empty() || l_types.back() != lp_type)
                l_types.push_back(lp_type);
        }
        if (lp_type->mp_globalNullItem == lp_body)
            lp_type->mp_globalNullItem = nullptr;
        lp_body->m_removed = true;
        --ip_data->m_liveItems;
    }
    std::sort(l_types.begin(), l_types.end());
    l_types.erase(std::unique(l_types.begin(), l_types.end()), l_types.end());
    for (Type* lp_type : l_types)
        if (std::size_t(lp_type->m_deadItems) * 2 > lp_type->m_items.size())
            Compact(lp_type->m_items, lp_type->m_deadItems);
    for (std::size_t l_at = 0; l_at < l_size; ++l_at) {
        if (l_at + PREFETCH_AHEAD < l_size)
            __builtin_prefetch(l_batch[l_at + PREFETCH_AHEAD].first, 1);
        Release(l_batch[l_at].first); // the store's own reference; the caller's handles keep the bodies
    }
    return l_end;
}

// ---------------------------------------------------------------- PathNode

PathNode::PathNode(Item const& i_start) : m_fixed(i_start), m_isFixed(true)
{
    mp_type = i_start.GetType();
}

PathNode::PathNode(Data* ip_data, char const* ip_type) : mp_type(ip_data->GetType(ip_type)) {}

PathNode::PathNode(PathNode* ip_parent, char const* ip_type, PathNodeRelation i_relation)
    : m_relation(i_relation), mp_parent(ip_parent)
{
    Data* lp_data = ip_parent->mp_type ? ip_parent->mp_type->GetData() : &d;
    mp_type = lp_data->GetType(ip_type);
    ip_parent->m_children.push_back(this);
}

PathNode::PathNode(PathNode* ip_parent, Item const& i_fixed, PathNodeRelation i_relation)
    : mp_type(i_fixed.GetType()), m_fixed(i_fixed), m_isFixed(true), m_relation(i_relation), mp_parent(ip_parent)
{
    ip_parent->m_children.push_back(this);
}

PathNode::~PathNode()
{
    for (PathNode* lp_child : m_children)
        delete lp_child;
}

// -------------------------------------------------------------------- Data

Data d;

namespace {
int const s_itemMetaTypes = (qRegisterMetaType<Item>("Item"), qRegisterMetaType<ItemSet>("ItemSet"), 0);
}

Data::Data() = default;

Data::~Data()
{
    Reset();
}

Type* Data::NewType(std::string const& i_name, Primacy i_primacy, bool i_isNull, bool i_autoCreate)
{
    if (m_typesByName.count(i_name))
        throw TypeAlreadyExistsException("type already declared: " + i_name);
    if (m_types.size() >= 0xFFFF)
        throw StoreException("too many types");
    Type* lp_type = new Type(this, i_name, i_primacy, i_isNull, i_autoCreate, std::uint16_t(m_types.size()));
    m_types.push_back(lp_type);
    m_typesByName.emplace(i_name, lp_type);
    return lp_type;
}

Type* Data::GetType(std::string_view i_name) const
{
    auto l_it = m_typesByName.find(i_name);
    if (l_it == m_typesByName.end())
        throw TypeNotFoundException("no such type: " + std::string(i_name));
    return l_it->second;
}

bool Data::HasType(std::string_view i_name) const
{
    return m_typesByName.find(i_name) != m_typesByName.end();
}

Item Data::GetItem(Item const& i_a, Item const& i_b, char const* ip_type) const
{
    if (i_a.IsNull() || i_b.IsNull())
        return Item();
    Type* lp_type = GetType(ip_type);
    ItemBody* lp_small = i_a.Body();
    ItemBody* lp_other = i_b.Body();
    if (StoreOps::GroupSize(lp_other, lp_type) < StoreOps::GroupSize(lp_small, lp_type))
        std::swap(lp_small, lp_other);
    std::vector<ItemBody*> l_candidates;
    StoreOps::LiveOfType(lp_small, lp_type, l_candidates);
    for (ItemBody* lp_candidate : l_candidates)
        if (IsLinked(lp_candidate, lp_other))
            return Item(lp_candidate);
    return Item();
}

ItemSet Data::GetItems(Item const& i_a, Item const& i_b, char const* ip_type) const
{
    if (i_a.IsNull() || i_b.IsNull())
        return ItemSet();
    ItemSet l_pair(i_a);
    l_pair.insert(i_b);
    return GetItemSubset(l_pair, ip_type);
}

ItemSet Data::GetItems(ItemSet const& i_set, char const* ip_type) const
{
    return i_set.GetItems(ip_type);
}

namespace {

// Scanning a run costs a few nanoseconds an entry; probing a candidate's own
// links costs a cache miss or two. Scan while the run is at most this many
// times longer than the candidates.
constexpr std::size_t SCAN_RATIO = 32;

// A set of bodies as one bit per 64 bytes of address between the lowest and
// the highest: bodies never overlap and take at least 64 bytes, so no two
// share a bit. Item bodies come densely from one stretch of address space,
// so a million-file share's bodies span a few hundred megabytes, a few
// hundred kilobytes of bits, and testing a run of links against them reads
// no body and no hash slot. Where the bodies are spread too thinly (the
// ordinary allocator of sanitizer builds) the bits would cost more than a
// hash table; the caller then uses one.
class AddressBits
{
public:
    // i_run: the entries that will be tested, which bounds what the bits
    // may cost to clear.
    AddressBits(std::vector<ItemBody*> const& i_bodies, std::size_t i_run)
    {
        if (i_bodies.empty())
            return;
        auto l_bounds = std::minmax_element(i_bodies.begin(), i_bodies.end());
        m_low = reinterpret_cast<std::uintptr_t>(*l_bounds.first) >> SHIFT;
        std::uintptr_t l_high = reinterpret_cast<std::uintptr_t>(*l_bounds.second) >> SHIFT;
        m_count = l_high - m_low + 1;
        // Clearing the bits must cost less than the hash table or the scan.
        if (m_count / 8 > 16 * (i_bodies.size() + i_run) + 4096)
            return;
        static thread_local std::vector<std::uint64_t> s_words; // kept, as the candidates are
        s_words.assign(m_count / 64 + 1, 0); // bit m_count stays clear: see Contains
        mp_words = &s_words;
        for (ItemBody* lp_body : i_bodies) {
            std::uintptr_t l_bit = (reinterpret_cast<std::uintptr_t>(lp_body) >> SHIFT) - m_low;
            s_words[l_bit / 64] |= std::uint64_t(1) << (l_bit % 64);
        }
    }

    bool IsUsable() const { return mp_words != nullptr; }

    // 1 or 0, without a branch: a scan of a long run tests every entry, and
    // whether one matches is not predictable.
    std::size_t Contains(ItemBody* ip_entry) const
    {
        std::uintptr_t const l_address = reinterpret_cast<std::uintptr_t>(ip_entry);
        std::uintptr_t l_bit = (l_address >> SHIFT) - m_low; // wraps below the lowest
        l_bit = l_bit < m_count ? l_bit : m_count;          // outside: the one bit never set
        // A broken link's entry is tagged in its low bit and never matches.
        return std::size_t(((*mp_words)[l_bit / 64] >> (l_bit % 64)) & ~l_address & 1);
    }

private:
    static constexpr int SHIFT = 6;
    static_assert(sizeof(ItemBody) >= (std::size_t(1) << SHIFT), "two bodies could share a bit");
    std::uintptr_t m_low = 0;
    std::uintptr_t m_count = 0;
    std::vector<std::uint64_t> const* mp_words = nullptr;
};

// The live entries of a run of links that are among the candidates, in the
// run's order.
void KeepCandidatesInRun(ItemBody* const* ip_begin, ItemBody* const* ip_end, std::vector<ItemBody*> const& i_candidates,
                         std::vector<ItemBody*>& o_kept)
{
    AddressBits l_bits(i_candidates, std::size_t(ip_end - ip_begin));
    if (!l_bits.IsUsable()) {
        BodyTable<bool> l_wanted(i_candidates.size());
        for (ItemBody* lp_candidate : i_candidates)
            l_wanted.Insert(lp_candidate, true);
        for (ItemBody* const* lp_entry = ip_begin; lp_entry != ip_end; ++lp_entry)
            if (!IsDead(*lp_entry) && l_wanted.Contains(*lp_entry))
                o_kept.push_back(*lp_entry);
        return;
    }
    // Every match is a different candidate, so they fit; each entry is
    // written and kept only if it matched.
    std::size_t const l_first = o_kept.size();
    o_kept.resize(l_first + i_candidates.size() + 1);
    ItemBody** const lp_out = o_kept.data() + l_first;
    std::size_t l_matches = 0;
    for (ItemBody* const* lp_entry = ip_begin; lp_entry != ip_end; ++lp_entry) {
        lp_out[l_matches] = *lp_entry;
        l_matches += l_bits.Contains(*lp_entry);
    }
    o_kept.resize(l_first + l_matches);
}

} // namespace

ItemSet Data::GetItemSubset(ItemSet const& i_set, char const* ip_type) const
{
    Type* lp_type = GetType(ip_type);
    if (i_set.empty())
        return ItemSet();
    std::vector<std::pair<std::size_t, ItemBody*>> l_members;
    for (Item const& l_member : i_set) {
        if (l_member.IsNull())
            return ItemSet();
        l_members.emplace_back(StoreOps::GroupSize(l_member.Body(), lp_type), l_member.Body());
    }
    std::stable_sort(l_members.begin(), l_members.end(),
                     [](auto const& i_a, auto const& i_b) { return i_a.first < i_b.first; });

    // Start from the member with the fewest links; candidates stay in
    // creation order throughout. The working lists keep their memory from
    // one search to the next: a search for a common word goes through
    // hundreds of kilobytes of them, which fresh allocations would have the
    // system clear page by page every time.
    static thread_local std::vector<ItemBody*> s_candidates, s_kept;
    std::vector<ItemBody*>& l_candidates = s_candidates;
    l_candidates.clear();
    StoreOps::LiveOfType(l_members.front().second, lp_type, l_candidates);
    for (std::size_t l_index = 1; l_index < l_members.size() && !l_candidates.empty(); ++l_index) {
        ItemBody* lp_member = l_members[l_index].second;
        std::vector<ItemBody*>& l_kept = s_kept;
        l_kept.clear();
        l_kept.reserve(l_candidates.size());
        if (l_members[l_index].first <= SCAN_RATIO * l_candidates.size()) {
            auto l_range = GroupRange(lp_member->m_links, lp_type->m_index);
            KeepCandidatesInRun(lp_member->m_links.data() + l_range.first, lp_member->m_links.data() + l_range.second,
                                l_candidates, l_kept);
        } else {
            for (ItemBody* lp_candidate : l_candidates)
                if (IsLinked(lp_candidate, lp_member))
                    l_kept.push_back(lp_candidate);
        }
        l_candidates.swap(l_kept);
    }
    return StoreOps::SetOf(l_candidates);
}

Item Data::GetItem(ItemSet const& i_set, char const* ip_type) const
{
    return GetItemSubset(i_set, ip_type);
}

void Data::AddConnectionEventHandler(Type* ip_a, Type* ip_b, EventHandlerBase<ConnectionInfo&>* ip_handler)
{
    ip_handler->Adopt(); // before it may be deleted below: it must be held nowhere else
    if (!ip_a || !ip_b || !ip_a->IsRelatedTo(ip_b)) {
        delete ip_handler;
        throw NotRelatedException("AddConnectionEventHandler: the types are not related");
    }
    m_pairHandlers.push_back({ip_a, ip_b, ip_handler});
    Mark(m_pairTypes, ip_a);
    Mark(m_pairTypes, ip_b);
}

void Data::AddPathEventHandler(PathNode* ip_root, EventHandlerBase<Item>* ip_handler)
{
    if (ip_root->mp_parent || ip_root->m_subscribed)
        throw StoreException("AddPathEventHandler: not the root of a pattern, or one already subscribed");
    ip_handler->Adopt();
    ip_root->m_subscribed = true;
    PurgeSubscriptions();
    PathSubscription* lp_subscription = new PathSubscription{ip_root, ip_handler};
    m_paths.push_back(lp_subscription);
    IndexSteps(lp_subscription, ip_root);
}

bool Data::IsMarked(std::vector<bool> const& i_types, Type const* ip_type)
{
    return ip_type->m_index < i_types.size() && i_types[ip_type->m_index];
}

void Data::Mark(std::vector<bool>& io_types, Type const* ip_type)
{
    if (io_types.size() <= ip_type->m_index)
        io_types.resize(std::size_t(ip_type->m_index) + 1);
    io_types[ip_type->m_index] = true;
}

bool Data::IsInPattern(Type const* ip_type) const
{
    return IsMarked(m_patternTypes, ip_type);
}

void Data::IndexSteps(PathSubscription* ip_subscription, PathNode* ip_node)
{
    if (ip_node->mp_type)
        Mark(m_patternTypes, ip_node->mp_type);
    for (PathNode* lp_child : ip_node->m_children) {
        PathNodeRelation l_relation = lp_child->m_relation;
        bool l_fires = l_relation == PATH_CONNECTED_FIRES || l_relation == PATH_ON_CONNECT ||
                       l_relation == PATH_DISCONNECTED_FIRES || l_relation == PATH_ON_DISCONNECT;
        if (l_fires && ip_node->mp_type && lp_child->mp_type) {
            std::uint32_t l_key = (std::uint32_t(ip_node->mp_type->m_index) << 16) | lp_child->mp_type->m_index;
            m_firingSteps[l_key].push_back({ip_subscription, lp_child});
        }
        IndexSteps(ip_subscription, lp_child);
    }
}

void Data::PurgeSubscriptions()
{
    if (m_dispatchDepth > 0)
        return;
    if (m_pathsDirty) {
        m_pathsDirty = false;
        std::vector<PathSubscription*> l_kept;
        for (PathSubscription* lp_subscription : m_paths) {
            if (lp_subscription->mp_handler->IsRemoved()) {
                delete lp_subscription->mp_root;
                delete lp_subscription->mp_handler;
                delete lp_subscription;
            } else {
                l_kept.push_back(lp_subscription);
            }
        }
        m_paths.swap(l_kept);
        m_firingSteps.clear();
        m_patternTypes.clear();
        for (PathSubscription* lp_subscription : m_paths)
            IndexSteps(lp_subscription, lp_subscription->mp_root);
    }
    std::size_t l_kept = 0;
    for (std::size_t l_index = 0; l_index < m_pairHandlers.size(); ++l_index) {
        if (m_pairHandlers[l_index].mp_handler->IsRemoved())
            delete m_pairHandlers[l_index].mp_handler;
        else
            m_pairHandlers[l_kept++] = m_pairHandlers[l_index];
    }
    m_pairHandlers.resize(l_kept);
}

namespace {

// Whether i_links (in link order) hold the body.
bool HoldsBody(std::vector<Item> const& i_links, ItemBody const* ip_body)
{
    auto l_at = std::lower_bound(i_links.begin(), i_links.end(), ip_body->m_key,
                                 [](Item const& i_link, std::uint64_t i_key) { return i_link.Body()->m_key < i_key; });
    return l_at != i_links.end() && l_at->Body() == ip_body;
}

} // namespace

bool StoreOps::WasLinked(ItemBody* ip_a, ItemBody* ip_b, PriorState const* ip_prior)
{
    if (IsLinked(ip_a, ip_b))
        return true;
    if (!ip_prior)
        return false;
    if ((ip_a == ip_prior->mp_a && ip_b == ip_prior->mp_b) || (ip_a == ip_prior->mp_b && ip_b == ip_prior->mp_a))
        return true;
    for (Data::Removal const& l_removal : ip_a->mp_type->mp_data->m_removals)
        if ((l_removal.mp_body == ip_a && HoldsBody(l_removal.m_links, ip_b)) ||
            (l_removal.mp_body == ip_b && HoldsBody(l_removal.m_links, ip_a)))
            return true;
    return false;
}

void StoreOps::WereLinked(ItemBody* ip_item, Type const* ip_type, PriorState const* ip_prior,
                          std::vector<ItemBody*>& o_bodies)
{
    LiveOfType(ip_item, ip_type, o_bodies);
    if (!ip_prior)
        return;
    std::size_t const l_now = o_bodies.size();
    if (ip_item == ip_prior->mp_a && ip_prior->mp_b->mp_type == ip_type)
        o_bodies.push_back(ip_prior->mp_b);
    if (ip_item == ip_prior->mp_b && ip_prior->mp_a->mp_type == ip_type)
        o_bodies.push_back(ip_prior->mp_a);
    for (Data::Removal const& l_removal : ip_item->mp_type->mp_data->m_removals) {
        if (l_removal.mp_body == ip_item) {
            for (Item const& l_link : l_removal.m_links)
                if (l_link.Body()->mp_type == ip_type && IsLive(l_link.Body()))
                    o_bodies.push_back(l_link.Body());
        } else if (l_removal.mp_body->mp_type == ip_type && HoldsBody(l_removal.m_links, ip_item)) {
            o_bodies.push_back(l_removal.mp_body);
        }
    }
    if (o_bodies.size() == l_now)
        return;
    std::sort(o_bodies.begin(), o_bodies.end(), [](ItemBody* ip_x, ItemBody* ip_y) { return ip_x->m_key < ip_y->m_key; });
    o_bodies.erase(std::unique(o_bodies.begin(), o_bodies.end()), o_bodies.end());
}

bool StoreOps::Holds(PathNode const* ip_node, ItemBody* ip_item, PriorState const* ip_prior)
{
    for (PathNode const* lp_child : ip_node->GetChildren()) {
        PathNodeRelation l_relation = lp_child->GetRelation();
        if (l_relation == PATH_ON_CONNECT || l_relation == PATH_ON_DISCONNECT)
            continue;
        if (!lp_child->GetType())
            return false;
        bool l_found = false;
        if (lp_child->IsFixed()) {
            Item const& l_fixed = lp_child->GetFixedItem();
            l_found = !l_fixed.IsNull() && WasLinked(ip_item, l_fixed.Body(), ip_prior) &&
                      Holds(lp_child, l_fixed.Body(), ip_prior);
        } else {
            std::vector<ItemBody*> l_linked;
            WereLinked(ip_item, lp_child->GetType(), ip_prior, l_linked);
            for (ItemBody* lp_linked : l_linked)
                if (Holds(lp_child, lp_linked, ip_prior)) {
                    l_found = true;
                    break;
                }
        }
        bool l_mustBeLinked = l_relation == PATH_CONNECTED_FIRES || l_relation == PATH_CONNECTED;
        if (l_found != l_mustBeLinked)
            return false;
    }
    return true;
}

namespace {

// A fixed step whose item was removed never matches.
bool MatchesFixed(PathNode const* ip_node, ItemBody* ip_item)
{
    return !ip_node->GetFixedItem().IsNull() && ip_node->GetFixedItem().Body() == ip_item;
}

} // namespace

void Data::FireConnection(ItemBody* ip_a, ItemBody* ip_b, bool i_connected)
{
    Type* lp_typeA = ip_a->mp_type;
    Type* lp_typeB = ip_b->mp_type;
    // Most links have nobody listening (a share's tokens, while it is built),
    // even while handlers listen to other pairs of types: a type-pair
    // handler or a path step can only concern a link whose two types both
    // appear in one.
    Event<ConnectionInfo&>& l_eventA = i_connected ? lp_typeA->m_connectEvent : lp_typeA->m_disconnectEvent;
    Event<ConnectionInfo&>& l_eventB = i_connected ? lp_typeB->m_connectEvent : lp_typeB->m_disconnectEvent;
    Event<ConnectionInfo&>& l_event = i_connected ? m_connectEvent : m_disconnectEvent;
    bool const l_pairs = i_connected && IsMarked(m_pairTypes, lp_typeA) && IsMarked(m_pairTypes, lp_typeB);
    bool const l_paths = IsInPattern(lp_typeA) && IsInPattern(lp_typeB);
    if (l_eventA.IsEmpty() && l_eventB.IsEmpty() && l_event.IsEmpty() && !l_pairs && !l_paths)
        return;
    Item l_a(ip_a), l_b(ip_b);
    ++m_dispatchDepth;
    {
        ConnectionInfo l_info{l_a, l_b};
        l_eventA.Fire(l_info);
    }
    if (lp_typeB != lp_typeA) {
        ConnectionInfo l_info{l_b, l_a};
        l_eventB.Fire(l_info);
    }
    {
        ConnectionInfo l_info{l_a, l_b};
        l_event.Fire(l_info);
    }
    if (l_pairs) {
        std::vector<PairHandler> l_handlers(m_pairHandlers);
        for (PairHandler const& l_pair : l_handlers) {
            if (l_pair.mp_handler->IsRemoved())
                continue;
            if (l_pair.mp_a == lp_typeA && l_pair.mp_b == lp_typeB) {
                ConnectionInfo l_info{l_a, l_b};
                l_pair.mp_handler->Handle(l_info);
            } else if (l_pair.mp_a == lp_typeB && l_pair.mp_b == lp_typeA) {
                ConnectionInfo l_info{l_b, l_a};
                l_pair.mp_handler->Handle(l_info);
            }
        }
    }
    if (l_paths)
        FirePaths(ip_a, ip_b, i_connected);
    --m_dispatchDepth;
    PurgeSubscriptions();
}

void Data::FirePaths(ItemBody* ip_a, ItemBody* ip_b, bool i_connected)
{
    if (m_firingSteps.empty())
        return;
    for (int l_orientation = 0; l_orientation < 2; ++l_orientation) {
        ItemBody* lp_parent = l_orientation == 0 ? ip_a : ip_b;
        ItemBody* lp_child = l_orientation == 0 ? ip_b : ip_a;
        if (l_orientation == 1 && ip_a->mp_type == ip_b->mp_type)
            break;
        std::uint32_t l_key = (std::uint32_t(lp_parent->mp_type->m_index) << 16) | lp_child->mp_type->m_index;
        auto l_found = m_firingSteps.find(l_key);
        if (l_found == m_firingSteps.end())
            continue;
        std::vector<FiringStep> l_steps(l_found->second);
        PriorState const l_prior{lp_parent, lp_child};
        for (FiringStep const& l_step : l_steps) {
            EventHandlerBase<Item>* lp_handler = l_step.mp_subscription->mp_handler;
            if (lp_handler->IsRemoved()) {
                m_pathsDirty = true;
                continue;
            }
            PathNode const* lp_node = l_step.mp_node;
            PathNodeRelation l_relation = lp_node->m_relation;
            bool l_firesOnConnect = l_relation == PATH_CONNECTED_FIRES || l_relation == PATH_ON_CONNECT;
            if (l_firesOnConnect != i_connected)
                continue;
            if (lp_node->m_isFixed && !MatchesFixed(lp_node, lp_child))
                continue;
            PathNode const* lp_parentNode = lp_node->mp_parent;
            if (lp_parentNode->m_isFixed && !MatchesFixed(lp_parentNode, lp_parent))
                continue;
            // Below the changed link: a new link's end must meet its
            // conditions now; a broken link's end must have met them before
            // the change, or the link was never part of the pattern.
            if (!StoreOps::Holds(lp_node, lp_child, i_connected ? nullptr : &l_prior))
                continue;
            // At the link and above: as things are now, so that "must not be
            // linked" holds once the last such link is gone.
            if (!IsLive(lp_parent) || !StoreOps::Holds(lp_parentNode, lp_parent, nullptr))
                continue;

            // Walk up the pattern to the root items that reach this link.
            std::vector<ItemBody*> l_candidates{lp_parent};
            PathNode const* lp_level = lp_parentNode;
            while (lp_level->mp_parent && !l_candidates.empty()) {
                PathNode const* lp_up = lp_level->mp_parent;
                std::vector<ItemBody*> l_next;
                for (ItemBody* lp_item : l_candidates) {
                    std::vector<ItemBody*> l_linked;
                    StoreOps::LiveOfType(lp_item, lp_up->mp_type, l_linked);
                    for (ItemBody* lp_linked : l_linked) {
                        if (lp_up->m_isFixed && !MatchesFixed(lp_up, lp_linked))
                            continue;
                        if (StoreOps::Holds(lp_up, lp_linked, nullptr))
                            l_next.push_back(lp_linked);
                    }
                }
                std::sort(l_next.begin(), l_next.end(),
                          [](ItemBody* ip_x, ItemBody* ip_y) { return ip_x->m_key < ip_y->m_key; });
                l_next.erase(std::unique(l_next.begin(), l_next.end()), l_next.end());
                l_candidates.swap(l_next);
                lp_level = lp_up;
            }
            std::vector<Item> l_roots(l_candidates.begin(), l_candidates.end());
            for (Item const& l_root : l_roots) {
                if (lp_handler->IsRemoved())
                    break;
                if (!l_root.IsNull())
                    lp_handler->Handle(l_root);
            }
        }
    }
}

void Data::RemoveDisconnectedItems()
{
    // Owned items that lost every owner go first; removing one can orphan
    // what it owned, so repeat until nothing changes.
    for (bool l_changed = true; l_changed;) {
        l_changed = false;
        for (std::size_t l_typeIndex = 0; l_typeIndex < m_types.size(); ++l_typeIndex) {
            Type* lp_type = m_types[l_typeIndex];
            std::vector<Type*> l_owners;
            for (Type::Relation const& l_relation : lp_type->m_relations)
                if (l_relation.m_ownedBy)
                    l_owners.push_back(l_relation.mp_other);
            if (l_owners.empty())
                continue;
            std::vector<Item> l_orphans;
            for (ItemBody* lp_entry : lp_type->m_items) {
                if (IsDead(lp_entry))
                    continue;
                bool l_owned = false;
                for (Type* lp_owner : l_owners)
                    if (StoreOps::FirstLive(lp_entry, lp_owner)) {
                        l_owned = true;
                        break;
                    }
                if (!l_owned)
                    l_orphans.emplace_back(lp_entry);
            }
            for (Item const& l_orphan : l_orphans) {
                if (l_orphan.IsNull())
                    continue;
                l_orphan.Remove();
                // An item whose removal is under way further up (a handler
                // of it collecting) or was broken off by an exception stays
                // as it is: counting it would go round for ever.
                l_changed = l_changed || l_orphan.IsNull();
            }
        }
    }

    // Then mark everything reachable from the items of root types; leaf
    // items are marked but not followed.
    std::vector<ItemBody*> l_stack;
    for (Type* lp_type : m_types)
        for (ItemBody* lp_entry : lp_type->m_items)
            if (!IsDead(lp_entry)) {
                lp_entry->m_marked = lp_type->m_primacy == ROOT;
                if (lp_entry->m_marked)
                    l_stack.push_back(lp_entry);
            }
    while (!l_stack.empty()) {
        ItemBody* lp_item = l_stack.back();
        l_stack.pop_back();
        if (lp_item->mp_type->m_primacy == LEAF)
            continue;
        for (ItemBody* lp_entry : lp_item->m_links) {
            if (IsDead(lp_entry) || lp_entry->m_marked)
                continue;
            lp_entry->m_marked = true;
            l_stack.push_back(lp_entry);
        }
    }
    std::vector<Item> l_unreached;
    std::vector<std::size_t> l_slots;
    for (Type* lp_type : m_types)
        for (std::size_t l_slot = 0; l_slot < lp_type->m_items.size(); ++l_slot) {
            ItemBody* const lp_entry = lp_type->m_items[l_slot];
            if (!IsDead(lp_entry) && !lp_entry->m_marked) {
                l_unreached.emplace_back(lp_entry);
                l_slots.push_back(l_slot);
            }
        }
    // In order; runs that nobody hears go as a batch. A handler of a removal
    // may change which removals are heard, so each run is judged when it
    // starts.
    std::size_t const l_count = l_unreached.size();
    for (std::size_t l_at = 0; l_at < l_count;) {
        if (l_at + PREFETCH_AHEAD < l_count)
            __builtin_prefetch(l_unreached[l_at + PREFETCH_AHEAD].Body(), 1);
        ItemBody* const lp_body = l_unreached[l_at].Body();
        if (!IsLive(lp_body) || lp_body->m_removing) {
            ++l_at;
        } else if (StoreOps::RemovesSilently(this, lp_body->mp_type)) {
            l_at = StoreOps::RemoveSilently(this, l_unreached, l_slots, l_at);
        } else {
            StoreOps::Remove(lp_body, l_slots[l_at]);
            ++l_at;
        }
    }
    // Most of the bodies go with their last handles here, in an order the
    // cache cannot guess.
    for (std::size_t l_at = 0; l_at < l_count; ++l_at) {
        if (l_at + PREFETCH_AHEAD < l_count)
            __builtin_prefetch(l_unreached[l_at + PREFETCH_AHEAD].Body(), 1);
        l_unreached[l_at] = Item();
    }
}

void Data::Reset()
{
    // Every handler is held in exactly one place (Adopt), so each is deleted
    // once, in this order: path subscriptions with their patterns, type-pair
    // handlers, the store's own events, then each type's events in the
    // order the types were declared. A handler's owner that is still alive
    // is told (it forgets the handler); one that died before only marked it.
    for (PathSubscription* lp_subscription : m_paths) {
        delete lp_subscription->mp_root;
        delete lp_subscription->mp_handler;
        delete lp_subscription;
    }
    m_paths.clear();
    m_firingSteps.clear();
    m_patternTypes.clear();
    m_pairTypes.clear();
    for (PairHandler& l_pair : m_pairHandlers)
        delete l_pair.mp_handler;
    m_pairHandlers.clear();
    m_newItemEvent.Clear();
    m_removedItemEvent.Clear();
    m_connectEvent.Clear();
    m_disconnectEvent.Clear();

    // Unlink everything without events, then let go of the store's
    // references; handles still held elsewhere read as null from now on.
    std::vector<ItemBody*> l_bodies;
    for (Type* lp_type : m_types) {
        lp_type->m_newItemEvent.Clear();
        lp_type->m_removedItemEvent.Clear();
        lp_type->m_connectEvent.Clear();
        lp_type->m_disconnectEvent.Clear();
        for (ItemBody* lp_entry : lp_type->m_items) {
            if (IsDead(lp_entry))
                l_bodies.push_back(Ptr(lp_entry)); // the tombstone's reference
            else
                lp_entry->m_removed = true;
        }
    }
    for (Type* lp_type : m_types)
        for (ItemBody* lp_entry : lp_type->m_items)
            if (!IsDead(lp_entry)) {
                for (ItemBody* lp_link : lp_entry->m_links)
                    if (IsDead(lp_link))
                        l_bodies.push_back(Ptr(lp_link));
                lp_entry->m_links.clear();
                lp_entry->m_deadLinks = 0;
            }
    for (Type* lp_type : m_types) {
        for (ItemBody* lp_entry : lp_type->m_items)
            if (!IsDead(lp_entry))
                l_bodies.push_back(lp_entry);
        lp_type->m_items.clear();
        lp_type->m_byValue.Clear();
    }
    for (ItemBody* lp_body : l_bodies)
        Release(lp_body);
    for (Type* lp_type : m_types)
        delete lp_type;
    m_types.clear();
    m_typesByName.clear();
    m_liveItems = 0;
    m_pathsDirty = false;
}

// ------------------------------------------------------------ DataHandler

EventHandlerRoot::~EventHandlerRoot()
{
    if (mp_dataHandler)
        mp_dataHandler->ForgetHandler(this);
}

void EventHandlerRoot::Adopt()
{
    if (m_adopted)
        throw StoreException("an event handler handed to the store twice");
    m_adopted = true;
}

void EventHandlerRoot::AttachTo(DataHandler* ip_owner)
{
    mp_dataHandler = ip_owner;
    if (ip_owner)
        ip_owner->RegisterHandler(this);
}

DataHandler::~DataHandler()
{
    for (EventHandlerRoot* lp_handler : m_handlers) {
        lp_handler->mp_dataHandler = nullptr;
        lp_handler->MarkRemoved();
    }
}

void DataHandler::RegisterHandler(EventHandlerRoot* ip_handler)
{
    m_handlers.push_back(ip_handler);
}

void DataHandler::ForgetHandler(EventHandlerRoot* ip_handler)
{
    auto l_it = std::find(m_handlers.begin(), m_handlers.end(), ip_handler);
    if (l_it != m_handlers.end())
        m_handlers.erase(l_it);
}
