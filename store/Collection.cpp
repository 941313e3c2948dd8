// The store's garbage collection, in steps, looking only at what changed.
//
// After a collection every item left is reached from a root (or owned).
// Only two things can change that: a broken link (either end may have lost
// what reached or owned it) and a new item (nothing may ever reach it).
// So the store notes the ends of every broken link (StoreOps::NoteUnlinked;
// ends that are roots' items are always reached and not noted), and the
// next collection looks at those and at the items made since it last
// looked, found by their serials. An item X that a root reached and that
// none reaches now lost a link on its way from the root; the end of the
// last such link on X's side is noted, and X is still joined to it by the
// links that did not change. So a search from every noted or new item
// through the links that lead on (not from leaf items) finds everything
// that no root reaches:
//
// - from an item that is not a leaf, a depth-first search through items
//   that are not leaves, until it meets a root's item or an item already
//   found reached (then everything it went through is reached), or runs
//   out (then none of it is);
// - a leaf is reached when one of the items that lead on and are linked to
//   it is (each searched in turn); the leaves linked to what a search found
//   unreached are looked at the same way.
//
// The cost is that of what changed and of what it is joined to up to a
// root, not that of the store: a million shared files that did not change
// cost nothing. Owned items are looked at the same way: an owned item can
// lose its last owner only by a broken link, or be made without one.
//
// A collection runs in steps of bounded work (ContinueCollection), and the
// store may change between them (StoreOps::NoteLinked, NoteUnlinked). A
// link broken meanwhile is noted for the next collection. What is linked
// to an item of the search under way is met by the search as if it had
// read it, and a link to the leaf being looked at has its links read
// again; a link to an item found unreached has it, and the unreached items
// joined to it, looked at again, and an orphan taken in an earlier step
// is looked at again for an owner. Items made meanwhile are the next
// collection's. The unreached items go in the order of their types'
// declaration and of their creation, with the usual events; a step that
// finds the store reset by a handler ends the collection.
#include "store/StoreInternals.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <queue>
#include <utility>

namespace {

// Link entries read or items handled in one step: a few hundred
// microseconds where every one is a cache miss.
std::ptrdiff_t s_stepWork = 4096;
std::size_t s_mostLinksDropped = 0;
// The most entries one step let go of or passed over
// (Data::MostSpentEntriesInAStep).
std::size_t s_mostSpent = 0;
// The most owned items one step noted, sorted or merged.
std::size_t s_mostOwnedHandled = 0;
// What a removal with its events counts for: its handlers' work is not
// known, so a step holds few of them.
constexpr std::ptrdiff_t EVENTED_REMOVAL_WORK = 256;
// How many of an item's links the search reads for a root's item or a
// reached item before going on from the first: a file reached through its
// folder is then found in one look instead of through its name's
// thousands of other files.
constexpr std::size_t LOOK_AHEAD = 16;
// How far ahead a read of a run of links fetches the linked bodies.
constexpr std::size_t LINK_PREFETCH = 8;
// Removals handed to the silent batch at once, and entries of the
// unreached list sorted at once (about a millisecond each).
constexpr std::ptrdiff_t BATCH = 1024;
constexpr std::ptrdiff_t SORT_CHUNK = 16384;
// Chunks whose pages go back at once (each a system call, a quarter of a
// millisecond).
constexpr std::size_t RETURNED_CHUNKS = 4;

// A list sorted in chunks of a step's share each, then read in key order
// through a heap of the chunks' next entries: no step sorts or merges the
// whole list. i_key gives an entry's key.
class ChunkMerge
{
public:
    void Start()
    {
        m_chunk = std::size_t(std::clamp<std::ptrdiff_t>(s_stepWork * 4, 2, SORT_CHUNK));
        m_sortedUpTo = 0;
        m_heap = Heap();
    }
    // Sorts the next chunk, its work taken off io_work; returns how many
    // entries it sorted.
    template <class List, class KeyOf>
    std::size_t SortChunk(List& io_list, KeyOf const& i_key, std::ptrdiff_t& io_work)
    {
        std::size_t const l_end = std::min(io_list.size(), m_sortedUpTo + m_chunk);
        std::sort(io_list.begin() + std::ptrdiff_t(m_sortedUpTo), io_list.begin() + std::ptrdiff_t(l_end),
                  [&i_key](auto const& i_a, auto const& i_b) { return i_key(i_a) < i_key(i_b); });
        std::size_t const l_sorted = l_end - m_sortedUpTo;
        io_work -= std::ptrdiff_t(l_sorted) / 4 + 1;
        if (m_sortedUpTo < l_end)
            m_heap.push({i_key(io_list[m_sortedUpTo]), m_sortedUpTo});
        m_sortedUpTo = l_end;
        return l_sorted;
    }
    template <class List>
    bool IsSorted(List const& i_list) const
    {
        return m_sortedUpTo == i_list.size();
    }
    // The place of the next entry in key order; false once all are read.
    template <class List, class KeyOf>
    bool Next(List const& i_list, KeyOf const& i_key, std::size_t& o_at)
    {
        if (m_heap.empty())
            return false;
        o_at = m_heap.top().second;
        m_heap.pop();
        std::size_t const l_chunkEnd = std::min(i_list.size(), (o_at / m_chunk + 1) * m_chunk);
        if (o_at + 1 < l_chunkEnd)
            m_heap.push({i_key(i_list[o_at + 1]), o_at + 1});
        return true;
    }
    bool IsEmpty() const { return m_heap.empty(); }
    // The place Next gives next; not while IsEmpty.
    std::size_t NextAt() const { return m_heap.top().second; }

private:
    typedef std::pair<std::uint64_t, std::size_t> Entry;
    typedef std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> Heap;
    std::size_t m_sortedUpTo = 0;
    std::size_t m_chunk = 1;
    Heap m_heap;
};

std::uint64_t SerialOf(Item const& i_item)
{
    return i_item.Serial();
}

bool LeadsOn(Type const* ip_type)
{
    return ip_type->GetPrimacy() != LEAF;
}

// Whether what is linked to this item is reached through it: a root's
// item, or one found reached that leads on.
bool ReachesOn(ItemBody const* ip_body)
{
    // (An item removed whose links are still being dropped reaches nothing.)
    if (ip_body->m_removed)
        return false;
    Primacy const l_primacy = ip_body->mp_type->GetPrimacy();
    return l_primacy == ROOT || (l_primacy != LEAF && MarkOf(ip_body) == MARK_REACHED);
}

// Where a type's list holds the body, searched from io_cursor on (the
// removals of one batch come in creation order, so each is found a few
// entries after the one before): galloping, then a binary search in the
// last gap. std::size_t(-1) where it is not.
std::size_t SlotFrom(std::vector<ItemBody*> const& i_items, ItemBody const* ip_body, std::size_t& io_cursor)
{
    std::uint64_t const l_key = ip_body->m_key;
    std::size_t const l_size = i_items.size();
    std::size_t l_low = io_cursor < l_size && Ptr(i_items[io_cursor])->m_key <= l_key ? io_cursor : 0;
    std::size_t l_step = 1;
    std::size_t l_high = l_low;
    while (l_high < l_size && Ptr(i_items[l_high])->m_key < l_key) {
        l_low = l_high + 1;
        l_high = l_low + l_step;
        l_step *= 2;
    }
    l_high = std::min(l_high, l_size);
    auto const l_it = std::lower_bound(i_items.begin() + std::ptrdiff_t(l_low), i_items.begin() + std::ptrdiff_t(l_high),
                                       l_key, [](ItemBody* ip_entry, std::uint64_t i_k) { return Ptr(ip_entry)->m_key < i_k; });
    std::size_t const l_at = std::size_t(l_it - i_items.begin());
    io_cursor = l_at;
    return l_at < l_size && i_items[l_at] == ip_body ? l_at : std::size_t(-1);
}

// Where a reading of a link vector stands: the next entry, and the key of
// the last live one read, by which the place is found again when the
// vector changed meanwhile (one is compacted once half of it is broken
// links, which moves the entries down).
struct LinkCursor
{
    std::size_t m_next = 0;
    std::uint64_t m_lastKey = 0;
    std::uint64_t m_seen = 0; // the store's count of link changes when m_next was sure
};

// The index of the next entry to read (the size at the end).
std::size_t NextEntry(LinkVector const& i_links, LinkCursor& io_cursor, std::uint64_t i_linkChanges)
{
    if (io_cursor.m_seen != i_linkChanges) {
        io_cursor.m_seen = i_linkChanges;
        std::size_t const l_next = io_cursor.m_next;
        if (io_cursor.m_lastKey == 0)
            io_cursor.m_next = 0; // only broken links read so far
        else if (!(l_next - 1 < i_links.size() && Ptr(i_links[l_next - 1])->m_key == io_cursor.m_lastKey))
            io_cursor.m_next = LowerBound(i_links, io_cursor.m_lastKey + 1);
    }
    return io_cursor.m_next;
}

} // namespace

