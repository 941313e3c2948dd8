#ifndef QUILLMAR_PEERS_PEERSERVERLINK_H
#define QUILLMAR_PEERS_PEERSERVERLINK_H

// What the peer connections need of the server link: the peer-address
// request and the connect-back relay. Every call is safe without a server
// link and returns false when nothing could be sent.

#include <QString>
#include <QtGlobal>

class PeerMessenger;

void ConnectPeerServerLink(PeerMessenger* ip_messenger);
bool PeerServerRequestAddress(QString const& i_user);
bool PeerServerRequestConnectBack(quint32 i_token, QString const& i_user, QString const& i_type);
void PeerServerCannotConnect(quint32 i_token, QString const& i_user);

#endif
