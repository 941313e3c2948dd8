// Links and their events: connecting, disconnecting and removing items, the
// collection's silent batch removal, and the connection events they fire.
#include "store/StoreInternals.h"

#include <utility>

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
    NoteLinked(ip_a, ip_b);
    lp_typeA->mp_data->FireConnection(ip_a, ip_b, true);
}

std::size_t Data::MostEntriesPassedAtOnce()
{
    return std::exchange(MostPassedAtOnce(), 0);
}

void StoreOps::Disconnect(ItemBody* ip_a, ItemBody* ip_b)
{
    if (!IsLinked(ip_a, ip_b))
        return;
    Item l_holdA(ip_a), l_holdB(ip_b);
    // Where items go oldest first (a collection's removals), each is the
    // oldest live link of the other end, just after the broken ones.
    SortedErase(ip_a->m_links, ip_a->m_deadLinks, ip_b, &ip_a->m_lastLinkKey, ip_a->m_deadLinks);
    SortedErase(ip_b->m_links, ip_b->m_deadLinks, ip_a, &ip_b->m_lastLinkKey, ip_b->m_deadLinks);
    NoteUnlinked(ip_a, ip_b);
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

    // An item of many links goes at once for every reader; its links follow
    // in later steps (DropRemovedLinks), so that no one step grows with
    // them. Path checks judge a removal by the links the item had when it
    // began (Removal), which steps apart could not keep: an item of a type
    // that a pattern names drops them all here, as does one of a few links.
    // Its key and its place in its type's list go; it reads as removed.
    auto const l_unlist = [lp_type, ip_body, i_slot]() {
        if (!lp_type->m_isNull)
            lp_type->m_byValue.Erase(ip_body);
        SortedErase(lp_type->m_items, lp_type->m_deadItems, ip_body, nullptr, i_slot);
        if (lp_type->mp_globalNullItem == ip_body)
            lp_type->mp_globalNullItem = nullptr;
        ip_body->m_removed = true;
    };
    if (!lp_data->IsInPattern(lp_type) && ip_body->m_links.size() - ip_body->m_deadLinks > LinksDroppedAtOnce()) {
        l_unlist();
        ++lp_type->m_unlinking;
        lp_data->m_unlinking.push_back(l_hold);
        --lp_data->m_liveItems;
        Release(ip_body); // the store's own reference; m_unlinking keeps the body
        return;
    }

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
    std::size_t l_dropped = 0;
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
        ++l_dropped;
        l_from = ip_body->m_links.size() == l_size ? l_at + 1 : 0;
    }
    NoteLinksDropped(l_dropped);

    l_unlist();
    std::uint32_t l_deadLinks = ip_body->m_deadLinks;
    Compact(ip_body->m_links, l_deadLinks, &ip_body->m_lastLinkKey);
    ip_body->m_deadLinks = 0;
    --lp_data->m_liveItems;
    Release(ip_body); // the store's own reference; l_hold keeps it until we return
}

std::size_t StoreOps::DropRemovedLinks(Data* ip_data, std::size_t i_max)
{
    std::size_t l_dropped = 0;
    std::uint64_t const l_resets = ip_data->m_resets;
    while (!ip_data->m_unlinking.empty() && l_dropped < i_max) {
        // A handler may remove another such item (appended) or reset the
        // store (emptied): the list is read again after each event.
        Item const l_item = ip_data->m_unlinking.front();
        ItemBody* const lp_body = l_item.Body();
        LinkVector& l_links = lp_body->m_links;
        // Newest first: each is the last entry, dropped off the end, so that
        // the vector neither fills with tags nor is compacted. The tags that
        // other removals left on the way are let go of as they come.
        while (!l_links.empty() && IsDead(l_links.back())) {
            ItemBody* const lp_tagged = Ptr(l_links.back());
            l_links.pop_back();
            --lp_body->m_deadLinks;
            Release(lp_tagged);
        }
        if (l_links.empty()) {
            l_links.shrink_to_fit();
            lp_body->m_deadLinks = 0;
            lp_body->m_lastLinkKey = 0;
            --lp_body->mp_type->m_unlinking;
            ip_data->m_unlinking.erase(ip_data->m_unlinking.begin());
            continue;
        }
        lp_body->m_lastLinkKey = Ptr(l_links.back())->m_key;
        std::size_t const l_size = l_links.size();
        Disconnect(lp_body, l_links.back());
        ++l_dropped;
        if (ip_data->m_resets != l_resets)
            break;
        // (Never so: the other end held the link. Were it, the entry would
        // come back here for ever.)
        if (l_links.size() == l_size && !IsDead(l_links.back())) {
            assert(false);
            l_links.pop_back();
        }
    }
    NoteLinksDropped(l_dropped);
    return l_dropped;
}

bool Data::DropLinksOfRemoved()
{
    StoreOps::DropRemovedLinks(this, LinksDroppedAtOnce());
    return !m_unlinking.empty();
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
        // Remove would do nothing; or something linked the item again to
        // what may reach it since the collection found it unreached.
        if (!IsLive(lp_body) || lp_body->m_removing || MarkOf(lp_body) != MARK_UNREACHED)
            continue;
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
    // The links of the items that stay change; being links to items no
    // root reaches, they held nothing up, but they may have owned them
    // (StoreOps::NoteUnlinked).
    ip_data->m_linkChanges += l_size;
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
            // (As in Disconnect.)
            SortedErase(lp_entry->m_links, lp_entry->m_deadLinks, lp_body, &lp_entry->m_lastLinkKey,
                        lp_entry->m_deadLinks);
            NoteOwned(ip_data, lp_entry);
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
            CompactSome(lp_type->m_items, lp_type->m_deadItems);
    for (std::size_t l_at = 0; l_at < l_size; ++l_at) {
        if (l_at + PREFETCH_AHEAD < l_size)
            __builtin_prefetch(l_batch[l_at + PREFETCH_AHEAD].first, 1);
        Release(l_batch[l_at].first); // the store's own reference; the caller's handles keep the bodies
    }
    return l_end;
}

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
    // A handler may throw (the data saver's load takes that as a failed
    // file and goes on): the depth must still come down, or removed
    // handlers would never be deleted again.
    struct DepthGuard
    {
        Data* mp_data;
        explicit DepthGuard(Data* ip_data) : mp_data(ip_data) { ++mp_data->m_dispatchDepth; }
        ~DepthGuard() { --mp_data->m_dispatchDepth; }
    };
    {
        DepthGuard const l_depth(this);
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
    }
    PurgeSubscriptions();
}