struct CollectionRun
{
    enum Phase { OWNED, TAKE, SEARCH, LEAVES, SORT, REMOVE, RELEASE, CLEAR, RETURN, DONE };

    explicit CollectionRun(Data& io_data) : m_data(io_data) {}
    // One step; false once the collection has ended.
    bool Step();

private:
    struct Frame
    {
        ItemBody* mp_body; // held by m_searched
        LinkCursor m_cursor;
    };
    struct Unreached
    {
        std::uint64_t m_key;
        Item m_item;
    };

    // Owned items without an owner, in passes over the owned types until
    // one removes nothing.
    void OwnedStep();
    void BeginPass();
    // The owned items made since the last pass, noted a step's work at a
    // time; false once all are.
    bool NoteNewOwned();
    // A type's noted items, sorted in chunks and merged into its orphans,
    // a step's work at a time; false once its orphans are taken.
    bool TakeOrphans(Type* ip_type);
    bool IsOwned(ItemBody const* ip_body) const
    {
        for (Type* lp_owner : m_owners)
            if (StoreOps::FirstLive(ip_body, lp_owner))
                return true;
        return false;
    }
    // Items noted so far, each to its type's list, a step's work at a
    // time; false once none is left.
    bool SortOwnedNoted();
    void Take();
    // Whatever was noted or made since the last collection; false when
    // nothing of the kind is left, true with a null item when the step's
    // work ran out first (a closed tab leaves millions of noted items gone
    // since, each passed over at a unit of work).
    bool NextToSearch(Item& o_item);
    bool NextLeaf(Item& o_item);
    bool NextNew(bool i_leaves, Item& o_item);
    // Once in the list, however often a search meets it.
    void QueueLeaf(Item&& i_leaf)
    {
        if (!(i_leaf.Body()->m_collection & LEAF_QUEUED)) {
            i_leaf.Body()->m_collection |= LEAF_QUEUED;
            m_leaves.push_back(std::move(i_leaf));
        }
    }
    void BeginSearch(ItemBody* ip_from);
    bool Visit(ItemBody* ip_body); // true: a root reaches it
    void SearchStep();
    void EndSearch(bool i_reached);
    void FinishStep();
    void LeafStep();
    // An item met by the search: a leaf is noted, one that leads on is
    // gone through; true when it ended the search (reached).
    bool Meet(ItemBody* ip_body);
    void LinkedToSearch();
    void Revive();
    void AbandonUnreachedFinish();
    void SortStep();
    bool NextUnreached(Item& o_item);
    void RemoveStep();
    bool HasMoreToLookAt() const;
    void FreeLists();
    // Handles let go of, or entries of items gone passed over, in this step.
    void Spent(std::size_t i_entries)
    {
        m_spent += i_entries;
        s_mostSpent = std::max(s_mostSpent, m_spent);
    }
    // Moves keys of old key tables within the step's work; false once none
    // is left.
    bool MoveOldKeys();
    bool ResetMeanwhile() const { return m_data.m_resets != m_resets; }

    Data& m_data;
    std::uint64_t const m_resets = m_data.m_resets;
    std::uint64_t m_steps = 0;
    Phase m_phase = OWNED;
    std::ptrdiff_t m_work = 0;
    std::size_t m_spent = 0; // in this step

