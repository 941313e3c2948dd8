// Gathering: what of the store goes into a file, read a step at a time,
// with the changes made between the steps noted as they come.
//
// A file is made in two parts. Gathering reads the store: which items of the
// saved types go in, their values, and the links of each related pair of
// saved types, from the items of the type with fewer. It runs on the
// window's thread in small steps; the hourly save takes them in slices with
// the event loop between, and meanwhile it hears the saved types' events:
// each change that could alter the file (an item made or removed, one
// joining or leaving a type saved by connection, a link made or broken
// between items of saved types) is noted as it happens, so that what is
// gathered ends as the store stands when the last step runs, exactly,
// whatever changed between the slices. Composing (the file's indexes, its
// bytes, the order of its links and its checksum) uses what was gathered
// alone, never the store, so any thread may do it: the hourly save composes
// and writes on a thread of its own. Every save goes through both, so that
// the same store always gives the same bytes.

#include "store/DataSaver.h"

#include "store/DataSaverInternals.h"

#include "store/StoreInternals.h"

#include <algorithm>

using namespace DataSaverInternals;

namespace {

// Items, or links, that one step of gathering goes through.
std::size_t const GATHER_STEP = 256;

} // namespace

namespace DataSaverInternals {

template <class Arg>
class FileGatherer::Watch : public EventHandlerBase<Arg>
{
public:
    typedef void (FileGatherer::*Call)(Arg);
    Watch(FileGatherer* ip_gatherer, Call i_call)
        : mp_gatherer(ip_gatherer), m_call(i_call), mp_reset(ip_gatherer->mp_reset)
    {
        this->AttachTo(ip_gatherer);
    }
    ~Watch() override
    {
        if (!this->IsRemoved())
            *mp_reset = true;
    }
    void Handle(Arg i_arg) override
    {
        if (!this->IsRemoved())
            (mp_gatherer->*m_call)(i_arg);
    }

private:
    FileGatherer* mp_gatherer;
    Call m_call;
    std::shared_ptr<bool> mp_reset;
};

FileGatherer::FileGatherer(std::vector<std::string> const& i_savedTypes,
                           std::vector<std::pair<std::string, std::string>> const& i_byConnection,
                           std::vector<std::pair<std::string, std::string>> const& i_unsaved, bool i_watch)
    : m_firstNew(d.NextSerial())
{
    for (auto const& l_pair : i_unsaved)
        if (d.HasType(l_pair.first) && d.HasType(l_pair.second))
            m_unsaved.emplace_back(d.GetType(l_pair.first), d.GetType(l_pair.second));
    // Every item of a saved type, and the items of a type saved by
    // connection that are linked to an item of its connected type; types in
    // the order of registration, those saved whole first.
    for (std::string const& l_name : i_savedTypes)
        if (d.HasType(l_name))
            m_entries.push_back({d.GetType(l_name), 0, true, {}, {}, {}});
    std::size_t const l_whole = m_entries.size();
    for (auto const& l_pair : i_byConnection) {
        if (!d.HasType(l_pair.first) || !d.HasType(l_pair.second))
            continue;
        if (std::find(i_savedTypes.begin(), i_savedTypes.end(), l_pair.first) != i_savedTypes.end())
            continue; // saved whole
        Type* lp_type = d.GetType(l_pair.first);
        auto l_found = std::find_if(m_entries.begin() + std::ptrdiff_t(l_whole), m_entries.end(),
                                    [lp_type](Entry const& i_entry) { return i_entry.mp_type == lp_type; });
        if (l_found == m_entries.end()) {
            m_entries.push_back({lp_type, 0, false, {}, {}, {}});
            l_found = m_entries.end() - 1;
        }
        Type* lp_connected = d.GetType(l_pair.second);
        if (lp_type->IsRelatedTo(lp_connected))
            l_found->m_connected.push_back(lp_connected);
    }
    for (std::size_t l_at = 0; l_at < m_entries.size(); ++l_at) {
        Entry& l_entry = m_entries[l_at];
        l_entry.m_index = StoreOps::IndexOf(l_entry.mp_type);
        if (m_position.size() <= l_entry.m_index)
            m_position.resize(std::size_t(l_entry.m_index) + 1, 0);
        m_position[l_entry.m_index] = l_at + 1;
        m_gathered.m_types.push_back({l_entry.mp_type->GetName(), l_entry.mp_type->IsNull(), nullptr, {}});
    }
    for (Entry& l_entry : m_entries)
        for (Type::Relation const& l_relation : l_entry.mp_type->GetRelations()) {
            std::uint16_t const l_other = StoreOps::IndexOf(l_relation.mp_other);
            if (l_other < m_position.size() && m_position[l_other] > 0 &&
                !Unsaved(l_entry.mp_type, l_relation.mp_other))
                l_entry.m_related.push_back({l_other, l_relation.mp_other == l_entry.mp_type});
        }
    m_from = m_entries.empty() ? 0 : std::uint64_t(m_entries[0].m_index) << 48;
    if (!i_watch)
        return;
    for (Entry const& l_entry : m_entries) {
        Type* lp_type = l_entry.mp_type;
        lp_type->AddNewItemEventHandler(new Watch<Item>(this, &FileGatherer::OnNewItem));
        lp_type->AddRemovedItemEventHandler(new Watch<Item>(this, &FileGatherer::OnRemovedItem));
        lp_type->AddConnectEventHandler(new Watch<ConnectionInfo&>(this, &FileGatherer::OnLinked));
        lp_type->AddDisconnectEventHandler(new Watch<ConnectionInfo&>(this, &FileGatherer::OnUnlinked));
    }
}

FileGatherer::~FileGatherer()
{
    for (ItemBody* lp_body : m_removed)
        Release(lp_body);
}

FileGatherer::Entry* FileGatherer::EntryOf(ItemBody const* ip_body)
{
    std::size_t const l_index = std::size_t(ip_body->m_key >> 48);
    return l_index < m_position.size() && m_position[l_index] > 0 ? &m_entries[m_position[l_index] - 1] : nullptr;
}

bool FileGatherer::InFile(Entry const& i_entry, ItemBody const* ip_body) const
{
    if (i_entry.m_whole)
        return true;
    for (Type* lp_connected : i_entry.m_connected)
        if (StoreOps::FirstLive(ip_body, lp_connected))
            return true;
    return false;
}

GatheredItem FileGatherer::Take(Entry const& i_entry, ItemBody* ip_body)
{
    std::string_view const l_value = ip_body->m_value.View();
    bool const l_oversize = l_value.size() > DataSaver::STRING_LIMIT;
    char const* lp_value = nullptr;
    if (!l_oversize && !i_entry.mp_type->IsNull())
        lp_value = m_gathered.m_values.Add(l_value);
    return {ip_body, ip_body->m_key, lp_value, l_oversize ? 0 : std::uint32_t(l_value.size()), l_oversize};
}

bool FileGatherer::Step()
{
    switch (m_stage) {
    case Stage::LIST:
        List();
        return true;
    case Stage::WALK:
        Walk();
        return true;
    case Stage::JOINED:
        if (m_joinedAt < m_joined.size()) {
            WalkJoined();
            return true;
        }
        break;
    }
    // The last step: nothing can change before the result is taken.
    for (std::size_t l_at = 0; l_at < m_entries.size(); ++l_at)
        if (m_entries[l_at].mp_type->IsNull())
            m_gathered.m_types[l_at].mp_flag = m_entries[l_at].mp_type->FindGlobalNullItem().Body();
    return false;
}

void FileGatherer::List()
{
    if (m_entry == m_entries.size()) {
        PlanWalk();
        return;
    }
    Entry const& l_entry = m_entries[m_entry];
    LargeVector<GatheredItem>& l_out = m_gathered.m_types[m_entry].m_items;
    std::vector<ItemBody*> const& l_items = StoreOps::ItemsOf(l_entry.mp_type);
    if (l_out.empty())
        l_out.reserve(l_entry.mp_type->GetItemCount());
    std::size_t l_at = LowerBound(l_items, m_from);
    std::size_t const l_end = std::min(l_items.size(), l_at + GATHER_STEP);
    for (; l_at < l_end; ++l_at) {
        if (l_at + PREFETCH_DISTANCE < l_end)
            __builtin_prefetch(Ptr(l_items[l_at + PREFETCH_DISTANCE]));
        ItemBody* const lp_entry = l_items[l_at];
        if (!IsDead(lp_entry) && InFile(l_entry, lp_entry)) {
            l_out.push_back(Take(l_entry, lp_entry));
            ++m_gatheredItems;
        }
    }
    if (l_at < l_items.size()) {
        m_from = Ptr(l_items[l_at])->m_key;
        return;
    }
    if (++m_entry < m_entries.size())
        m_from = std::uint64_t(m_entries[m_entry].m_index) << 48;
}

void FileGatherer::PlanWalk()
{
    // Each pair of related types is walked from one side only, the one with
    // fewer items, which is the cheaper walk (a type linked to itself from
    // both ends, each link from its older item), so that each link is
    // noted once if nothing changes.
    std::vector<std::size_t> l_counts;
    for (Gathered::FileType const& l_fileType : m_gathered.m_types)
        l_counts.push_back(std::size_t(std::count_if(l_fileType.m_items.begin(), l_fileType.m_items.end(),
                                                     [](GatheredItem const& i_item) { return !i_item.m_oversize; })));
    for (std::size_t l_here = 0; l_here < m_entries.size(); ++l_here)
        for (Walked const& l_related : m_entries[l_here].m_related) {
            std::size_t const l_there = m_position[l_related.m_index] - 1;
            if (l_related.m_self || l_counts[l_here] < l_counts[l_there] ||
                (l_counts[l_here] == l_counts[l_there] && l_here < l_there))
                m_entries[l_here].m_walked.push_back(l_related);
        }
    m_stage = Stage::WALK;
    m_entry = 0;
    m_item = 0;
    m_relation = 0;
    m_from = 0;
}

// Notes the links of the body to the given types, from the relation
// m_relation and the key m_from on, until the budget is spent; true once
// they are all noted.
bool FileGatherer::Note(ItemBody* ip_body, std::vector<Walked> const& i_walked, std::size_t& io_budget)
{
    LinkVector const& l_links = ip_body->m_links;
    bool const l_unlinking = d.HasLinksOfRemoved();
    for (; m_relation < i_walked.size(); ++m_relation, m_from = 0) {
        Walked const& l_walked = i_walked[m_relation];
        auto const l_range = GroupRange(l_links, l_walked.m_index);
        std::size_t l_at = m_from == 0 ? l_range.first : std::max(l_range.first, LowerBound(l_links, m_from));
        for (; l_at < l_range.second; ++l_at) {
            if (io_budget == 0) {
                m_from = Ptr(l_links[l_at])->m_key;
                return false;
            }
            --io_budget;
            ItemBody* const lp_linked = l_links[l_at];
            if (IsGone(lp_linked, l_unlinking) ||
                (l_walked.m_self && lp_linked->m_key <= ip_body->m_key))
                continue;
            m_gathered.m_links.Add({ip_body, lp_linked});
        }
    }
    m_relation = 0;
    m_from = 0;
    return true;
}

void FileGatherer::Walk()
{
    std::size_t l_budget = GATHER_STEP;
    while (l_budget > 0 && m_entry < m_entries.size()) {
        LargeVector<GatheredItem> const& l_items = m_gathered.m_types[m_entry].m_items;
        std::vector<Walked> const& l_walked = m_entries[m_entry].m_walked;
        if (l_walked.empty() || m_item == l_items.size()) {
            ++m_entry;
            m_item = 0;
            continue;
        }
        // Its body and where its links begin, a few items ahead: both are
        // mostly out of the cache.
        if (m_item + PREFETCH_DISTANCE < l_items.size())
            __builtin_prefetch(l_items[m_item + PREFETCH_DISTANCE].mp_body);
        if (m_item + PREFETCH_DISTANCE / 2 < l_items.size())
            __builtin_prefetch(l_items[m_item + PREFETCH_DISTANCE / 2].mp_body->m_links.data());
        GatheredItem const& l_item = l_items[m_item];
        --l_budget;
        if (!IsLive(l_item.mp_body) || Note(l_item.mp_body, l_walked, l_budget))
            ++m_item;
    }
    if (m_entry == m_entries.size())
        m_stage = Stage::JOINED;
}

void FileGatherer::WalkJoined()
{
    std::size_t l_budget = GATHER_STEP;
    while (l_budget > 0 && m_joinedAt < m_joined.size()) {
        auto const& l_joined = m_joined[m_joinedAt];
        --l_budget;
        if (!IsLive(l_joined.second) || Note(l_joined.second, m_entries[l_joined.first].m_related, l_budget))
            ++m_joinedAt;
    }
}

void FileGatherer::OnNewItem(Item i_item)
{
    ItemBody* lp_body = i_item.Body();
    Entry* lp_entry = lp_body ? EntryOf(lp_body) : nullptr;
    // An item of a type saved by connection joins the file with its link.
    if (lp_entry && lp_entry->m_whole)
        m_gathered.m_itemChanges.Add({Take(*lp_entry, lp_body), std::size_t(lp_entry - m_entries.data()), true});
}

void FileGatherer::OnRemovedItem(Item i_item)
{
    // Heard before its links go.
    ItemBody* lp_body = i_item.Body();
    Entry* lp_entry = lp_body ? EntryOf(lp_body) : nullptr;
    if (!lp_entry)
        return;
    Retain(lp_body);
    m_removed.push_back(lp_body);
    if (InFile(*lp_entry, lp_body))
        m_gathered.m_itemChanges.Add({GatheredItem{lp_body, lp_body->m_key, nullptr, 0, false},
                                      std::size_t(lp_entry - m_entries.data()), false});
}

void FileGatherer::OnLink(ConnectionInfo& i_link, bool i_made)
{
    ItemBody* lp_a = i_link.m_item1.Body();
    ItemBody* lp_b = i_link.m_item2.Body();
    if (!lp_a || !lp_b)
        return;
    Entry* lp_entryA = EntryOf(lp_a);
    Entry* lp_entryB = EntryOf(lp_b);
    if (!lp_entryA)
        return;
    // Heard from both types when both are in the file: taken once.
    if (lp_entryB && lp_entryB->m_index < lp_entryA->m_index)
        return;
    Joins(*lp_entryA, lp_a, lp_b, i_made);
    if (!lp_entryB)
        return;
    Joins(*lp_entryB, lp_b, lp_a, i_made);
    if (!Unsaved(lp_a->mp_type, lp_b->mp_type))
        m_gathered.m_linkChanges.Add({lp_a < lp_b ? BodyPair(lp_a, lp_b) : BodyPair(lp_b, lp_a), i_made});
}

// Whether the link just made or broken to i_partner takes the item of a
// type saved by connection into the file or out of it.
void FileGatherer::Joins(Entry& i_entry, ItemBody* ip_body, ItemBody* ip_partner, bool i_made)
{
    if (i_entry.m_whole ||
        std::find(i_entry.m_connected.begin(), i_entry.m_connected.end(), ip_partner->mp_type) ==
            i_entry.m_connected.end())
        return;
    if (i_made) {
        // In before this link?
        for (Type* lp_connected : i_entry.m_connected) {
            auto const l_range = GroupRange(ip_body->m_links, StoreOps::IndexOf(lp_connected));
            for (std::size_t l_at = l_range.first; l_at < l_range.second; ++l_at)
                if (!IsGone(ip_body->m_links[l_at]) && ip_body->m_links[l_at] != ip_partner)
                    return;
        }
        std::size_t const l_entry = std::size_t(&i_entry - m_entries.data());
        m_gathered.m_itemChanges.Add({Take(i_entry, ip_body), l_entry, true});
        // Its links older than the gathering were seen by no walk, if it was
        // not in the file then; the newer ones are changes of their own.
        if ((ip_body->m_key & SERIAL_MASK) < (m_firstNew & SERIAL_MASK))
            m_joined.emplace_back(l_entry, ip_body);
    } else if (!InFile(i_entry, ip_body)) {
        m_gathered.m_itemChanges.Add({GatheredItem{ip_body, ip_body->m_key, nullptr, 0, false},
                                      std::size_t(&i_entry - m_entries.data()), false});
    }
}

} // namespace DataSaverInternals
