#include "peers/PeerUsers.h"

Item FindPeerUser(QString const& i_user)
{
    return d.GetType("user")->HasItem(Value(i_user));
}

Item PeerUserItem(QString const& i_user)
{
    Item l_user = FindPeerUser(i_user);
    if (l_user.IsNull())
        l_user = d.GetType("user")->NewItem(Value(i_user));
    return l_user;
}