    // OWNED
    bool m_passStarted = false;
    bool m_newOwnedNoted = false;
    std::uint64_t m_newOwnedTo = 0; // the pass's new owned items are below this serial
    std::size_t m_newOwnedType = 0;
    std::uint64_t m_newOwnedSerial = 0;
    // The orphans of the type being taken: its noted items sorted in
    // chunks, then merged through a heap of the chunks' next entries.
    enum OrphanStage { GATHER, SORT_NOTED, MERGE_NOTED };
    OrphanStage m_orphanStage = GATHER;
    ChunkMerge m_ownedMerge;
    ItemBody const* mp_lastMerged = nullptr;
    std::size_t m_ownedHandled = 0; // in this step
    bool m_passRemoved = false;
    std::size_t m_ownedType = 0;
    std::vector<std::vector<Item>> m_owned; // by type index
    std::vector<Item> m_orphans;
    std::size_t m_nextOrphan = 0;
    bool m_orphansTaken = false;
    std::uint64_t m_orphansStep = 0; // the step that took them
    std::vector<Type*> m_owners;

    // SEARCH and LEAVES: what is looked at (the noted items taken from
    // the front, so that the list's blocks go as they are read).
    std::deque<Item> m_noted;
    std::uint64_t m_newFrom = 0, m_newTo = 0;
    std::size_t m_newType = 0;
    std::uint64_t m_newSerial = 0;
    std::size_t m_newAt = 0;
    bool m_newDone[2] = {false, false}; // leading on, leaves
    std::vector<Item> m_leaves;  // leaves to look at (LEAF_QUEUED), taken from the back
    std::vector<Item> m_recheck; // found unreached, linked to again since

    // The search under way.
    bool m_searching = false;
    std::vector<Frame> m_stack;
    std::vector<Item> m_searched;  // the items it went through
    std::vector<Item> m_leavesMet; // leaves linked to them
    // An ended search whose items are being marked, each handle moved from
    // the lists above to the list of its verdict.
    bool m_finishing = false;
    bool m_verdict = false;
    std::size_t m_unreachedFrom = 0; // the entries of m_unreached it added

    // The leaf being looked at, and where in its links.
    Item m_leaf;
    LinkCursor m_leafCursor;

    // Items found unreached that something linked to since: the unreached
    // items joined to them are looked at again.
    std::vector<Item> m_reviving;

    // What a collection finds, in deques: a list of millions grown by
    // doubling copied itself in one step (30 MB and 100 ms once an unshare
    // of two million files under way left far more unreached than was
    // noted or new), while a deque grows a block at a time.
    std::deque<Item> m_reached;
    std::deque<Unreached> m_unreached;

    // SORT and REMOVE: the unreached list sorted in chunks, merged through
    // a heap of the chunks' next entries.
    ChunkMerge m_unreachedMerge;
    static std::uint64_t KeyOf(Unreached const& i_entry) { return i_entry.m_key; }
    std::vector<Item> m_batch;
    std::vector<std::size_t> m_slots;
    std::size_t m_batchAt = 0;
    std::deque<Item> m_gone; // handles of what was removed, let go of at the end
    bool m_emptiedReturned = false;
    std::size_t m_trimStep = 0;
};

// ------------------------------------------------------------- the step

bool CollectionRun::Step()
{
    m_work = s_stepWork;
    m_ownedHandled = 0;
    m_spent = 0;
    ++m_steps;
    // References that compactions left to let go of (StoreInternals.h):
    // a share's worth is a few hundred steps of its own, so each step
    // takes a part beside its own work.
    m_work -= std::ptrdiff_t(ReleaseDeferredTags(std::size_t(s_stepWork / 2)));
    // The links of items removed with many (StoreOps::Remove) go first, a
    // step's worth at a time: the owned items they leave without an owner,
    // and what they leave unreached, are then this collection's to take.
    if (m_data.HasLinksOfRemoved()) {
        m_data.DropLinksOfRemoved();
        return !ResetMeanwhile();
    }
    while (m_work > 0) {
        if (!m_data.m_linkedToSearch.empty())
            LinkedToSearch();
        if (m_data.m_leafLinked) {
            // The leaf being looked at gained a link, perhaps where its
            // links were read already.
            m_data.m_leafLinked = false;
            m_leafCursor = LinkCursor();
        }
        if (!m_data.m_revived.empty() || !m_reviving.empty()) {
            Revive();
            continue;
        }
        switch (m_phase) {
        case OWNED:
            OwnedStep();
            s_mostOwnedHandled = std::max(s_mostOwnedHandled, m_ownedHandled);
            break;
        case TAKE:
            Take();
            break;
        case SEARCH:
        case LEAVES:
            if (m_finishing) {
                FinishStep();
            } else if (m_searching) {
                SearchStep();
            } else if (m_leaf.Body()) {
                LeafStep();
            } else {
                Item l_next;
                if (m_phase == SEARCH ? NextToSearch(l_next) : NextLeaf(l_next)) {
                    ItemBody* const lp_body = l_next.Body();
                    // (None: the step's work ran out.)
                    if (!IsLive(lp_body) || lp_body->m_removing || MarkOf(lp_body) != MARK_NONE ||
                        lp_body->mp_type->m_primacy == ROOT)
                        break;
                    if (LeadsOn(lp_body->mp_type))
                        BeginSearch(lp_body);
                    else {
                        m_leaf = std::move(l_next);
                        m_leafCursor = LinkCursor();
                    }
                } else if (m_phase == SEARCH) {
                    m_phase = LEAVES;
                } else {
                    m_phase = SORT;
                    m_unreachedMerge.Start();
                }
            }
            break;
        case SORT:
            SortStep();
            break;
        case REMOVE:
            RemoveStep();
            break;
        case RELEASE:
        case CLEAR: {
            // Most bodies go with their last handles here, in an order the
            // cache cannot guess; taken from the front, so that the list's
            // blocks go as they empty.
            std::deque<Item>& l_items = m_phase == RELEASE ? m_gone : m_reached;
            std::size_t const l_count = std::min(l_items.size(), std::size_t(m_work) * 4);
            for (std::size_t l_at = 0; l_at < l_count; ++l_at) {
                if (PREFETCH_AHEAD < l_items.size())
                    __builtin_prefetch(l_items[PREFETCH_AHEAD].Body(), 1);
                SetMark(l_items.front().Body(), MARK_NONE);
                l_items.pop_front();
            }
            Spent(l_count);
            m_work -= std::ptrdiff_t(l_count) / 4 + 1;
            if (l_items.empty()) {
                std::deque<Item>().swap(l_items);
                m_phase = m_phase == RELEASE ? CLEAR : RETURN;
            }
            break;
        }
        case RETURN:
            // The bodies that compactions' tags still held, then the pages
            // of the chunks the removals emptied, a few a time, then the
            // free tails of the pools and the heaps, a few chunks a time.
            if (DeferredTagCount() > 0) {
                m_work -= std::ptrdiff_t(ReleaseDeferredTags(std::size_t(std::max<std::ptrdiff_t>(m_work, 1))));
                break;
            }
            // The old key tables that erasures left to empty (ValueIndex),
            // a few thousand slots a step.
            if (MoveOldKeys())
                break;
            if (!m_emptiedReturned) {
                m_emptiedReturned = !ReturnEmptiedChunks(RETURNED_CHUNKS);
                // The collection's own lists go before the heaps are walked.
                if (m_emptiedReturned)
                    FreeLists();
            } else if (!ReturnFreedMemory(m_data.m_collectingHere, m_trimStep)) {
                m_phase = DONE;
            }
            m_work -= s_stepWork / 2;
            break;
        case DONE:
            return false;
        }
        if (ResetMeanwhile())
            return false;
    }
    return true;
}

