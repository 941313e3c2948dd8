// Who sees which shared roots. Every answer to another user (search results,
// the share list, folder contents, upload admission) asks these queries, so
// that all of them agree.

#include "shares/SharedFoldersManager.h"

#include "shares/UploadQueueHooks.h"
#include "store/Log.h"
#include "store/Utilities.h"

namespace {

char const* const kSharedFolder = "shared_folder";

Item FindUser(QString const& i_user)
{
    return d.GetType("user")->HasItem(Value(i_user));
}

ItemSet FlaggedRoots(char const* ip_flag)
{
    return d.GetType(ip_flag)->FindGlobalNullItem().GetItems(kSharedFolder);
}

} // namespace

ItemSet SharedFoldersManager::GetUserSharedFolders(QString const& i_user) const
{
    Item const l_user = FindUser(i_user);
    if (l_user.IsConnected("unshared"))
        return ItemSet();
    ItemSet const l_public = FlaggedRoots("shared_public");
    Item const l_listed = l_user["in_user_list"];
    if (l_listed.IsNull())
        return l_public;
    ItemSetBuilder l_roots;
    l_roots.Add(l_public);
    l_roots.Add(FlaggedRoots("shared_userlist"));
    for (Item const& l_group : l_listed.GetItems("user_list_group"))
        l_roots.Add(l_group.GetItems(kSharedFolder));
    return l_roots.Take();
}

bool SharedFoldersManager::IsFileSharedWithUser(Item const& i_file, QString const& i_user) const
{
    // A name the store does not know is like a new user: not unshared and
    // not on the list. Looking it up does not create it, so that strangers'
    // requests leave nothing behind.
    Item const l_user = FindUser(i_user);
    if (l_user.IsConnected("unshared"))
        return false;
    ItemSet const l_roots = i_file["shared_file_folder"].GetItems(kSharedFolder);
    for (Item const& l_root : l_roots)
        if (l_root.IsConnected("shared_public"))
            return true;
    Item const l_listed = l_user["in_user_list"];
    if (l_listed.IsNull())
        return false;
    for (Item const& l_root : l_roots)
        if (l_root.IsConnected("shared_userlist"))
            return true;
    ItemSet const l_groups = l_listed.GetItems("user_list_group");
    for (Item const& l_root : l_roots)
        if (!l_root.GetItems("user_list_group").Common(l_groups).empty())
            return true;
    return false;
}

bool SharedFoldersManager::IsUserAddressUnshared(QString const& i_user) const
{
    Item const l_user = FindUser(i_user);
    Item const l_address = l_user["user_address"];
    // Address 0 means "not known": users without a known address are not
    // one household.
    if (l_address.IsNull() || l_address.AsUInt64() == 0)
        return l_user.IsConnected("unshared");
    for (Item const& l_other : l_address.GetItems("user"))
        if (l_other.IsConnected("unshared"))
            return true;
    return false;
}

void SharedFoldersManager::OnUserAddress(Item i_user)
{
    if (i_user.IsConnected("unshared"))
        return;
    QString const l_name = i_user.AsString();
    if (!IsUserAddressUnshared(l_name))
        return;
    Log("Shared", 1,
        QStringLiteral("%1 shares an address with an unshared user; unsharing him too").arg(Isolated(l_name)));
    UnshareUser(l_name);
}

void SharedFoldersManager::SubscribeToAddresses()
{
    // The peer messenger declares the addresses; a manager made without it
    // (the index tests) has none to follow.
    if (!d.HasType("user_address"))
        return;
    PathNode* const lp_root = new PathNode(&d, "user");
    new PathNode(lp_root, "user_address", PATH_CONNECTED_FIRES);
    d.AddPathEventHandler(lp_root,
                          new EventHandler<SharedFoldersManager, Item>(this, &SharedFoldersManager::OnUserAddress));
}
