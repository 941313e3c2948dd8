// Types, and the index that finds a valued type's items by key.
#include "store/StoreInternals.h"

#include <cstdlib>
#include <new>

// -------------------------------------------------------------- ValueIndex

namespace {

ItemBody* const TOMBSTONE = reinterpret_cast<ItemBody*>(std::uintptr_t(1));

inline std::size_t HashKey(std::string_view i_key)
{
    return std::hash<std::string_view>()(i_key);
}

} // namespace

// Slots of the old table looked at by each insertion or erasure while a
// grown table fills: about thirty keys moved, a few microseconds, so that
// the old table is empty long before the new one is full (it takes a fifth
// of the new table's size in insertions to fill it).
constexpr std::size_t MOVED_PER_STEP = 64;

ValueIndex::Slot const* ValueIndex::FindIn(Slots const& i_slots, std::string_view i_key, std::size_t i_hash)
{
    if (i_slots.empty())
        return nullptr;
    std::size_t const l_mask = i_slots.size() - 1;
    for (std::size_t l_at = i_hash & l_mask;; l_at = (l_at + 1) & l_mask) {
        Slot const& l_slot = i_slots[l_at];
        if (!l_slot.mp_body)
            return nullptr;
        if (l_slot.m_hash == i_hash && l_slot.mp_body != TOMBSTONE && l_slot.mp_body->m_value.View() == i_key)
            return &l_slot;
    }
}

bool ValueIndex::EraseIn(Slots& io_slots, ItemBody* ip_body, std::size_t i_hash)
{
    if (io_slots.empty())
        return false;
    std::size_t const l_mask = io_slots.size() - 1;
    for (std::size_t l_at = i_hash & l_mask; io_slots[l_at].mp_body; l_at = (l_at + 1) & l_mask)
        if (io_slots[l_at].mp_body == ip_body) {
            io_slots[l_at].mp_body = TOMBSTONE; // keeps later entries of the run reachable
            return true;
        }
    return false;
}

ItemBody* ValueIndex::Find(std::string_view i_key) const
{
    if (m_live == 0)
        return nullptr;
    std::size_t const l_hash = HashKey(i_key);
    Slot const* lp_slot = FindIn(m_slots, i_key, l_hash);
    if (!lp_slot)
        lp_slot = FindIn(m_old, i_key, l_hash);
    return lp_slot ? lp_slot->mp_body : nullptr;
}

void ValueIndex::Insert(ItemBody* ip_body)
{
    // At most 70 % full, tombstones counted, so that probes stay short (the
    // stored hash makes each step cheap) and always end on an empty slot.
    if (10 * (m_used + 1) > 7 * m_slots.size())
        Grow();
    MoveSome();
    std::string_view const l_key = ip_body->m_value.View();
    std::size_t const l_hash = HashKey(l_key);
    if (FindIn(m_old, l_key, l_hash))
        return;
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
    ++m_live;
}

void ValueIndex::Erase(ItemBody* ip_body)
{
    if (m_live == 0)
        return;
    std::size_t const l_hash = HashKey(ip_body->m_value.View());
    if (!EraseIn(m_slots, ip_body, l_hash) && !EraseIn(m_old, ip_body, l_hash))
        return;
    --m_live;
    // A table that held a large share keeps its size (16 bytes a slot, 8 MB
    // for 200,000 names) after the share is gone unless it is rebuilt
    // smaller; an eighth full, the rebuild costs no more than the erases
    // since the last one did. Its keys follow step by step as for a growth
    // (at two million names, moving them at once held the window 40 to 70
    // ms); the collection empties what the erasures leave of it, so that
    // its memory comes back even when keys stop going. A table still being
    // emptied is not rebuilt again: that would move all of it at once.
    if (m_old.empty() && m_slots.size() > 1024 && 8 * m_live < m_slots.size()) {
        Grow();
        return;
    }
    MoveSome();
}

void ValueIndex::Clear()
{
    Slots().swap(m_slots);
    Slots().swap(m_old);
    m_used = 0;
    m_live = 0;
    m_moved = 0;
}

void ValueIndex::Reserve(std::size_t i_keys)
{
    if (m_old.empty() && 10 * (i_keys + 1) > 7 * m_slots.size())
        Grow(i_keys);
}