// ------------------------------------------------------------ owned items

void CollectionRun::BeginPass()
{
    // What is made from here on is the next pass's.
    m_newOwnedTo = m_data.m_nextSerial;
    m_newOwnedType = 0;
    m_newOwnedSerial = m_data.m_ownedNewFrom;
    m_newOwnedNoted = false;
    m_passStarted = true;
    m_passRemoved = false;
    m_ownedType = 0;
    m_orphanStage = GATHER;
}

bool CollectionRun::NoteNewOwned()
{
    // Owned items made since the last pass may have no owner. A tab of
    // 250,000 answers makes as many; the walk goes on from the serial it
    // reached, found again in the list, which may have changed between
    // steps.
    std::vector<Type*> const& l_types = m_data.m_types;
    while (m_newOwnedType < l_types.size()) {
        Type* const lp_type = l_types[m_newOwnedType];
        std::vector<ItemBody*> const& l_items = lp_type->m_items;
        std::uint64_t const l_base = std::uint64_t(lp_type->m_index) << 48;
        std::size_t l_at = lp_type->m_owned ? LowerBound(l_items, l_base | m_newOwnedSerial) : l_items.size();
        for (; l_at < l_items.size() && Ptr(l_items[l_at])->m_key < (l_base | m_newOwnedTo); ++l_at) {
            if (m_work <= 0)
                return true;
            ItemBody* const lp_entry = l_items[l_at];
            m_newOwnedSerial = (Ptr(lp_entry)->m_key & SERIAL_MASK) + 1;
            --m_work;
            ++m_ownedHandled;
            if (!IsDead(lp_entry))
                StoreOps::NoteOwned(&m_data, lp_entry);
        }
        ++m_newOwnedType;
        m_newOwnedSerial = m_data.m_ownedNewFrom;
    }
    m_data.m_ownedNewFrom = m_newOwnedTo;
    m_newOwnedNoted = true;
    return false;
}

bool CollectionRun::SortOwnedNoted()
{
    if (m_owned.size() < m_data.m_types.size())
        m_owned.resize(m_data.m_types.size());
    std::deque<Item>& l_noted = m_data.m_ownedToCheck;
    while (!l_noted.empty()) {
        if (m_work <= 0)
            return true;
        Item l_item = std::move(l_noted.back());
        l_noted.pop_back();
        ItemBody* const lp_body = l_item.Body();
        lp_body->m_collection &= std::uint8_t(~NOTED_OWNED);
        --m_work;
        ++m_ownedHandled;
        if (IsLive(lp_body))
            m_owned[lp_body->mp_type->m_index].push_back(std::move(l_item));
    }
    return false;
}

bool CollectionRun::TakeOrphans(Type* ip_type)
{
    // The orphans of this type as they stand now, in creation order:
    // removals of the types before it in this pass count. Each of these
    // was one step over every item noted, and a closed search tab of
    // 250,000 answers notes them all (250 ms at once).
    if (m_orphanStage == GATHER) {
        if (SortOwnedNoted())
            return true;
        m_owners.clear();
        for (Type::Relation const& l_relation : ip_type->m_relations)
            if (l_relation.m_ownedBy)
                m_owners.push_back(l_relation.mp_other);
        m_ownedMerge.Start();
        m_orphanStage = SORT_NOTED;
    }
    std::vector<Item>& l_items = m_owned[ip_type->m_index];
    while (m_orphanStage == SORT_NOTED) {
        if (m_work <= 0)
            return true;
        m_ownedHandled += m_ownedMerge.SortChunk(l_items, SerialOf, m_work);
        if (m_ownedMerge.IsSorted(l_items)) {
            m_orphanStage = MERGE_NOTED;
            mp_lastMerged = nullptr;
            // Found in an earlier step than their removal, they are looked
            // at for an owner again then.
            m_orphansStep = m_steps;
        }
    }
    for (std::size_t l_at = 0; !m_ownedMerge.IsEmpty();) {
        if (m_work <= 0)
            return true;
        m_ownedMerge.Next(l_items, SerialOf, l_at);
        --m_work;
        ++m_ownedHandled;
        Item& l_item = l_items[l_at];
        // Noted more than once.
        if (l_item.Body() == mp_lastMerged)
            continue;
        mp_lastMerged = l_item.Body();
        if (IsLive(l_item.Body()) && !IsOwned(l_item.Body()))
            m_orphans.push_back(std::move(l_item));
    }
    mp_lastMerged = nullptr;
    std::vector<Item>().swap(l_items);
    m_orphanStage = GATHER;
    return false;
}

