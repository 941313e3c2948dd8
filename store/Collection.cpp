// The store's garbage collection.
#include "store/StoreInternals.h"

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
    ReturnFreedMemory();
}