std::size_t ValueIndex::MoveOld(std::size_t i_slots)
{
    std::size_t const l_looked = MoveSlots(i_slots);
    m_mostMoved = std::max(m_mostMoved, l_looked);
    return l_looked;
}

ValueIndex::Slots::Slots(std::size_t i_size) : mp_slots(static_cast<Slot*>(std::calloc(i_size, sizeof(Slot)))), m_size(i_size)
{
    // All bits zero is an empty slot: no hash, a null body.
    if (!mp_slots)
        throw std::bad_alloc();
}

void ValueIndex::Slots::swap(Slots& io_other)
{
    mp_slots.swap(io_other.mp_slots);
    std::swap(m_size, io_other.m_size);
}

void ValueIndex::Slots::Free::operator()(Slot* ip_slots) const
{
    std::free(ip_slots);
}

void ValueIndex::Grow(std::size_t i_keys)
{
    // One old table at a time; a growth comes long after the last one's
    // keys have all moved, and so does a rebuild smaller (Erase).
    MoveAll();
    // At most half full again; a table of mostly tombstones is rebuilt at
    // its size.
    std::size_t l_size = 16;
    while (l_size < 2 * (std::max(m_live, i_keys) + 1))
        l_size *= 2;
    Slots l_new(l_size);
    m_old.swap(m_slots);
    m_slots.swap(l_new);
    m_used = 0;
    m_moved = 0;
    if (m_live == 0)
        Slots().swap(m_old);
}

void ValueIndex::MoveSome()
{
    if (m_old.empty())
        return;
    // A table rebuilt at an eighth full has at least four times the slots
    // of the new one; the new one takes erasures for long before it is
    // rebuilt again, and must not find the old still there.
    std::size_t const l_ratio = std::min<std::size_t>(16, std::max<std::size_t>(1, m_old.size() / m_slots.size()));
    m_mostMoved = std::max(m_mostMoved, MoveSlots(MOVED_PER_STEP * l_ratio));
}

std::size_t ValueIndex::MoveSlots(std::size_t i_slots)
{
    if (m_old.empty())
        return 0;
    std::size_t const l_mask = m_slots.size() - 1;
    std::size_t const l_begin = m_moved;
    std::size_t const l_end = std::min(m_old.size(), m_moved + i_slots);
    for (; m_moved < l_end; ++m_moved) {
        Slot& l_slot = m_old[m_moved];
        if (!l_slot.mp_body || l_slot.mp_body == TOMBSTONE)
            continue;
        // A key is in one table only: the first empty slot of its run.
        std::size_t l_at = l_slot.m_hash & l_mask;
        while (m_slots[l_at].mp_body)
            l_at = (l_at + 1) & l_mask;
        m_slots[l_at] = l_slot;
        ++m_used;
        l_slot.mp_body = TOMBSTONE;
    }
    std::size_t const l_looked = m_moved - l_begin;
    if (m_moved == m_old.size()) {
        Slots().swap(m_old);
        m_moved = 0;
    }
    return l_looked;
}

void ValueIndex::MoveAll()
{
    if (!m_old.empty())
        m_mostMoved = std::max(m_mostMoved, MoveSlots(m_old.size()));
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
    Type* const lp_owned = i_owning ? ip_other : nullptr;
    if (ip_other == this) {
        m_relations.push_back({this, i_b, i_owning, i_owning});
    } else {
        m_relations.push_back({ip_other, i_b, i_owning, false});
        ip_other->m_relations.push_back({this, i_a, false, i_owning});
    }
    // The collection looks for owned items without an owner only among
    // those that changed: items that were there before their type came to
    // be owned have to be looked at once.
    if (lp_owned && !lp_owned->m_owned) {
        lp_owned->m_owned = true;
        for (ItemBody* lp_entry : lp_owned->m_items)
            if (!IsDead(lp_entry))
                StoreOps::NoteOwned(mp_data, lp_entry);
    }
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

std::vector<Item> Type::GetItemsFrom(std::uint64_t i_from, std::size_t i_count) const
{
    if (i_from > SERIAL_MASK)
        return {};
    return StoreOps::LiveFrom(m_items, 0, m_items.size(), (std::uint64_t(m_index) << 48) | i_from, i_count);
}

std::size_t Type::GetItemCount() const
{
    return m_items.size() - m_deadItems;
}

void Type::Reserve(std::size_t i_items)
{
    m_items.reserve(i_items + m_deadItems);
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