void CollectionRun::OwnedStep()
{
    if (!m_passStarted)
        BeginPass();
    if (!m_newOwnedNoted && NoteNewOwned())
        return;
    if (m_ownedType == m_data.m_types.size()) {
        if (m_passRemoved) {
            // Removing an item can orphan what it owned, of any type.
            m_passStarted = false;
            return;
        }
        // What was noted between this pass's steps is the next
        // collection's: those still noted stay so, and those taken to
        // their types' lists are noted again.
        for (std::vector<Item>& l_items : m_owned) {
            for (Item& l_item : l_items) {
                ItemBody* const lp_body = l_item.Body();
                if (IsLive(lp_body) && !(lp_body->m_collection & NOTED_OWNED)) {
                    lp_body->m_collection |= NOTED_OWNED;
                    m_data.m_ownedToCheck.push_back(std::move(l_item));
                }
            }
            m_work -= std::ptrdiff_t(l_items.size());
            std::vector<Item>().swap(l_items);
        }
        m_phase = TAKE;
        return;
    }
    Type* const lp_type = m_data.m_types[m_ownedType];
    if (!lp_type->m_owned) {
        ++m_ownedType;
        return;
    }
    if (!m_orphansTaken) {
        if (TakeOrphans(lp_type))
            return;
        m_orphansTaken = true;
        m_nextOrphan = 0;
    }
    while (m_nextOrphan < m_orphans.size() && m_work > 0) {
        Item const l_orphan = std::move(m_orphans[m_nextOrphan++]);
        if (l_orphan.IsNull())
            continue;
        // Taken in an earlier step, it may have an owner again.
        if (m_orphansStep != m_steps && IsOwned(l_orphan.Body()))
            continue;
        l_orphan.Remove();
        m_work -= EVENTED_REMOVAL_WORK;
        if (ResetMeanwhile())
            return;
        // An item whose removal is under way further up (a handler of it
        // collecting) or was broken off by an exception stays as it is:
        // counting it would go round for ever.
        m_passRemoved = m_passRemoved || l_orphan.IsNull();
    }
    if (m_nextOrphan == m_orphans.size()) {
        m_orphans.clear();
        m_orphansTaken = false;
        ++m_ownedType;
    }
}

// ------------------------------------------------------- what is looked at

void CollectionRun::Take()
{
    // From here on what is noted, and what is made, is the next
    // collection's; an item taken here is noted again once it is looked
    // at (its bit goes then).
    m_noted.swap(m_data.m_toCheck);
    m_newFrom = m_data.m_checkNewFrom;
    m_newTo = m_data.m_nextSerial;
    m_data.m_checkNewFrom = m_newTo;
    m_newType = 0;
    m_newSerial = m_newFrom;
    m_newAt = 0;
    // Room for the leaves, taken now: a list of millions grown by doubling
    // copied itself in one step (10 ms and more), while room not yet
    // touched costs nothing.
    m_leaves.reserve(m_noted.size());
    m_phase = SEARCH;
}

bool CollectionRun::NextToSearch(Item& o_item)
{
    // An item gone since it was noted is passed over, its handle let go of
    // (most often the last, its body freed with it): a tab of two million
    // folders, closed, leaves that many, each a unit of the step's work.
    while (!m_recheck.empty()) {
        if (m_work <= 0)
            return true;
        Item l_item = std::move(m_recheck.back());
        m_recheck.pop_back();
        --m_work;
        if (!IsLive(l_item.Body())) {
            Spent(1);
            continue;
        }
        if (!LeadsOn(l_item.Body()->mp_type)) {
            QueueLeaf(std::move(l_item));
            continue;
        }
        o_item = std::move(l_item);
        return true;
    }
    while (!m_noted.empty()) {
        if (m_work <= 0)
            return true;
        if (PREFETCH_AHEAD < m_noted.size())
            __builtin_prefetch(m_noted[PREFETCH_AHEAD].Body(), 1);
        if (PREFETCH_AHEAD / 2 < m_noted.size())
            __builtin_prefetch(m_noted[PREFETCH_AHEAD / 2].Body()->m_links.data());
        Item l_item = std::move(m_noted.front());
        m_noted.pop_front();
        ItemBody* const lp_body = l_item.Body();
        lp_body->m_collection &= std::uint8_t(~NOTED);
        --m_work;
        if (!IsLive(lp_body)) {
            Spent(1);
            continue;
        }
        if (!LeadsOn(lp_body->mp_type)) {
            QueueLeaf(std::move(l_item));
            continue;
        }
        o_item = std::move(l_item);
        return true;
    }
    return NextNew(false, o_item);
}

bool CollectionRun::NextLeaf(Item& o_item)
{
    if (!m_recheck.empty()) {
        // Linked to again while the leaves were looked at: what leads on
        // is searched first.
        m_phase = SEARCH;
        return NextToSearch(o_item);
    }
    if (!m_leaves.empty()) {
        o_item = std::move(m_leaves.back());
        m_leaves.pop_back();
        o_item.Body()->m_collection &= std::uint8_t(~LEAF_QUEUED);
        --m_work;
        return true;
    }
    return NextNew(true, o_item);
}

