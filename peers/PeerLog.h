#ifndef QUILLMAR_PEERS_PEERLOG_H
#define QUILLMAR_PEERS_PEERLOG_H

#include <QString>

// Every diagnostic line of the peer connections goes through here.
void PeerLog(int i_level, QString const& i_text, char const* ip_category = "Peer Connections");

#endif
