#include "server/StoreTypes.h"

Type* EnsureType(char const* ip_name, Primacy i_primacy, bool i_isNull, bool i_autoCreate)
{
    if (d.HasType(ip_name))
        return d.GetType(ip_name);
    return d.NewType(ip_name, i_primacy, i_isNull, i_autoCreate);
}

void EnsureRelation(char const* ip_a, char const* ip_b, OneOrMany i_aPerB, OneOrMany i_bPerA, bool i_owning)
{
    Type* lp_a = d.GetType(ip_a);
    Type* lp_b = d.GetType(ip_b);
    if (!lp_a->IsRelatedTo(lp_b))
        lp_a->RelateToType(lp_b, i_aPerB, i_bPerA, i_owning);
}

void EnsureFlag(char const* ip_owner, char const* ip_flag)
{
    EnsureType(ip_flag, LEAF, true, true);
    EnsureRelation(ip_owner, ip_flag, MANY, ONE, false);
}

void EnsureAttribute(char const* ip_owner, char const* ip_attribute)
{
    EnsureType(ip_attribute, LEAF, false, true);
    EnsureRelation(ip_owner, ip_attribute, MANY, ONE, false);
}

void DeclareUserType()
{
    EnsureType("user", INTERMEDIATE, false, true);
}

void EnsureKeepingFlag(char const* ip_owner, char const* ip_flag)
{
    EnsureType(ip_flag, ROOT, true, true);
    EnsureRelation(ip_owner, ip_flag, MANY, ONE, false);
}

void DeclareUserNoteType()
{
    EnsureType("user_note", ROOT, false, true);
    EnsureRelation("user", "user_note", MANY, ONE, false);
}

void DeclareUserListTypes()
{
    // The user owns his list entry: an entry taken from its user goes at
    // the next collection instead of staying, and being saved, in its groups.
    // The entry is a root: it keeps its user, in a group or not.
    EnsureType("in_user_list", ROOT, true, true);
    EnsureRelation("user", "in_user_list", ONE, ONE, true);
    EnsureType("user_list_group", ROOT, false, true);
    EnsureRelation("in_user_list", "user_list_group", MANY, MANY, false);
    EnsureAttribute("user_list_group", "group_download_priority");
    EnsureFlag("user_list_group", "accept_uploads");
}

void SetFlag(Item const& i_item, char const* ip_flag, bool i_on)
{
    if (i_item.IsNull())
        return;
    if (i_on) {
        if (!i_item.IsConnected(ip_flag))
            i_item.Connect(d.GetType(ip_flag)->GetGlobalNullItem());
    } else if (i_item.IsConnected(ip_flag)) {
        i_item.Disconnect(ip_flag);
    }
}

void SetAttribute(Item const& i_item, char const* ip_attribute, Value const& i_value)
{
    if (i_item.IsNull())
        return;
    Item l_value = d.GetType(ip_attribute)->GetItem(i_value);
    if (!i_item.IsConnected(l_value))
        i_item.Connect(l_value);
}