bool CollectionRun::NextNew(bool i_leaves, Item& o_item)
{
    if (m_newFrom >= m_newTo || m_newDone[i_leaves])
        return false;
    std::vector<Type*> const& l_types = m_data.m_types;
    while (m_newType < l_types.size()) {
        // (The entries of items made and removed since the last collection
        // are passed over within the step's work too.)
        if (m_work <= 0)
            return true;
        Type* const lp_type = l_types[m_newType];
        // A root's items are always reached.
        if (lp_type->m_primacy == ROOT || LeadsOn(lp_type) == i_leaves) {
            ++m_newType;
            m_newSerial = m_newFrom;
            m_newAt = 0;
            continue;
        }
        std::vector<ItemBody*> const& l_items = lp_type->m_items;
        std::uint64_t const l_base = std::uint64_t(lp_type->m_index) << 48;
        std::uint64_t const l_key = l_base | m_newSerial;
        // Where the last step left off, unless the list moved meanwhile.
        std::size_t l_at = m_newAt;
        if (l_at > l_items.size() || (l_at < l_items.size() && Ptr(l_items[l_at])->m_key < l_key) ||
            (l_at > 0 && Ptr(l_items[l_at - 1])->m_key >= l_key))
            l_at = LowerBound(l_items, l_key);
        if (l_at == l_items.size() || Ptr(l_items[l_at])->m_key >= (l_base | m_newTo)) {
            ++m_newType;
            m_newSerial = m_newFrom;
            m_newAt = 0;
            continue;
        }
        ItemBody* const lp_entry = l_items[l_at];
        m_newSerial = (Ptr(lp_entry)->m_key & SERIAL_MASK) + 1;
        m_newAt = l_at + 1;
        --m_work;
        if (IsDead(lp_entry)) {
            Spent(1);
            continue;
        }
        if (l_at + PREFETCH_AHEAD < l_items.size())
            __builtin_prefetch(Ptr(l_items[l_at + PREFETCH_AHEAD]), 1);
        o_item = Item(lp_entry);
        return true;
    }
    // The leaves' turn goes through the types again.
    m_newDone[i_leaves] = true;
    m_newType = 0;
    m_newSerial = m_newFrom;
    m_newAt = 0;
    return false;
}

// --------------------------------------------------------------- searches

void CollectionRun::BeginSearch(ItemBody* ip_from)
{
    m_searching = true;
    if (Visit(ip_from))
        EndSearch(true);
}

bool CollectionRun::Visit(ItemBody* ip_body)
{
    SetMark(ip_body, MARK_SEARCHING);
    m_searched.emplace_back(ip_body);
    LinkVector const& l_links = ip_body->m_links;
    std::size_t const l_look = std::min(l_links.size(), LOOK_AHEAD);
    for (std::size_t l_at = 0; l_at < l_look; ++l_at)
        __builtin_prefetch(l_links[l_at]);
    m_work -= std::ptrdiff_t(l_look) + 1;
    for (std::size_t l_at = 0; l_at < l_look; ++l_at) {
        ItemBody* const lp_entry = l_links[l_at];
        if (!IsDead(lp_entry) && ReachesOn(lp_entry))
            return true;
    }
    m_stack.push_back({ip_body, LinkCursor()});
    return false;
}

bool CollectionRun::Meet(ItemBody* ip_body)
{
    std::uint8_t const l_mark = MarkOf(ip_body);
    if (!LeadsOn(ip_body->mp_type)) {
        // (One waiting to be looked at is, whatever this search finds.)
        if (l_mark == MARK_NONE && !(ip_body->m_collection & LEAF_QUEUED)) {
            SetMark(ip_body, MARK_SEARCHING);
            m_leavesMet.emplace_back(ip_body);
        }
        return false;
    }
    // Met already, or joined to what a search found unreached: then so is
    // this (a link made to that since has it looked at again, Revive).
    if (!ReachesOn(ip_body) && (l_mark != MARK_NONE || !Visit(ip_body)))
        return false;
    EndSearch(true);
    return true;
}

void CollectionRun::LinkedToSearch()
{
    // Links made, since the last step, to items the search went through:
    // what they lead to is met as if read in their links (which the search
    // may have read already).
    std::vector<Item> l_linked;
    l_linked.swap(m_data.m_linkedToSearch);
    m_work -= std::ptrdiff_t(l_linked.size());
    if (m_finishing) {
        // Found unreached, but one of them is linked to something now.
        if (!m_verdict)
            AbandonUnreachedFinish();
        return;
    }
    if (!m_searching)
        return;
    for (Item const& l_item : l_linked)
        if (IsLive(l_item.Body()) && !l_item.Body()->m_removing && Meet(l_item.Body()))
            return;
}

void CollectionRun::SearchStep()
{
    while (m_work > 0) {
        if (m_stack.empty()) {
            EndSearch(false);
            return;
        }
        Frame& l_frame = m_stack.back();
        LinkVector const& l_links = l_frame.mp_body->m_links;
        std::size_t const l_at = NextEntry(l_links, l_frame.m_cursor, m_data.m_linkChanges);
        if (l_at >= l_links.size()) {
            m_stack.pop_back();
            continue;
        }
        ItemBody* const lp_entry = l_links[l_at];
        l_frame.m_cursor.m_next = l_at + 1;
        --m_work;
        // A long run of links is read body after body.
        if (l_at + LINK_PREFETCH < l_links.size())
            __builtin_prefetch(l_links[l_at + LINK_PREFETCH]);
        if (IsGone(lp_entry))
            continue;
        l_frame.m_cursor.m_lastKey = lp_entry->m_key;
        if (Meet(lp_entry))
            return;
    }
}

void CollectionRun::EndSearch(bool i_reached)
{
    m_stack.clear();
    m_searching = false;
    m_finishing = true;
    m_verdict = i_reached;
    m_unreachedFrom = m_unreached.size();
    FinishStep();
}

void CollectionRun::FinishStep()
{
    // Everything the search went through is reached if it met a root, or
    // else unreached; the leaves linked to it are reached in the first
    // case and looked at in the second. Each handle moves on, from the back
    // of the search's lists, which are empty at the end: a search through
    // the two million files of a share being unshared let go of its copies
    // of their handles at once (60 to 90 ms).
    // (Those found unreached are the last entries of the unreached list
    // until the end: a link made meanwhile to one of them makes them all
    // looked at again.)
    while (!m_searched.empty() && m_work > 0) {
        if (PREFETCH_AHEAD < m_searched.size())
            __builtin_prefetch(m_searched[m_searched.size() - 1 - PREFETCH_AHEAD].Body(), 1);
        Item l_item = std::move(m_searched.back());
        m_searched.pop_back();
        --m_work;
        if (m_verdict) {
            SetMark(l_item.Body(), MARK_REACHED);
            m_reached.push_back(std::move(l_item));
        } else {
            SetMark(l_item.Body(), MARK_UNREACHED);
            std::uint64_t const l_key = l_item.Body()->m_key;
            m_unreached.push_back({l_key, std::move(l_item)});
        }
    }
    while (m_searched.empty() && !m_leavesMet.empty() && m_work > 0) {
        Item l_leaf = std::move(m_leavesMet.back());
        m_leavesMet.pop_back();
        --m_work;
        if (m_verdict) {
            SetMark(l_leaf.Body(), MARK_REACHED);
            m_reached.push_back(std::move(l_leaf));
        } else {
            SetMark(l_leaf.Body(), MARK_NONE);
            QueueLeaf(std::move(l_leaf));
        }
    }
    if (m_searched.empty() && m_leavesMet.empty())
        m_finishing = false;
}

