#ifndef QUILLMAR_PEERS_PEERUSERS_H
#define QUILLMAR_PEERS_PEERUSERS_H

// The "user" items of the people we talk to.

#include "store/Data.h"

#include <QString>

// The user's item, or a null item when the store has never seen him.
Item FindPeerUser(QString const& i_user);
// The user's item, created when missing.
Item PeerUserItem(QString const& i_user);

#endif
