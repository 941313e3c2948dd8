#ifndef QUILLMAR_UI_USERS_USERGROUPS_H
#define QUILLMAR_UI_USERS_USERGROUPS_H

// What the two group dialogs (UserGroupsDialog, UserGroupConfigDialog) share:
// following the groups as they are made and deleted, and a row per group.

#include "store/Data.h"

#include <QListWidget>

namespace UserGroups {

// Calls the owner's handlers with each new and each removed group.
template <class Owner>
void FollowGroups(Owner* ip_owner, void (Owner::*ip_added)(Item), void (Owner::*ip_removed)(Item))
{
    Type* lp_groups = d["user_list_group"];
    lp_groups->AddNewItemEventHandler(new EventHandler<Owner, Item>(ip_owner, ip_added));
    lp_groups->AddRemovedItemEventHandler(new EventHandler<Owner, Item>(ip_owner, ip_removed));
}

// Deletes the first row whose text is the group's name exactly.
inline void RemoveRowOf(QListWidget* ip_list, Item const& i_group)
{
    QString const l_name = i_group.AsString();
    for (int l_row = 0; l_row < ip_list->count(); ++l_row)
        if (ip_list->item(l_row)->text() == l_name) {
            delete ip_list->takeItem(l_row);
            return;
        }
}

} // namespace UserGroups

#endif