void CollectionRun::LeafStep()
{
    ItemBody* const lp_leaf = m_leaf.Body();
    // Gone meanwhile. Marked as searched while it is looked at, so that a
    // link made to it is seen (StoreOps::NoteLinked).
    if (!IsLive(lp_leaf)) {
        SetMark(lp_leaf, MARK_NONE);
        m_leaf = Item();
        return;
    }
    SetMark(lp_leaf, MARK_SEARCHING);
    while (m_work > 0) {
        LinkVector const& l_links = lp_leaf->m_links;
        std::size_t const l_at = NextEntry(l_links, m_leafCursor, m_data.m_linkChanges);
        if (l_at >= l_links.size()) {
            SetMark(lp_leaf, MARK_UNREACHED);
            m_unreached.push_back({lp_leaf->m_key, std::move(m_leaf)});
            return;
        }
        ItemBody* const lp_entry = l_links[l_at];
        --m_work;
        if (l_at + LINK_PREFETCH < l_links.size())
            __builtin_prefetch(l_links[l_at + LINK_PREFETCH]);
        if (IsGone(lp_entry) || !LeadsOn(lp_entry->mp_type)) {
            m_leafCursor.m_next = l_at + 1;
            continue;
        }
        if (ReachesOn(lp_entry)) {
            SetMark(lp_leaf, MARK_REACHED);
            m_reached.push_back(std::move(m_leaf));
            return;
        }
        if (MarkOf(lp_entry) != MARK_NONE) {
            m_leafCursor.m_next = l_at + 1;
            m_leafCursor.m_lastKey = lp_entry->m_key;
            continue;
        }
        // This entry is read again once the search has ended.
        BeginSearch(lp_entry);
        return;
    }
}

void CollectionRun::AbandonUnreachedFinish()
{
    // Those marked already, and those still to mark (the leaves marked
    // are queued to be looked at already).
    m_work -= std::ptrdiff_t(m_unreached.size() - m_unreachedFrom + m_searched.size() + m_leavesMet.size());
    for (; m_unreached.size() > m_unreachedFrom; m_unreached.pop_back()) {
        SetMark(m_unreached.back().m_item.Body(), MARK_NONE);
        m_recheck.push_back(std::move(m_unreached.back().m_item));
    }
    for (Item& l_item : m_searched) {
        SetMark(l_item.Body(), MARK_NONE);
        m_recheck.push_back(std::move(l_item));
    }
    for (Item& l_leaf : m_leavesMet) {
        SetMark(l_leaf.Body(), MARK_NONE);
        QueueLeaf(std::move(l_leaf));
    }
    m_searched.clear();
    m_leavesMet.clear();
    m_finishing = false;
    m_leafCursor = LinkCursor();
}

void CollectionRun::Revive()
{
    // An item found unreached was linked to since: it may be reached now,
    // and with it every unreached item joined to it through items that
    // lead on, and the unreached leaves linked to those. They are looked at
    // again (their entries in the unreached list are passed over).
    if (m_finishing && !m_verdict)
        AbandonUnreachedFinish();
    if (m_reviving.empty())
        m_reviving.swap(m_data.m_revived);
    while (!m_reviving.empty() && m_work > 0) {
        Item const l_item = std::move(m_reviving.back());
        m_reviving.pop_back();
        ItemBody* const lp_body = l_item.Body();
        --m_work;
        if (MarkOf(lp_body) != MARK_UNREACHED)
            continue;
        SetMark(lp_body, MARK_NONE);
        m_recheck.emplace_back(lp_body);
        // The leaf being looked at may have passed over it.
        m_leafCursor = LinkCursor();
        if (!LeadsOn(lp_body->mp_type))
            continue;
        for (ItemBody* lp_entry : lp_body->m_links) {
            --m_work;
            if (!IsGone(lp_entry) && MarkOf(lp_entry) == MARK_UNREACHED)
                m_reviving.emplace_back(lp_entry);
        }
    }
    // Their entries in the unreached list are passed over; removals under
    // way go on, and what is looked at again comes after them.
}

// --------------------------------------------------------------- removals

void CollectionRun::SortStep()
{
    // In chunks, each a step; the removals then merge them. The types'
    // declaration order, then creation order: the keys' order.
    m_unreachedMerge.SortChunk(m_unreached, KeyOf, m_work);
    if (m_unreachedMerge.IsSorted(m_unreached)) {
        m_batch.clear();
        m_batchAt = 0;
        m_phase = REMOVE;
    }
}

bool CollectionRun::NextUnreached(Item& o_item)
{
    std::size_t l_at = 0;
    if (!m_unreachedMerge.Next(m_unreached, KeyOf, l_at))
        return false;
    o_item = std::move(m_unreached[l_at].m_item);
    return true;
}

