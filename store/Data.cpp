// The store itself: its types by name, lookups across items, the registry
// of connection and path handlers, its reset, and DataHandler. The rest of
// the store is in files named by concern: Item.cpp (values, items, sets),
// Type.cpp, Links.cpp (links and their events), PathPatterns.cpp,
// Collection.cpp, ItemBodies.cpp (pools); StoreInternals.h holds what they
// share.
#include "store/StoreInternals.h"

#include "store/BodyTable.h"

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
    // Removed items whose links were still being dropped: the links' other
    // ends let go of theirs above.
    for (Item const& l_removed : m_unlinking) {
        for (ItemBody* lp_link : l_removed.Body()->m_links)
            if (IsDead(lp_link))
                l_bodies.push_back(Ptr(lp_link));
        l_removed.Body()->m_links.clear();
        l_removed.Body()->m_deadLinks = 0;
    }
    m_unlinking.clear();
    for (Type* lp_type : m_types) {
        for (ItemBody* lp_entry : lp_type->m_items)
            if (!IsDead(lp_entry))
                l_bodies.push_back(lp_entry);
        lp_type->m_items.clear();
        lp_type->m_byValue.Clear();
    }
    for (ItemBody* lp_body : l_bodies)
        Release(lp_body);
    while (ReleaseDeferredTags(std::size_t(-1)) > 0) {
    }
    // Every item has let go of its links by now, so that the handles of the
    // collection's lists may free the last bodies. A step of a collection
    // that ran the handler resetting the store ends as it comes back.
    mp_collection.reset();
    m_toCheck.clear();
    m_ownedToCheck.clear();
    m_revived.clear();
    m_linkedToSearch.clear();
    m_leafLinked = false;
    ++m_resets;
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
