#ifndef QUILLMAR_UI_CHAT_CHATSTORETYPES_H
#define QUILLMAR_UI_CHAT_CHATSTORETYPES_H

// The store types through which the chat pages find their open windows
// again (none is saved): "user_chat_widget", a user's open private chat page
// (ChatForm), and "chat_log_form", the open log viewer (ChatLogForm) of a
// room or a user; each is keyed by the window's address and linked one to
// one to its "user" or "room". Declared by the main window after the server
// link's types, before the pages start; declaring them again does nothing.

#include "store/Data.h"
#include "store/Event.h"

#include <functional>

void DeclareChatStoreTypes();

// Calls the owner's ip_on with the root item whenever an item that i_root
// matches gets linked to the flag ip_flag, and ip_off when it loses it (the
// online icons of the chat tabs, a partner's away notices). i_root makes a
// fresh root node for each of the two patterns.
template <class Owner>
void FollowFlag(std::function<PathNode*()> const& i_root, char const* ip_flag, Owner* ip_owner,
                void (Owner::*ip_on)(Item), void (Owner::*ip_off)(Item))
{
    PathNode* lp_on = i_root();
    new PathNode(lp_on, ip_flag, PATH_CONNECTED_FIRES);
    d.AddPathEventHandler(lp_on, new EventHandler<Owner, Item>(ip_owner, ip_on));
    PathNode* lp_off = i_root();
    new PathNode(lp_off, ip_flag, PATH_DISCONNECTED_FIRES);
    d.AddPathEventHandler(lp_off, new EventHandler<Owner, Item>(ip_owner, ip_off));
}

#endif