void CollectionRun::RemoveStep()
{
    while (m_work > 0) {
        if (m_batchAt == m_batch.size()) {
            // The next removals, in order, with where each stands in its
            // type's list.
            for (Item& l_item : m_batch)
                m_gone.push_back(std::move(l_item));
            m_batch.clear();
            m_slots.clear();
            m_batchAt = 0;
            Item l_item;
            Type const* lp_type = nullptr;
            std::size_t l_cursor = 0;
            std::size_t const l_batch = std::size_t(std::clamp<std::ptrdiff_t>(s_stepWork / 4, 1, BATCH));
            while (m_batch.size() < l_batch && NextUnreached(l_item)) {
                ItemBody* const lp_body = l_item.Body();
                if (!m_unreachedMerge.IsEmpty())
                    __builtin_prefetch(m_unreached[m_unreachedMerge.NextAt()].m_item.Body());
                std::size_t l_slot = std::size_t(-1);
                if (IsLive(lp_body)) {
                    if (lp_body->mp_type != lp_type) {
                        lp_type = lp_body->mp_type;
                        l_cursor = 0;
                    }
                    l_slot = SlotFrom(lp_type->m_items, lp_body, l_cursor);
                }
                m_batch.push_back(std::move(l_item));
                m_slots.push_back(l_slot);
            }
            m_work -= std::ptrdiff_t(m_batch.size());
            if (m_batch.empty()) {
                std::deque<Unreached>().swap(m_unreached);
                // What was linked to again while the removals went on is
                // looked at again; what it leaves unreached goes after.
                if (HasMoreToLookAt()) {
                    m_phase = SEARCH;
                } else {
                    m_phase = RELEASE;
                }
                return;
            }
        }
        ItemBody* const lp_body = m_batch[m_batchAt].Body();
        if (!IsLive(lp_body) || lp_body->m_removing || MarkOf(lp_body) != MARK_UNREACHED) {
            ++m_batchAt;
            continue;
        }
        if (StoreOps::RemovesSilently(&m_data, lp_body->mp_type)) {
            std::size_t const l_end = StoreOps::RemoveSilently(&m_data, m_batch, m_slots, m_batchAt);
            m_work -= std::ptrdiff_t(l_end - m_batchAt) * 4;
            m_batchAt = l_end;
        } else {
            StoreOps::Remove(lp_body, m_slots[m_batchAt]);
            ++m_batchAt;
            m_work -= EVENTED_REMOVAL_WORK;
            // A handler may have linked to what is to go, or reset the
            // store: the step looks first.
            return;
        }
    }
}

bool CollectionRun::MoveOldKeys()
{
    bool l_any = false;
    for (Type* lp_type : m_data.m_types) {
        if (!lp_type->m_byValue.HasOld())
            continue;
        l_any = true;
        // A slot looked at costs a quarter of a unit of the step's work:
        // most are read in order, and only live keys are written.
        std::size_t const l_slots = std::size_t(std::max<std::ptrdiff_t>(m_work, 1)) * 4;
        m_work -= std::ptrdiff_t(lp_type->m_byValue.MoveOld(l_slots)) / 4 + 1;
        if (m_work <= 0)
            break;
    }
    return l_any;
}

void CollectionRun::FreeLists()
{
    std::vector<std::vector<Item>>().swap(m_owned);
    for (std::vector<Item>* lp_list : {&m_orphans, &m_leaves, &m_recheck, &m_searched, &m_leavesMet,
                                       &m_reviving, &m_batch})
        std::vector<Item>().swap(*lp_list);
    for (std::deque<Item>* lp_list : {&m_reached, &m_gone, &m_noted})
        std::deque<Item>().swap(*lp_list);
    std::vector<Frame>().swap(m_stack);
    std::deque<Unreached>().swap(m_unreached);
    std::vector<std::size_t>().swap(m_slots);
    m_unreachedMerge = ChunkMerge();
}

bool CollectionRun::HasMoreToLookAt() const
{
    return !m_recheck.empty() || !m_leaves.empty() || m_searching || m_finishing || m_leaf.Body();
}

// ------------------------------------------------------------------ Data

std::size_t Data::PendingTagReleases()
{
    return DeferredTagCount();
}

std::size_t Data::MostEntriesCompactedAtOnce()
{
    return std::exchange(MostCompactedAtOnce(), 0);
}

std::size_t Data::MostOwnedItemsInAStep()
{
    return std::exchange(s_mostOwnedHandled, 0);
}

std::size_t Data::MostSpentEntriesInAStep()
{
    return std::exchange(s_mostSpent, 0);
}

std::size_t LinksDroppedAtOnce()
{
    return std::size_t(std::max<std::ptrdiff_t>(s_stepWork / 4, 1));
}

void NoteLinksDropped(std::size_t i_links)
{
    s_mostLinksDropped = std::max(s_mostLinksDropped, i_links);
}

std::size_t Data::MostLinksDroppedInAStep()
{
    return std::exchange(s_mostLinksDropped, 0);
}

void Data::SetCollectionStepWork(std::size_t i_work)
{
    s_stepWork = std::ptrdiff_t(std::max<std::size_t>(i_work, 1));
}

void Data::BeginCollection()
{
    if (!mp_collection)
        mp_collection = std::make_shared<CollectionRun>(*this);
}

bool Data::ContinueCollection()
{
    if (!mp_collection)
        return false;
    // From a handler that a step of the collection runs: that step goes on.
    if (m_collectionDepth > 0)
        return true;
    std::shared_ptr<CollectionRun> const lp_run = mp_collection;
    // The pools' chunks that the step empties give their pages back at the
    // collection's end, a few a step (BlockPool::ReleaseEmptied).
    struct Depth
    {
        int& m_depth;
        explicit Depth(int& io_depth) : m_depth(io_depth)
        {
            ++m_depth;
            BlockPool::DeferReleases(true);
        }
        ~Depth()
        {
            --m_depth;
            BlockPool::DeferReleases(false);
        }
    } const l_depth(m_collectionDepth);
    if (lp_run->Step())
        return true;
    // Ended, or cut off by a reset (which dropped it already).
    if (mp_collection == lp_run) {
        mp_collection.reset();
        m_revived.clear();
        m_linkedToSearch.clear();
    }
    return false;
}

void Data::RemoveDisconnectedItems()
{
    if (m_collectionDepth > 0)
        return;
    // One under way took its lists at its start; a whole one after it
    // takes what changed since. The memory it frees goes back before this
    // returns (the saves at the end, and tests, read it).
    struct Here
    {
        bool& m_here;
        explicit Here(bool& io_here) : m_here(io_here) { m_here = true; }
        ~Here() { m_here = false; }
    } const l_here(m_collectingHere);
    while (ContinueCollection()) {
    }
    BeginCollection();
    while (ContinueCollection()) {
    }
}
