// Path patterns: their nodes, their index by pair of types, and the walk
// that finds the roots a changed link reaches (see docs/architecture.md,
// "Path subscriptions").
#include "store/StoreInternals.h"

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
